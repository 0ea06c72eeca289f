#include "support/BenchRig.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "support/Child.h"
#include "support/Lab.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

void parseBench(const std::vector<std::string>& lines, BenchRun& run) {
    for (const std::string& line : lines) {
        const std::size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        const long number = std::atol(value.c_str());
        const double real = std::atof(value.c_str());
        if (key == "sweep" && value.find(" started") != std::string::npos)
            run.sweeps.emplace_back();
        else if (key == "sweep" && value.find(" done") != std::string::npos && !run.sweeps.empty())
            run.sweeps.back().done = true;
        else if (key == "receive_buffer")
            run.receiveBuffer = number;
        else if (key == "baseline_threads")
            run.baselineThreads = number;
        else if (key == "peak_kib")
            run.peakKib = number;
        if (run.sweeps.empty())
            continue;
        SweepResult& sweep = run.sweeps.back();
        if (key == "hit")
            sweep.hits.push_back(value);
        else if (key == "addresses")
            sweep.addresses = static_cast<int>(number);
        else if (key == "sending_s")
            sweep.sending = real;
        else if (key == "sending_open_s")
            sweep.sendingOpen = real;
        else if (key == "total_s")
            sweep.total = real;
        else if (key == "failure")
            sweep.failure = value;
        else if (key == "unsent_message")
            sweep.unsentMessage = value;
        else if (key == "threads_running")
            sweep.threadsRunning = number;
        else if (key == "rss_kib")
            sweep.rssKib = number;
        else if (key == "private_kib")
            sweep.privateKib = number;
        else if (key == "handles")
            sweep.handles = number;
        else if (key == "threads")
            sweep.threads = number;
    }
    for (SweepResult& sweep : run.sweeps)
        sortAddresses(sweep.hits);
}

NoiseResult parseNoise(const std::vector<std::string>& lines) {
    NoiseResult noise;
    noise.lines = lines;
    for (const std::string& line : lines) {
        char state[16] = "";
        double after = 0, rate = 0;
        long arrived = 0, dropped = 0, read = 0;
        if (std::sscanf(line.c_str(),
                        "noise: queue %15s after %lf s; %ld arrived, %ld dropped, %ld read, %lf",
                        state, &after, &arrived, &dropped, &read, &rate) == 6) {
            noise.queueEmpty = std::string(state) == "empty";
            noise.dropped = dropped;
            noise.readPerSecond = rate;
        } else if (startsWith(line, "noise: queue")) {
            noise.queueEmpty = false;
        }
    }
    return noise;
}

Capacity capacityOf(const std::vector<NoiseResult>& noise, std::size_t burst) {
    if (burst >= noise.size() || !noise[burst].queueEmpty)
        return {};
    return {static_cast<long>(noise[burst].readPerSecond),
            noise[burst].dropped > 0 ? "measured" : "at-least"};
}

std::vector<std::string> burst(long rate, long count, const char* seconds,
                               const std::vector<std::string>& sources) {
    std::vector<std::string> args = {
        "--kind",    "flood", "--rate", std::to_string(rate), "--count", std::to_string(count),
        "--seconds", seconds};
    for (const std::string& source : sources) {
        args.push_back("--source");
        args.push_back(source);
    }
    args.push_back("--queue-of");
    args.push_back(std::to_string(::getpid()));
    return args;
}

const std::vector<std::string> floodSources = {"10.71.60.1", "10.71.63.1-10.71.63.199"};

} // namespace

const char* const floodFirst = "10.71.59.0";
const char* const floodLast = "10.71.59.127";

const char* flavourName(Flavour flavour) {
    switch (flavour) {
    case Flavour::native:
        return "native";
    case Flavour::i686:
        return "i686";
    case Flavour::x86_64:
        return "x86_64";
    }
    return "?";
}

std::string benchProgram(Flavour flavour, const std::string& name) {
    if (flavour == Flavour::native)
        return buildRoot() + "/linux/bench/" + name;
    return buildRoot() + "/mingw-" + flavourName(flavour) + "/bench/" + name + ".exe";
}

std::vector<std::string> benchCommand(Flavour flavour, const std::string& name) {
    if (flavour == Flavour::native)
        return {benchProgram(flavour, name)};
    return {"wine", benchProgram(flavour, name)};
}

std::string whyNotRunnable(Flavour flavour) {
    if (flavour == Flavour::i686 && !runs32bit())
        return "this machine runs no 32-bit code (IA-32 emulation off)";
    return "";
}

std::string NoiseResult::summary() const {
    std::vector<std::string> parts;
    for (const std::string& line : lines) {
        if (startsWith(line, "noise: sent") || startsWith(line, "noise: queue"))
            parts.push_back(line.substr(7));
    }
    return joined(parts);
}

std::vector<std::string> NoiseResult::deliverableSources() const {
    std::vector<std::string> sources;
    for (const std::string& line : lines) {
        const std::vector<std::string> fields = words(line);
        if (fields.size() == 4 && fields[0] == "variant" && std::atol(fields[2].c_str()) >= 8)
            sources.push_back(fields[1]);
    }
    sortAddresses(sources);
    return sources;
}

bool BenchRun::ranToEnd(std::size_t count) const {
    return status != -1 && sweep(count).done;
}

const SweepResult& BenchRun::sweep(std::size_t number) const {
    static const SweepResult none;
    return number >= 1 && number <= sweeps.size() ? sweeps[number - 1] : none;
}

BenchRun runBench(std::vector<std::string> command, const std::vector<std::string>& args,
                  const std::string& files, std::chrono::seconds limit,
                  const std::vector<std::vector<std::string>>& noise) {
    if (!insideScanNamespace())
        throw std::runtime_error("refusing to sweep outside the lab's scan namespace");
    command.insert(command.end(), args.begin(), args.end());
    BenchRun run;
    const Clock::time_point start = Clock::now();
    Child bench(command, files + ".out", files + ".err");
    if (!noise.empty() && waitForLine(files + ".out", "sweep 1 started", 60s, bench)) {
        const std::string ns = labVariable("BRIXLE_LAB_NS");
        for (std::size_t i = 0; i < noise.size(); ++i) {
            std::vector<std::string> argv = {
                "ip", "netns", "exec", ns, labVariable("BRIXLE_LAB_NOISE"), "--netns", ns};
            argv.insert(argv.end(), noise[i].begin(), noise[i].end());
            const std::string out = files + ".noise" + std::to_string(i + 1);
            runToEnd(argv, out, 120s);
            run.noise.push_back(parseNoise(readLines(out)));
        }
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(limit - (Clock::now() - start));
    run.status = bench.wait(std::max(left, std::chrono::milliseconds(0)));
    run.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.usage = bench.usage();
    parseBench(readLines(files + ".out"), run);
    std::vector<std::string> errors = readLines(files + ".err");
    errors.resize(std::min<std::size_t>(errors.size(), 3));
    run.errors = joined(errors);
    return run;
}

std::vector<std::string> floodNoise(long rate) {
    return burst(rate, rate * 3, "3", floodSources);
}

bool isFloodSource(const std::string& address) {
    const std::uint32_t value = addressValue(address);
    return address == "10.71.60.1" ||
           (value >= addressValue("10.71.63.1") && value <= addressValue("10.71.63.199"));
}

ReceiverCapacity measureCapacity(Flavour flavour, const std::string& files) {
    ReceiverCapacity capacity;
    capacity.run = runBench(benchCommand(flavour), {"10.71.59.0", "10.71.59.255"}, files, 120s,
                            {burst(150000, 40000, "1", floodSources),
                             burst(150000, 40000, "1", {"10.71.64.0-10.71.255.255"})});
    capacity.repeated = capacityOf(capacity.run.noise, 0);
    capacity.distinct = capacityOf(capacity.run.noise, 1);
    return capacity;
}

void sortAddresses(std::vector<std::string>& addresses) {
    std::sort(addresses.begin(), addresses.end(), [](const std::string& a, const std::string& b) {
        return addressValue(a) < addressValue(b);
    });
}

std::vector<std::string> between(const std::vector<std::string>& list, const std::string& first,
                                 const std::string& last, bool inside) {
    std::vector<std::string> out;
    for (const std::string& address : list) {
        const std::uint32_t value = addressValue(address);
        if ((value >= addressValue(first) && value <= addressValue(last)) == inside)
            out.push_back(address);
    }
    return out;
}

std::string joined(const std::vector<std::string>& list, const char* none) {
    std::string out;
    for (const std::string& item : list)
        out += (out.empty() ? "" : " ") + item;
    return out.empty() ? none : out;
}
