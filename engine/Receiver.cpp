#include "engine/Louncher.h"

#include "engine/Error.h"

namespace {

const int replyBufferSize = 324;
const std::uint32_t graceMilliseconds = 2000;
// Datagrams read after one wait before the loop looks at the sweep's state again.
const int readsPerWait = 64;
// What fire() throws away is bounded, so that a flood between sweeps cannot hold it up.
const DWORD discardLimitMilliseconds = 200;

} // namespace

int Louncher::waitReadable(SOCKET s) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval oneSecond{};
    oneSecond.tv_sec = 1;
    oneSecond.tv_usec = 0;
    return select(1, &readable, nullptr, nullptr, &oneSecond);
}

bool Louncher::receiveReply(SOCKET s, sockaddr_in* source) {
    char buffer[replyBufferSize];
    int sourceLength = sizeof(sockaddr_in);
    const int received =
        recvfrom(s, buffer, replyBufferSize, 0, reinterpret_cast<sockaddr*>(source), &sourceLength);
    if (received != SOCKET_ERROR)
        return true;
    const int error = WSAGetLastError();
    // An oversized datagram still has a sender; failing here would let any host end a sweep.
    if (error == WSAEMSGSIZE)
        return true;
    if (error == WSAEWOULDBLOCK)
        return false;
    raiseSocketError();
}

void Louncher::receiveLoop(Louncher* louncher) {
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
            if (waited > graceMilliseconds && louncher->soundOn.load() == 0) {
                louncher->finishSweep();
                break;
            }
        }
        if (!socketUsable) {
            // After a failed wait or read the sweep still runs to its end, without replies.
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
            bool sweepOver = false;
            sockaddr_in source{};
            for (int read = 0; read < readsPerWait && !sweepOver &&
                               louncher->receiveReply(louncher->socket, &source);
                 ++read) {
                IpAddress* address = new IpAddress(inet_ntoa(source.sin_addr));
                std::lock_guard<std::mutex> lock(louncher->hitsLock);
                if (louncher->done.load() != 0) {
                    delete address;
                    sweepOver = true;
                } else if (louncher->hits.insert(address)) {
                    louncher->hitCount_.fetch_add(1);
                }
                source = sockaddr_in{};
            }
            if (sweepOver)
                break;
        } catch (Error* error) {
            louncher->recordFailure("", error->message().c_str());
            delete error;
            socketUsable = false;
        } catch (const std::exception& exception) {
            louncher->recordFailure("Error : ", exception.what());
            socketUsable = false;
        } catch (...) {
            louncher->recordFailure("Error : ", "Receiver Failed");
            socketUsable = false;
        }
    }
    louncher->threadEnded();
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
