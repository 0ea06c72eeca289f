#include "engine/Error.h"
#include "engine/Louncher.h"
#include "seams/Seams.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <new>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fakes/FakeDirectSound.h"
#include "sound/SoundDevice.h"
#include "sound/WaveBytes.h"

namespace {

TEST(EngineError, MessagesFromTextAndWhole) {
    EXPECT_EQ(Error("Winsock Version").message(), "Error : Winsock Version");
    EXPECT_EQ(Error(std::string("Unable to resolve Host :1.2.3.4")).message(),
              "Unable to resolve Host :1.2.3.4");
}

std::atomic<int> threadsAsked{0};

bool countingStarter(void (*)(Louncher*), Louncher*, std::thread&) {
    threadsAsked.fetch_add(1);
    return false;
}

TEST(EngineSetup, FireBeforeInitRefusesAndStartsNothing) {
    Louncher louncher;
    IpAddress first("10.71.59.0"), last("10.71.59.255");
    louncher.setRange(&first, &last, 1);

    const seams::ThreadStarter saved = seams::startThread;
    seams::startThread = countingStarter;
    threadsAsked = 0;
    Error* caught = nullptr;
    try {
        louncher.fire();
    } catch (Error* error) {
        caught = error;
    }
    seams::startThread = saved;

    ASSERT_NE(caught, nullptr);
    EXPECT_EQ(caught->message(), "Error : Louncher::fire() not initialized");
    delete caught;
    EXPECT_EQ(threadsAsked.load(), 0);
    EXPECT_EQ(louncher.sentCount(), 0);
    EXPECT_FALSE(louncher.isDone());

    ResultList lines;
    louncher.copyHits(lines);
    EXPECT_TRUE(lines.empty());
}

TEST(EngineSetup, SetRangeTwiceStartsAfresh) {
    Louncher louncher;
    EXPECT_EQ(louncher.soundOn.load(), 1);
    EXPECT_EQ(louncher.phase.load(), 1);
    IpAddress first("10.0.0.1"), last("10.0.0.9");
    louncher.setRange(&first, &last, 1);
    louncher.hits.insert(new IpAddress("10.0.0.3"));
    louncher.hitCount_ = 1;
    louncher.sentCount_ = 4;
    louncher.phase = 3;
    louncher.done = 1;
    louncher.setRange(&first, &last, 2);
    EXPECT_EQ(louncher.soundOn.load(), 1) << "any switch but 0 is on";
    louncher.setRange(&first, &last, 0);
    EXPECT_EQ(louncher.hits.first, nullptr);
    EXPECT_EQ(louncher.hitCount(), 0);
    EXPECT_EQ(louncher.sentCount(), 0);
    EXPECT_EQ(louncher.phase.load(), 1);
    EXPECT_FALSE(louncher.isDone());
    EXPECT_EQ(louncher.soundOn.load(), 0);
    EXPECT_EQ(louncher.cursor, &first);

    // Nothing has begun since the last setRange, so there is nothing to hand out.
    ResultList lines;
    louncher.copyHits(lines);
    EXPECT_TRUE(lines.empty());
}

std::vector<std::string> walk(const char* firstText, const char* lastText, IpAddress& first,
                              int& sent) {
    Louncher louncher;
    IpAddress last(lastText);
    first.parse(firstText);
    louncher.setRange(&first, &last, 0);
    std::vector<std::string> visited;
    while (IpAddress* address = louncher.nextAddress()) {
        EXPECT_EQ(address, &first); // the walk advances the caller's own object
        visited.push_back(address->text());
        if (visited.size() > 70000)
            break;
    }
    sent = louncher.sentCount();
    return visited;
}

TEST(EngineWalk, VisitsTheRangeInOrder) {
    IpAddress first(0, 0, 0, 0);
    int sent = 0;
    std::vector<std::string> visited = walk("10.71.59.0", "10.71.59.255", first, sent);
    ASSERT_EQ(visited.size(), 256u);
    EXPECT_EQ(visited.front(), "10.71.59.0");
    EXPECT_EQ(visited.back(), "10.71.59.255");
    EXPECT_EQ(sent, 256);
    EXPECT_EQ(first.text(), "10.71.60.0");

    EXPECT_EQ(
        walk("10.71.59.254", "10.71.60.1", first, sent),
        (std::vector<std::string>{"10.71.59.254", "10.71.59.255", "10.71.60.0", "10.71.60.1"}));
    EXPECT_EQ(sent, 4);

    EXPECT_EQ(walk("10.255.255.255", "11.0.0.0", first, sent),
              (std::vector<std::string>{"10.255.255.255", "11.0.0.0"}));

    EXPECT_EQ(walk("10.71.59.7", "10.71.59.7", first, sent),
              (std::vector<std::string>{"10.71.59.7"}));
    EXPECT_EQ(sent, 1);

    // A first address past the last is swept alone.
    EXPECT_EQ(walk("10.71.59.9", "10.71.59.1", first, sent),
              (std::vector<std::string>{"10.71.59.9"}));
    EXPECT_EQ(sent, 1);
}

TEST(EngineWalk, StopsAtTheTopOfTheAddressSpace) {
    IpAddress first(0, 0, 0, 0);
    int sent = 0;
    EXPECT_EQ(walk("255.255.255.254", "255.255.255.255", first, sent),
              (std::vector<std::string>{"255.255.255.254", "255.255.255.255"}));
    EXPECT_EQ(sent, 2);
    // Left mid-carry, never wrapped to 0.0.0.0; the text is that of the last valid moment.
    EXPECT_EQ(first.octet(0), 256);
    EXPECT_EQ(first.octet(1), 0);
    EXPECT_EQ(first.text(), "255.0.0.0");
}

// The first request of a program, filled at tick 256, is 08 00 02 FC 01 00 01 00 ...
TEST(EngineChecksum, MatchesTheInternetChecksum) {
    std::uint8_t request[48] = {8, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0};
    for (int i = 0; i < 32; ++i)
        request[16 + i] = static_cast<std::uint8_t>(0x20 + i);
    const std::uint16_t sum = icmpChecksum(request, 48);
    request[2] = static_cast<std::uint8_t>(sum & 0xFF);
    request[3] = static_cast<std::uint8_t>(sum >> 8);
    EXPECT_EQ(request[2], 0x02);
    EXPECT_EQ(request[3], 0xFC);

    // As a receiver checks it: summed with its checksum in place, a message comes to 0.
    EXPECT_EQ(icmpChecksum(request, 48), 0);

    const std::uint8_t odd[3] = {0x01, 0x02, 0x03};
    EXPECT_EQ(icmpChecksum(odd, 3), static_cast<std::uint16_t>(~(0x0201 + 0x03) & 0xFFFF));
    const std::uint8_t carries[4] = {0xFF, 0xFF, 0x01, 0x00};
    EXPECT_EQ(icmpChecksum(carries, 4), static_cast<std::uint16_t>(0xFFFE));
    EXPECT_EQ(icmpChecksum(nullptr, 0), 0xFFFF);
}

// Sweeps without the network: a stand-in takes every datagram and fails it for chosen
// destinations with chosen Winsock errors; the receiver waits on a quiet loopback socket.
namespace offline {

struct Plan {
    std::vector<int> errors; // for the first attempts in turn; later ones succeed
    bool repeatLast = false; // or fail like the last one for ever
};

std::mutex networkLock;
std::map<std::string, Plan> plans;
std::map<std::string, std::vector<std::chrono::steady_clock::time_point>> attempts;

int standInSend(SOCKET, const char*, int length, const sockaddr_in* destination) {
    const std::string to = inet_ntoa(destination->sin_addr);
    std::lock_guard<std::mutex> lock(networkLock);
    std::vector<std::chrono::steady_clock::time_point>& tries = attempts[to];
    tries.push_back(std::chrono::steady_clock::now());
    const Plan& plan = plans[to];
    const std::size_t attempt = tries.size() - 1;
    int error = 0;
    if (attempt < plan.errors.size())
        error = plan.errors[attempt];
    else if (plan.repeatLast && !plan.errors.empty())
        error = plan.errors.back();
    if (error == 0)
        return length;
    WSASetLastError(error);
    return SOCKET_ERROR;
}

std::size_t attemptsAt(const std::string& to) {
    std::lock_guard<std::mutex> lock(networkLock);
    return attempts[to].size();
}

std::size_t allAttempts() {
    std::lock_guard<std::mutex> lock(networkLock);
    std::size_t all = 0;
    for (const auto& tried : attempts)
        all += tried.second.size();
    return all;
}

// What the receiver is told of each datagram that reaches the socket, in turn: its source, or
// a Winsock error (with WSAEMSGSIZE the source too).
struct Heard {
    const char* source;
    int error;
};
std::vector<Heard> heard;
std::size_t heardNext = 0;

int standInReceive(SOCKET s, char* buffer, int length, sockaddr_in* source) {
    const int got = seams::realReceiveDatagram(s, buffer, length, source);
    std::lock_guard<std::mutex> lock(networkLock);
    if (got == SOCKET_ERROR || heardNext >= heard.size())
        return got;
    const Heard& next = heard[heardNext++];
    if (next.source != nullptr)
        source->sin_addr.s_addr = inet_addr(next.source);
    if (next.error == 0)
        return got;
    WSASetLastError(next.error);
    return SOCKET_ERROR;
}

// The first hits cannot be allocated: with bad_alloc as new fails, or with something else.
int allocationsToFail = 0;
bool failWithBadAlloc = true;

IpAddress* failingAllocator(std::uint32_t address) {
    if (allocationsToFail > 0) {
        --allocationsToFail;
        if (failWithBadAlloc)
            throw std::bad_alloc();
        throw std::runtime_error("the receiver's own trouble");
    }
    return seams::realNewHitAddress(address);
}

// A send that waits until the test lets it go, as a slow resolver holds up the first request.
std::atomic<bool> sendHeld{false};

int heldSend(SOCKET s, const char* bytes, int length, const sockaddr_in* destination) {
    while (sendHeld.load())
        Sleep(1);
    return standInSend(s, bytes, length, destination);
}

} // namespace offline

class OfflineSweep : public testing::Test {
  protected:
    void SetUp() override {
        WSADATA data{};
        ASSERT_EQ(WSAStartup(0x0101, &data), 0);
        louncher.socket = ::socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_NE(louncher.socket, INVALID_SOCKET);
        sockaddr_in here{};
        here.sin_family = AF_INET;
        here.sin_addr.s_addr = inet_addr("127.0.0.1");
        ASSERT_EQ(bind(louncher.socket, reinterpret_cast<const sockaddr*>(&here), sizeof here), 0);
        u_long nonBlocking = 1;
        ASSERT_EQ(ioctlsocket(louncher.socket, FIONBIO, &nonBlocking), 0);
        louncher.ready = 1; // closes the socket and ends Winsock when destroyed
        offline::plans.clear();
        offline::attempts.clear();
        offline::heard.clear();
        offline::heardNext = 0;
        offline::allocationsToFail = 0;
        saved = seams::sendDatagram;
        seams::sendDatagram = offline::standInSend;
        seams::receiveDatagram = offline::standInReceive;
        seams::newHitAddress = offline::failingAllocator;
    }
    void TearDown() override {
        seams::sendDatagram = saved;
        seams::receiveDatagram = seams::realReceiveDatagram;
        seams::newHitAddress = seams::realNewHitAddress;
        louncher.waitForSweepThreads();
    }

    // One datagram for each entry of offline::heard, sent to the sweep's socket from loopback.
    void datagramsArrive() {
        sockaddr_in self{};
        int length = sizeof self;
        ASSERT_EQ(getsockname(louncher.socket, reinterpret_cast<sockaddr*>(&self), &length), 0);
        const SOCKET out = ::socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_NE(out, INVALID_SOCKET);
        for (std::size_t i = 0; i < offline::heard.size(); ++i)
            EXPECT_EQ(sendto(out, "x", 1, 0, reinterpret_cast<const sockaddr*>(&self), sizeof self),
                      1);
        closesocket(out);
    }

    ResultList hitsOf() {
        ResultList lines;
        louncher.copyHits(lines);
        return lines;
    }

    // Runs a sweep of [first, last] to its end; false if done ever showed before sending ended.
    // The datagrams of offline::heard arrive once it has begun.
    bool sweep(const char* firstText, const char* lastText, int soundSwitch = 0) {
        first.parse(firstText);
        last.parse(lastText);
        louncher.setRange(&first, &last, soundSwitch);
        louncher.fire();
        if (!offline::heard.empty())
            datagramsArrive();
        bool doneWhileSending = false;
        std::chrono::steady_clock::time_point sendingOver{};
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!louncher.isDone() && std::chrono::steady_clock::now() < deadline) {
            if (sendingOver == std::chrono::steady_clock::time_point{} && louncher.isSendFinished())
                sendingOver = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(louncher.isDone()) << "the sweep did not end within a minute";
        if (sendingOver == std::chrono::steady_clock::time_point{})
            doneWhileSending = !louncher.isSendFinished();
        else
            afterSending =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - sendingOver)
                    .count();
        return !doneWhileSending;
    }

    Louncher louncher;
    IpAddress first{0, 0, 0, 0}, last{0, 0, 0, 0};
    double afterSending = 0; // seconds from the end of sending to done, as polled
    seams::DatagramSender saved = nullptr;
};

TEST_F(OfflineSweep, AnAddressThatCannotBeSentToIsSkippedNotTheSweep) {
    using offline::plans;
    plans["127.0.0.2"] = {{WSAEACCES}};
    plans["127.0.0.3"] = {{WSAEHOSTUNREACH}};
    plans["127.0.0.4"] = {{WSAENETUNREACH}};
    plans["127.0.0.5"] = {{WSAEADDRNOTAVAIL}};
    plans["127.0.0.6"] = {{WSAEWOULDBLOCK, WSAEWOULDBLOCK}}; // waited out, then sent
    plans["127.0.0.7"] = {{WSAEHOSTDOWN}};
    plans["127.0.0.8"] = {{WSAEWOULDBLOCK}, true}; // a send buffer that stays full
    ASSERT_TRUE(sweep("127.0.0.1", "127.0.0.9"));

    EXPECT_EQ(louncher.sentCount(), 9);
    EXPECT_EQ(first.text(), "127.0.0.10");
    EXPECT_EQ(louncher.failureMessage(), "");
    EXPECT_EQ(louncher.unsentCount(), 6);
    EXPECT_EQ(louncher.unsentMessage(),
              "Unable to send to 6 addresses\nfirst : 127.0.0.2 : Sending Refused");
    for (const char* given : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.7"})
        EXPECT_EQ(offline::attemptsAt(given), 1u) << given << ": tried again after its failure";
    EXPECT_EQ(offline::attemptsAt("127.0.0.6"), 5u);
    EXPECT_GT(offline::attemptsAt("127.0.0.8"), 1u);
    EXPECT_EQ(offline::attemptsAt("127.0.0.9"), 3u);
    EXPECT_EQ(offline::attemptsAt("127.0.0.1"), 3u);

    // A skipped address keeps the time of its three requests: the pace does not change.
    const auto gap =
        offline::attempts["127.0.0.3"].front() - offline::attempts["127.0.0.2"].front();
    EXPECT_GE(gap, std::chrono::milliseconds(29));

    // One address alone: its own message.
    offline::plans.clear();
    offline::attempts.clear();
    plans["127.0.0.4"] = {{WSAEACCES}};
    ASSERT_TRUE(sweep("127.0.0.4", "127.0.0.4"));
    EXPECT_EQ(louncher.unsentMessage(), "Unable to send to 1 address\n127.0.0.4 : Sending Refused");
    EXPECT_EQ(louncher.sentCount(), 1);
}

TEST_F(OfflineSweep, AFailureOfTheSocketItselfEndsTheSweep) {
    for (int error : {WSAENETDOWN, WSAENOTSOCK}) {
        SCOPED_TRACE(error);
        offline::plans.clear();
        offline::attempts.clear();
        offline::plans["127.0.0.3"] = {{error}};
        ASSERT_TRUE(sweep("127.0.0.1", "127.0.0.6"));
        EXPECT_EQ(louncher.failureMessage(), "Error : Windows Socket Operation Failed");
        EXPECT_EQ(louncher.sentCount(), 3);
        EXPECT_EQ(louncher.unsentCount(), 0);
        EXPECT_EQ(louncher.unsentMessage(), "");
        EXPECT_EQ(offline::attemptsAt("127.0.0.4"), 0u);
    }
}

// With sound on, the sweep ends no sooner than the receiver's grace time after sending,
// whatever the effects: without their files (a program copied alone), and with a script that
// fails while the sender still walks the range; sound shows no message.
TEST_F(OfflineSweep, WithSoundOnTheEffectsNeverShortenTheWaitForLateReplies) {
    wavebytes::ScratchFolder folder;
    wavebytes::InFolder inFolder{folder.path()};
    FakeDirectSound device;
    SoundDevice::device = &device;
    int sentWhenItFailed = -1;
    for (const bool failing : {false, true}) {
        SCOPED_TRACE(failing ? "the script fails" : "no effect files");
        if (failing) {
            for (const char* name :
                 {"a_.wav", "tata.wav", "tah.wav", "canthear.wav", "muteki.wav", "abeshi.wav"})
                folder.write(name, wavebytes::pcmWave(wavebytes::textBytes(name)));
            device.beforeCreate = [&] {
                sentWhenItFailed = louncher.sentCount();
                throw std::runtime_error("the device went away");
            };
        }
        EXPECT_TRUE(sweep("127.0.0.1", "127.0.0.20", 1)) << "done while the sender still ran";
        EXPECT_EQ(louncher.sentCount(), 20);
        EXPECT_EQ(first.text(), "127.0.0.21");
        EXPECT_GE(afterSending, 2.0) << "no grace time after sending";
        EXPECT_EQ(louncher.failureMessage(), "");
    }
    releaseSound();
    SoundDevice::device = nullptr;
    EXPECT_GE(sentWhenItFailed, 0);
    EXPECT_LT(sentWhenItFailed, 20) << "the script failed only after sending";
}

// A datagram that fails on its own is skipped; one hit that cannot be stored is lost alone.
TEST_F(OfflineSweep, TheReceiverSkipsWhatFailsForOneDatagramOrOneHit) {
    offline::heard = {{"127.0.0.2", WSAECONNRESET},
                      {nullptr, WSAENETRESET},
                      {"127.0.0.3", WSAEMSGSIZE},
                      {"127.0.0.4", 0},
                      {"127.0.0.5", 0},
                      {"127.0.0.4", 0}};
    offline::allocationsToFail = 1; // 127.0.0.3's
    ASSERT_TRUE(sweep("127.0.0.1", "127.0.0.9"));
    EXPECT_EQ(louncher.failureMessage(), "");
    EXPECT_EQ(louncher.sentCount(), 9);
    EXPECT_EQ(offline::attemptsAt("127.0.0.9"), 3u);
    EXPECT_EQ(hitsOf(), (ResultList{"127.0.0.4", "127.0.0.5"}));
    EXPECT_EQ(louncher.hitCount(), 2);
}

// A receiver that fails for good costs the replies: nobody could hear one, so the sending stops
// too, and the sweep still ends by its grace time, its failure the message. That holds for a
// failure of its own that is no socket's, which then leaves no later one to happen.
TEST_F(OfflineSweep, AFailedReceiverStopsTheSendingAndTheSweepEndsWithItsFailure) {
    offline::heard = {{"127.0.0.2", WSAENETDOWN}};
    ASSERT_TRUE(sweep("127.0.0.1", "127.0.0.20"));
    EXPECT_EQ(louncher.failureMessage(), "Error : Windows Socket Operation Failed");
    EXPECT_GE(louncher.sentCount(), 1) << "the failure came with the first datagram";
    EXPECT_LT(louncher.sentCount(), 20);
    EXPECT_EQ(offline::attemptsAt("127.0.0.20"), 0u);
    EXPECT_NE(first.text(), "127.0.0.21");
    EXPECT_GE(afterSending, 2.0);

    offline::heard = {{"127.0.0.2", 0}};
    offline::heardNext = 0;
    offline::allocationsToFail = 1;
    offline::failWithBadAlloc = false;
    offline::attempts.clear();
    offline::plans["127.0.0.15"] = {{WSAENETDOWN}};
    ASSERT_TRUE(sweep("127.0.0.1", "127.0.0.20"));
    offline::failWithBadAlloc = true;
    EXPECT_EQ(louncher.failureMessage(), "Error : the receiver's own trouble");
    EXPECT_LT(louncher.sentCount(), 15);
    EXPECT_EQ(offline::attemptsAt("127.0.0.15"), 0u) << "the sending stopped with the receiver";
}

// Closing the window: the sweep is done at once, no request follows (one may be on its way),
// and its threads end though the sound script is in the middle of a long pause.
TEST_F(OfflineSweep, AStoppedSweepIsDoneAtOnceAndSendsNoMore) {
    wavebytes::ScratchFolder folder;
    wavebytes::InFolder inFolder{folder.path()};
    for (const char* name :
         {"a_.wav", "tata.wav", "tah.wav", "canthear.wav", "muteki.wav", "abeshi.wav"})
        folder.write(name, wavebytes::pcmWave(wavebytes::textBytes(name)));
    FakeDirectSound device;
    SoundDevice::device = &device;
    first.parse("127.0.0.1");
    last.parse("127.0.0.250");
    louncher.setRange(&first, &last, 1);
    louncher.fire();
    while (louncher.sentCount() < 5)
        Sleep(1);
    louncher.stopSweep();
    const std::size_t sentWhenStopped = offline::allAttempts();
    EXPECT_TRUE(louncher.isDone());
    louncher.waitForSweepThreads();
    EXPECT_LE(offline::allAttempts(), sentWhenStopped + 1);
    EXPECT_LT(louncher.sentCount(), 250);
    releaseSound();
    SoundDevice::device = nullptr;
}

// The window's thread does not wait on the sender's first request, however long that takes
// (a resolver that does not answer); the sweep goes on once it has gone out.
TEST_F(OfflineSweep, FireDoesNotWaitOnAFirstRequestThatIsHeldUp) {
    offline::sendHeld = true;
    seams::sendDatagram = offline::heldSend;
    first.parse("127.0.0.1");
    last.parse("127.0.0.3");
    louncher.setRange(&first, &last, 0);
    louncher.fire();
    EXPECT_EQ(louncher.started.load(), 0) << "fire returned only after the first request";
    offline::sendHeld = false;
    while (!louncher.isDone())
        Sleep(5);
    EXPECT_EQ(louncher.sentCount(), 3);
    EXPECT_EQ(offline::attemptsAt("127.0.0.3"), 3u);
}

} // namespace
