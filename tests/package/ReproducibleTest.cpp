#include "support/Child.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

// The release made twice, each from its own copy of the source in a fresh folder of another
// name and depth (so that a path in a binary shows up as a difference), compared byte for byte;
// and what the release says of itself: its sums, no link time or build folder in its programs,
// the one version everywhere. Needs neither root nor the lab.
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

Bytes bytesOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::uint32_t word32(const Bytes& bytes, std::size_t at) {
    if (at + 4 > bytes.size())
        return 0xFFFFFFFF;
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
           std::uint32_t(bytes[at + 3]) << 24;
}

bool contains(const Bytes& bytes, const std::string& text) {
    return std::search(bytes.begin(), bytes.end(), text.begin(), text.end()) != bytes.end();
}

std::string utf16(const std::string& ascii) {
    std::string wide;
    for (char c : ascii)
        wide += std::string{c, '\0'};
    return wide;
}

// The files under a folder, as paths relative to it, sorted.
std::vector<std::string> filesUnder(const fs::path& top) {
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(top)) {
        if (entry.is_regular_file())
            files.push_back(fs::relative(entry.path(), top).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

class Release : public testing::Test {
  protected:
    struct Build {
        fs::path source, out, zip, top;
    };

    static fs::path work() { return fs::path(BRIXLE_RESULTS_DIR) / "reproducible"; }
    static int run(const std::vector<std::string>& argv, const fs::path& log) {
        return runToEnd(argv, log.string(), std::chrono::minutes(20));
    }

    // The working tree as a clean checkout would have it: tracked and new files, no build output.
    static void copySource(const fs::path& to) {
        const fs::path list = work() / "files.txt";
        std::vector<std::string> files;
        if (run({"git", "-C", BRIXLE_SOURCE_DIR, "ls-files", "--cached", "--others",
                 "--exclude-standard"},
                list) == 0) {
            files = readLines(list.string());
        } else { // a source tree without its history
            const fs::path top = BRIXLE_SOURCE_DIR;
            for (auto entry = fs::recursive_directory_iterator(top);
                 entry != fs::recursive_directory_iterator(); ++entry) {
                const std::string name = fs::relative(entry->path(), top).string();
                if (name == "build" || name == ".git" || name == "out")
                    entry.disable_recursion_pending();
                else if (entry->is_regular_file())
                    files.push_back(name);
            }
        }
        for (const std::string& file : files) {
            const fs::path from = fs::path(BRIXLE_SOURCE_DIR) / file;
            if (!fs::exists(from)) // deleted but not yet committed
                continue;
            fs::create_directories((to / file).parent_path());
            fs::copy(from, to / file, fs::copy_options::copy_symlinks);
        }
    }

    static void make(Build& build, int i) {
        copySource(build.source);
        const fs::path log = work() / ("package" + std::to_string(i) + ".log");
        // The copy's own build folders, configured without the test suite the release does not
        // need; the linker takes SOURCE_DATE_EPOCH for the time it stamps, which would hide it.
        for (const char* preset : {"mingw-i686", "mingw-x86_64"}) {
            ASSERT_EQ(run({"env", "-u", "SOURCE_DATE_EPOCH", "cmake", "-S", build.source.string(),
                           "--preset", preset, "-DBRIXLE_BUILD_TESTS=OFF"},
                          log),
                      0)
                << "configuring " << preset << " in " << build.source;
        }
        ASSERT_EQ(run({"env", "-u", "SOURCE_DATE_EPOCH", "bash",
                       (build.source / "scripts/package.sh").string(), build.out.string()},
                      log),
                  0)
            << readText(log.string());
        for (const auto& entry : fs::directory_iterator(build.out)) {
            if (entry.path().extension() == ".zip")
                build.zip = entry.path();
        }
        ASSERT_FALSE(build.zip.empty()) << "no zip from clean build " << i + 1;
        const fs::path unpacked = work() / ("unpacked" + std::to_string(i));
        ASSERT_EQ(run({"unzip", "-q", build.zip.string(), "-d", unpacked.string()}, log), 0);
        build.top = unpacked / build.zip.stem();
        ASSERT_TRUE(fs::is_directory(build.top)) << "the zip holds one folder named like it";
    }

    static void SetUpTestSuite() {
        fs::remove_all(work());
        fs::create_directories(work());
        builds[0].source = work() / "a/brixle100";
        builds[1].source = work() / "second-build/src/brixle100-copy";
        for (int i = 0; i < 2; ++i) {
            builds[i].out = work() / ("out" + std::to_string(i));
            make(builds[i], i);
            if (!fs::is_directory(builds[i].top))
                return;
        }
        made = true;
    }
    static void TearDownTestSuite() {
        if (made && !testing::UnitTest::GetInstance()->failed_test_count()) {
            for (const char* folder : {"a", "second-build", "unpacked0", "unpacked1"})
                fs::remove_all(work() / folder);
        }
    }
    void SetUp() override {
        if (!made)
            GTEST_FAIL() << "the two clean builds of the release were not made; see "
                         << work() / "package0.log"
                         << " and package1.log";
    }

    static inline Build builds[2];
    static inline bool made = false;
};

TEST_F(Release, TwoCleanBuildsGiveTheSameBytes) {
    std::set<std::string> packaged;
    for (const Build& build : builds) {
        for (const std::string& file : filesUnder(build.top))
            packaged.insert(file);
    }
    // The sums file last: it differs whenever another file does.
    packaged.erase("SHA256SUMS.txt");
    std::vector<std::pair<std::string, std::pair<fs::path, fs::path>>> pairs;
    for (const std::string& file : packaged)
        pairs.push_back({file + " (in the zip)", {builds[0].top / file, builds[1].top / file}});
    pairs.push_back({"SHA256SUMS.txt (in the zip)",
                     {builds[0].top / "SHA256SUMS.txt", builds[1].top / "SHA256SUMS.txt"}});
    const std::string zip = builds[0].zip.filename().string();
    pairs.push_back({zip, {builds[0].zip, builds[1].zip}});
    pairs.push_back(
        {zip + ".sha256", {builds[0].out / (zip + ".sha256"), builds[1].out / (zip + ".sha256")}});
    // What the build folders hold: the programs before stripping, with their debugging information.
    for (const char* preset : {"mingw-i686", "mingw-x86_64"}) {
        for (const char* file : {"brixle100.exe", "a_.wav", "tata.wav", "tah.wav", "canthear.wav",
                                 "muteki.wav", "abeshi.wav"}) {
            const fs::path inBuild = fs::path("build") / preset / "app" / file;
            pairs.push_back(
                {inBuild.string(), {builds[0].source / inBuild, builds[1].source / inBuild}});
        }
    }
    std::string firstDifference;
    for (const auto& [what, files] : pairs) {
        const bool same = fs::exists(files.first) && bytesOf(files.first) == bytesOf(files.second);
        EXPECT_TRUE(same) << "not the same bytes: " << what;
        if (!same && firstDifference.empty())
            firstDifference = what;
    }
    EXPECT_EQ(firstDifference, "") << "first differing file";
}

TEST_F(Release, SumsVerifyAndListEveryFile) {
    const fs::path log = work() / "sums.log";
    EXPECT_EQ(run({"sh", "-c", "cd \"$0\" && sha256sum --quiet -c SHA256SUMS.txt",
                   builds[0].top.string()},
                  log),
              0)
        << readText(log.string());
    EXPECT_EQ(run({"sh", "-c", "cd \"$0\" && sha256sum --quiet -c \"$1\"", builds[0].out.string(),
                   builds[0].zip.filename().string() + ".sha256"},
                  log),
              0)
        << "the zip's own sum: " << readText(log.string());
    std::vector<std::string> listed;
    for (const std::string& line : readLines((builds[0].top / "SHA256SUMS.txt").string()))
        listed.push_back(line.substr(std::min<std::size_t>(66, line.size())));
    std::sort(listed.begin(), listed.end());
    std::vector<std::string> files = filesUnder(builds[0].top);
    files.erase(std::remove(files.begin(), files.end(), "SHA256SUMS.txt"), files.end());
    EXPECT_EQ(listed, files);
}

TEST_F(Release, ProgramsCarryNoLinkTimeAndNoBuildFolder) {
    for (const fs::path& program :
         {builds[0].top / "x86/brixle100.exe", builds[0].top / "x64/brixle100.exe",
          builds[0].source / "build/mingw-i686/app/brixle100.exe",
          builds[0].source / "build/mingw-x86_64/app/brixle100.exe"}) {
        const Bytes bytes = bytesOf(program);
        // The PE header's time stamp: 4 bytes, 8 into the header that offset 0x3c points at.
        EXPECT_EQ(word32(bytes, word32(bytes, 0x3c) + 8), 0u) << program;
        EXPECT_FALSE(contains(bytes, work().string())) << program << " holds a build folder";
    }
}

TEST_F(Release, TakesTheOneVersionEverywhere) {
    std::smatch match;
    const std::string lists = readText(BRIXLE_SOURCE_DIR "/CMakeLists.txt");
    ASSERT_TRUE(
        std::regex_search(lists, match, std::regex("project\\(brixle100 VERSION ([0-9.]+)")));
    const std::string version = match[1];
    std::vector<std::string> parts;
    std::istringstream in(version);
    for (std::string part; std::getline(in, part, '.');)
        parts.push_back(part);
    parts.resize(4, "0");
    const std::string quad = parts[0] + "." + parts[1] + "." + parts[2] + "." + parts[3];
    const std::string name = "brixle100-" + version + "-windows";
    EXPECT_EQ(builds[0].zip.stem(), name);

    for (const char* arch : {"x86", "x64"}) {
        SCOPED_TRACE(arch);
        const Bytes program = bytesOf(builds[0].top / arch / "brixle100.exe");
        // The fixed part's numbers after its signature 0xFEEF04BD: file version as minor, major,
        // tweak, patch in 16-bit words.
        const Bytes signature{0xbd, 0x04, 0xef, 0xfe};
        const auto at =
            std::search(program.begin(), program.end(), signature.begin(), signature.end());
        ASSERT_NE(at, program.end()) << "no version resource";
        const std::size_t fixed = at - program.begin() + 8;
        const auto half = [&](std::size_t i) {
            return std::to_string(program[fixed + i] | program[fixed + i + 1] << 8);
        };
        EXPECT_EQ(half(2) + "." + half(0) + "." + half(6) + "." + half(4), quad);
        for (const char* key : {"FileVersion", "ProductVersion"})
            EXPECT_TRUE(contains(program, utf16(key) + std::string(2, '\0') + utf16(quad)) ||
                        contains(program, utf16(key) + std::string(4, '\0') + utf16(quad)))
                << key << " is not " << quad;
        EXPECT_TRUE(contains(program, "name=\"Brixle100\" version=\"" + quad + "\""))
            << "the manifest's assembly version";
    }

    const std::string readme = readText(BRIXLE_SOURCE_DIR "/README.md");
    const auto section = readme.find("\n## Release package\n");
    ASSERT_NE(section, std::string::npos);
    const auto next = readme.find("\n## ", section + 1);
    EXPECT_NE(readme.substr(section, next - section).find(name + ".zip"), std::string::npos)
        << "the README's release section names " << name << ".zip";
}

} // namespace
