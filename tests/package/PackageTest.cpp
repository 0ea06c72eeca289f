#include "support/Lab.h"
#include "support/Program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

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

// Both programs run elevated from wherever they were unpacked: their import tables name only
// KnownDLLs, which Windows never takes from a folder; the system DLLs that are none are
// delay-loaded (their names in the file, out of the import table), and the load configuration
// tells the loader to take the static imports from the system folder only.
TEST_F(PackageContents, ProgramsImportOnlyKnownDllsAndLoadTheRestFromTheSystemFolder) {
    const std::vector<std::string> knownDlls = {
        "advapi32.dll", "combase.dll", "comdlg32.dll", "gdi32.dll",    "imm32.dll",
        "kernel32.dll", "msvcrt.dll",  "ole32.dll",    "oleaut32.dll", "rpcrt4.dll",
        "sechost.dll",  "shell32.dll", "shlwapi.dll",  "user32.dll",   "ws2_32.dll"};
    for (const auto& [arch, flagsAt] : {std::pair<const char*, std::size_t>{"x86", 0x36},
                                        std::pair<const char*, std::size_t>{"x64", 0x4e}}) {
        SCOPED_TRACE(arch);
        const std::string exe = top + "/" + arch + "/brixle100.exe";
        std::istringstream headers(outputOf({"x86_64-w64-mingw32-objdump", "-p", exe}));
        int imported = 0;
        unsigned long long imageBase = 0, configAt = 0, configSize = 0;
        for (std::string line; std::getline(headers, line);) {
            std::istringstream words(line);
            std::string first, second;
            words >> first >> second;
            if (first == "DLL" && second == "Name:") {
                std::string dll;
                words >> dll;
                std::transform(dll.begin(), dll.end(), dll.begin(), ::tolower);
                ++imported;
                EXPECT_NE(std::find(knownDlls.begin(), knownDlls.end(), dll), knownDlls.end())
                    << dll << " is imported at start and is no KnownDLL";
            } else if (first == "ImageBase") {
                imageBase = std::stoull(second, nullptr, 16);
            } else if (first == "Entry" && second == "a") {
                words >> std::hex >> configAt >> configSize;
            }
        }
        EXPECT_GT(imported, 0) << "objdump reads the import table";
        std::string bytes = fileBytes(exe);
        std::transform(bytes.begin(), bytes.end(), bytes.begin(), ::tolower);
        for (const char* delayed : {"comctl32.dll", "dsound.dll", "winmm.dll", "wsock32.dll"})
            EXPECT_NE(bytes.find(delayed), std::string::npos) << delayed << " is delay-loaded";

        ASSERT_GT(configSize, flagsAt + 2) << "the program has a load configuration";
        std::istringstream dump(
            outputOf({"x86_64-w64-mingw32-objdump", "-s",
                      "--start-address=" + std::to_string(imageBase + configAt),
                      "--stop-address=" + std::to_string(imageBase + configAt + configSize), exe}));
        std::vector<unsigned> config;
        for (std::string line; std::getline(dump, line);) {
            std::istringstream words(line);
            std::string address, group;
            if (line.rfind(" ", 0) != 0 || !(words >> address))
                continue;
            for (int i = 0; i < 4 && words >> group && group.size() % 2 == 0 && group.size() <= 8 &&
                            group.find_first_not_of("0123456789abcdef") == std::string::npos;
                 ++i)
                for (std::size_t at = 0; at < group.size(); at += 2)
                    config.push_back(std::stoul(group.substr(at, 2), nullptr, 16));
        }
        ASSERT_GE(config.size(), flagsAt + 2) << "objdump shows the load configuration";
        EXPECT_EQ(config[0] | config[1] << 8 | config[2] << 16 | config[3] << 24, configSize)
            << "the structure's size is the directory's";
        EXPECT_EQ(config[flagsAt] | config[flagsAt + 1] << 8, 0x800u)
            << "DependentLoadFlags: LOAD_LIBRARY_SEARCH_SYSTEM32";
    }
}
