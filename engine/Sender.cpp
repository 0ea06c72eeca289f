#include "engine/Louncher.h"

#include <mmsystem.h>

#include <cstring>

#include "engine/Error.h"
#include "engine/SystemCalls.h"

namespace {

const int echoRequestSize = 48;

// Refilled for every request; only the sender thread touches it and the two counters, and the
// senders of successive sweeps never overlap.
unsigned char EchoRequest[echoRequestSize];
std::uint32_t echoIdentifier = 1;
std::uint32_t echoSequence = 1;

void putLittleEndian16(unsigned char* at, std::uint32_t value) {
    at[0] = static_cast<unsigned char>(value & 0xFF);
    at[1] = static_cast<unsigned char>(value >> 8 & 0xFF);
}

void putLittleEndian32(unsigned char* at, std::uint32_t value) {
    putLittleEndian16(at, value & 0xFFFF);
    putLittleEndian16(at + 2, value >> 16);
}

// Where the address's text is not a plain dotted address to inet_addr (255.255.255.255 reads
// as INADDR_NONE), the resolver decides; false when it knows no such host.
bool resolve(const IpAddress& address, in_addr& destination) {
    const unsigned long converted = inet_addr(address.text().c_str());
    if (converted != INADDR_NONE) {
        destination.s_addr = static_cast<decltype(destination.s_addr)>(converted);
        return true;
    }
    const hostent* host = gethostbyname(address.text().c_str());
    if (host == nullptr || host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr)
        return false;
    std::size_t length = static_cast<std::size_t>(host->h_length);
    if (length > sizeof destination)
        length = sizeof destination;
    std::memcpy(&destination, host->h_addr_list[0], length);
    return true;
}

// Failures that belong to the destination: the next address may well be sent to. Anything
// else is taken for a fault of the socket itself, which ends the sweep.
const char* destinationFailure(int error) {
    switch (error) {
    case WSAEACCES: // the broadcast address without SO_BROADCAST, or a firewall's refusal
        return "Sending Refused";
    case WSAENETUNREACH:
        return "Network Unreachable";
    case WSAEHOSTUNREACH:
        return "Host Unreachable";
    case WSAEHOSTDOWN:
        return "Host Down";
    case WSAEADDRNOTAVAIL:
        return "Address Not Available";
    case WSAEWOULDBLOCK: // still so once the wait for a writable socket is over
        return "Send Buffer Full";
    default:
        return nullptr;
    }
}

// How long one request may wait for room in a full send buffer before its address is given up,
// and the steps it waits in, each followed by a look at whether the sweep was stopped.
const DWORD fullBufferWait = 1000;
const DWORD fullBufferStep = 50;

// True when the socket can take a datagram within the time given.
bool waitWritable(SOCKET s, DWORD milliseconds) {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(s, &writable);
    timeval wait{};
    wait.tv_sec = static_cast<long>(milliseconds / 1000);
    wait.tv_usec = static_cast<long>(milliseconds % 1000 * 1000);
    return select(1, nullptr, &writable, nullptr, &wait) > 0;
}

} // namespace

IpAddress* Louncher::nextAddress() {
    if (sentCount_.load() == 0) {
        sentCount_.store(1);
        return cursor;
    }
    cursor->setOctet(3, cursor->octet(3) + 1);
    if (cursor->octet(3) == 256) {
        for (int b = 3; b >= 1; --b) {
            if (cursor->octet(b) == 256) {
                cursor->setOctet(b, 0);
                cursor->setOctet(b - 1, cursor->octet(b - 1) + 1);
            }
        }
        // Past 255.255.255.255: the address space does not wrap round.
        if (cursor->octet(0) == 256)
            return nullptr;
    }
    if (HitList::less(*cursor, *to) || HitList::equal(*cursor, *to)) {
        sentCount_.fetch_add(1);
        return cursor;
    }
    return nullptr;
}

int Louncher::sendEcho(SOCKET s, const sockaddr_in* destination, int* destinationError) {
    EchoRequest[0] = 8;
    EchoRequest[1] = 0;
    putLittleEndian16(EchoRequest + 2, 0);
    putLittleEndian16(EchoRequest + 4, echoIdentifier);
    ++echoIdentifier;
    putLittleEndian16(EchoRequest + 6, echoSequence);
    ++echoSequence;
    for (int i = 0; i < 32; ++i)
        EchoRequest[16 + i] = static_cast<unsigned char>(0x20 + i);
    putLittleEndian32(EchoRequest + 12, GetTickCount());
    putLittleEndian16(EchoRequest + 2, icmpChecksum(EchoRequest, echoRequestSize));

    const DWORD firstTry = GetTickCount();
    for (int retries = 0;; ++retries) {
        const int sent = ::sendDatagram(s, reinterpret_cast<const char*>(EchoRequest),
                                        echoRequestSize, destination);
        if (sent != SOCKET_ERROR)
            return sent;
        const int error = WSAGetLastError();
        // The socket does not block (the receiver drains it): a full send buffer is waited out
        // and the same request sent again.
        if (error == WSAEWOULDBLOCK || error == WSAENOBUFS) {
            if (stopping.load() != 0)
                return 0; // the window is closing: nothing sent, nothing to tell
            const DWORD waited = GetTickCount() - firstTry;
            if (waited < fullBufferWait) {
                // A socket that says it is writable and still refuses is not asked in a spin.
                const DWORD left = fullBufferWait - waited;
                if (!waitWritable(s, left < fullBufferStep ? left : fullBufferStep) ||
                    error == WSAENOBUFS || retries > 0)
                    Sleep(1);
                continue;
            }
        }
        if (destinationFailure(error) == nullptr && error != WSAENOBUFS)
            raiseSocketError();
        if (destinationError != nullptr)
            *destinationError = error == WSAENOBUFS ? WSAEWOULDBLOCK : error;
        return SOCKET_ERROR;
    }
}

// Three requests, 10 ms apart, to an address resolved once. An address that cannot be sent to
// is given up at its first failure; its remaining requests keep their time, so the pace of the
// sweep stays the same. A stopped sweep sends nothing more.
void Louncher::sendToAddress(const IpAddress& address) {
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = 0;
    const char* reason = nullptr;
    if (!resolve(address, destination.sin_addr)) {
        reason = "Unable to resolve Host";
        recordUnsent(address, reason);
    }
    for (int request = 0; request < 3 && stopping.load() == 0; ++request) {
        if (reason == nullptr) {
            int error = 0;
            if (sendEcho(socket, &destination, &error) == SOCKET_ERROR) {
                reason = destinationFailure(error);
                recordUnsent(address, reason);
            }
        }
        // Tried is enough: fire() must not wait on a range that cannot be sent to.
        if (started.load() == 0)
            started.store(1);
        Sleep(10);
    }
}

void Louncher::sendLoop(Louncher* louncher) {
    // Windows sleeps in steps of about 15.6 ms unless asked for finer ones, which would stretch
    // every 10 ms pause and the whole sweep by half.
    const bool fineTimer = timeBeginPeriod(1) == TIMERR_NOERROR;
    try {
        // After a failure elsewhere in the sweep the range counts as exhausted.
        while (!louncher->sweepFailed() && louncher->stopping.load() == 0) {
            IpAddress* address = louncher->nextAddress();
            if (address == nullptr)
                break;
            louncher->sendToAddress(*address);
        }
    } catch (Error* error) {
        louncher->recordFailure("", error->message().c_str(), Failure::Socket);
        delete error;
    } catch (const std::exception& exception) {
        louncher->recordFailure("Error : ", exception.what(), Failure::Other);
    } catch (...) {
        louncher->recordFailure("Error : ", "Sender Failed", Failure::Other);
    }
    if (fineTimer)
        timeEndPeriod(1);
    louncher->sendFinished.store(1);
    if (louncher->receiverMissing.load() != 0)
        louncher->finishSweep(); // no receiver to end the sweep after its grace time
}
