#include "support/Lab.h"
#include "support/Program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
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

// A Windows image as the loader reads it: headers, sections, data directories; every read is
// bounded by the file and yields 0 past it.
namespace {

class PeImage {
  public:
    explicit PeImage(std::string file) : bytes(std::move(file)) {
        const std::size_t header = at(0x3c, 4);
        if (bytes.size() < 64 || at(header, 4) != 0x4550)
            return;
        optional = header + 24;
        plus = at(optional, 2) == 0x20b;
        imageBase = plus ? at(optional + 24, 8) : at(optional + 28, 4);
        directories = optional + (plus ? 112 : 96);
        const std::size_t table = optional + at(header + 20, 2);
        for (std::size_t i = 0; i < at(header + 6, 2); ++i) {
            const std::size_t entry = table + 40 * i;
            sections.push_back({at(entry + 12, 4), std::max(at(entry + 8, 4), at(entry + 16, 4)),
                                at(entry + 20, 4), at(entry + 36, 4)});
        }
    }
    bool valid() const { return optional != 0; }
    std::uint64_t at(std::size_t offset, int width) const {
        std::uint64_t value = 0;
        for (int i = width - 1; i >= 0; --i)
            value = value << 8 |
                    (offset + i < bytes.size() ? static_cast<unsigned char>(bytes[offset + i]) : 0);
        return value;
    }
    // The section flags of the one that holds rva; 0 for none.
    std::uint64_t flagsAt(std::uint64_t rva) const {
        for (const Section& section : sections)
            if (rva >= section.rva && rva < section.rva + section.size)
                return section.flags;
        return 0;
    }
    std::uint64_t rvaAt(std::uint64_t rva, int width) const { return at(fileOffset(rva), width); }
    std::string textAt(std::uint64_t rva) const {
        const std::size_t from = fileOffset(rva);
        return from < bytes.size() ? std::string(bytes.c_str() + from) : "";
    }
    std::pair<std::uint64_t, std::uint64_t> directory(int index) const {
        return {at(directories + 8 * index, 4), at(directories + 8 * index + 4, 4)};
    }
    std::uint64_t storedChecksum() const { return at(optional + 64, 4); }
    // The 16-bit words summed with their carries folded in, the checksum's own field as 0, plus
    // the file's length.
    std::uint64_t checksum() const {
        std::uint64_t sum = 0;
        for (std::size_t offset = 0; offset < bytes.size(); offset += 2)
            if (offset != optional + 64 && offset != optional + 66)
                sum += at(offset, offset + 1 < bytes.size() ? 2 : 1);
        while (sum > 0xffff)
            sum = (sum & 0xffff) + (sum >> 16);
        return sum + bytes.size();
    }

    std::uint64_t imageBase = 0;
    bool plus = false;
    static constexpr std::uint64_t executable = 0x20000000; // IMAGE_SCN_MEM_EXECUTE

  private:
    struct Section {
        std::uint64_t rva, size, file, flags;
    };
    std::size_t fileOffset(std::uint64_t rva) const {
        for (const Section& section : sections)
            if (rva >= section.rva && rva < section.rva + section.size)
                return rva - section.rva + section.file;
        return bytes.size();
    }
    std::string bytes;
    std::size_t optional = 0, directories = 0;
    std::vector<Section> sections;
};

} // namespace

// Both programs run elevated from wherever they were unpacked: their import tables name only
// KnownDLLs, which Windows never takes from a folder; the system DLLs that are none are
// delay-loaded, from the system folder only, through a delay-import table that the files carry
// for Windows' tools too. Each slot of it must start out pointing at its thunk, in code: a slot
// that holds anything else is jumped to at the first call.
TEST_F(PackageContents, ProgramsImportOnlyKnownDllsAndDelayLoadTheRestThroughTheirThunks) {
    const std::vector<std::string> knownDlls = {
        "advapi32.dll", "combase.dll", "comdlg32.dll", "gdi32.dll",    "imm32.dll",
        "kernel32.dll", "msvcrt.dll",  "ole32.dll",    "oleaut32.dll", "rpcrt4.dll",
        "sechost.dll",  "shell32.dll", "shlwapi.dll",  "user32.dll",   "ws2_32.dll"};
    const std::map<std::string, int> delayed = {
        {"comctl32.dll", 1}, {"dsound.dll", 1}, {"winmm.dll", 1}, {"wsock32.dll", 1}};
    for (const char* arch : {"x86", "x64"}) {
        SCOPED_TRACE(arch);
        const std::string exe = top + "/" + arch + "/brixle100.exe";
        std::istringstream headers(outputOf({"x86_64-w64-mingw32-objdump", "-p", exe}));
        int imported = 0;
        for (std::string line; std::getline(headers, line);) {
            std::istringstream words(line);
            std::string first, second, dll;
            if (words >> first >> second >> dll && first == "DLL" && second == "Name:") {
                std::transform(dll.begin(), dll.end(), dll.begin(), ::tolower);
                ++imported;
                EXPECT_NE(std::find(knownDlls.begin(), knownDlls.end(), dll), knownDlls.end())
                    << dll << " is imported at start and is no KnownDLL";
            }
        }
        EXPECT_GT(imported, 0) << "objdump reads the import table";

        const PeImage image(fileBytes(exe));
        ASSERT_TRUE(image.valid()) << exe << " is a PE image";
        EXPECT_EQ(image.plus, std::string(arch) == "x64");
        const auto [table, size] = image.directory(13);
        ASSERT_NE(table, 0u) << "the delay-import directory points at the descriptors";
        std::map<std::string, int> named;
        const int width = image.plus ? 8 : 4;
        for (std::uint64_t at = table; at < table + size && named.size() < 16; at += 32) {
            if (image.rvaAt(at + 4, 4) == 0)
                break; // the null descriptor
            std::string dll = image.textAt(image.rvaAt(at + 4, 4));
            std::transform(dll.begin(), dll.end(), dll.begin(), ::tolower);
            ++named[dll];
            EXPECT_EQ(image.rvaAt(at, 4) & 1, 1u) << dll << ": its addresses are RVAs";
            // As many slots as names, the name table ending first where a slot holds 0.
            int slots = 0;
            for (std::uint64_t name = image.rvaAt(at + 16, 4), slot = image.rvaAt(at + 12, 4);
                 image.rvaAt(name, width) != 0 && slots < 64; name += width, slot += width) {
                ++slots;
                const std::uint64_t target = image.rvaAt(slot, width);
                EXPECT_NE(image.flagsAt(target - image.imageBase) & PeImage::executable, 0u)
                    << dll << "'s slot " << slots << " starts out at 0x" << std::hex << target
                    << ", in no executable section";
            }
            EXPECT_GT(slots, 0) << dll << " has slots";
        }
        EXPECT_EQ(named, delayed) << "the delay-loaded DLLs, each once";
    }
}

// A checksum is optional for a program, but one that is there must be right: every Windows
// executable the build writes, and the release's, stripped.
TEST_F(PackageContents, EveryWindowsExecutableCarriesItsRightChecksumOrNone) {
    std::vector<std::string> executables = {top + "/x86/brixle100.exe", top + "/x64/brixle100.exe"};
    for (const char* preset : {"/mingw-i686", "/mingw-x86_64"})
        for (const auto& entry : fs::recursive_directory_iterator(buildRoot() + preset))
            if (entry.path().extension() == ".exe" && entry.is_regular_file())
                executables.push_back(entry.path());
    ASSERT_GT(executables.size(), 4u) << "both builds hold their programs";
    for (const std::string& exe : executables) {
        const PeImage image(fileBytes(exe));
        ASSERT_TRUE(image.valid()) << exe;
        if (image.storedChecksum() != 0) {
            EXPECT_EQ(image.storedChecksum(), image.checksum()) << exe;
        }
    }
}
