#pragma once

#include <sys/resource.h>

#include <chrono>
#include <string>
#include <vector>

// The sweep bench (bench/SweepBench.cpp) run in the lab, natively or under Wine, with the lab's
// noise sent while it sweeps: what the fault suite and the benchmark report share. Linux only;
// it runs inside the lab's scan namespace, Windows programs with plain `wine` in a lab session
// (scripts/lab.sh session), whose wineserver is proved to be in that namespace.

enum class Flavour { native, i686, x86_64 };
const char* flavourName(Flavour flavour);
// A program of a preset's bench/ folder for the flavour, with ".exe" for Windows.
std::string benchProgram(Flavour flavour, const std::string& name = "brixle_sweep_bench");
// The command line that runs it: the program itself, or `wine` with it.
std::vector<std::string> benchCommand(Flavour flavour,
                                      const std::string& name = "brixle_sweep_bench");
// Empty when the flavour can run here and now; else why not.
std::string whyNotRunnable(Flavour flavour);

// One sweep as the bench reports it; -1 where it said nothing.
struct SweepResult {
    bool done = false;
    int addresses = -1;
    double sending = -1, sendingOpen = -1, total = -1;
    std::string failure, unsentMessage;
    std::vector<std::string> hits; // in ascending address order
    long threadsRunning = -1, rssKib = -1, privateKib = -1, handles = -1, threads = -1;
};

// What the noise sender said; with --queue-of, what the receiver's socket took in.
struct NoiseResult {
    std::vector<std::string> lines;
    bool queueEmpty = false; // the socket had read everything when the noise sender looked
    long dropped = 0;
    double readPerSecond = 0;
    // "noise: sent ..." and "noise: queue ..." without the "noise: ", joined.
    std::string summary() const;
    // The sources of the malformed kinds at least an ICMP header long, the ones that can
    // reach a raw socket.
    std::vector<std::string> deliverableSources() const;
};

struct BenchRun {
    int status = -1; // exit status; -1 when ended at its limit or never started
    double wallSeconds = 0;
    rusage usage{};
    std::string errors; // the first lines of its standard error
    long receiveBuffer = -1, baselineThreads = -1;
    long peakKib = -1; // the program's own figure: under Wine, what Windows would say
    std::vector<SweepResult> sweeps;
    std::vector<NoiseResult> noise;
    // Ended by itself with "sweep N done" for every sweep up to count.
    bool ranToEnd(std::size_t count) const;
    const SweepResult& sweep(std::size_t number) const; // from 1; an empty one when missing
};

// Runs command with args (sweeps), output to files + ".out"/".err", ended at limit (a hang limit,
// generous). Each noise argument list (for noise.cpp, after --netns) runs from the lab in turn
// once the first sweep has started; their output goes to files + ".noise1" and so on.
BenchRun runBench(std::vector<std::string> command, const std::vector<std::string>& args,
                  const std::string& files, std::chrono::seconds limit,
                  const std::vector<std::vector<std::string>>& noise = {});

// A flood of echo replies for 3 s at rate from the 200 flood sources (10.71.60.1 and
// 10.71.63.1-199), watching this process's namespace's raw sockets take them in.
std::vector<std::string> floodNoise(long rate);
extern const char* const floodFirst;
extern const char* const floodLast; // the range swept under a flood: 10.71.59.0 - 127
bool isFloodSource(const std::string& address);

// How many datagrams a second the receiver takes in, measured where it runs: the bench sweeps a
// /24 while the lab sends two bursts as fast as its sender can (up to 150,000 a second), first
// from the flood's 200 sources over and over, then from a new source each datagram. The kernel
// counts what reaches the raw socket and what it drops from a full buffer; once the socket has
// read everything, what it read over the time since the burst began is the rate. When nothing
// was dropped the burst did not overload it, and the figure is only a lower bound.
struct Capacity {
    long perSecond = 0;
    const char* kind = "none"; // "measured", "at-least" (nothing dropped) or "none"
};
struct ReceiverCapacity {
    BenchRun run;
    Capacity repeated, distinct; // from the 200 sources; from a new source each datagram
};
ReceiverCapacity measureCapacity(Flavour flavour, const std::string& files);

// Addresses in ascending order; those of list inside (or outside) [first, last].
void sortAddresses(std::vector<std::string>& addresses);
std::vector<std::string> between(const std::vector<std::string>& list, const std::string& first,
                                 const std::string& last, bool inside = true);
std::string joined(const std::vector<std::string>& list, const char* none = "");
