#pragma once

#include <windows.h>
#include <winsock.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>

#include "engine/IcmpChecksum.h"
#include "net/HitList.h"
#include "net/IpAddress.h"

typedef std::list<std::string> ResultList;

// The sweep engine. One per program; a sweep is setRange, fire, polling isDone, copyHits.
//
// Who writes what while a sweep runs (everyone else only reads):
//   started, sentCount_, sendFinished, *cursor   sender thread
//   hitCount_, hits (under hitsLock)             receiver thread
//   phase                                        receiver (writes 3) and sound thread (adds 1)
//   done (under hitsLock)                        receiver, sound thread, sender (no receiver),
//                                                or main (stopSweep, fire)
//   graceOver                                    receiver
//   scriptEnded                                  sound thread
//   stopping                                     main thread (stopSweep)
//   receiverMissing                              main thread (fire)
//   failure (under failureLock)                  whichever sweep thread fails worst
//   unsent, firstUnsent (under failureLock)      sender thread
// The main thread writes the rest, and resets all of the above in setRange, only after every
// thread of the previous sweep has been joined. It alone starts and joins the threads.
class Louncher {
  public:
    Louncher();
    Louncher(const Louncher&) = delete;
    Louncher& operator=(const Louncher&) = delete;
    ~Louncher();

    // Throws Error* on failure; leaves the engine not ready.
    void init(HWND window, HINSTANCE instance, LPGUID soundDevice);
    void setRange(IpAddress* first, IpAddress* last, int soundSwitch);
    // Throws Error* when not ready. Returns once the sweep's first request has gone out, or
    // after a short wait when the sender is held up (a slow resolver, say).
    void fire();
    // The window is closing: no request goes out after this and the sweep is done at once.
    // The sweep's threads end by themselves within a fraction of a second (waitForSweepThreads).
    void stopSweep() noexcept;
    void waitForSweepThreads();

    bool isDone() const { return done.load() != 0; }
    bool isSendFinished() const { return sendFinished.load() != 0; }
    int hitCount() const { return hitCount_.load(); }
    int sentCount() const { return sentCount_.load(); }
    void copyHits(ResultList& target);

    // The message of the last sweep's failure, the one that cost hosts before any other; empty
    // when it ran clean.
    std::string failureMessage() const;
    // How many addresses of the last sweep could not be sent to, and a message that tells so
    // with the first address and its reason; empty when every address was sent to.
    int unsentCount() const { return unsent.load(); }
    std::string unsentMessage() const;

    // Thread bodies; each catches everything its sweep can throw and turns it into the end.
    static void sendLoop(Louncher* louncher);
    static void receiveLoop(Louncher* louncher);

    // The sender's walk and request. sendEcho yields the bytes sent, or SOCKET_ERROR when the
    // failure belongs to the destination (its Winsock error in *destinationError); it throws
    // Error* when the socket itself failed. A full send buffer is waited out, bounded, unless
    // the sweep is stopped: 0 then.
    IpAddress* nextAddress();
    int sendEcho(SOCKET s, const sockaddr_in* destination, int* destinationError);

    // The receiver's wait and read. The socket does not block. A datagram that failed on its
    // own (too big, or an error left by an earlier send) is skipped, not the receiver.
    enum class Reply { Received, Skipped, NoneWaiting };
    int waitReadable(SOCKET s);
    Reply receiveReply(SOCKET s, sockaddr_in* source);
    // Throws away whatever the socket holds, so that only the coming sweep's datagrams count.
    void discardWaiting(SOCKET s);

    // Ends the sweep: done is set under hitsLock, so no insertion is under way or begins after.
    void finishSweep() noexcept;
    // The script has played what it could. The sweep ends now if the receiver's grace time
    // after sending is over, else by the receiver when it is: what the effect files hold never
    // shortens the wait for late replies.
    void soundScriptEnded() noexcept;
    // The sound script could not go on: the sweep ends as a silent one does, by the receiver's
    // grace time after sending. Sound never shows a message.
    void soundScriptFailed() noexcept;

    std::atomic<std::uint8_t> started{0};
    std::atomic<std::uint8_t> done{0};
    std::atomic<std::uint8_t> ready{0};
    std::atomic<std::uint8_t> sendFinished{0};
    IpAddress* from = nullptr;
    IpAddress* to = nullptr;
    IpAddress* cursor = nullptr;
    std::atomic<std::int32_t> phase{1};
    std::atomic<std::int32_t> sentCount_{0}; // read through sentCount()
    std::atomic<std::int32_t> hitCount_{0};  // read through hitCount()
    SOCKET socket = 0;
    WSADATA wsaData{};
    std::uint16_t winsockVersion = 0;
    HitList hits;
    std::atomic<std::int32_t> soundOn{1};
    std::atomic<std::uint8_t> graceOver{0};
    std::atomic<std::uint8_t> scriptEnded{0};
    std::atomic<std::uint8_t> stopping{0};
    std::atomic<std::uint8_t> receiverMissing{0}; // its thread could not start

  private:
    // What a failure cost: a socket that failed loses hosts, and its message is the one shown.
    enum class Failure { Other = 1, Socket = 2 };
    // Keeps the sweep's worst failure (the first of its kind), prefix and text joined; never
    // throws. Unless told otherwise, the failure also ends the sending: the range counts as
    // exhausted.
    void recordFailure(const char* prefix, const char* text, Failure kind,
                       bool endsSending = true) noexcept;
    void recordUnsent(const IpAddress& address, const char* reason) noexcept;
    void sendToAddress(const IpAddress& address);
    void countSource(std::uint32_t address, std::unordered_set<std::uint32_t>& counted);
    bool sweepFailed() const { return sendingStopped.load() != 0; }
    bool launch(void (*body)(Louncher*));
    static void runSoundScript(Louncher* louncher);

    std::mutex hitsLock;
    mutable std::mutex failureLock;
    std::string failure;
    int failureKept = 0;        // the Failure whose message is in failure, 0 for none
    std::atomic<int> failed{0}; // the worst Failure of the sweep, 0 for none
    std::atomic<std::uint8_t> sendingStopped{0};
    std::atomic<int> unsent{0};
    std::string firstUnsent; // "address : reason"
    bool soundAvailable = true;
    // The sender, the sound thread and the receiver of the sweep, joined before the next one
    // and before the engine goes: nothing of theirs is left running then, their locals included.
    std::thread threads[3];
    int threadCount = 0;
};

[[noreturn]] void raiseSocketError();
