#include "faults/FaultTest.h"

#include <algorithm>
#include <fstream>
#include <map>

using namespace std::chrono_literals;

namespace {

const char* const smallFirst = "10.71.59.0";
const char* const smallLast = "10.71.59.31";
const char* const cleanFirst = "10.71.59.1";
const char* const cleanLast = "10.71.59.4";

std::string format(const char* pattern, double a, double b, double c) {
    char text[160];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

std::string timing(const SweepResult& sweep) {
    return format("sending %.3f s (floor %.3f s), done %.3f s after", sweep.sending,
                  sweep.addresses * 0.030, sweep.total - sweep.sending);
}

// Sending a range of n addresses takes at least 30 ms each, and the sweep is done no sooner than
// 2 s after its sending ends: those are the engine's. How much longer it takes depends on the
// machine (Wine, load), so above them only a hang is a failure; the benchmark tells the speed.
// The bench tells when it last saw sending go on and when it first saw it over: the grace is
// measured from the former, so that a bench held up by a busy machine cannot shorten it.
void expectTiming(const SweepResult& sweep) {
    const double floor = sweep.addresses * 0.030;
    EXPECT_GE(sweep.sending, floor * 0.98 - 0.005) << "faster than 30 ms an address";
    EXPECT_GE(sweep.total - sweep.sendingOpen, 1.9) << "done within 2 s of sending";
    EXPECT_LE(sweep.sending, floor * 4 + 20) << "sending hung";
    EXPECT_LE(sweep.total - sweep.sending, 30) << "the end after sending hung";
}

// A sweep's hits split by the range swept, and those outside that are none of the flood's.
struct Split {
    std::vector<std::string> inside, outside, strays;
    Split(const SweepResult& sweep, const std::string& first, const std::string& last)
        : inside(between(sweep.hits, first, last)),
          outside(between(sweep.hits, first, last, false)) {
        for (const std::string& hit : outside) {
            if (!isFloodSource(hit))
                strays.push_back(hit);
        }
    }
};

// Floods are sized by what the receiver takes in here, in this run: a check at a fixed rate is a
// test of the receiver on a fast, idle machine and a coin toss on a busy one. First the receiver's
// rate is measured, once per flavour, then a flood of a third of that (at most 30,000 a second)
// must cost no lab host, and one well beyond it must still leave the sweep whole. A third, since
// the rate under Wine falls to a quarter of itself when the machine is busy: a flood at a third
// still fits, with the socket's buffer taking up what the receiver falls behind. And no more than
// the buffer holds in a second, so that only a receiver held up for a whole second can lose a
// reply. The test run measures in ReceiverKeepsUp, the fixture of the flavour's flood cases,
// which hands the figure on in the file BRIXLE_CAPACITY_FILE names; a run of this program by
// itself keeps it in memory.
const ReceiverCapacity& capacity(Flavour flavour, const std::string& files) {
    static std::map<Flavour, ReceiverCapacity> measured;
    auto found = measured.find(flavour);
    if (found == measured.end())
        found = measured.emplace(flavour, measureCapacity(flavour, files)).first;
    return found->second;
}

// The flood's datagrams the socket's buffer holds: the engine asks for 4 MiB, Linux grants twice
// the figure up to twice its ceiling, and a small datagram takes some 800 bytes of it (measured
// here: 8 MiB held about 10,000); 1 KiB each, to be safe.
long bufferedDatagrams() {
    long ceiling = 212992;
    std::ifstream("/proc/sys/net/core/rmem_max") >> ceiling;
    return 2 * std::min(ceiling, 4L * 1024 * 1024) / 1024;
}

long withinRate(long capacity) {
    return std::max(std::min({capacity / 3, 30000L, bufferedDatagrams()}), 1L);
}

long beyondRate(long capacity) {
    return std::clamp(capacity * 3, 30000L, 150000L);
}

// A range with addresses that cannot be sent to: they are skipped, the sweep goes on to the end
// of its range at its pace, keeps its hits and says what it could not send to; the clean sweep
// after it in the same program run finds the lab's hosts.
struct FailingRange {
    const char* first;
    const char* last;
    int addresses;
    std::vector<std::string> hits;
    std::vector<std::string> messages; // the unsent message, any one of them
    std::vector<std::string> noise;
};

const FailingRange& failingRange(const std::string& label) {
    const std::string top = "Unable to send to 1 address / 255.255.255.255";
    static const std::map<std::string, FailingRange> ranges = {
        {"no-route",
         {"10.71.62.1",
          "10.71.62.5",
          5,
          {},
          {"Unable to send to 5 addresses / first : 10.71.62.1 : Host Unreachable"},
          {}}},
        // The router answers for 10.71.61.x before the walk reaches the range with no route.
        {"into-no-route",
         {"10.71.61.254",
          "10.71.62.1",
          4,
          {labVariable("BRIXLE_LAB_ROUTER")},
          {"Unable to send to 2 addresses / first : 10.71.62.0 : Host Unreachable"},
          {}}},
        {"subnet-broadcast",
         {"192.0.2.3",
          "192.0.2.3",
          1,
          {},
          {"Unable to send to 1 address / 192.0.2.3 : Sending Refused"},
          {}}},
        {"broadcast",
         {"255.255.255.255",
          "255.255.255.255",
          1,
          {},
          {top + " : Sending Refused", top + " : Unable to resolve Host"},
          {}}},
        // Nothing in the lab answers up there, so the hits to keep come from the lab as noise
        // while the first 55 addresses go out; the walk must end at 255.255.255.255, not wrap
        // to 0.0.0.0.
        {"into-255",
         {"255.255.255.200",
          "255.255.255.255",
          56,
          {"10.71.63.250", "10.71.63.251", "10.71.63.252"},
          {top + " : Sending Refused", top + " : Unable to resolve Host"},
          {"--kind", "flood", "--rate", "20", "--count", "9", "--seconds", "0.6", "--source",
           "10.71.63.250-10.71.63.252"}}},
    };
    return ranges.at(label);
}

} // namespace

class FloodTest : public FaultTest {
  protected:
    // Datagrams a second from the 200 sources; 0 when not measured.
    long capacity() const {
        const std::string shared = labVariable("BRIXLE_CAPACITY_FILE");
        if (shared.empty())
            return ::capacity(GetParam(), files("capacity")).repeated.perSecond;
        long rate = 0;
        std::ifstream(shared) >> rate;
        return rate;
    }

    // The flood from 200 sources outside the range for 3 s while the range is swept, then the
    // same range again with no noise, in the same program run.
    BenchRun flood(const std::string& name, long rate) const {
        return run(name, 120s, {"--repeat", "2", floodFirst, floodLast}, {floodNoise(rate)});
    }

    // What the flood left waiting in the socket's buffer when the sweep ended is read, and
    // counted, by the next sweep, as any late reply would be.
    void expectUsableAfter(const std::string& name, const BenchRun& run) const {
        const Split next(run.sweep(2), floodFirst, floodLast);
        say(name + " usable after",
            "next sweep found " + joined(next.inside) + "; " + std::to_string(next.outside.size()) +
                " flood sources left over from the flood; " + timing(run.sweep(2)));
        EXPECT_EQ(next.inside, labHostsBetween(floodFirst, floodLast));
        EXPECT_EQ(joined(next.strays), "") << "strays";
        EXPECT_EQ(run.sweep(2).failure, "");
        expectTiming(run.sweep(2));
    }
};

TEST_P(FloodTest, ReceiverKeepsUp) {
    const std::string shared = labVariable("BRIXLE_CAPACITY_FILE");
    if (!shared.empty())
        std::remove(shared.c_str());
    const ReceiverCapacity& measured = ::capacity(GetParam(), files("capacity"));
    if (!shared.empty())
        std::ofstream(shared) << measured.repeated.perSecond << "\n";
    ASSERT_FALSE(measured.run.sweeps.empty())
        << "the program started no sweep: " << measured.run.errors;
    say("receiver", "read " + std::to_string(measured.repeated.perSecond) + "/s (" +
                        measured.repeated.kind + ") from 200 sources, " +
                        std::to_string(measured.distinct.perSecond) + "/s (" +
                        measured.distinct.kind + ") from new ones; receive buffer " +
                        std::to_string(measured.run.receiveBuffer) + " bytes; " +
                        (measured.run.noise.empty() ? "" : measured.run.noise[0].summary()));
    EXPECT_STRNE(measured.repeated.kind, "none") << "the burst was not taken in by the end";
    EXPECT_GT(measured.repeated.perSecond, 0);
}

TEST_P(FloodTest, WithinCapacityCostsNoHost) {
    ASSERT_GT(capacity(), 0) << "the receiver's rate was not measured (ReceiverKeepsUp)";
    const long rate = withinRate(capacity());
    const BenchRun run = flood("flood-within", rate);
    ASSERT_TRUE(run.ranToEnd(2)) << unfinished(run, "flood-within");
    const std::vector<std::string> expected = labHostsBetween(floodFirst, floodLast);
    const Split first(run.sweep(1), floodFirst, floodLast);
    say("flood-within hosts",
        std::to_string(rate) + "/s: in range " + joined(first.inside) +
            " (lab: " + joined(expected) + "); " + std::to_string(first.outside.size()) +
            " of 200 flood sources counted; failure '" + run.sweep(1).failure + "'; noise " +
            (run.noise.empty() ? "" : run.noise[0].summary()));
    EXPECT_EQ(first.inside, expected);
    EXPECT_EQ(first.outside.size(), 200u) << "flood sources counted";
    EXPECT_EQ(joined(first.strays), "") << "strays";
    EXPECT_EQ(run.sweep(1).failure, "");
    say("flood-within sweep whole", timing(run.sweep(1)));
    expectTiming(run.sweep(1));
    expectUsableAfter("flood-within", run);
}

// Beyond what the receiver takes in, the kernel drops from the full buffer, replies among them:
// which lab hosts are still found is for the benchmark to tell.
TEST_P(FloodTest, BeyondCapacityLeavesTheSweepWhole) {
    ASSERT_GT(capacity(), 0) << "the receiver's rate was not measured (ReceiverKeepsUp)";
    const long rate = beyondRate(capacity());
    const BenchRun run = flood("flood-beyond", rate);
    ASSERT_TRUE(run.ranToEnd(2)) << unfinished(run, "flood-beyond");
    const std::vector<std::string> expected = labHostsBetween(floodFirst, floodLast);
    const Split first(run.sweep(1), floodFirst, floodLast);
    std::vector<std::string> unknown;
    for (const std::string& hit : first.inside) {
        if (std::find(expected.begin(), expected.end(), hit) == expected.end())
            unknown.push_back(hit);
    }
    say("flood-beyond whole", std::to_string(rate) + "/s: " + std::to_string(first.inside.size()) +
                                  " of " + std::to_string(expected.size()) + " lab hosts and " +
                                  std::to_string(first.outside.size()) +
                                  " of 200 flood sources counted; failure '" +
                                  run.sweep(1).failure + "'; " + timing(run.sweep(1)) + "; noise " +
                                  (run.noise.empty() ? "" : run.noise[0].summary()));
    EXPECT_EQ(joined(unknown), "") << "hits in the range that are no lab host";
    EXPECT_FALSE(first.outside.empty()) << "no flood source counted";
    EXPECT_EQ(joined(first.strays), "") << "strays";
    EXPECT_EQ(run.sweep(1).failure, "");
    expectTiming(run.sweep(1));
    expectUsableAfter("flood-beyond", run);
}

INSTANTIATE_TEST_SUITE_P(Flavours, FloodTest,
                         testing::Values(Flavour::native, Flavour::i686, Flavour::x86_64),
                         flavourOf);

class NoiseTest : public FaultTest {
  protected:
    // A small range swept twice, the noise during the first sweep: every source of noise that
    // reaches the socket counts, the lab's hosts all do, and the next sweep finds them alone.
    void expectCounted(const std::string& name, const BenchRun& run,
                       const std::vector<std::string>& sources, const std::string& what) const {
        ASSERT_TRUE(run.ranToEnd(2)) << unfinished(run, name);
        const std::vector<std::string> expected = labHostsBetween(smallFirst, smallLast);
        const std::vector<std::string> inside = between(run.sweep(1).hits, smallFirst, smallLast);
        const std::vector<std::string> seen =
            between(run.sweep(1).hits, smallFirst, smallLast, false);
        say(name, what + ": " + std::to_string(seen.size()) + " counted, lab hosts " +
                      joined(inside) + "; failure '" + run.sweep(1).failure + "'; " +
                      timing(run.sweep(1)));
        EXPECT_EQ(inside, expected);
        EXPECT_EQ(seen, sources);
        EXPECT_EQ(run.sweep(1).failure, "");
        expectTiming(run.sweep(1));
        say(name + " usable after", "next sweep found " + joined(run.sweep(2).hits));
        EXPECT_EQ(run.sweep(2).hits, expected);
        EXPECT_EQ(run.sweep(2).failure, "");
    }
};

// Datagrams too big for the receiver's 324-byte buffer: their sources count, the sweep goes on.
TEST_P(NoiseTest, BigDatagrams) {
    const BenchRun run =
        this->run("big", 90s, {"--repeat", "2", smallFirst, smallLast},
                  {{"--kind", "big", "--size", "1400", "--rate", "2000", "--count", "2000",
                    "--seconds", "1", "--source", "10.71.63.201-10.71.63.210"}});
    std::vector<std::string> sources;
    for (int n = 201; n <= 210; ++n)
        sources.push_back("10.71.63." + std::to_string(n));
    expectCounted("big", run, sources, "1400-byte datagrams from 10 sources");
}

// Truncated, mis-summed, unknown and odd-length ICMP, one source per kind. Those shorter than an
// ICMP header never reach a raw socket on Linux; every other one must count, and nothing else.
TEST_P(NoiseTest, MalformedIcmp) {
    const BenchRun run = this->run("malformed", 90s, {"--repeat", "2", smallFirst, smallLast},
                                   {{"--kind", "malformed", "--rate", "1000", "--count", "950",
                                     "--seconds", "1", "--source", "10.71.63.220-10.71.63.238"}});
    ASSERT_EQ(run.noise.size(), 1u) << "the noise was not sent: " << run.errors;
    const std::vector<std::string>& lines = run.noise[0].lines;
    const auto kinds = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.compare(0, 8, "variant ") == 0;
    });
    const std::vector<std::string> delivered = run.noise[0].deliverableSources();
    EXPECT_FALSE(delivered.empty()) << "no kind of malformed ICMP that can reach the socket";
    expectCounted("malformed", run, delivered,
                  std::to_string(delivered.size()) + " deliverable kinds (" +
                      std::to_string(kinds) + " kinds sent)");
}

INSTANTIATE_TEST_SUITE_P(Flavours, NoiseTest,
                         testing::Values(Flavour::native, Flavour::i686, Flavour::x86_64),
                         flavourOf);

class FailingRangeTest : public FaultTest {
  protected:
    void expectFailingRange(const std::string& label) const {
        const FailingRange& range = failingRange(label);
        std::vector<std::vector<std::string>> noise;
        if (!range.noise.empty())
            noise.push_back(range.noise);
        const BenchRun run =
            this->run(label, 60s, {range.first, range.last, cleanFirst, cleanLast}, noise);
        ASSERT_TRUE(run.ranToEnd(2)) << unfinished(run, label);
        const SweepResult& sweep = run.sweep(1);
        say(label, std::string(range.first) + " - " + range.last + ": " +
                       std::to_string(sweep.addresses) + " addresses, '" + sweep.unsentMessage +
                       "', failure '" + sweep.failure +
                       "', hits kept: " + joined(sweep.hits, "none") + "; " + timing(sweep));
        EXPECT_EQ(sweep.failure, "");
        EXPECT_NE(std::find(range.messages.begin(), range.messages.end(), sweep.unsentMessage),
                  range.messages.end())
            << "unsent message: " << sweep.unsentMessage;
        EXPECT_EQ(sweep.addresses, range.addresses);
        EXPECT_EQ(sweep.hits, range.hits);
        expectTiming(sweep);
        const SweepResult& next = run.sweep(2);
        say(label + " usable after", "next sweep found " + joined(next.hits, "nothing") +
                                         "; failure '" + next.failure + "'");
        EXPECT_EQ(next.hits, labHostsBetween(cleanFirst, cleanLast));
        EXPECT_EQ(next.failure, "");
        EXPECT_EQ(next.unsentMessage, "");
    }
};

TEST_P(FailingRangeTest, NoRoute) {
    expectFailingRange("no-route");
}
TEST_P(FailingRangeTest, IntoNoRoute) {
    expectFailingRange("into-no-route");
}
TEST_P(FailingRangeTest, SubnetBroadcast) {
    expectFailingRange("subnet-broadcast");
}
TEST_P(FailingRangeTest, Broadcast) {
    expectFailingRange("broadcast");
}
TEST_P(FailingRangeTest, Into255) {
    expectFailingRange("into-255");
}

INSTANTIATE_TEST_SUITE_P(Flavours, FailingRangeTest,
                         testing::Values(Flavour::native, Flavour::i686, Flavour::x86_64),
                         flavourOf);
