// The engine's system calls in the benchmark's build of the program (bench/prepared/
// brixle100.exe), never in the one users get: its sweep sends nothing and makes every address of
// the range a host at once, so that what the window does with the hosts of a /16 is timed in
// seconds rather than the sweep's half hour. The window, its list and its save are the program's.
#include "engine/SystemCalls.h"

#include <exception>
#include <thread>

#include "engine/Louncher.h"
#include "net/IpAddress.h"

namespace {

void prepareHits(Louncher* louncher) {
    for (IpAddress* address = louncher->nextAddress(); address != nullptr;
         address = louncher->nextAddress()) {
        if (louncher->hits.insert(new IpAddress(*address)))
            louncher->hitCount_.fetch_add(1);
    }
    louncher->started.store(1);
    louncher->sendFinished.store(1);
}

// The sweep ends once its hits are in, as after the receiver's grace time.
void endWhenPrepared(Louncher* louncher) {
    while (louncher->done.load() == 0) {
        if (louncher->sendFinished.load() != 0) {
            louncher->phase.store(3);
            louncher->graceOver.store(1);
            if (louncher->soundOn.load() == 0 || louncher->scriptEnded.load() != 0) {
                louncher->finishSweep();
                return;
            }
        }
        Sleep(10);
    }
}

} // namespace

bool startSweepThread(void (*body)(Louncher*), Louncher* louncher, std::thread& thread) {
    void (*run)(Louncher*) = body;
    if (body == &Louncher::sendLoop)
        run = prepareHits;
    else if (body == &Louncher::receiveLoop)
        run = endWhenPrepared;
    try {
        thread = std::thread(run, louncher);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Neither is called: the prepared sweep has no sender and no receiver.
int sendDatagram(SOCKET, const char*, int, const sockaddr_in*) {
    return SOCKET_ERROR;
}

int receiveDatagram(SOCKET, char*, int, sockaddr_in*) {
    return SOCKET_ERROR;
}

IpAddress* newHitAddress(std::uint32_t a) {
    return new IpAddress(static_cast<int>(a >> 24), static_cast<int>((a >> 16) & 0xFF),
                         static_cast<int>((a >> 8) & 0xFF), static_cast<int>(a & 0xFF));
}

void soundScriptPause(DWORD milliseconds, const std::atomic<std::uint8_t>& sweepDone) {
    const DWORD start = GetTickCount();
    while (sweepDone.load() == 0 && GetTickCount() - start < milliseconds)
        Sleep(10);
}
