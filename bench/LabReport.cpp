#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/BenchRig.h"
#include "support/Child.h"
#include "support/Lab.h"

// The benchmark report, in one run inside a lab session (scripts/bench-report.sh): a sweep of
// the same /24 by our engine natively and under Wine, by fping and by nmap's ping scan, each with
// its wall time, CPU time, peak memory and whether it found exactly the lab's hosts; then our
// receiver natively and under Wine: the datagrams a second it reads, the receive buffer it was
// granted, and the lab hosts a sweep still finds under a flood of a third and of three times
// that rate; and the memory one stored hit costs.
namespace {

using namespace std::chrono_literals;

const char* const first = "10.71.59.0";
const char* const last = "10.71.59.255";

struct Row {
    std::string tool;
    double wall = 0, cpu = 0;
    long peakKib = 0;
    std::vector<std::string> hosts;
    std::string note;
};

// Those of a that b lacks.
std::vector<std::string> missing(const std::vector<std::string>& a,
                                 const std::vector<std::string>& b) {
    std::vector<std::string> out;
    for (const std::string& item : a) {
        if (std::find(b.begin(), b.end(), item) == b.end())
            out.push_back(item);
    }
    return out;
}

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

double cpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds the wineservers in this network namespace have used so far: under Wine the sockets
// are the server's, and so is part of a sweep's work.
double wineserverCpu() {
    struct stat own {};
    ::stat("/proc/self/ns/net", &own);
    double total = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string dir = entry.path().string();
        struct stat ns {};
        std::ifstream statFile(dir + "/stat");
        std::string stat((std::istreambuf_iterator<char>(statFile)), {});
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos || stat.find("(wineserver") == std::string::npos ||
            ::stat((dir + "/ns/net").c_str(), &ns) != 0 || ns.st_ino != own.st_ino)
            continue;
        const std::vector<std::string> fields = words(stat.substr(close + 1));
        if (fields.size() > 12)
            total +=
                static_cast<double>(std::atol(fields[11].c_str()) + std::atol(fields[12].c_str())) /
                static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    return total;
}

// A tool other than ours, run to its end: its hosts are the lines of its output that pick gives.
Row runTool(const std::string& tool, const std::vector<std::string>& argv, const std::string& out,
            std::string (*pick)(const std::string& line)) {
    Row row;
    row.tool = tool;
    const auto start = std::chrono::steady_clock::now();
    try {
        // The peak as the program's own high-water mark: the rusage figure would also hold
        // what this process had resident when it started the program.
        Child child(argv, out, out + ".err");
        const std::string status = "/proc/" + std::to_string(child.id()) + "/status";
        while (child.running() && std::chrono::steady_clock::now() - start < 300s) {
            for (const std::string& line : readLines(status)) {
                if (line.compare(0, 6, "VmHWM:") == 0)
                    row.peakKib = std::max(row.peakKib, std::atol(line.c_str() + 6));
            }
            std::this_thread::sleep_for(10ms);
        }
        child.wait(1s);
        row.cpu = cpuSeconds(child.usage());
    } catch (const std::exception& error) {
        row.note = error.what();
    }
    row.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (const std::string& line : readLines(out)) {
        const std::string host = pick(line);
        if (!host.empty())
            row.hosts.push_back(host);
    }
    sortAddresses(row.hosts);
    return row;
}

Row ours(Flavour flavour, const std::string& work) {
    Row row;
    row.tool =
        std::string("ours, ") + (flavour == Flavour::native ? "" : "Wine ") + flavourName(flavour);
    const double serverBefore = wineserverCpu();
    // Looked at as the window looks at it: a bench that looked every millisecond spent most of
    // its CPU time looking.
    const BenchRun run = runBench(benchCommand(flavour), {"--poll-ms", "100", first, last},
                                  work + "/sweep-" + flavourName(flavour), 300s);
    const double server = wineserverCpu() - serverBefore;
    row.wall = run.wallSeconds;
    row.cpu = cpuSeconds(run.usage) + server;
    row.peakKib = run.peakKib;
    row.hosts = run.sweep(1).hits;
    row.note = format("sweep %.1f s", run.sweep(1).total) +
               format(", sending %.1f s", run.sweep(1).sending) +
               format(" (floor %.3f s)", run.sweep(1).addresses * 0.030);
    if (flavour != Flavour::native)
        row.note += "; CPU incl. wineserver " + format("%.2f", server) + " s";
    if (!run.ranToEnd(1))
        row.note += "; did not finish: " + run.errors;
    return row;
}

void receiverReport(Flavour flavour, const std::string& work) {
    std::printf("\nreceiver, %s%s\n", flavour == Flavour::native ? "" : "Wine ",
                flavourName(flavour));
    const std::string why = whyNotRunnable(flavour);
    if (!why.empty()) {
        std::printf("  not here: %s\n", why.c_str());
        return;
    }
    const ReceiverCapacity capacity =
        measureCapacity(flavour, work + "/capacity-" + flavourName(flavour));
    if (!capacity.run.ranToEnd(1)) {
        std::printf("  could not run: %s\n", capacity.run.errors.c_str());
        return;
    }
    std::printf("  receive buffer granted: %ld bytes\n", capacity.run.receiveBuffer);
    std::printf("  reads %ld datagrams/s from 200 sources over and over (%s), %ld/s from a new "
                "source each (%s)\n",
                capacity.repeated.perSecond, capacity.repeated.kind, capacity.distinct.perSecond,
                capacity.distinct.kind);
    for (const NoiseResult& noise : capacity.run.noise)
        std::printf("    %s\n", noise.summary().c_str());
    const long rate = capacity.repeated.perSecond;
    if (rate <= 0)
        return;
    const std::vector<std::string> lab = labHostsBetween(floodFirst, floodLast);
    const long rates[] = {rate / 3, std::min(rate * 3, 150000L)};
    for (const long flood : rates) {
        const BenchRun run = runBench(benchCommand(flavour), {floodFirst, floodLast},
                                      work + "/flood-" + flavourName(flavour), 120s,
                                      {floodNoise(std::max(flood, 1L))});
        std::size_t found = 0;
        for (const std::string& host : lab)
            found += std::count(run.sweep(1).hits.begin(), run.sweep(1).hits.end(), host);
        std::printf("  %-14s %8ld/s: %zu of %zu lab hosts found, sweep %.3f s (sending %.3f s); "
                    "%s\n",
                    flood == rates[0] ? "a third:" : "three times:", flood, found, lab.size(),
                    run.sweep(1).total, run.sweep(1).sending,
                    run.noise.empty() ? "" : run.noise[0].summary().c_str());
    }
}

void hitListReport(Flavour flavour, const std::string& work) {
    const std::string out = work + "/hitlist-" + flavourName(flavour);
    std::vector<std::string> argv = benchCommand(flavour, "brixle_hitlist_bench");
    argv.push_back("100000");
    if (runToEnd(argv, out, 300s) != 0)
        std::printf("  %s: did not run to its end\n", flavourName(flavour));
    for (const std::string& line : readLines(out))
        std::printf("  %-7s %s\n", flavourName(flavour), line.c_str());
}

} // namespace

int main() {
    if (!insideScanNamespace()) {
        std::fprintf(stderr, "lab report: run it in a lab session (scripts/bench-report.sh)\n");
        return 2;
    }
    char dir[] = "/tmp/brixle-report.XXXXXX";
    if (::mkdtemp(dir) == nullptr)
        return 1;
    const std::string work = dir;
    const std::vector<std::string> lab = labHostsBetween(first, last);
    // Under Wine the 32-bit build, or the 64-bit one where this machine runs no 32-bit code.
    const bool wine = !labVariable("WINEPREFIX").empty();
    const Flavour windows = runs32bit() ? Flavour::i686 : Flavour::x86_64;
    std::printf("sweeps of %s - %s in the lab; the lab's hosts there: %s\n", first, last,
                joined(lab).c_str());

    std::vector<Row> rows = {ours(Flavour::native, work)};
    if (wine) {
        // A first start warms the prefix up, so the figures are the sweep's, not Wine's start.
        runBench(benchCommand(windows), {"127.0.0.1", "127.0.0.1"}, work + "/warm-up", 120s);
        rows.push_back(ours(windows, work));
    }
    // fping waits up to 2 s for an answer, so that the lab's late host counts as it does for us.
    rows.push_back(runTool("fping -r 1 -t 2000",
                           {"fping", "-a", "-q", "-r", "1", "-t", "2000", "-g", first, last},
                           work + "/fping", [](const std::string& line) { return line; }));
    rows.push_back(runTool(
        "nmap -sn -PE -n", {"nmap", "-sn", "-PE", "-n", "-oG", "-", std::string(first) + "/24"},
        work + "/nmap", [](const std::string& line) {
            const std::vector<std::string> fields = words(line);
            return line.find("Status: Up") != std::string::npos ? fields.at(1) : std::string();
        }));
    rows.back().note += "the late host answers after " + labVariable("BRIXLE_LAB_LATE_MS") + " ms";

    std::printf(
        "\nCPU s: the whole program's, ours looking at its sweep every 100 ms as the window "
        "does (its times to 0.1 s), under Wine with its wineserver's\n");
    std::printf("%-22s %9s %9s %10s %5s  %-4s %s\n", "tool", "wall s", "CPU s", "peak KiB", "hosts",
                "same", "note");
    for (const Row& row : rows)
        std::printf("%-22s %9.2f %9.2f %10ld %5zu  %-4s %s\n", row.tool.c_str(), row.wall, row.cpu,
                    row.peakKib, row.hosts.size(), row.hosts == lab ? "yes" : "no",
                    row.note.c_str());
    const auto fping = std::find_if(rows.begin(), rows.end(),
                                    [](const Row& row) { return row.tool.rfind("fping", 0) == 0; });
    for (const Row& row : rows) {
        if (row.tool.rfind("ours", 0) == 0 && fping != rows.end() && fping->cpu > 0)
            std::printf("  %s: CPU %.1f times fping's\n", row.tool.c_str(), row.cpu / fping->cpu);
    }
    for (const Row& row : rows) {
        if (row.hosts != lab)
            std::printf("  %s differs from the lab's hosts: missing %s; not the lab's %s\n",
                        row.tool.c_str(), joined(missing(lab, row.hosts), "none").c_str(),
                        joined(missing(row.hosts, lab), "none").c_str());
    }

    // The receiver alone, measured as the fault suite measures it.
    receiverReport(Flavour::native, work);
    if (wine) {
        receiverReport(Flavour::i686, work);
        receiverReport(Flavour::x86_64, work);
    }

    std::printf("\nmemory per stored hit (100000 ascending addresses into a HitList)\n");
    hitListReport(Flavour::native, work);
    if (wine)
        hitListReport(windows, work);
    std::filesystem::remove_all(work);
    return 0;
}
