#include "engine/Error.h"
#include "engine/Louncher.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "ProcessStats.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// The sweep's threads end just after it is done; give them time before counting what is left.
ProcessStats settledStats(long baselineThreads) {
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(10);
    ProcessStats stats = readProcessStats();
    while (stats.threads > baselineThreads && Clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        stats = readProcessStats();
    }
    return stats;
}

bool sweep(Louncher& louncher, const char* firstText, const char* lastText, int number,
           long baselineThreads, int pollMs) {
    // The walk advances the first address in place, so every sweep parses the range anew.
    IpAddress first(0, 0, 0, 0), last(0, 0, 0, 0);
    first.parse(firstText);
    last.parse(lastText);

    louncher.setRange(&first, &last, 0);
    const Clock::time_point start = Clock::now();
    louncher.fire();
    // A script that disturbs the sweep waits for this line.
    std::printf("sweep %d started\n", number);
    std::fflush(stdout);
    // The end of sending lies between the last look that found requests still going out and
    // the first that found them over; a busy machine may leave a long time between the two.
    Clock::time_point sendingOpen = start;
    Clock::time_point sendingOver{};
    bool sawSendingOver = false;
    // The most threads seen while the sweep runs: proof that the count sees the sweep's own.
    long threadsRunning = -1;
    int tick = 0;
    while (!louncher.isDone()) {
        if (!sawSendingOver) {
            const Clock::time_point before = Clock::now();
            if (louncher.isSendFinished()) {
                sendingOver = Clock::now();
                sawSendingOver = true;
            } else {
                sendingOpen = before;
            }
        }
        if (baselineThreads >= 0 && tick++ % std::max(1, 20 / pollMs) == 0) {
            const long threads = readThreadCount();
            if (threads > threadsRunning)
                threadsRunning = threads;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
    const Clock::time_point end = Clock::now();
    if (!sawSendingOver)
        sendingOver = end;

    ResultList hits;
    louncher.copyHits(hits);
    std::printf("addresses %d\n", louncher.sentCount());
    std::printf("sending_s %.3f\n", seconds(sendingOver - start));
    std::printf("sending_open_s %.3f\n", seconds(sendingOpen - start));
    std::printf("total_s %.3f\n", seconds(end - start));
    // Sending against its floor of 30 ms an address.
    if (louncher.sentCount() > 0)
        std::printf("pace_x %.3f\n", seconds(sendingOver - start) / (louncher.sentCount() * 0.030));
    std::printf("failure %s\n", louncher.failureMessage().c_str());
    // The message on one line: its line break as " / ".
    std::string unsent = louncher.unsentMessage();
    const std::size_t lineBreak = unsent.find('\n');
    if (lineBreak != std::string::npos)
        unsent.replace(lineBreak, 1, " / ");
    std::printf("unsent %d\nunsent_message %s\n", louncher.unsentCount(), unsent.c_str());
    for (const std::string& hit : hits)
        std::printf("hit %s\n", hit.c_str());
    if (baselineThreads >= 0) {
        std::printf("threads_running %ld\n", threadsRunning);
        const ProcessStats stats = settledStats(baselineThreads);
        std::printf("rss_kib %ld\nprivate_kib %ld\nhandles %ld\nthreads %ld\n", stats.residentKib,
                    stats.privateKib, stats.handles, stats.threads);
    }
    std::printf("sweep %d done\n", number);
    std::fflush(stdout);
    return louncher.failureMessage().empty();
}

} // namespace

// Runs silent sweeps with the engine, one per range given, in one program run, and prints what
// the benchmark report and the fault suite compare: the hosts found and the time spent sending
// and in all; with --repeat N (the ranges N times over), after every sweep also the process's
// memory, handles and threads. It looks at a sweep every millisecond, to see when sending ends;
// --poll-ms 100 looks as seldom as the window does, so that the program's CPU time is the
// sweep's and not the looking's. Run it inside the lab only.
int main(int argc, char** argv) {
    int repeat = 0;
    int pollMs = 1;
    int at = 1;
    while (at + 1 < argc && std::strncmp(argv[at], "--", 2) == 0) {
        const int value = std::atoi(argv[at + 1]);
        if (std::strcmp(argv[at], "--repeat") == 0)
            repeat = value;
        else if (std::strcmp(argv[at], "--poll-ms") == 0)
            pollMs = value;
        else
            break;
        if (value < 1) {
            std::fprintf(stderr, "%s needs a count of at least 1\n", argv[at]);
            return 2;
        }
        at += 2;
    }
    if (argc - at < 2 || (argc - at) % 2 != 0) {
        std::fprintf(stderr, "usage: brixle_sweep_bench [--repeat N] [--poll-ms MS] FIRST LAST "
                             "[FIRST LAST]...\n");
        return 2;
    }
    IpAddress check(0, 0, 0, 0);
    for (int i = at; i < argc; ++i) {
        if (!check.parse(argv[i])) {
            std::fprintf(stderr, "Invalid IP Address\n");
            return 2;
        }
    }

    Louncher louncher;
    try {
        louncher.init(nullptr, nullptr, nullptr);
    } catch (Error* error) {
        std::fprintf(stderr, "%s\n", error->message().c_str());
        delete error;
        return 1;
    }

    // What the system granted of the receive buffer asked for: Linux grants twice the figure
    // (room for its bookkeeping) up to its ceiling and says so; Wine says the figure asked.
    int receiveBuffer = 0;
    int optionLength = sizeof receiveBuffer;
    if (getsockopt(louncher.socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&receiveBuffer),
                   &optionLength) == 0)
        std::printf("receive_buffer %d\n", receiveBuffer);

    long baselineThreads = -1;
    if (repeat > 0) {
        baselineThreads = readProcessStats().threads;
        std::printf("baseline_threads %ld\n", baselineThreads);
    }
    bool clean = true;
    int number = 0;
    for (int round = 0; round < (repeat > 0 ? repeat : 1); ++round) {
        for (int i = at; i < argc; i += 2)
            clean =
                sweep(louncher, argv[i], argv[i + 1], ++number, baselineThreads, pollMs) && clean;
    }
    // For the benchmark report: what the whole run cost, measured the same way everywhere.
    const ProcessStats total = readProcessStats();
    std::printf("cpu_s %.3f\npeak_kib %ld\n", total.cpuSeconds, total.peakResidentKib);
    return clean ? 0 : 1;
}
