#include "support/Child.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

// scripts/lab.sh must leave nothing behind: not after `down`, not after a failed `up`, not when
// an old ENVFILE is reused. Makes labs of its own and sends no packet.
namespace {

namespace fs = std::filesystem;

class LabLifecycle : public testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root (ip netns)";
        folder = fs::temp_directory_path() / ("brixle-lab-lifecycle-" + std::to_string(::getpid()));
        fs::create_directories(folder);
    }
    void TearDown() override {
        if (folder.empty())
            return;
        for (const char* env : {"a.env", "b.env"})
            lab({"down", path(env)});
        fs::remove_all(folder);
    }

    std::string path(const std::string& name) const { return (folder / name).string(); }

    int lab(std::vector<std::string> args, const std::vector<std::string>& environment = {}) {
        args.insert(args.begin(), BRIXLE_LAB_SCRIPT);
        std::vector<std::string> settings = environment;
        settings.push_back(std::string("BRIXLE_LAB_TOOLS=") + BRIXLE_LAB_TOOLS);
        Child child(args, path("lab.out"), "", settings);
        return child.wait(std::chrono::seconds(60));
    }

    // What an ENVFILE records.
    static std::map<std::string, std::string> recorded(const std::string& envfile) {
        std::map<std::string, std::string> values;
        std::ifstream in(envfile);
        for (std::string line; std::getline(in, line);) {
            const auto equals = line.find("='");
            if (line.rfind("export ", 0) == 0 && equals != std::string::npos)
                values[line.substr(7, equals - 7)] =
                    line.substr(equals + 2, line.size() - equals - 3);
        }
        return values;
    }

    static bool namespaceExists(const std::string& name) {
        return !name.empty() && fs::exists("/run/netns/" + name);
    }
    static bool runsIn(const std::string& pid, const std::string& name) {
        struct stat own {
        }, named{};
        return !pid.empty() && ::stat(("/proc/" + pid + "/ns/net").c_str(), &own) == 0 &&
               ::stat(("/run/netns/" + name).c_str(), &named) == 0 && own.st_ino == named.st_ino;
    }
    static bool gone(const std::string& pid) { return !pid.empty() && !fs::exists("/proc/" + pid); }

    fs::path folder;
};

TEST_F(LabLifecycle, UpExecUpAgainAndDownLeaveExactlyOneLabOrNone) {
    ASSERT_EQ(lab({"up", path("a.env")}), 0) << readText(path("lab.out"));
    auto a = recorded(path("a.env"));
    EXPECT_TRUE(namespaceExists(a["BRIXLE_LAB_SCAN"]));
    EXPECT_TRUE(namespaceExists(a["BRIXLE_LAB_NS"]));
    EXPECT_TRUE(runsIn(a["BRIXLE_LAB_RESPONDER_PID"], a["BRIXLE_LAB_NS"]));
    EXPECT_TRUE(runsIn(a["BRIXLE_LAB_TCPDUMP_PID"], a["BRIXLE_LAB_NS"]));
    EXPECT_TRUE(fs::exists(a["BRIXLE_LAB_PCAP"]));
    EXPECT_EQ(a["BRIXLE_LAB_LATE_MS"], "1500");

    // exec: in the scan namespace, with the lab's variables.
    ASSERT_EQ(lab({"exec", path("a.env"), "sh", "-c", "ip netns identify $$; echo $BRIXLE_LAB"}),
              0);
    EXPECT_EQ(readText(path("lab.out")), a["BRIXLE_LAB_SCAN"] + "\n1\n");

    // A second `up` over the same file first removes the lab the file records.
    fs::copy_file(path("a.env"), path("b.env"));
    ASSERT_EQ(lab({"up", path("b.env")}), 0) << readText(path("lab.out"));
    auto b = recorded(path("b.env"));
    EXPECT_FALSE(namespaceExists(a["BRIXLE_LAB_SCAN"]));
    EXPECT_FALSE(namespaceExists(a["BRIXLE_LAB_NS"]));
    EXPECT_TRUE(gone(a["BRIXLE_LAB_RESPONDER_PID"]));
    EXPECT_TRUE(gone(a["BRIXLE_LAB_TCPDUMP_PID"]));
    EXPECT_TRUE(namespaceExists(b["BRIXLE_LAB_SCAN"]));

    // down: namespaces and processes gone, and again, and for a lab never made.
    EXPECT_EQ(lab({"down", path("b.env")}), 0);
    EXPECT_FALSE(namespaceExists(b["BRIXLE_LAB_SCAN"]));
    EXPECT_FALSE(namespaceExists(b["BRIXLE_LAB_NS"]));
    EXPECT_TRUE(gone(b["BRIXLE_LAB_RESPONDER_PID"]));
    EXPECT_TRUE(gone(b["BRIXLE_LAB_TCPDUMP_PID"]));
    EXPECT_EQ(lab({"down", path("b.env")}), 0);
    EXPECT_EQ(lab({"down", path("never-made.env")}), 0);
    EXPECT_NE(lab({"exec", path("never-made.env"), "true"}), 0);
}

// A capture that cannot start: `up` fails and takes down what it had made.
TEST_F(LabLifecycle, AFailedUpLeavesNoNamespaceNoEnvfileAndNoOpenLog) {
    fs::create_directories(folder / "bin");
    {
        std::ofstream fake(path("bin/tcpdump"));
        fake << "#!/bin/sh\necho 'no capture here' >&2\nexit 1\n";
    }
    fs::permissions(path("bin/tcpdump"), fs::perms::owner_all);
    const std::string name = "brxlc" + std::to_string(::getpid());
    EXPECT_NE(lab({"up", path("a.env")},
                  {"PATH=" + path("bin") + ":" + std::getenv("PATH"), "BRIXLE_LAB_NAME=" + name}),
              0);
    EXPECT_FALSE(namespaceExists(name + "scan"));
    EXPECT_FALSE(namespaceExists(name + "lab"));
    EXPECT_FALSE(fs::exists(path("a.env")));
    // The responder it had started writes its log here: nothing may still hold one open.
    for (const auto& process : fs::directory_iterator("/proc")) {
        // Processes come and go meanwhile: what cannot be read any more is passed over.
        std::error_code ignored;
        for (fs::directory_iterator fd(process.path() / "fd", ignored), end; fd != end;
             fd.increment(ignored)) {
            const std::string target = fs::read_symlink(fd->path(), ignored).string();
            EXPECT_NE(target.rfind(path("lab-"), 0), 0u) << process.path() << " holds " << target;
        }
    }
}

} // namespace
