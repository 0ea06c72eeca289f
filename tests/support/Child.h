#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// A program a test starts and must see end: in a process group of its own, so that ending it
// ends whatever it started too (a Wine program's loader and the program). Its output goes to
// files, never pipes: Wine's helper processes keep an inherited pipe open while they live.
// Linux only: the lab's suites run here and start native and Wine programs alike.
class Child {
  public:
    Child() = default;
    // Starts argv (argv[0] looked up on PATH) with stdin from /dev/null, stdout to out and
    // stderr to err (the same file when err is empty), and extra NAME=VALUE settings.
    Child(const std::vector<std::string>& argv, const std::string& out, const std::string& err = "",
          const std::vector<std::string>& environment = {});
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    ~Child() { stop(); }

    bool started() const { return pid > 0; }
    pid_t id() const { return pid; }
    bool running();
    // Waits up to limit for it to end; past it, ends its group. Its exit status, 128 + signal
    // when a signal ended it, -1 when it had to be ended (or never started).
    int wait(std::chrono::milliseconds limit);
    // TERM to the group, KILL after 5 s; nothing when it has ended.
    void stop();
    // CPU time and peak memory of the ended program (and its waited-for children).
    const rusage& usage() const { return used; }

  private:
    pid_t pid = -1;
    int status = -1;
    rusage used{};
};

// Runs argv to its end (at most limit) with output to the file out; its exit status as wait's.
int runToEnd(const std::vector<std::string>& argv, const std::string& out,
             std::chrono::milliseconds limit);

// The whole file, with the CR of Windows line ends taken out; empty when it cannot be read.
std::string readText(const std::string& path);
std::vector<std::string> readLines(const std::string& path);
// Waits until the file has a line starting with prefix; false when limit passes first or the
// child ends without one.
bool waitForLine(const std::string& path, const std::string& prefix,
                 std::chrono::milliseconds limit, Child& child);

// Where the presets build (BRIXLE_BUILD_ROOT, else the source tree's build/).
std::string buildRoot();
// Whether this machine runs 32-bit code: Debian's wine starts its 32-bit loader first, which a
// kernel without IA-32 emulation refuses even to start, so no 32-bit Windows program runs here.
bool runs32bit();
