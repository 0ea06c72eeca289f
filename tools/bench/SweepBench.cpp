#include "engine/Error.h"
#include "engine/Louncher.h"

#include <chrono>
#include <cstdio>
#include <thread>

// Runs one sweep with the engine, silent, and prints what the benchmark script compares:
// the hosts found and the time spent sending and in all. Run it inside the lab only.
int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: brixle_sweep_bench FIRST LAST\n");
        return 2;
    }
    IpAddress first(0, 0, 0, 0), last(0, 0, 0, 0);
    if (!first.parse(argv[1]) || !last.parse(argv[2])) {
        std::fprintf(stderr, "Invalid IP Address\n");
        return 2;
    }

    Louncher louncher;
    try {
        louncher.init(nullptr, nullptr, nullptr);
    } catch (Error* error) {
        std::fprintf(stderr, "%s\n", error->message().c_str());
        delete error;
        return 1;
    }

    using Clock = std::chrono::steady_clock;
    louncher.setRange(&first, &last, 0);
    const Clock::time_point start = Clock::now();
    louncher.fire();
    Clock::time_point sendingOver{};
    bool sawSendingOver = false;
    while (!louncher.isDone()) {
        if (!sawSendingOver && louncher.isSendFinished()) {
            sendingOver = Clock::now();
            sawSendingOver = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const Clock::time_point end = Clock::now();
    if (!sawSendingOver)
        sendingOver = end;

    ResultList hits;
    louncher.copyHits(hits);
    const auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
    std::printf("addresses %d\n", louncher.sentCount());
    std::printf("sending_s %.3f\n", seconds(sendingOver - start));
    std::printf("total_s %.3f\n", seconds(end - start));
    std::printf("failure %s\n", louncher.failureMessage().c_str());
    for (const std::string& hit : hits)
        std::printf("hit %s\n", hit.c_str());
    return louncher.failureMessage().empty() ? 0 : 1;
}
