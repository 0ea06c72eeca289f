#include "support/Program.h"

#include "support/Lab.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <unistd.h>

namespace fs = std::filesystem;
using std::chrono::seconds;

namespace {

// A function of scripts/lib/lab-session.sh, run in a shell of its own; its exit status.
int sessionLibrary(const std::string& call, const std::string& out) {
    return runToEnd(
        {"bash", "-c", ". \"$0\" && " + call, BRIXLE_SOURCE_DIR "/scripts/lib/lab-session.sh"}, out,
        seconds(60));
}

} // namespace

std::string caseResults(const std::string& group) {
    const testing::TestInfo& test = *testing::UnitTest::GetInstance()->current_test_info();
    // A case runs in both labs at once under one name: the LAN's copy has a folder of its own.
    const std::string folder = buildRoot() + "/test-results/" + group + "/" +
                               (lanLab() ? "lan/" : "") + test.test_suite_name() + "." +
                               test.name();
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

std::string windowsPath(const std::string& path) {
    std::string out = "Z:" + path;
    for (char& c : out)
        c = c == '/' ? '\\' : c;
    return out;
}

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string savedHosts(const std::vector<std::string>& hosts) {
    std::string out;
    for (const std::string& host : hosts)
        out += host + "\r\n";
    return out;
}

testing::AssertionResult inLabSession() {
    if (sessionLibrary("session_in_lab && session_wineserver_in_lab", "/dev/null") == 0)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "not in a lab session with the prefix's wineserver "
                                          "proved there (scripts/lab.sh session ENV -- ...)";
}

std::vector<int> wineServers() {
    const std::string out =
        fs::temp_directory_path() / ("brixle-servers-" + std::to_string(getpid()));
    sessionLibrary("session_wineservers", out);
    std::vector<int> pids;
    for (const std::string& line : readLines(out))
        pids.push_back(std::atoi(line.c_str()));
    fs::remove(out);
    return pids;
}

void screenshot(const std::string& path) {
    if (runToEnd({"import", "-window", "root", path}, path + ".log", seconds(60)) != 0)
        std::cout << "# no screenshot " << path << "\n";
}

std::vector<std::string> asSessionUser(const std::vector<std::string>& argv) {
    return joined(words(labVariable("BRIXLE_SESSION_AS")), argv);
}

std::vector<std::string> runChecked(const std::vector<std::string>& argv, const std::string& out,
                                    std::chrono::milliseconds limit, WineProgram* watched) {
    using Clock = std::chrono::steady_clock;
    Child child(argv, out);
    const auto deadline = Clock::now() + limit;
    std::optional<Clock::time_point> watchedEnded;
    std::string crash;
    while (child.running() && Clock::now() < deadline) {
        if (watched != nullptr) {
            crash = watched->crash();
            if (!watchedEnded && !watched->running())
                watchedEnded = Clock::now();
            // A step may end the program (close); it is over soon after.
            if (!crash.empty() || (watchedEnded && Clock::now() - *watchedEnded > seconds(10)))
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const int status = child.running() ? (child.stop(), -1) : child.wait(seconds(0));
    const std::vector<std::string> lines = readLines(out);
    int failures = 0;
    for (const std::string& line : lines) {
        std::cout << line << "\n";
        if (line.rfind("not ok - ", 0) == 0) {
            ADD_FAILURE() << line.substr(9);
            ++failures;
        }
    }
    std::string step;
    for (std::size_t i = 0; i < argv.size() && i < 4; ++i)
        step += " " + fs::path(argv[i]).filename().string();
    if (!crash.empty())
        ADD_FAILURE() << "the program crashed during" << step << ": " << crash;
    else if (status != 0 && failures == 0)
        ADD_FAILURE() << step
                      << (watchedEnded ? " went on after the program had ended"
                          : status < 0 ? " did not end in time"
                                       : " ended with status " + std::to_string(status))
                      << " and reported no failure";
    return lines;
}

WineProgram* WineProgram::driven = nullptr;

WineProgram::WineProgram(const std::string& exe, const std::string& log,
                         const std::vector<std::string>& environment, const std::string& current)
    : child(asSessionUser(
                current.empty()
                    ? std::vector<std::string>{"env", "-C", fs::path(exe).parent_path(), "wine",
                                               fs::path(exe).filename()}
                    : std::vector<std::string>{"env", "-C", current, "wine", windowsPath(exe)}),
            log, "", environment),
      log(log) {
    driven = this;
}

WineProgram::~WineProgram() {
    if (driven == this)
        driven = nullptr;
}

std::string WineProgram::crash() const {
    for (const std::string& line : readLines(log))
        if (line.find("wine: Unhandled") != std::string::npos)
            return line;
    return "";
}

std::vector<std::string> Driver::operator()(const std::vector<std::string>& step) const {
    // A sweep of the preset range with the window worked all along takes some 15 s.
    return runChecked(asSessionUser(joined({"wine", exe}, step)), out, seconds(180),
                      WineProgram::driven);
}

std::string valueAfter(const std::vector<std::string>& lines, const std::string& prefix) {
    for (const std::string& line : lines) {
        if (line.rfind(prefix, 0) == 0)
            return line.substr(prefix.size());
    }
    return "";
}

std::vector<std::string> joined(std::vector<std::string> head,
                                const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

void ProgramCase::SetUp() {
    ASSERT_TRUE(inLabSession());
    ASSERT_TRUE(fs::exists(exe) && fs::exists(build + "/tests/app/brixle_app_driver.exe"))
        << "built " << exe << " and its driver";
    std::cout << "# the program of " << build << "\n";
}
