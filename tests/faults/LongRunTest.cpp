#include "faults/FaultTest.h"

#include <algorithm>

namespace {

const char* const cleanFirst = "10.71.59.1";
const char* const cleanLast = "10.71.59.4";
const int repeat = 50;

// The smallest reading of a figure over sweeps from to to.
long lowest(const BenchRun& run, long SweepResult::*figure, int from, int to) {
    long low = -1;
    for (int n = from; n <= to; ++n) {
        const long value = run.sweep(static_cast<std::size_t>(n)).*figure;
        low = n == from ? value : std::min(low, value);
    }
    return low;
}

} // namespace

class LongRun : public FaultTest {};

// Many sweeps in one program run: the same hosts every time, and nothing piles up.
TEST_P(LongRun, SweepsLeaveNothingBehind) {
    const auto limit = std::chrono::seconds(repeat * 6 + 60);
    const BenchRun run =
        this->run("long", limit, {"--repeat", std::to_string(repeat), cleanFirst, cleanLast});
    ASSERT_TRUE(run.ranToEnd(repeat)) << unfinished(run, "long");
    const std::vector<std::string> expected = labHostsBetween(cleanFirst, cleanLast);
    std::vector<std::string> wrongHits, leftover, unseen;
    for (int n = 1; n <= repeat; ++n) {
        const SweepResult& sweep = run.sweep(static_cast<std::size_t>(n));
        if (sweep.hits != expected || !sweep.failure.empty())
            wrongHits.push_back(std::to_string(n));
        if (sweep.threadsRunning < run.baselineThreads + 2)
            unseen.push_back(std::to_string(n) + ":" + std::to_string(sweep.threadsRunning));
        if (sweep.threads != run.baselineThreads)
            leftover.push_back(std::to_string(n) + ":" + std::to_string(sweep.threads));
    }
    say("long-run results", std::to_string(repeat) + " sweeps, each found " + joined(expected));
    EXPECT_EQ(joined(wrongHits), "") << "sweeps that found other hosts or failed";

    // The sweep's own threads must show while it runs, or the count after it proves nothing.
    say("long-run threads", "baseline " + std::to_string(run.baselineThreads) + ", up to " +
                                std::to_string(run.sweep(1).threadsRunning) +
                                " while sweeping, back to baseline after every sweep");
    EXPECT_GT(run.baselineThreads, 0);
    EXPECT_EQ(joined(leftover), "") << "threads left over (sweep:threads)";
    EXPECT_EQ(joined(unseen), "") << "sweep threads not seen (sweep:threads)";

    // Warm-up is over by the sixth sweep. Wine frees an ended thread's stack only later, so some
    // readings stand a megabyte above the rest: the lowest of ten readings early on is held
    // against the lowest of the last ten. What leaks is never given back, so it lifts both.
    const int from = 6, to = 15, late = repeat - (to - from);
    const long r1 = lowest(run, &SweepResult::rssKib, from, to);
    const long r2 = lowest(run, &SweepResult::rssKib, late, repeat);
    const long p1 = lowest(run, &SweepResult::privateKib, from, to);
    const long p2 = lowest(run, &SweepResult::privateKib, late, repeat);
    const long h1 = lowest(run, &SweepResult::handles, from, to);
    const long h2 = lowest(run, &SweepResult::handles, late, repeat);
    const std::string sweeps = " (sweeps " + std::to_string(from) + "-" + std::to_string(to) +
                               " -> " + std::to_string(late) + "-" + std::to_string(repeat) + ")";
    say("long-run memory", "lowest resident " + std::to_string(r1) + " -> " + std::to_string(r2) +
                               " KiB, private " + std::to_string(p1) + " -> " + std::to_string(p2) +
                               " KiB" + sweeps);
    EXPECT_GT(r1, 0);
    EXPECT_GT(p1, 0);
    EXPECT_LE(r2, r1 * 1.05 + 64) << "resident memory grew";
    EXPECT_LE(p2, p1 * 1.05 + 64) << "private memory grew";
    say("long-run handles",
        "lowest " + std::to_string(h1) + " -> " + std::to_string(h2) + " open handles" + sweeps);
    EXPECT_GT(h1, 0);
    EXPECT_LE(h2, h1 + 2) << "handles grew";
}

// The long run takes minutes: natively and as the 32-bit program that ships first.
INSTANTIATE_TEST_SUITE_P(Flavours, LongRun, testing::Values(Flavour::native, Flavour::i686),
                         flavourOf);
