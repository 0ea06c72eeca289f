#pragma once

#include "support/Child.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

// brixle100.exe under Wine in a lab session (scripts/lab.sh session: the prefix's wineserver
// proved in the scan namespace, WINEPREFIX and the rest exported), worked by our driver.

// A folder of the running test's own under build/test-results/GROUP, emptied first.
std::string caseResults(const std::string& group);
// A Linux path as the program sees it, through Wine's Z: drive.
std::string windowsPath(const std::string& path);
// Every byte of the file, CR included; empty when it cannot be read.
std::string fileBytes(const std::string& path);
// What a save of these hosts writes: one a line, each ended by CR LF.
std::string savedHosts(const std::vector<std::string>& hosts);
// Passes when we and every wineserver of $WINEPREFIX are inside the lab's scan namespace (the
// session library's own check): nothing of Wine may start otherwise.
testing::AssertionResult inLabSession();
// The wineservers of $WINEPREFIX, as the session library finds them.
std::vector<int> wineServers();
// The desktop of the virtual display as a picture; a note, not a failure, when it cannot.
void screenshot(const std::string& path);
// What starts a command as the session's ordinary user (scripts/lab.sh session --user), before
// its words; none in a session of our own uid.
std::vector<std::string> asSessionUser(const std::vector<std::string>& argv);

class WineProgram;

// Runs argv to its end, shows its output, and fails the running test for every "not ok" line it
// prints, and once when it ends otherwise than with 0 without one (it crashed or hung). While a
// watched program runs beside it, it stops at once when that one crashes, and soon after it
// ended. Its output lines.
std::vector<std::string> runChecked(const std::vector<std::string>& argv, const std::string& out,
                                    std::chrono::milliseconds limit,
                                    WineProgram* watched = nullptr);

// The program, started with plain wine from its own folder, where it finds its effect files, or
// from the current folder given. The latest one started is the one the driver works.
class WineProgram {
  public:
    WineProgram(const std::string& exe, const std::string& log,
                const std::vector<std::string>& environment = {}, const std::string& current = "");
    ~WineProgram();
    // Its exit code once it has ended; -1 when it did not within 30 s and had to be ended.
    int end() { return child.wait(std::chrono::seconds(30)); }
    bool running() { return child.running(); }
    // Wine's report of an exception that nothing in the program caught; empty when none.
    std::string crash() const;

    static WineProgram* driven;

  private:
    Child child;
    std::string log;
};

// brixle_app_driver.exe of a Windows build: one step of it per call (tests/app/driver.cpp).
class Driver {
  public:
    Driver(const std::string& build, const std::string& work)
        : exe(build + "/tests/app/brixle_app_driver.exe"), out(work + "/step.out") {}
    std::vector<std::string> operator()(const std::vector<std::string>& step) const;

  private:
    std::string exe, out;
};

// The value of the first output line starting with prefix; empty when there is none.
std::string valueAfter(const std::vector<std::string>& lines, const std::string& prefix);
// The words of a command and a list, one after the other.
std::vector<std::string> joined(std::vector<std::string> head,
                                const std::vector<std::string>& tail);

// A test that works the program of the Windows build that runs here with its driver, in a lab
// session, with a results folder of its own.
class ProgramCase : public testing::Test {
  protected:
    explicit ProgramCase(const std::string& group) : work(caseResults(group)), drive(build, work) {}
    void SetUp() override;

    // The Windows build that runs here: the 32-bit one, as shipped first, else the 64-bit one.
    const std::string build = buildRoot() + (runs32bit() ? "/mingw-i686" : "/mingw-x86_64");
    const std::string exe = build + "/app/brixle100.exe";
    const std::string work;
    const Driver drive;
};
