#include "engine/SystemCalls.h"

#include <exception>
#include <thread>

bool startSweepThread(void (*body)(Louncher*), Louncher* louncher) {
    try {
        std::thread(body, louncher).detach();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

int sendDatagram(SOCKET s, const char* bytes, int length, const sockaddr_in* destination) {
    return sendto(s, bytes, length, 0, reinterpret_cast<const sockaddr*>(destination),
                  sizeof(sockaddr_in));
}

void soundScriptPause(DWORD milliseconds) {
    Sleep(milliseconds);
}
