#include "support/Child.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int openForWriting(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

} // namespace

Child::Child(const std::vector<std::string>& argv, const std::string& out, const std::string& err,
             const std::vector<std::string>& environment) {
    std::vector<std::string> settings = environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string setting = *entry;
        const std::string name = setting.substr(0, setting.find('='));
        bool replaced = false;
        for (const std::string& own : environment)
            replaced = replaced || own.compare(0, name.size() + 1, name + "=") == 0;
        if (!replaced)
            settings.push_back(setting);
    }
    std::vector<char*> args, envp;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    for (const std::string& setting : settings)
        envp.push_back(const_cast<char*>(setting.c_str()));
    envp.push_back(nullptr);

    const int outFd = openForWriting(out);
    const int errFd = err.empty() ? outFd : openForWriting(err);
    if (outFd < 0 || errFd < 0)
        throw std::runtime_error("cannot write " + (outFd < 0 ? out : err));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const int failed = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outFd);
    if (errFd != outFd)
        ::close(errFd);
    if (failed != 0) {
        pid = -1;
        throw std::runtime_error("cannot start " + argv.at(0));
    }
}

Child::Child(Child&& other) noexcept
    : pid(std::exchange(other.pid, -1)), status(other.status), used(other.used) {}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        stop();
        pid = std::exchange(other.pid, -1);
        status = other.status;
        used = other.used;
    }
    return *this;
}

bool Child::running() {
    if (pid <= 0)
        return false;
    int raw = 0;
    if (::wait4(pid, &raw, WNOHANG, &used) == pid) {
        status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        // The group may outlive its leader: what it started ends with it.
        ::kill(-pid, SIGKILL);
        pid = -1;
        return false;
    }
    return true;
}

int Child::wait(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (running()) {
        if (Clock::now() >= deadline) {
            stop();
            return status = -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status;
}

void Child::stop() {
    if (!running())
        return;
    ::kill(-pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (running() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (running()) {
        ::kill(-pid, SIGKILL);
        int raw = 0;
        ::wait4(pid, &raw, 0, &used);
        pid = -1;
    }
    status = -1;
}

int runToEnd(const std::vector<std::string>& argv, const std::string& out,
             std::chrono::milliseconds limit) {
    Child child(argv, out);
    return child.wait(limit);
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::string all = text.str();
    std::string out;
    out.reserve(all.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (!(all[i] == '\r' && i + 1 < all.size() && all[i + 1] == '\n'))
            out += all[i];
    }
    return out;
}

std::vector<std::string> readLines(const std::string& path) {
    std::istringstream in(readText(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool waitForLine(const std::string& path, const std::string& prefix,
                 std::chrono::milliseconds limit, Child& child) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        // Looked at before the file is read, so that a line written just before the end counts.
        const bool alive = child.running();
        for (const std::string& line : readLines(path)) {
            if (line.compare(0, prefix.size(), prefix) == 0)
                return true;
        }
        if (!alive || Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::string buildRoot() {
    const char* root = std::getenv("BRIXLE_BUILD_ROOT");
    return root != nullptr && *root != '\0' ? root : BRIXLE_DEFAULT_BUILD_ROOT;
}

bool runs32bit() {
    static const bool runs = [] {
        try {
            return runToEnd({"/usr/lib/wine/wine", "--version"}, "/dev/null",
                            std::chrono::seconds(30)) == 0;
        } catch (const std::exception&) {
            return false;
        }
    }();
    return runs;
}
