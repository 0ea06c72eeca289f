#include "engine/Error.h"
#include "engine/Louncher.h"
#include "seams/Seams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/Capture.h"
#include "support/Lab.h"

// Sweeps with real ICMP, only ever inside the lab's scan namespace (scripts/lab.sh), which
// the test runner brings up and announces through BRIXLE_LAB and the variables beside it.
namespace {

// The lab's hosts as the engine lists its hits.
ResultList labHits(const std::string& first, const std::string& last, bool withLate) {
    const std::vector<std::string> hosts = labHostsBetween(first, last, withLate);
    return ResultList(hosts.begin(), hosts.end());
}

struct Sweep {
    ResultList hits;
    int hitCount = 0;
    int sentCount = 0;
    std::string failure;
    std::string unsent;         // the message about addresses that could not be sent to
    std::string firstAfter;     // what the caller's first-address object holds afterwards
    double endAfterSending = 0; // seconds from sendFinished to done, as polled
    double started = 0;         // wall clock, for matching the capture
    double ended = 0;
};

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Sweep runSweep(Louncher& louncher, const char* firstText, const char* lastText) {
    IpAddress first(firstText), last(lastText);
    Sweep sweep;
    louncher.setRange(&first, &last, 1);
    sweep.started = wallSeconds();
    louncher.fire();
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    std::chrono::steady_clock::time_point finishedSending{};
    bool sawFinish = false;
    while (!louncher.isDone() && std::chrono::steady_clock::now() < limit) {
        if (!sawFinish && louncher.isSendFinished()) {
            finishedSending = std::chrono::steady_clock::now();
            sawFinish = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(louncher.isDone()) << "sweep did not end within two minutes";
    EXPECT_TRUE(louncher.isSendFinished());
    if (sawFinish)
        sweep.endAfterSending =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - finishedSending)
                .count();
    sweep.ended = wallSeconds();
    louncher.copyHits(sweep.hits);
    sweep.hitCount = louncher.hitCount();
    sweep.sentCount = louncher.sentCount();
    sweep.failure = louncher.failureMessage();
    sweep.unsent = louncher.unsentMessage();
    sweep.firstAfter = first.text();
    return sweep;
}

class LabSweep : public ::testing::Test {
  protected:
    void SetUp() override {
        if (labVariable("BRIXLE_LAB") != "1")
            GTEST_SKIP() << "needs the lab network: run through scripts/test.sh (as root)";
        // A lab.env sourced in a root shell names the lab's range but is not the lab.
        ASSERT_TRUE(insideScanNamespace())
            << "refusing to sweep outside the lab's scan namespace "
            << labVariable("BRIXLE_LAB_SCAN")
            << " (under Wine: where the wineserver runs); run through scripts/lab.sh";
        const std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
        // Tests that need a router, or a capture of every request, run in the routed lab only.
        if (lanLab() && name.find("Routed") != std::string::npos)
            GTEST_SKIP() << "routed lab only";
        if (!lanLab() && name.find("OwnLan") != std::string::npos)
            GTEST_SKIP() << "LAN lab only";
        try {
            louncher.init(nullptr, nullptr, nullptr);
        } catch (Error* error) {
            const std::string message = error->message();
            delete error;
            GTEST_SKIP() << "the raw ICMP socket cannot be opened here (" << message
                         << "): needs root or administrator rights";
        }
    }

    // The requests of a sweep, from the lab's capture; tcpdump writes each packet as it goes,
    // but give it a moment to reach the file.
    std::vector<CapturedRequest> capturedDuring(const Sweep& sweep) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::vector<CapturedRequest> during;
        for (const CapturedRequest& request : readEchoRequests(labVariable("BRIXLE_LAB_PCAP"))) {
            if (request.seconds >= sweep.started - 0.02 && request.seconds <= sweep.ended)
                during.push_back(request);
        }
        return during;
    }

    Louncher louncher;
};

std::uint32_t tickOf(const CapturedRequest& request) {
    return static_cast<std::uint32_t>(request.icmp[12]) |
           static_cast<std::uint32_t>(request.icmp[13]) << 8 |
           static_cast<std::uint32_t>(request.icmp[14]) << 16 |
           static_cast<std::uint32_t>(request.icmp[15]) << 24;
}

std::uint32_t tickDifference(const CapturedRequest& earlier, const CapturedRequest& later) {
    return static_cast<std::uint32_t>(tickOf(later) - tickOf(earlier));
}

TEST_F(LabSweep, FindsExactlyTheAnsweringHostsAndSendsThreeRequestsEach) {
    const Sweep sweep = runSweep(louncher, "10.71.59.0", "10.71.59.31");
    EXPECT_EQ(sweep.failure, "");
    EXPECT_EQ(sweep.sentCount, 32);
    EXPECT_EQ(sweep.firstAfter, "10.71.59.32");
    const ResultList expected = labHits("10.71.59.0", "10.71.59.31", false);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(sweep.hits, expected); // ascending, each host once though it answered three times
    EXPECT_EQ(sweep.hitCount, static_cast<int>(expected.size()));
    // Sound is off here (no device): the receiver ends the sweep after its grace time.
    EXPECT_GE(sweep.endAfterSending, 2.0);
    EXPECT_LE(sweep.endAfterSending, 4.5);
    EXPECT_EQ(sweep.unsent, "");

    // On a LAN the requests to absent hosts never reach the wire, nor those to the scanner.
    if (lanLab())
        return;
    const std::vector<CapturedRequest> requests = capturedDuring(sweep);
    if (labVariable("BRIXLE_LAB_PCAP").empty())
        GTEST_SKIP() << "no capture of the lab available";
    ASSERT_EQ(requests.size(), 96u);
    EXPECT_GE(tickDifference(requests.front(), requests.back()), 95u * 9u);
    EXPECT_GE(requests.back().seconds - requests.front().seconds, 95 * 0.009);
    // 10 ms apart: a loaded machine may send two close together after a late one, so the
    // typical gap is what must not be shorter.
    std::vector<double> gaps;
    for (std::size_t i = 1; i < requests.size(); ++i)
        gaps.push_back(requests[i].seconds - requests[i - 1].seconds);
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    EXPECT_GE(gaps[gaps.size() / 2], 0.009) << "requests less than 10 ms apart";
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const CapturedRequest& request = requests[i];
        SCOPED_TRACE("request " + std::to_string(i) + " to " + request.destination);
        EXPECT_EQ(request.destination, "10.71.59." + std::to_string(i / 3));
        ASSERT_EQ(request.icmp.size(), 48u);
        EXPECT_EQ(request.icmp[0], 8);
        EXPECT_EQ(request.icmp[1], 0);
        EXPECT_EQ(icmpChecksum(request.icmp.data(), 48), 0) << "checksum does not verify";
        // Identifier and sequence are the same count, least significant byte first.
        EXPECT_EQ(request.icmp[4], request.icmp[6]);
        EXPECT_EQ(request.icmp[5], request.icmp[7]);
        for (std::size_t b = 8; b < 12; ++b)
            EXPECT_EQ(request.icmp[b], 0);
        for (std::size_t b = 16; b < 48; ++b)
            EXPECT_EQ(request.icmp[b], 0x20 + (b - 16));
        if (i > 0) {
            const CapturedRequest& before = requests[i - 1];
            const int count = request.icmp[4] | request.icmp[5] << 8;
            const int countBefore = before.icmp[4] | before.icmp[5] << 8;
            EXPECT_EQ(count, (countBefore + 1) & 0xFFFF);
            EXPECT_GE(request.seconds, before.seconds) << "captured out of order";
            // The tick count's resolution varies (Wine's moves in steps), so only its order
            // is checked per request, and its pace over the whole sweep below.
            EXPECT_LT(tickDifference(before, request), 0x80000000u) << "time stamps go back";
        }
    }
}

TEST_F(LabSweep, RoutedCountsContinueAcrossSweepsAndSweepsFollowAtOnce) {
    const Sweep firstSweep = runSweep(louncher, "10.71.59.1", "10.71.59.2");
    const Sweep secondSweep = runSweep(louncher, "10.71.59.3", "10.71.59.4");
    EXPECT_EQ(firstSweep.hits, labHits("10.71.59.1", "10.71.59.2", false));
    EXPECT_EQ(secondSweep.hits, labHits("10.71.59.3", "10.71.59.4", false));
    EXPECT_EQ(secondSweep.sentCount, 2);
    // The second sweep gets the full grace time of its own.
    EXPECT_GE(secondSweep.endAfterSending, 2.0);

    if (labVariable("BRIXLE_LAB_PCAP").empty())
        GTEST_SKIP() << "no capture of the lab available";
    std::vector<CapturedRequest> requests = capturedDuring(firstSweep);
    const std::vector<CapturedRequest> second = capturedDuring(secondSweep);
    requests.insert(requests.end(), second.begin(), second.end());
    ASSERT_EQ(requests.size(), 12u);
    for (std::size_t i = 1; i < requests.size(); ++i) {
        const int count = requests[i].icmp[4] | requests[i].icmp[5] << 8;
        const int countBefore = requests[i - 1].icmp[4] | requests[i - 1].icmp[5] << 8;
        EXPECT_EQ(count, (countBefore + 1) & 0xFFFF) << "request " << i;
    }
}

TEST_F(LabSweep, RoutedLateRepliesRoutersAndCarries) {
    const std::vector<std::string> late = words(labVariable("BRIXLE_LAB_LATE_HOSTS"));
    ASSERT_FALSE(late.empty());
    const Sweep lateSweep = runSweep(louncher, late[0].c_str(), late[0].c_str());
    EXPECT_EQ(lateSweep.hits, ResultList{late[0]}) << "a reply 1.5 s late still counts";

    // A router's destination-unreachable message counts its source.
    const Sweep unreachable = runSweep(louncher, "10.71.61.5", "10.71.61.5");
    EXPECT_EQ(unreachable.hits, ResultList{labVariable("BRIXLE_LAB_ROUTER")});
    EXPECT_EQ(unreachable.failure, "");

    const Sweep carry = runSweep(louncher, "10.71.59.254", "10.71.60.1");
    EXPECT_EQ(carry.sentCount, 4);
    EXPECT_EQ(carry.hits, labHits("10.71.59.254", "10.71.60.1", false));
    EXPECT_EQ(carry.firstAfter, "10.71.60.2");
}

// An address that cannot be sent to is skipped; the sweep goes on to the end of its range.
TEST_F(LabSweep, RoutedAddressesThatCannotBeSentToAreSkipped) {
    // No route: every send fails; every address is still handed out.
    const Sweep noRoute = runSweep(louncher, "10.71.62.1", "10.71.62.9");
    EXPECT_EQ(noRoute.failure, "");
    EXPECT_EQ(noRoute.unsent,
              "Unable to send to 9 addresses\nfirst : 10.71.62.1 : Host Unreachable");
    EXPECT_EQ(noRoute.sentCount, 9);
    EXPECT_EQ(noRoute.firstAfter, "10.71.62.10");
    EXPECT_TRUE(noRoute.hits.empty());

    // Into the range with no route: the router's answers before it are kept.
    const Sweep into = runSweep(louncher, "10.71.61.254", "10.71.62.1");
    EXPECT_EQ(into.sentCount, 4);
    EXPECT_EQ(into.hits, ResultList{labVariable("BRIXLE_LAB_ROUTER")});
    EXPECT_EQ(into.unsent, "Unable to send to 2 addresses\nfirst : 10.71.62.0 : Host Unreachable");

    // The broadcast address is resolved by name and refused by the socket (or not resolved).
    const Sweep top = runSweep(louncher, "255.255.255.254", "255.255.255.255");
    EXPECT_EQ(top.sentCount, 2);
    EXPECT_EQ(top.firstAfter, "255.0.0.0"); // left mid-carry: the walk does not wrap
    EXPECT_EQ(top.failure, "");
    EXPECT_TRUE(top.unsent == "Unable to send to 1 address\n255.255.255.255 : Sending Refused" ||
                top.unsent ==
                    "Unable to send to 1 address\n255.255.255.255 : Unable to resolve Host")
        << top.unsent;

    const Sweep after = runSweep(louncher, "10.71.59.1", "10.71.59.1");
    EXPECT_EQ(after.failure, "");
    EXPECT_EQ(after.unsent, "");
    EXPECT_EQ(after.hits, labHits("10.71.59.1", "10.71.59.1", false));
}

// The scanner on the /24 it sweeps: the subnet's broadcast address cannot be sent to, absent
// hosts fail ARP and the scanner's own kernel reports them, from the scanner's own address.
TEST_F(LabSweep, OnTheScannersOwnLan) {
    const Sweep whole = runSweep(louncher, "10.71.59.0", "10.71.59.255");
    EXPECT_EQ(whole.hits, labHits("10.71.59.0", "10.71.59.255", true));
    EXPECT_EQ(whole.hitCount, static_cast<int>(whole.hits.size()));
    EXPECT_EQ(whole.sentCount, 256);
    EXPECT_EQ(whole.firstAfter, "10.71.60.0");
    EXPECT_EQ(whole.failure, "");
    EXPECT_EQ(whole.unsent, "Unable to send to 1 address\n10.71.59.255 : Sending Refused");

    // Past the broadcast address into the next /24, which has no route: swept whole.
    const Sweep across = runSweep(louncher, "10.71.59.250", "10.71.60.5");
    EXPECT_EQ(across.sentCount, 12);
    EXPECT_EQ(across.firstAfter, "10.71.60.6");
    EXPECT_EQ(across.failure, "");
    EXPECT_EQ(across.unsent,
              "Unable to send to 7 addresses\nfirst : 10.71.59.255 : Sending Refused");
    const std::string self = labVariable("BRIXLE_LAB_SELF");
    EXPECT_NE(std::find(across.hits.begin(), across.hits.end(), "10.71.59.254"), across.hits.end());
    for (const std::string& hit : across.hits)
        EXPECT_TRUE(hit == "10.71.59.254" || hit == self) << hit;

    // Between two sweeps a reply to this machine arrives, and the last sweep's absent hosts
    // are reported once ARP gives up (about 3 s): none of it is the next sweep's.
    sockaddr_in host{};
    host.sin_family = AF_INET;
    host.sin_addr.s_addr = inet_addr("10.71.59.20");
    int error = 0;
    ASSERT_NE(louncher.sendEcho(louncher.socket, &host, &error), SOCKET_ERROR) << error;
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    const Sweep next = runSweep(louncher, "10.71.59.2", "10.71.59.2");
    EXPECT_EQ(next.hits, ResultList{"10.71.59.2"});
    EXPECT_EQ(next.unsent, "");
}

// A socket that goes away under a running sweep fails both threads' calls (send, select or
// receive): the sweep still ends, keeps what it found, and says why.
TEST_F(LabSweep, ASocketFailingMidSweepEndsItWithItsMessage) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "closing the socket under the sweep's threads is the fault itself, which "
                    "ThreadSanitizer rightly reports as a race on the descriptor";
#endif
    IpAddress first("10.71.59.0"), last("10.71.59.63");
    louncher.setRange(&first, &last, 1);
    louncher.fire();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    closesocket(louncher.socket);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!louncher.isDone() && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(louncher.isDone());
    EXPECT_EQ(louncher.failureMessage(), "Error : Windows Socket Operation Failed");
    EXPECT_LT(louncher.sentCount(), 64);
    ResultList hits;
    louncher.copyHits(hits);
    EXPECT_EQ(static_cast<int>(hits.size()), louncher.hitCount());
    // The socket is gone: the engine must not close it a second time when it is destroyed.
    louncher.ready = 0;
}

int startsBeforeFailure = 0;
bool failingStarter(void (*body)(Louncher*), Louncher* louncher, std::thread& thread) {
    if (startsBeforeFailure-- == 0)
        return false;
    thread = std::thread(body, louncher);
    return true;
}

TEST_F(LabSweep, AThreadThatCannotStartStillEndsTheSweep) {
    const seams::ThreadStarter saved = seams::startThread;
    seams::startThread = failingStarter;

    startsBeforeFailure = 0; // the sender
    const Sweep noSender = runSweep(louncher, "10.71.59.1", "10.71.59.3");
    EXPECT_EQ(noSender.failure, "Error : Thread could not be started");
    EXPECT_EQ(noSender.sentCount, 0);
    // On a LAN the scanner's own reports of the last test's absent hosts may still come in.
    const ResultList self{labVariable("BRIXLE_LAB_SELF")};
    EXPECT_TRUE(noSender.hits.empty() || (lanLab() && noSender.hits == self));

    startsBeforeFailure = 1; // the receiver (sound is off): it runs in the caller instead
    const Sweep noReceiver = runSweep(louncher, "10.71.59.1", "10.71.59.3");
    EXPECT_EQ(noReceiver.failure, "Error : Thread could not be started");
    EXPECT_TRUE(noReceiver.sentCount >= 1);

    seams::startThread = saved;
    const Sweep after = runSweep(louncher, "10.71.59.1", "10.71.59.3");
    EXPECT_EQ(after.failure, "");
    EXPECT_EQ(after.hits, labHits("10.71.59.1", "10.71.59.3", false));
}

} // namespace
