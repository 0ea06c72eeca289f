#include "support/Lab.h"
#include "support/Program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;
using std::chrono::seconds;

namespace {

// The release zip, as the run's "package" fixture made it (scripts/package.sh), unpacked afresh.
class Unpacked : public testing::Test {
  protected:
    void SetUp() override {
        const std::vector<std::string> name =
            readLines(buildRoot() + "/mingw-i686/package-name.txt");
        ASSERT_FALSE(name.empty()) << "the build names its package";
        const std::string zip = buildRoot() + "/test-results/package/" + name[0] + ".zip";
        ASSERT_TRUE(fs::exists(zip)) << "scripts/package.sh made " << zip;
        ASSERT_EQ(runToEnd({"unzip", "-q", zip, "-d", work}, work + "/unzip.log", seconds(120)), 0)
            << "the zip unpacks";
        top = work + "/" + name[0];
    }

    // What a program prints about the files, when it ends with 0.
    std::string outputOf(const std::vector<std::string>& argv) {
        const std::string out = work + "/" + fs::path(argv[0]).filename().string() + ".out";
        return runToEnd(argv, out, seconds(60)) == 0 ? readText(out) : "";
    }

    const std::string work = caseResults("package");
    std::string top;
};

class PackageContents : public Unpacked {};

// Each program unpacked (x86, x64), run from its folder, driven by the driver of its own build.
class Package : public Unpacked, public testing::WithParamInterface<const char*> {};

} // namespace

TEST_F(PackageContents, HoldsBothProgramsWithTheirEffectsAndNeedsNoRuntimeDlls) {
    EXPECT_TRUE(fs::exists(top + "/README.md") && fs::exists(top + "/LICENSE"))
        << "README and licence at the top of the package";
    for (const char* arch : {"x86", "x64"}) {
        for (const char* file : {"brixle100.exe", "a_.wav", "tata.wav", "tah.wav", "canthear.wav",
                                 "muteki.wav", "abeshi.wav"}) {
            const std::string path = top + "/" + arch + "/" + file;
            EXPECT_TRUE(fs::exists(path) && fs::file_size(path) > 0)
                << arch << "/" << file << " is in the package";
        }
    }
    EXPECT_NE(outputOf({"file", top + "/x86/brixle100.exe"}).find("PE32 executable"),
              std::string::npos)
        << "the 32-bit program is a 32-bit Windows executable";
    EXPECT_NE(outputOf({"file", top + "/x64/brixle100.exe"}).find("PE32+ executable"),
              std::string::npos)
        << "the 64-bit program is a 64-bit Windows executable";
    std::string imports = outputOf({"x86_64-w64-mingw32-objdump", "-p", top + "/x64/brixle100.exe",
                                    top + "/x86/brixle100.exe"});
    std::transform(imports.begin(), imports.end(), imports.begin(), ::tolower);
    ASSERT_NE(imports.find("dll name: kernel32.dll"), std::string::npos)
        << "objdump reads both programs' imports";
    for (const char* runtime : {"libstdc", "libgcc", "libwinpthread"})
        EXPECT_EQ(imports.find(std::string("dll name: ") + runtime), std::string::npos)
            << "no MinGW runtime DLL (" << runtime << ") is needed beside the programs";
}

TEST_P(Package, UnpackedProgramSweepsSavesAndEnds) {
    const std::string arch = GetParam();
    if (arch == "x86" && !runs32bit())
        GTEST_SKIP() << "the 32-bit program: this machine runs no 32-bit code (IA-32 emulation "
                        "off), so no 32-bit Windows program can run under Wine here";
    ASSERT_TRUE(inLabSession());
    const std::string build = buildRoot() + (arch == "x86" ? "/mingw-i686" : "/mingw-x86_64");
    ASSERT_TRUE(fs::exists(build + "/tests/app/brixle_app_driver.exe"))
        << "the test driver of " << build << " is built";
    const Driver drive(build, work);
    WineProgram program(top + "/" + arch + "/brixle100.exe", work + "/program.log");
    const std::vector<std::string> hosts = labHostsBetween("10.71.59.1", "10.71.59.3");
    drive({"start"});
    drive(joined({"sweep", "10.71.59.1", "10.71.59.3", "3"}, hosts));
    drive({"save", windowsPath(work + "/results.txt")});
    EXPECT_EQ(fileBytes(work + "/results.txt"), savedHosts(hosts))
        << "the unpacked " << arch << " program saves the lab's hosts";
    drive({"close"});
    EXPECT_EQ(program.end(), 0) << "the unpacked " << arch << " program ends with exit code 0";
}

INSTANTIATE_TEST_SUITE_P(Release, Package, testing::Values("x86", "x64"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });
