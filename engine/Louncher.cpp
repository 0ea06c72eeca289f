#include "engine/Louncher.h"

#include <exception>
#include <thread>

#include "engine/Error.h"
#include "engine/SoundScript.h"
#include "engine/SystemCalls.h"
#include "sound/SoundDevice.h"

namespace {

const char* const threadStartFailed = "Thread could not be started";
const char* const errorPrefix = "Error : ";
// How long fire() waits for the sweep's first request before it starts the receiver anyway.
const DWORD firstRequestWait = 100;

} // namespace

void raiseSocketError() {
    throw new Error("Windows Socket Operation Failed");
}

Louncher::Louncher() = default;

// Nothing may be thrown from here: it runs at program exit, where nothing would catch it.
Louncher::~Louncher() {
    waitForSweepThreads();
    if (ready.load() != 0) {
        closesocket(socket);
        WSACleanup();
        releaseSound();
    }
}

void Louncher::init(HWND window, HINSTANCE instance, LPGUID soundDevice) {
    winsockVersion = 0x0101;
    if (WSAStartup(winsockVersion, &wsaData) != 0)
        throw new Error("Winsock Initialize");
    if (wsaData.wVersion != winsockVersion)
        throw new Error("Winsock Version");

    socket = ::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (socket == INVALID_SOCKET)
        raiseSocketError();
    // The receiver drains every waiting datagram after each wait, so reads must not block.
    // Winsock reads only from a bound socket, and a first send that fails binds nothing: bound
    // here, the receiver may start before any request has gone out.
    u_long nonBlocking = 1;
    sockaddr_in anyLocal{};
    anyLocal.sin_family = AF_INET;
    anyLocal.sin_addr.s_addr = htonl(INADDR_ANY);
    if (ioctlsocket(socket, FIONBIO, &nonBlocking) == SOCKET_ERROR ||
        bind(socket, reinterpret_cast<const sockaddr*>(&anyLocal), sizeof anyLocal) ==
            SOCKET_ERROR) {
        closesocket(socket);
        raiseSocketError();
    }
    // Room for a flood's burst while the receiver is held up, so that replies behind it are
    // not dropped. The system may grant less (its ceiling); a refusal leaves the default.
    const int receiveBuffer = 4 * 1024 * 1024;
    setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
               sizeof receiveBuffer);

    if (!initSound(window, instance, soundDevice)) {
        soundAvailable = false;
        soundOn.store(0);
    }
    ready.store(1);
}

void Louncher::setRange(IpAddress* first, IpAddress* last, int soundSwitch) {
    // A receiver may still be inside its last wait; it must not run into this sweep.
    waitForSweepThreads();

    from = first;
    to = last;
    cursor = first;
    soundOn.store(soundAvailable && soundSwitch != 0 ? 1 : 0);
    {
        std::lock_guard<std::mutex> lock(hitsLock);
        hits.clear();
    }
    phase.store(1);
    hitCount_.store(0);
    sentCount_.store(0);
    started.store(0);
    sendFinished.store(0);
    graceOver.store(0);
    scriptEnded.store(0);
    stopping.store(0);
    receiverMissing.store(0);
    done.store(0);

    std::lock_guard<std::mutex> lock(failureLock);
    failure.clear();
    failureKept = 0;
    failed.store(0);
    sendingStopped.store(0);
    firstUnsent.clear();
    unsent.store(0);
}

void Louncher::fire() {
    if (ready.load() == 0)
        throw new Error("Louncher::fire() not initialized");
    waitForSweepThreads();
    // Late replies of the last sweep, pings of this machine and the like are not this sweep's.
    discardWaiting(socket);

    if (!launch(sendLoop)) {
        recordFailure(errorPrefix, threadStartFailed, Failure::Other);
        sendFinished.store(1);
    }
    // Without its sound thread the sweep is ended by the receiver's grace time instead.
    if (soundOn.load() == 1 && !launch(runSoundScript))
        soundOn.store(0);

    // The socket is bound, so the receiver needs no request sent before it; the wait only keeps
    // the usual order, and is bounded: the window's thread must not wait on a resolver.
    const DWORD waitStart = GetTickCount();
    while (started.load() == 0 && sendFinished.load() == 0 &&
           GetTickCount() - waitStart < firstRequestWait)
        Sleep(1);

    if (!launch(receiveLoop)) {
        // Nobody would hear a reply: the sending stops, and the sweep ends with the failure as
        // soon as the sender is through, the window's thread free for its input all along.
        recordFailure(errorPrefix, threadStartFailed, Failure::Other);
        receiverMissing.store(1);
        if (sendFinished.load() != 0)
            finishSweep();
    }
}

void Louncher::copyHits(ResultList& target) {
    if (started.load() == 0 && sendFinished.load() == 0 && done.load() == 0)
        return;
    std::lock_guard<std::mutex> lock(hitsLock);
    hits.copyTo(target);
}

void Louncher::stopSweep() noexcept {
    stopping.store(1);
    finishSweep();
}

std::string Louncher::failureMessage() const {
    std::lock_guard<std::mutex> lock(failureLock);
    if (failed.load() > failureKept)
        return "Error : Out of Memory"; // the failure's own message could not be kept
    return failure;
}

std::string Louncher::unsentMessage() const {
    const int count = unsent.load();
    if (count == 0)
        return std::string();
    std::lock_guard<std::mutex> lock(failureLock);
    std::string message = "Unable to send to " + std::to_string(count) +
                          (count == 1 ? " address\n" : " addresses\nfirst : ");
    return message + firstUnsent;
}

void Louncher::finishSweep() noexcept {
    try {
        std::lock_guard<std::mutex> lock(hitsLock);
        done.store(1);
        return;
    } catch (...) {
    }
    // The lock itself failed: the sweep must end all the same.
    done.store(1);
}

void Louncher::soundScriptEnded() noexcept {
    scriptEnded.store(1);
    // Otherwise the receiver sees scriptEnded once its grace time is over.
    if (graceOver.load() != 0)
        finishSweep();
}

void Louncher::soundScriptFailed() noexcept {
    soundOn.store(0);
}

void Louncher::recordFailure(const char* prefix, const char* text, Failure kind,
                             bool endsSending) noexcept {
    const int rank = static_cast<int>(kind);
    int worst = failed.load();
    while (worst < rank && !failed.compare_exchange_weak(worst, rank)) {
    }
    try {
        std::string message(prefix);
        message += text;
        std::lock_guard<std::mutex> lock(failureLock);
        if (failureKept < rank) {
            failure.swap(message);
            failureKept = rank;
        }
    } catch (...) {
        // No memory for the message, or no lock: failureMessage tells that instead.
    }
    if (endsSending)
        sendingStopped.store(1);
}

void Louncher::recordUnsent(const IpAddress& address, const char* reason) noexcept {
    try {
        std::string entry = address.text() + " : " + reason;
        std::lock_guard<std::mutex> lock(failureLock);
        if (unsent.load() == 0)
            firstUnsent.swap(entry);
    } catch (...) {
        // Counted without its reason.
    }
    unsent.fetch_add(1);
}

bool Louncher::launch(void (*body)(Louncher*)) {
    if (threadCount == static_cast<int>(sizeof threads / sizeof threads[0]) ||
        !startSweepThread(body, this, threads[threadCount]))
        return false;
    ++threadCount;
    return true;
}

void Louncher::runSoundScript(Louncher* louncher) {
    try {
        soundScript(louncher);
    } catch (...) {
        louncher->soundScriptFailed();
    }
}

// Never throws: join fails only for a thread joining itself, and none of ours calls this.
void Louncher::waitForSweepThreads() {
    for (; threadCount > 0; --threadCount) {
        std::thread& thread = threads[threadCount - 1];
        try {
            if (thread.joinable())
                thread.join();
        } catch (...) {
        }
    }
}
