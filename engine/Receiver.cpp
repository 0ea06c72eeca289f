#include "engine/Louncher.h"

#include "engine/Error.h"
#include "engine/SystemCalls.h"

#include <new>
#include <unordered_set>

namespace {

const int replyBufferSize = 324;
const std::uint32_t graceMilliseconds = 2000;
// Datagrams read after one wait before the loop looks at the sweep's state again.
const int readsPerWait = 64;
// What fire() throws away is bounded, so that a flood between sweeps cannot hold it up.
const DWORD discardLimitMilliseconds = 200;
// The receiver's wait for a datagram, and the steps it is taken in: a sweep stopped by closing
// the window is joined before the program ends, within one step.
const DWORD waitMilliseconds = 1000;
const DWORD stepMilliseconds = 50;

} // namespace

// Up to a second, as the sweep's timing wants (the flurry, the grace time), but in short steps
// that look at the end of the sweep: one stopped by closing the window lets its receiver go at
// once.
int Louncher::waitReadable(SOCKET s) {
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD waited = GetTickCount() - start;
        if (waited >= waitMilliseconds)
            return 0;
        const DWORD step = waitMilliseconds - waited < stepMilliseconds ? waitMilliseconds - waited
                                                                        : stepMilliseconds;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval timeout{};
        timeout.tv_sec = 0;
        timeout.tv_usec = static_cast<long>(step) * 1000;
        const int result = select(1, &readable, nullptr, nullptr, &timeout);
        if (result != 0 || done.load() != 0)
            return result;
    }
}

Louncher::Reply Louncher::receiveReply(SOCKET s, sockaddr_in* source) {
    char buffer[replyBufferSize];
    if (receiveDatagram(s, buffer, replyBufferSize, source) != SOCKET_ERROR)
        return Reply::Received;
    switch (WSAGetLastError()) {
    case WSAEMSGSIZE: // an oversized datagram still has a sender; any host could end a sweep
        return Reply::Received;
    case WSAECONNRESET: // what Windows reports after an ICMP error for an earlier send
    case WSAENETRESET:
        return Reply::Skipped;
    case WSAEWOULDBLOCK:
        return Reply::NoneWaiting;
    default:
        raiseSocketError();
    }
}

// One source heard: a new one becomes a hit. Out of memory loses this hit, not the sweep; the
// source is tried again when it is next heard.
void Louncher::countSource(std::uint32_t address, std::unordered_set<std::uint32_t>& counted) {
    if (counted.count(address) != 0)
        return;
    try {
        if (hits.insert(newHitAddress(address))) {
            hitCount_.fetch_add(1);
            counted.insert(address);
        }
    } catch (const std::bad_alloc&) {
    }
}

void Louncher::receiveLoop(Louncher* louncher) {
    // Sources already in this sweep's hits. A flood repeats a few sources many thousand times;
    // known ones are told apart here, without an address to build or the list to walk or lock.
    std::unordered_set<std::uint32_t> counted;
    bool draining = false;
    std::uint32_t drainStart = 0;
    bool socketUsable = true;
    for (;;) {
        if (louncher->done.load() != 0)
            break;
        if (louncher->sendFinished.load() != 0) {
            if (!draining) {
                drainStart = GetTickCount();
                draining = true;
            }
            louncher->phase.store(3);
            const std::uint32_t waited = static_cast<std::uint32_t>(GetTickCount() - drainStart);
            if (waited > graceMilliseconds) {
                louncher->graceOver.store(1);
                if (louncher->soundOn.load() == 0 || louncher->scriptEnded.load() != 0) {
                    louncher->finishSweep();
                    break;
                }
            }
        }
        if (!socketUsable) {
            // After a failed wait or read the sweep still ends as usual, without replies.
            Sleep(100);
            continue;
        }
        try {
            const int readable = louncher->waitReadable(louncher->socket);
            if (readable == SOCKET_ERROR)
                raiseSocketError();
            if (readable == 0)
                continue;
            // Everything waiting is read before the next wait: under a flood a wait costs as
            // much as several reads, and replies lost in a full socket buffer are lost hosts.
            std::uint32_t fresh[readsPerWait];
            int freshCount = 0;
            sockaddr_in source{};
            for (int read = 0; read < readsPerWait; ++read) {
                const Reply reply = louncher->receiveReply(louncher->socket, &source);
                if (reply == Reply::NoneWaiting)
                    break;
                const std::uint32_t address = ntohl(source.sin_addr.s_addr);
                if (reply == Reply::Received && counted.count(address) == 0)
                    fresh[freshCount++] = address;
                source = sockaddr_in{};
            }
            if (freshCount == 0)
                continue;
            std::lock_guard<std::mutex> lock(louncher->hitsLock);
            if (louncher->done.load() != 0)
                break;
            for (int i = 0; i < freshCount; ++i)
                louncher->countSource(fresh[i], counted);
        } catch (Error* error) {
            // Nobody hears a reply from now on: the sending stops, the sweep ends as it would.
            louncher->recordFailure("", error->message().c_str(), Failure::Socket);
            delete error;
            socketUsable = false;
        } catch (const std::exception& exception) {
            louncher->recordFailure("Error : ", exception.what(), Failure::Other);
            socketUsable = false;
        } catch (...) {
            louncher->recordFailure("Error : ", "Receiver Failed", Failure::Other);
            socketUsable = false;
        }
    }
}

void Louncher::discardWaiting(SOCKET s) {
    const DWORD start = GetTickCount();
    char buffer[replyBufferSize];
    while (GetTickCount() - start < discardLimitMilliseconds) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval now{};
        if (select(1, &readable, nullptr, nullptr, &now) <= 0)
            return;
        sockaddr_in source{};
        int sourceLength = sizeof(sockaddr_in);
        if (recvfrom(s, buffer, replyBufferSize, 0, reinterpret_cast<sockaddr*>(&source),
                     &sourceLength) == SOCKET_ERROR &&
            WSAGetLastError() != WSAEMSGSIZE)
            return;
    }
}
