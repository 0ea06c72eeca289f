#include "engine/SystemCalls.h"

#include <exception>
#include <thread>

#include "net/IpAddress.h"

bool startSweepThread(void (*body)(Louncher*), Louncher* louncher, std::thread& thread) {
    try {
        thread = std::thread(body, louncher);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

int sendDatagram(SOCKET s, const char* bytes, int length, const sockaddr_in* destination) {
    return sendto(s, bytes, length, 0, reinterpret_cast<const sockaddr*>(destination),
                  sizeof(sockaddr_in));
}

int receiveDatagram(SOCKET s, char* buffer, int length, sockaddr_in* source) {
    int sourceLength = sizeof(sockaddr_in);
    return recvfrom(s, buffer, length, 0, reinterpret_cast<sockaddr*>(source), &sourceLength);
}

IpAddress* newHitAddress(std::uint32_t a) {
    return new IpAddress(static_cast<int>(a >> 24), static_cast<int>((a >> 16) & 0xFF),
                         static_cast<int>((a >> 8) & 0xFF), static_cast<int>(a & 0xFF));
}

// In short steps, so that a sweep ended by closing the window does not wait for its sound.
void soundScriptPause(DWORD milliseconds, const std::atomic<std::uint8_t>& sweepDone) {
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD waited = GetTickCount() - start;
        if (sweepDone.load() != 0 || waited >= milliseconds)
            return;
        const DWORD left = milliseconds - waited;
        Sleep(left < 50 ? left : 50);
    }
}
