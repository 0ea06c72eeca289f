#include "support/Capture.h"
#include "support/Lab.h"
#include "support/Program.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using std::chrono::seconds;

namespace {

// What the program says when its ICMP socket cannot be opened at start-up.
const std::string setupFailure =
    "Error : Windows Socket Operation Failed\n"
    "Brixle 100 could not open its ICMP socket.\n"
    "On Windows, start it as administrator.\n"
    "On Linux under Wine, start it as root, or let your group open ICMP sockets, as root: sysctl "
    "-w net.ipv4.ping_group_range='0 2147483647'";

// The dialog templates, version information and manifest in the program's resources, as
// windres writes them back as resource script: styles as numbers (WS_CHILD | WS_VISIBLE is
// 0x50000000, WS_TABSTOP 0x10000, WS_BORDER 0x800000; the list adds WS_VSCROLL,
// LBS_NOINTEGRALHEIGHT, LBS_NOTIFY and LBS_SORT), an extended style only where there is one, the
// controls in tab order.
std::string resources(const std::string& exe, const std::string& work) {
    const std::string rc = work + "/resources.rc";
    return runToEnd({"x86_64-w64-mingw32-windres", "-i", exe, "-O", "rc", "-o", rc},
                    work + "/windres.log", seconds(60)) == 0
               ? readText(rc)
               : "";
}

// The resource of that script whose first line starts with head, up to its END.
std::string resource(const std::string& rc, const std::string& head) {
    const std::size_t start = rc.find("\n" + head);
    return start == std::string::npos ? ""
                                      : rc.substr(start + 1, rc.find("\nEND\n", start) + 4 - start);
}

const std::string designedFont =
    R"(FONT 9, L"\xff2d\xff33 \xff30\x30b4\x30b7\x30c3\x30af", 0, 0, 128)"; // MS P Gothic

// A wineserver of the session's prefix as the system sees it.
struct Server {
    int pid = 0;
    bool known = false; // its status could be read
    unsigned long uid = 0;
    std::uint64_t capabilities = 0;
};

std::vector<Server> servers() {
    std::vector<Server> found;
    for (int pid : wineServers()) {
        const std::vector<std::string> status =
            readLines("/proc/" + std::to_string(pid) + "/status");
        const std::string uid = valueAfter(status, "Uid:\t");
        const std::string capabilities = valueAfter(status, "CapEff:\t");
        if (uid.empty() || capabilities.empty())
            found.push_back({pid, false});
        else
            found.push_back({pid, true, std::stoul(uid), std::stoull(capabilities, nullptr, 16)});
    }
    return found;
}

// Whether a process of uid in our network namespace, the lab's, runs brixle100.exe.
bool programRunning(unsigned long uid) {
    return runToEnd({"pgrep", "-u", std::to_string(uid), "--ns", std::to_string(getpid()),
                     "--nslist", "net", "-f", "brixle100\\.exe"},
                    "/dev/null", seconds(10)) == 0;
}

// The program worked through its windows by the driver, a scenario a test.
class Program : public ProgramCase {
  protected:
    Program() : ProgramCase("app") {}
    void start() {
        program.emplace(exe, work + "/program.log");
        drive({"start"});
    }
    void sweep(const std::string& from, const std::string& to,
               const std::vector<std::string>& options, const std::vector<std::string>& hosts) {
        drive(joined(joined({"sweep", from, to}, options), hosts));
    }
    void closeEndsWithExitCode0() {
        drive({"close"});
        EXPECT_EQ(program->end(), 0) << "closing the window ends the program with exit code 0";
    }
    // The window comes up over the setup message, refuses to sweep, and still closes.
    void refusesAfterTheFailedSetup() {
        program.emplace(exe, work + "/program.log");
        drive({"expect-box", "Brixle 100", setupFailure});
        drive({"start"});
        drive({"refused", "10.71.59.0", "10.71.59.7", "Error : Louncher::fire() not initialized"});
        closeEndsWithExitCode0();
    }

    // For this case's Wine programs, the program and the driver: only in a UTF-8 locale does
    // Wine store names beyond ASCII on Linux and pass them on the driver's command line.
    void inUtf8Locale() { ASSERT_EQ(::setenv("LC_ALL", "C.UTF-8", 1), 0); }

    std::optional<WineProgram> program;
};

class ProgramWithoutRawSocket : public Program {};
class ProgramOnItsLan : public Program {};

// Every Wine program of the session as an ordinary user in a prefix of its own
// (scripts/lab.sh session --user), as on a desktop.
class ProgramAsUser : public Program {
  protected:
    void SetUp() override {
        Program::SetUp(); // the prefix's wineserver proved in the scan namespace
        if (HasFatalFailure())
            return;
        const std::vector<Server> found = servers();
        ASSERT_FALSE(found.empty()) << "the user's prefix has its wineserver";
        for (const Server& server : found) {
            ASSERT_TRUE(server.known) << "the status of wineserver " << server.pid;
            EXPECT_NE(server.uid, 0u) << "wineserver " << server.pid << " runs as an ordinary user";
            EXPECT_EQ(server.capabilities, 0u)
                << "wineserver " << server.pid << " has no capabilities";
            user = server.uid;
        }
        // The program saves its results as that user.
        ASSERT_EQ(::chown(work.c_str(), user, user), 0) << work;
    }
    // scripts/run.sh as the user, with the prefix it picks for itself and this build.
    std::vector<std::string> runCommand() const {
        return asSessionUser({"env", "-u", "WINEPREFIX", "BRIXLE_BUILD_DIR=" + build,
                              BRIXLE_SOURCE_DIR "/scripts/run.sh"});
    }

    unsigned long user = 0;
};
class ProgramAsUserWithoutPingRange : public ProgramAsUser {};

} // namespace

TEST_F(Program, ComesUpWithItsDesignedWindowsAndFont) {
    const std::string font = labVariable("BRIXLE_DESIGNED_FONT");
    ASSERT_FALSE(font.empty()) << "the session names the designed font (--designed-font)";
    const std::string rc = resources(exe, work);
    ASSERT_FALSE(rc.empty()) << "windres reads the program's resources";
    EXPECT_EQ(resource(rc, "1000 DIALOGEX "), R"(1000 DIALOGEX 0, 0, 79, 241
STYLE 0xca0840
CAPTION "Brixle100"
)" + designedFont + R"(
BEGIN
  CONTROL "&ata!", 1008, "BUTTON", 0x50010001, 18, 7, 42, 14
  CONTROL "from", -1, "STATIC", 0x50000000, 1, 27, 14, 8
  CONTROL "to", -1, "STATIC", 0x50000000, 1, 58, 8, 8
  CONTROL "&save", 1007, "BUTTON", 0x50010000, 16, 226, 46, 14
  CONTROL "", 1009, "EDIT", 0x50000880, 19, 93, 40, 12
  CONTROL "", 1014, "EDIT", 0x50810000, 0, 38, 78, 14
  CONTROL "", 1015, "EDIT", 0x50810000, 0, 73, 78, 14
  CONTROL "", 1017, "LISTBOX", 0x50a10103, 0, 107, 78, 114
  CONTROL "Hit : ", -1, "STATIC", 0x50000000, 3, 93, 15, 8
END
)") << "the main dialog as designed: a caption, a minimise box, centred, MS P Gothic 9";
    EXPECT_EQ(resource(rc, "103 DIALOGEX "), R"(103 DIALOGEX 0, 0, 187, 37
STYLE 0x80c800c0
CAPTION "Brixle 100 : SAVE"
)" + designedFont + R"(
BEGIN
  CONTROL "&Save", 1, "BUTTON", 0x50010001, 1, 20, 50, 14
  CONTROL "&Cancel", 2, "BUTTON", 0x50010000, 67, 20, 50, 14
  CONTROL "", 1018, "EDIT", 0x50810080, 0, 2, 186, 14
  CONTROL "&Browse", 1019, "BUTTON", 0x50010000, 133, 20, 50, 14
END
)") << "the save dialog as designed: a modal popup with a caption, MS P Gothic 9";
    EXPECT_NE(resource(rc, "1 VERSIONINFO\n"), "") << "the program carries version information";
    const std::string manifest = resource(rc, "1 24 ");
    for (const char* asked :
         {R"(level=""requireAdministrator"")",
          R"(name=""Microsoft.Windows.Common-Controls"" version=""6.0.0.0"")", "<dpiAware "})
        EXPECT_NE(manifest.find(asked), std::string::npos) << "the manifest asks for " << asked;
    start();
    drive({"expect-box", "Brixle 100", "-"});
    drive({"font", font});
    closeEndsWithExitCode0();
}

// Full-width digits and dots too, which the code page would turn into ASCII look-alikes.
TEST_F(Program, RefusesMalformedAddressesLeavingItsFieldsAsTyped) {
    inUtf8Locale();
    start();
    for (const auto& [from, to] :
         std::vector<std::pair<std::string, std::string>>{{"10.71.59", "10.71.59.7"},
                                                          {"10.71.59.0", "1.2.3.4.5"},
                                                          {"a.b.c", "256.1.1.1"},
                                                          {"１０.71.59.1", "10.71.59.2"},
                                                          {"10.71.59.1", "10．71．59．2"}})
        drive({"refused", from, to, "Invalid IP Address"});
    closeEndsWithExitCode0();
}

// The lab's hosts in the preset range, the late one too, of its 256 addresses; the window is
// worked meanwhile (never hung, input kept for after the sweep, no second sweep).
TEST_F(Program, SweepsThePresetRangeWhileTheWindowIsWorkedAndSavesIt) {
    start();
    const std::vector<std::string> hosts = labHostsBetween("10.71.59.0", "10.71.59.255");
    sweep("10.71.59.0", "10.71.59.255", {"--busy", "256"}, hosts);
    screenshot(work + "/main-after-sweep.png");
    const std::string results = work + "/results.txt";
    std::ofstream(results) << "an older and much longer file than the one the save writes\n"
                              "an older and much longer file than the one the save writes\n";
    drive({"open-save"});
    screenshot(work + "/save-dialog.png");
    drive({"save", windowsPath(results)});
    EXPECT_EQ(fileBytes(results), savedHosts(hosts))
        << "the saved file holds the hosts in address order, CR LF after each, over the old file";
    closeEndsWithExitCode0();
}

// A point the driver's frame command names ("caption 120 40"); where the window is ("window").
std::pair<int, int> at(const std::vector<std::string>& frame, const std::string& name) {
    std::pair<int, int> point = {-1, -1};
    std::istringstream(valueAfter(frame, name + " ")) >> point.first >> point.second;
    return point;
}

// A net whose every address answers: its 4,096 hosts listed, the window never taken for hung
// (before, during and after the list fills) and the hosts saved. Meanwhile, by real input, the
// window is dragged by its caption, minimised and restored, its close box pressed and let go off
// it, keys typed into a field and Alt+S given: the sweep goes on throughout, and the keys and the
// save dialog come after it.
TEST_F(Program, ListsAWholeNetWhileItsFrameIsWorkedByRealInput) {
    ASSERT_EQ(labVariable("BRIXLE_LAB_WHOLE_NET"), "10.71.32.0/20") << "the lab's whole net";
    start();
    std::vector<std::string> frame = drive({"sweep-begin", "10.71.32.0", "10.71.47.255", "20"});
    const std::pair<int, int> moved = {at(frame, "window").first + 100,
                                       at(frame, "window").second + 80};
    const auto input = [&](const std::string& where, std::vector<std::string> what) {
        what.insert(what.begin(), {"mousemove", std::to_string(at(frame, where).first),
                                   std::to_string(at(frame, where).second)});
        ASSERT_EQ(runToEnd(joined({"xdotool"}, what), work + "/xdotool.log", seconds(10)), 0);
        frame = drive({"frame"});
        EXPECT_EQ(valueAfter(frame, "sweeping "), "1") << where << ": the sweep goes on";
        EXPECT_EQ(valueAfter(frame, "hung "), "0") << where << ": not taken for hung";
    };
    input("caption", {"mousedown", "1", "sleep", "0.2", "mousemove_relative", "30", "20", "sleep",
                      "0.2", "mousemove_relative", "70", "60", "sleep", "0.2", "mouseup", "1"});
    EXPECT_EQ(at(frame, "window"), moved) << "dragged";
    input("minbox", {"click", "1"});
    EXPECT_EQ(valueAfter(frame, "iconic "), "1") << "minimised";
    input("caption", {"click", "--repeat", "2", "--delay", "80", "1"});
    EXPECT_EQ(valueAfter(frame, "iconic "), "0") << "restored";
    EXPECT_EQ(at(frame, "window"), moved) << "where it was";
    input("closebox", {"mousedown", "1", "mousemove_relative", "--", "-60", "0", "mouseup", "1"});
    input("to", {"click", "1", "key", "End", "type", "X:y"}); // typed after it, Shift and all
    input("caption", {"key", "alt+s"});
    drive({"sweep-end", "10.71.32.0", "10.71.47.255", "--kept-save", "4096", "--every"});
    const std::string results = work + "/results.txt";
    drive({"save", windowsPath(results)});
    std::string hosts;
    for (int host = 0; host < 4096; ++host)
        hosts +=
            "10.71." + std::to_string(32 + host / 256) + "." + std::to_string(host % 256) + "\r\n";
    EXPECT_EQ(fileBytes(results), hosts) << "the 4,096 hosts saved in address order";
    EXPECT_NE(valueAfter(drive({"frame"}), "to ").find(" 10.71.47.255X:y"), std::string::npos);
    closeEndsWithExitCode0();
}

// Every file below root, by its path from there.
std::set<std::string> filesBelow(const std::string& root) {
    std::set<std::string> found;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_directory())
            found.insert(fs::relative(entry.path(), root).string());
    }
    return found;
}

// Names beyond the ANSI code page, typed or picked, are the names written and shown.
TEST_F(Program, SavesTheLastSweepUnderTheNameTypedAndRefusesPathsItCannotWrite) {
    inUtf8Locale();
    start();
    drive({"codepage", "1252"}); // a Western Windows': the one that turns zażółć into zazólc
    const std::vector<std::string> hosts = labHostsBetween("10.71.59.1", "10.71.59.3");
    sweep("10.71.59.1", "10.71.59.3", {"3"}, hosts);
    drive({"refused", "10.71.59.0", "10.71.59.x.1", "Invalid IP Address"});
    drive({"save", windowsPath(work + "/kept.txt")});
    EXPECT_EQ(fileBytes(work + "/kept.txt"), savedHosts(hosts))
        << "after a refused start the last sweep's hosts are still saved";

    // Longer than 259 characters: refused whole, never saved under its first 259 characters.
    fs::create_directories(work + "/long");
    const std::string folder = windowsPath(work + "/long") + "\\";
    const std::string tooLong = folder + std::string(300 - folder.size(), 'n');
    const std::string missing = windowsPath(work + "/no/such/folder/x.txt");
    const std::string full = "Z:\\dev\\full";

    // Polish, Greek and Japanese: the code page has look-alikes for some (zazólc), for others
    // only "?"; a folder picked in the picker is completed with a name as the user types it.
    const std::string saves = work + "/saves", picked = "Łódź-日本";
    fs::create_directories(saves + "/" + picked);
    const std::set<std::string> named = {picked + "/zażółć-Ωμέγα.txt", "zażółć.txt",
                                         picked + "/ελληνικά-ひらがな.txt"};
    drive({"save", windowsPath(saves + "/" + picked + "/zażółć-Ωμέγα.txt")});
    drive({"save", windowsPath(saves + "/zażółć.txt")});
    drive({"open-save"});
    drive({"browse", "ok", "", windowsPath(saves + "/" + picked)});
    drive({"save", windowsPath(saves + "/" + picked) + "\\ελληνικά-ひらがな.txt"});
    const std::string nowhere = windowsPath(saves + "/Ωμέγα-なし/x.txt");
    // A disk that fills up during the save: the file it was to replace stays as it was, and
    // nothing is left beside it. (The mount is the lab session's own: ip netns exec made it a
    // mount namespace of its own.)
    const std::string disk = work + "/full-disk", kept(8000, 'k');
    fs::create_directories(disk);
    ASSERT_EQ(runToEnd({"mount", "-t", "tmpfs", "-o", "size=16k", "tmpfs", disk},
                       work + "/mount.log", seconds(10)),
              0);
    std::ofstream(disk + "/hosts.txt", std::ios::binary) << kept;
    runToEnd({"dd", "if=/dev/zero", "of=" + disk + "/filler", "bs=1k"}, work + "/dd.log",
             seconds(10));
    const std::string onFullDisk = windowsPath(disk + "/hosts.txt");
    struct Refusal {
        std::string path, message, fieldAfter;
    };
    for (const Refusal& refusal :
         {Refusal{"", "no file name", ""}, Refusal{missing, "can't open : " + missing, ""},
          Refusal{nowhere, "can't open : " + nowhere, ""},
          Refusal{full, "can't write : " + full, full},
          Refusal{onFullDisk, "can't write : " + onFullDisk, onFullDisk},
          Refusal{tooLong, "can't open : " + tooLong, ""}})
        drive({"save", refusal.path, refusal.message, refusal.fieldAfter});
    EXPECT_TRUE(fs::is_empty(work + "/long"))
        << "a path of 300 characters writes no file, cut or whole";
    EXPECT_EQ(filesBelow(saves), named) << "each file under the name typed, none under another";
    EXPECT_EQ(fileBytes(disk + "/hosts.txt"), kept) << "a save that failed kept the old file";
    EXPECT_EQ(filesBelow(disk), (std::set<std::string>{"filler", "hosts.txt"}))
        << "and left nothing beside it";
    runToEnd({"umount", disk}, work + "/umount.log", seconds(10));
    for (const std::string& name : named)
        EXPECT_EQ(fileBytes(saves + "/" + name), savedHosts(hosts)) << name;
    closeEndsWithExitCode0();
}

// Cancelled, the folder picker changes nothing; a folder alone is no file to save to. Escape
// closes the save dialog and leaves the main window.
TEST_F(Program, FolderPickerAndEscapeChangeNothing) {
    start();
    drive({"open-save"});
    drive({"browse", "cancel", "C:\\keep\\this.txt"});
    const std::string folder = valueAfter(drive({"browse", "ok", "C:\\keep\\this.txt"}), "folder ");
    ASSERT_FALSE(folder.empty()) << "the folder picker yields a folder";
    drive({"save", "-", "can't open : " + folder, ""});
    drive({"escape"});
    closeEndsWithExitCode0();
}

// Enter in an address field starts it; the last address is cut after 15 characters
// (010.071.059.023); every line of the sweep before is replaced, by none at all too.
TEST_F(Program, LaterSweepsReplaceTheResultsOfTheLast) {
    start();
    sweep("10.71.59.1", "10.71.59.3", {"3"}, labHostsBetween("10.71.59.1", "10.71.59.3"));
    const std::vector<std::string> hosts = labHostsBetween("10.71.59.16", "10.71.59.23");
    sweep("10.71.59.16", "010.071.059.023.999", {"--enter", "8"}, hosts);
    const std::string results = work + "/results.txt";
    drive({"save", windowsPath(results)});
    EXPECT_EQ(fileBytes(results), savedHosts(hosts)) << "after a second sweep only its hosts";
    sweep("10.71.59.40", "10.71.59.45", {"6"}, {});
    drive({"save", windowsPath(results)});
    EXPECT_TRUE(fs::exists(results) && fs::file_size(results) == 0)
        << "a sweep without answers saves an empty file";
    closeEndsWithExitCode0();
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The Windows builds that run here: both where 32-bit code runs, the 32-bit one first.
std::vector<std::string> windowsBuildsThatRun() {
    std::vector<std::string> builds = {buildRoot() + "/mingw-x86_64"};
    if (runs32bit())
        builds.insert(builds.begin(), buildRoot() + "/mingw-i686");
    return builds;
}

// A close request is acted on at once, however long the sweep would still run: the close box,
// Alt+F4 and the system menu's Close, as real input on the desktop, each also after other input
// of its kind that is no close (a click on the caption, Alt+A). Nothing is sent after it and the
// program ends well, on every architecture.
TEST_F(Program, ClosingDuringASweepEndsItAndTheProgramAtOnce) {
    const std::string pcap = labVariable("BRIXLE_LAB_PCAP");
    ASSERT_FALSE(pcap.empty()) << "the lab captures the requests";
    typedef std::vector<std::vector<std::string>> Input; // xdotool commands, in turn, at the box
    const std::vector<std::string> closeBox = {"click", "1"};
    const Input inputs[] = {{closeBox},
                            {{"key", "alt+F4"}},
                            {{"key", "alt+space"}, {"key", "c"}},
                            {{"mousemove_relative", "--", "-80", "0"},
                             {"click", "1"},
                             {"sleep", "0.3"},
                             {"mousemove_relative", "--", "80", "0"},
                             closeBox},
                            {{"key", "alt+a"}, {"sleep", "0.3"}, {"key", "alt+F4"}}};
    for (const std::string& windowsBuild : windowsBuildsThatRun()) {
        const Driver driveThis(windowsBuild, work);
        for (const Input& input : inputs) {
            std::string said;
            for (const std::vector<std::string>& command : input)
                said += " " + command.back();
            SCOPED_TRACE(fs::path(windowsBuild).filename().string() + said);
            program.emplace(windowsBuild + "/app/brixle100.exe", work + "/program.log");
            driveThis({"start"});
            const double began = wallSeconds();
            std::istringstream box(valueAfter(
                driveThis({"sweep-begin", "10.71.59.0", "10.71.59.255", "30"}), "closebox "));
            std::string x, y;
            ASSERT_TRUE(box >> x >> y) << "the driver found the close box";
            // The desktop of the session's display is Wine's, at the screen's corner.
            Input commands = {{"mousemove", x, y}};
            commands.insert(commands.end(), input.begin(), input.end());
            for (const std::vector<std::string>& command : commands)
                ASSERT_EQ(runToEnd(joined({"xdotool"}, command), work + "/xdotool.log",
                                   std::chrono::seconds(10)),
                          0);
            const double closed = wallSeconds();
            const auto waitStart = std::chrono::steady_clock::now();
            EXPECT_EQ(program->end(), 0)
                << "closed during a sweep, the program ends with exit code 0";
            // The sweep had some 7 s of sending left, and its grace time and sound after that.
            EXPECT_LT(std::chrono::steady_clock::now() - waitStart, std::chrono::seconds(5))
                << "the program ended only when its sweep would have";
            std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the capture's own lag
            int before = 0, after = 0;
            for (const CapturedRequest& request : readEchoRequests(pcap)) {
                if (request.seconds >= began)
                    ++(request.seconds > closed ? after : before);
            }
            EXPECT_GT(before, 0) << "the sweep sent before the close";
            // The input takes a moment to reach the program through X and Wine (the system menu
            // longer: it closes itself first), in which one address's requests may still leave.
            std::cout << "# " << after << " requests on the wire after the close\n";
            EXPECT_LE(after, 3) << "requests sent after the close";
        }
    }
}

// Started as administrator from the folder it was unpacked into, the program takes no DLL from
// there nor from its current folder, even where the loader looks there first: Windows' order for
// every DLL that is no KnownDLL, native-first under Wine. Stubs planted under every name it may
// load leave no mark, show in no trace, and its sweep, sounds and all, finds the hosts. Not
// planted: what Wine itself loads before any code of ours, as Windows does not: its core DLLs,
// KnownDLLs there (kernel32, msvcrt, ole32, shell32, user32, imm32), and version.dll. Without
// DirectSound at all it sweeps in silence; without one of the DLLs it cannot work without, it
// names it before any window and ends with exit code 1.
TEST_F(Program, LoadsNoDllFromItsOwnFolderNorTheCurrentOne) {
    const std::vector<std::string> names = {"comctl32", "dsound",   "winmm",  "wsock32",
                                            "ws2_32",   "uxtheme",  "dwmapi", "iphlpapi",
                                            "msacm32",  "mmdevapi", "msctf",  "winealsa.drv"};
    std::string nativeFirst;
    for (const std::string& name : names)
        nativeFirst += (nativeFirst.empty() ? "" : ",") + name;
    nativeFirst += "=n,b";
    const std::vector<std::string> builds = windowsBuildsThatRun();
    // Wine's own services are running on Windows before the program starts.
    ASSERT_EQ(runToEnd(asSessionUser({"env", "-C", work, "wine", "cmd", "/c", "exit"}),
                       work + "/services.log", seconds(120)),
              0);
    const std::vector<std::string> hosts = labHostsBetween("10.71.59.1", "10.71.59.3");
    for (const std::string& windowsBuild : builds) {
        for (const std::string& overrides :
             {nativeFirst, std::string("dsound=d"), std::string("comctl32=d"),
              std::string("winmm=d"), std::string("wsock32=d")}) {
            SCOPED_TRACE(windowsBuild + " " + overrides);
            const std::string missing = overrides.substr(0, overrides.find('='));
            const std::string run = work + "/" + fs::path(windowsBuild).filename().string() +
                                    (overrides == nativeFirst ? "-planted" : "-no-" + missing);
            const std::string unpacked = run + "/unpacked", current = run + "/current";
            for (const std::string& folder : {unpacked, current}) {
                fs::create_directories(folder);
                for (const fs::directory_entry& file :
                     fs::directory_iterator(windowsBuild + "/app"))
                    if (file.path().extension() == ".wav" ||
                        (folder == unpacked && file.path().extension() == ".exe"))
                        fs::copy_file(file.path(), folder / file.path().filename());
                for (const std::string& name : names)
                    fs::copy_file(windowsBuild + "/tests/app/brixle_planted_dll.dll",
                                  folder + "/" + name +
                                      (name.find('.') == std::string::npos ? ".dll" : ""));
            }
            const std::string mark = run + "/planted-loaded.txt";
            const std::string log = run + "/program.log";
            program.emplace(unpacked + "/brixle100.exe", log,
                            std::vector<std::string>{"WINEDLLOVERRIDES=" + overrides,
                                                     "WINEDEBUG=+loaddll",
                                                     "BRIXLE_PLANTED_MARK=" + windowsPath(mark)},
                            current);
            const Driver driveThis(windowsBuild, run);
            if (overrides == nativeFirst || missing == "dsound") {
                driveThis({"start"});
                driveThis({"expect-box", "Brixle 100", "-"});
                driveThis(joined({"sweep", "10.71.59.1", "10.71.59.3", "3"}, hosts));
                driveThis({"close"});
                EXPECT_EQ(program->end(), 0);
            } else {
                // Wine draws no dialog at all without the common controls that the manifest
                // asks for: there the program can only end.
                if (missing != "comctl32")
                    driveThis(
                        {"expect-lone-box", "Brixle 100", "can't load : " + missing + ".dll"});
                EXPECT_EQ(program->end(), 1);
                EXPECT_EQ(program->crash(), "");
            }
            EXPECT_FALSE(fs::exists(mark))
                << "a planted DLL ran inside the program: " << readText(mark);
            int loads = 0;
            for (const std::string& line : readLines(log)) {
                const std::size_t at = line.find("Loaded L\"");
                if (line.find(":loaddll:") == std::string::npos || at == std::string::npos)
                    continue;
                ++loads;
                // The trace writes the path as a C string: each backslash doubled.
                std::string path;
                for (std::size_t c = at + 9; c < line.size() && line[c] != '"'; ++c) {
                    path += static_cast<char>(std::tolower(static_cast<unsigned char>(line[c])));
                    if (line[c] == '\\')
                        ++c;
                }
                for (std::string folder : {windowsPath(unpacked), windowsPath(current)}) {
                    std::transform(folder.begin(), folder.end(), folder.begin(), ::tolower);
                    if (path.rfind(folder + "\\", 0) == 0) {
                        EXPECT_EQ(path, folder + "\\brixle100.exe") << line;
                    }
                }
            }
            EXPECT_GT(loads, 10) << "Wine traced the program's DLLs";
        }
    }
}

// The session takes CAP_NET_RAW from the wineserver, which opens the sockets, and from us.
TEST_F(ProgramWithoutRawSocket, ReportsTheFailedSetupRefusesToSweepAndStillCloses) {
    const std::vector<Server> found = servers();
    ASSERT_FALSE(found.empty()) << "the prefix's wineserver runs";
    for (const Server& server : found) {
        ASSERT_TRUE(server.known) << "the capabilities of wineserver " << server.pid;
        EXPECT_EQ(server.capabilities & (1ull << 13), 0u)
            << "the wineserver " << server.pid << " runs without CAP_NET_RAW";
    }
    refusesAfterTheFailedSetup();
}

// As an ordinary user the run command installs and builds nothing here; it starts the program in
// the user's own prefix, the session's, and says not a word about root. Through the kernel's ping
// sockets the sweep finds the lab's hosts, as with a raw socket.
TEST_F(ProgramAsUser, RunCommandStartsItInTheUsersPrefixWhereItSweepsAndSaves) {
    Child run(runCommand(), work + "/run.log");
    drive({"start"});
    EXPECT_TRUE(programRunning(user)) << "the user's program, as the system sees it";
    drive({"expect-box", "Brixle 100", "-"});
    std::vector<std::string> options = {"256"};
    if (lanLab())
        options.insert(options.begin(), {"--box", "Unable to send to 1 address\n"
                                                  "10.71.59.255 : Sending Refused"});
    const std::vector<std::string> hosts = labHostsBetween("10.71.59.0", "10.71.59.255");
    sweep("10.71.59.0", "10.71.59.255", options, hosts);
    const std::string results = work + "/results.txt";
    drive({"save", windowsPath(results)});
    EXPECT_EQ(fileBytes(results), savedHosts(hosts)) << "the user's results file";
    struct stat file {};
    EXPECT_TRUE(::stat(results.c_str(), &file) == 0 && file.st_uid == user) << "and it is theirs";
    drive({"close"});
    EXPECT_EQ(run.wait(seconds(30)), 0) << "the run command ends with the program, with its 0";
    const std::vector<std::string> said = readLines(work + "/run.log");
    const std::vector<std::string> all = {"run: building the program and its six effect files in " +
                                              build + " (about a minute the first time)",
                                          "run: built " + exe};
    for (const std::string& line : said) {
        if (line.rfind("run:", 0) == 0) {
            EXPECT_NE(std::find(all.begin(), all.end(), line), all.end())
                << "all the run command says: " << line;
        }
    }
    EXPECT_NE(std::find(said.begin(), said.end(), all.back()), said.end());
}

// Through the kernel's ping sockets only the echo replies to its own requests reach the program:
// not a router's "unreachable" (routed), nor the unreachables its own kernel sends where ARP
// fails (LAN), nor a lab host's pings of the scanner. A raw socket counts each as a host.
TEST_F(ProgramAsUser, CountsOnlyTheEchoRepliesToItsOwnRequests) {
    program.emplace(exe, work + "/program.log");
    drive({"start"});
    Child ping({"ip", "netns", "exec", labVariable("BRIXLE_LAB_NS"), "ping", "-q", "-c", "40", "-i",
                "0.1", labVariable("BRIXLE_LAB_SELF")},
               work + "/ping.log");
    if (lanLab())
        sweep("10.71.59.21", "10.71.59.76", {"56"}, {}); // no host there: ARP fails for each
    else
        sweep("10.71.61.0", "10.71.61.7", {"8"}, {}); // the router says unreachable for each
    EXPECT_EQ(ping.wait(seconds(30)), 0) << "a lab host pinged the scanner meanwhile, answered";
    closeEndsWithExitCode0();
}

// Without a ping range for the user's group the run command says how to allow it, and starts
// nothing; the program started all the same says what to do.
TEST_F(ProgramAsUserWithoutPingRange, RunCommandSaysHowToAllowPingSocketsAndStartsNothing) {
    EXPECT_EQ(runToEnd(runCommand(), work + "/run.log", seconds(120)), 1);
    EXPECT_EQ(readLines(work + "/run.log"),
              (std::vector<std::string>{
                  "run: not started: your groups may not open ICMP ping sockets, which the program "
                  "sweeps with when not root (net.ipv4.ping_group_range is \"1 0\"). Allow them "
                  "as root, then run this again:",
                  "    sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"",
                  "or run scripts/run.sh as root."}));
    EXPECT_FALSE(programRunning(user)) << "no program, so no window";
}

TEST_F(ProgramAsUserWithoutPingRange, ReportsTheFailedSetupRefusesToSweepAndStillCloses) {
    refusesAfterTheFailedSetup();
}

// The scanner on the /24 it sweeps: its own address answers too, and the subnet's broadcast
// address cannot be sent to. Alt+S, given by real input during the sweep, opens the save dialog
// after the sweep's message.
TEST_F(ProgramOnItsLan, SweepsThePresetRangeAndNamesTheBroadcastAddressItCouldNotSendTo) {
    ASSERT_TRUE(lanLab()) << "runs in the LAN lab";
    start();
    const auto caption = at(drive({"sweep-begin", "10.71.59.0", "10.71.59.255", "20"}), "caption");
    ASSERT_EQ(runToEnd({"xdotool", "mousemove", std::to_string(caption.first),
                        std::to_string(caption.second), "key", "alt+s"},
                       work + "/xdotool.log", seconds(10)),
              0);
    const std::vector<std::string> hosts = labHostsBetween("10.71.59.0", "10.71.59.255");
    drive(joined({"sweep-end", "10.71.59.0", "10.71.59.255", "--box",
                  "Unable to send to 1 address\n10.71.59.255 : Sending Refused", "--kept-save",
                  "256"},
                 hosts));
    const std::string results = work + "/results.txt";
    drive({"save", windowsPath(results)});
    EXPECT_EQ(fileBytes(results), savedHosts(hosts));
    closeEndsWithExitCode0();
}
