#include "seams/Seams.h"

#include <exception>
#include <thread>

namespace seams {

bool realStartThread(void (*body)(Louncher*), Louncher* louncher) {
    try {
        std::thread(body, louncher).detach();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

int realSendDatagram(SOCKET s, const char* bytes, int length, const sockaddr_in* destination) {
    return sendto(s, bytes, length, 0, reinterpret_cast<const sockaddr*>(destination),
                  sizeof(sockaddr_in));
}

void realPause(DWORD milliseconds) {
    Sleep(milliseconds);
}

ThreadStarter startThread = realStartThread;
DatagramSender sendDatagram = realSendDatagram;
Pause soundScriptPause = realPause;

} // namespace seams

bool startSweepThread(void (*body)(Louncher*), Louncher* louncher) {
    return seams::startThread(body, louncher);
}

int sendDatagram(SOCKET s, const char* bytes, int length, const sockaddr_in* destination) {
    return seams::sendDatagram(s, bytes, length, destination);
}

void soundScriptPause(DWORD milliseconds) {
    seams::soundScriptPause(milliseconds);
}
