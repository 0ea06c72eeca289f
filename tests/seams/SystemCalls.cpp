#include "seams/Seams.h"

#include <exception>
#include <thread>

#include "net/IpAddress.h"

namespace seams {

bool realStartThread(void (*body)(Louncher*), Louncher* louncher, std::thread& thread) {
    try {
        thread = std::thread(body, louncher);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

int realSendDatagram(SOCKET s, const char* bytes, int length, const sockaddr_in* destination) {
    return sendto(s, bytes, length, 0, reinterpret_cast<const sockaddr*>(destination),
                  sizeof(sockaddr_in));
}

int realReceiveDatagram(SOCKET s, char* buffer, int length, sockaddr_in* source) {
    int sourceLength = sizeof(sockaddr_in);
    return recvfrom(s, buffer, length, 0, reinterpret_cast<sockaddr*>(source), &sourceLength);
}

IpAddress* realNewHitAddress(std::uint32_t a) {
    return new IpAddress(static_cast<int>(a >> 24), static_cast<int>((a >> 16) & 0xFF),
                         static_cast<int>((a >> 8) & 0xFF), static_cast<int>(a & 0xFF));
}

void realPause(DWORD milliseconds, const std::atomic<std::uint8_t>& sweepDone) {
    const DWORD start = GetTickCount();
    while (sweepDone.load() == 0 && GetTickCount() - start < milliseconds)
        Sleep(1);
}

ThreadStarter startThread = realStartThread;
DatagramSender sendDatagram = realSendDatagram;
DatagramReceiver receiveDatagram = realReceiveDatagram;
HitAllocator newHitAddress = realNewHitAddress;
Pause soundScriptPause = realPause;

} // namespace seams

bool startSweepThread(void (*body)(Louncher*), Louncher* louncher, std::thread& thread) {
    return seams::startThread(body, louncher, thread);
}

int sendDatagram(SOCKET s, const char* bytes, int length, const sockaddr_in* destination) {
    return seams::sendDatagram(s, bytes, length, destination);
}

int receiveDatagram(SOCKET s, char* buffer, int length, sockaddr_in* source) {
    return seams::receiveDatagram(s, buffer, length, source);
}

IpAddress* newHitAddress(std::uint32_t address) {
    return seams::newHitAddress(address);
}

void soundScriptPause(DWORD milliseconds, const std::atomic<std::uint8_t>& sweepDone) {
    seams::soundScriptPause(milliseconds, sweepDone);
}
