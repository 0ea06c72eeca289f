#include "engine/Error.h"
#include "engine/Louncher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace {

TEST(EngineError, MessagesFromTextAndWhole) {
    EXPECT_EQ(Error("Winsock Version").message(), "Error : Winsock Version");
    EXPECT_EQ(Error(std::string("Unable to resolve Host :1.2.3.4")).message(),
              "Unable to resolve Host :1.2.3.4");
}

std::atomic<int> threadsAsked{0};

bool countingStarter(void (*)(Louncher*), Louncher*) {
    threadsAsked.fetch_add(1);
    return false;
}

TEST(EngineSetup, FireBeforeInitRefusesAndStartsNothing) {
    Louncher louncher;
    IpAddress first("10.71.59.0"), last("10.71.59.255");
    louncher.setRange(&first, &last, 1);

    const Louncher::ThreadStarter saved = Louncher::startThread;
    Louncher::startThread = countingStarter;
    threadsAsked = 0;
    Error* caught = nullptr;
    try {
        louncher.fire();
    } catch (Error* error) {
        caught = error;
    }
    Louncher::startThread = saved;

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

} // namespace
