// Drives a running brixle100.exe through its windows, from another process, and checks what it
// shows. Each command prints "ok - ..." or "not ok - ..." lines and exits 1 if any check failed,
// 2 when it could not even get at the program.
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/resource.h"
#include "tests/app/ProgressLog.h"

namespace {

int failures = 0;

// ASCII for the test's log; anything else as \uXXXX, so that a look-alike shows as one.
std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        char escaped[8] = "";
        std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c) & 0xFFFF);
        if (c == L'\n')
            out += "\\n";
        else
            out += c < 0x80 ? std::string(1, static_cast<char>(c)) : escaped;
    }
    return out;
}

void check(bool passed, const std::string& what, const std::string& detail = "") {
    if (passed) {
        std::printf("ok - %s\n", what.c_str());
    } else {
        ++failures;
        std::printf("not ok - %s%s%s\n", what.c_str(), detail.empty() ? "" : ": ", detail.c_str());
    }
    std::fflush(stdout);
}

[[noreturn]] void giveUp(const std::string& why) {
    std::printf("not ok - %s\n", why.c_str());
    std::fflush(stdout);
    std::exit(2);
}

std::string quoted(const std::wstring& text) {
    return "\"" + narrow(text) + "\"";
}

const UINT patience = 5000; // ms a sent message may wait for a busy window

// Looks every stepMs until done() holds; false when ms pass first.
template <typename Done> bool waitUntil(DWORD ms, Done done, DWORD stepMs = 20) {
    for (const DWORD start = GetTickCount(); !done(); Sleep(stepMs)) {
        if (GetTickCount() - start > ms)
            return false;
    }
    return true;
}

HWND waitForWindow(const wchar_t* caption, DWORD ms) {
    HWND found = nullptr;
    const bool shown =
        waitUntil(ms, [&] { return IsWindowVisible(found = FindWindowW(L"#32770", caption)); });
    return shown ? found : nullptr;
}

bool waitGone(HWND window, DWORD ms) {
    return waitUntil(ms, [&] { return !IsWindow(window) || !IsWindowVisible(window); });
}

HWND mainWindow() {
    HWND found = waitForWindow(L"Brixle100", 20000);
    if (found == nullptr)
        giveUp("the main window \"Brixle100\" appears");
    return found;
}

std::wstring textOf(HWND control) {
    wchar_t buffer[1024] = L"";
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer),
                             SMTO_NORMAL, patience, &copied)) {
        return L"<no answer>";
    }
    return std::wstring(buffer, copied);
}

std::wstring itemText(HWND dialog, int id) {
    return textOf(GetDlgItem(dialog, id));
}

void setItemText(HWND dialog, int id, const std::wstring& text) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(GetDlgItem(dialog, id), WM_SETTEXT, 0,
                             reinterpret_cast<LPARAM>(text.c_str()), SMTO_NORMAL, patience,
                             &result)) {
        giveUp("setting the text of control " + std::to_string(id));
    }
}

void press(HWND dialog, int id) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// A key pressed and let go in control, as the keyboard posts it (scan code in bits 16 to 23).
void typeKey(HWND control, WPARAM key, LPARAM scanCode) {
    PostMessageW(control, WM_KEYDOWN, key, scanCode << 16 | 0x00000001);
    PostMessageW(control, WM_KEYUP, key, scanCode << 16 | 0xC0000001);
}

// Waits until the window's thread has handled everything posted to it so far.
bool settle(HWND window) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &result) != 0;
}

std::vector<std::wstring> listLines(HWND dialog) {
    HWND list = GetDlgItem(dialog, IDC_RESULTS);
    std::vector<std::wstring> lines;
    DWORD_PTR count = 0;
    if (!SendMessageTimeoutW(list, LB_GETCOUNT, 0, 0, SMTO_NORMAL, patience, &count))
        giveUp("reading the result list");
    for (DWORD_PTR index = 0; index < count; ++index) {
        DWORD_PTR length = 0;
        SendMessageTimeoutW(list, LB_GETTEXTLEN, index, 0, SMTO_NORMAL, patience, &length);
        std::wstring line(length + 1, L'\0');
        DWORD_PTR copied = 0;
        SendMessageTimeoutW(list, LB_GETTEXT, index, reinterpret_cast<LPARAM>(&line[0]),
                            SMTO_NORMAL, patience, &copied);
        line.resize(copied == static_cast<DWORD_PTR>(LB_ERR) ? 0 : copied);
        lines.push_back(line);
    }
    return lines;
}

std::string joined(const std::vector<std::wstring>& lines) {
    std::string out = "[";
    for (const auto& line : lines)
        out += (out.size() > 1 ? " " : "") + narrow(line);
    return out + "]";
}

// A visible dialog of owner's; with messageBox only a message box (an OK, no path field).
HWND ownedDialog(HWND owner, bool messageBox) {
    HWND found = nullptr;
    while ((found = FindWindowExW(nullptr, found, L"#32770", nullptr)) != nullptr) {
        if (GetWindow(found, GW_OWNER) == owner && IsWindowVisible(found) &&
            (!messageBox ||
             (GetDlgItem(found, IDOK) != nullptr && GetDlgItem(found, IDC_PATH) == nullptr))) {
            return found;
        }
    }
    return nullptr;
}

// The texts of a message box: its caption and the statics that carry text.
struct Box {
    HWND window = nullptr;
    std::wstring caption, text;
};

BOOL CALLBACK collectStatic(HWND child, LPARAM param) {
    wchar_t className[64] = L"";
    GetClassNameW(child, className, 64);
    const std::wstring text = lstrcmpiW(className, L"Static") == 0 ? textOf(child) : L"";
    auto* box = reinterpret_cast<Box*>(param);
    if (!text.empty())
        box->text += (box->text.empty() ? L"" : L"\n") + text;
    return TRUE;
}

// A message box owned by the given dialog, if one turns up within the time.
Box waitForBox(HWND owner, DWORD ms) {
    Box box;
    if (waitUntil(ms, [&] { return (box.window = ownedDialog(owner, true)) != nullptr; })) {
        wchar_t caption[256] = L"";
        GetWindowTextW(box.window, caption, 256);
        box.caption = caption;
        EnumChildWindows(box.window, collectStatic, reinterpret_cast<LPARAM>(&box));
    }
    return box;
}

void dismiss(const Box& box) {
    PostMessageW(box.window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    waitGone(box.window, 5000);
}

// Expects exactly this box over the dialog, then closes it.
void expectBox(HWND owner, const std::wstring& caption, const std::wstring& text,
               const std::string& what, DWORD ms = 5000) {
    Box box = waitForBox(owner, ms);
    if (box.window == nullptr) {
        check(false, what, "no message box appeared");
        return;
    }
    check(box.caption == caption && box.text == text, what,
          "got " + quoted(box.caption) + " / " + quoted(box.text));
    dismiss(box);
}

void expectNoBox(HWND owner, const std::string& what, DWORD ms = 500) {
    Box box = waitForBox(owner, ms);
    check(box.window == nullptr, what, "unexpected box " + quoted(box.text));
    if (box.window != nullptr)
        dismiss(box);
}

bool buttonsEnabled(HWND dialog) {
    return IsWindowEnabled(GetDlgItem(dialog, IDC_ATA)) &&
           IsWindowEnabled(GetDlgItem(dialog, IDC_SAVE));
}

void commandStart() {
    HWND main = mainWindow();
    settle(main);
    check(itemText(main, IDC_FROM) == L"10.71.59.0", "the first address is preset to 10.71.59.0",
          quoted(itemText(main, IDC_FROM)));
    check(itemText(main, IDC_TO) == L"10.71.59.255", "the last address is preset to 10.71.59.255",
          quoted(itemText(main, IDC_TO)));
    check(itemText(main, IDC_HITS).empty() && listLines(main).empty(),
          "progress field and result list start empty");
    check(buttonsEnabled(main), "both buttons start enabled");
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(main, nullptr), &info);
    check(info.hwndFocus == GetDlgItem(main, IDC_ATA), "the focus starts on &ata!");
}

// A box that the program shows by itself, e.g. at start-up; "-" for none at all.
void commandExpectBox(const std::wstring& caption, const std::wstring& text) {
    HWND main = mainWindow();
    if (text == L"-")
        expectNoBox(main, "no message at start-up", 3000);
    else
        expectBox(main, caption, text, "message " + quoted(text), 20000);
}

// A box that the program shows instead of its window, which then never appears.
void commandExpectLoneBox(const std::wstring& caption, const std::wstring& text) {
    Box box;
    box.window = waitForWindow(caption.c_str(), 20000);
    if (box.window == nullptr) {
        check(false, "message " + quoted(text) + " at start", "no message box appeared");
        return;
    }
    box.caption = caption;
    EnumChildWindows(box.window, collectStatic, reinterpret_cast<LPARAM>(&box));
    check(box.text == text && GetWindow(box.window, GW_OWNER) == nullptr,
          "message " + quoted(text) + " at start, owned by no window", "got " + quoted(box.text));
    dismiss(box);
    check(FindWindowW(L"#32770", L"Brixle100") == nullptr, "no main window after the message");
}

// A start that must be refused with the given box and must leave everything as it was.
void commandRefused(const std::wstring& from, const std::wstring& to, const std::wstring& text) {
    HWND main = mainWindow();
    settle(main);
    std::wstring hitsBefore = itemText(main, IDC_HITS);
    std::vector<std::wstring> listBefore = listLines(main);
    setItemText(main, IDC_FROM, from);
    setItemText(main, IDC_TO, to);
    press(main, IDC_ATA);
    std::string what =
        "from " + quoted(from) + " to " + quoted(to) + " is refused with " + quoted(text);
    expectBox(main, L"Brixle 100", text, what);
    settle(main);
    check(itemText(main, IDC_FROM) == from && itemText(main, IDC_TO) == to &&
              itemText(main, IDC_HITS) == hitsBefore && listLines(main) == listBefore &&
              buttonsEnabled(main),
          what + ": fields, progress, list and buttons as before",
          quoted(itemText(main, IDC_HITS)) + " " + joined(listLines(main)));
}

// A copy of text in the memory of the process that owns window, for messages that carry a
// pointer no one marshals across processes; left there for the program's lifetime.
const wchar_t* remoteCopy(HWND window, const std::wstring& text, HANDLE* opened = nullptr) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    void* remote = process != nullptr ? VirtualAllocEx(process, nullptr, bytes,
                                                       MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)
                                      : nullptr;
    if (remote == nullptr || !WriteProcessMemory(process, remote, text.c_str(), bytes, nullptr))
        giveUp("writing " + quoted(text) + " into the program");
    if (opened != nullptr)
        *opened = process;
    else
        CloseHandle(process);
    return static_cast<const wchar_t*>(remote);
}

// Every progress text written, not a sample of them, and the font where it is drawn: recorded
// inside the program by our observer, loaded there once and kept for the whole run.
ProgressLog* attachObserver(HWND main) {
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        sizeof(ProgressLog), ProgressLog::name);
    auto* log = static_cast<ProgressLog*>(
        MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(ProgressLog)));
    if (log == nullptr)
        giveUp("shared memory for the progress log");
    if (log->attached)
        return log; // the observer from an earlier command is still in place
    wchar_t self[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dll(self);
    dll = dll.substr(0, dll.find_last_of(L"\\/") + 1) + L"brixle_app_observer.dll";

    HANDLE process = nullptr;
    void* remote = const_cast<wchar_t*>(remoteCopy(main, dll, &process));
    auto loadLibrary = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
    HANDLE thread = CreateRemoteThread(process, nullptr, 0, loadLibrary, remote, 0, nullptr);
    if (thread == nullptr)
        giveUp("loading the observer into the program");
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
    CloseHandle(process);
    if (!waitUntil(10000, [&] { return log->attached != 0; }))
        giveUp("the observer attaches to the progress field");
    return log; // the mapping stays open until the driver ends; the observer keeps its own
}

// While a sweep runs and its list fills: asks the system every half second whether it takes the
// window for hung; busy, a second in, posts a key to the first address field and a click on the
// greyed &save, and sends &ata! as another program could. The key must wait for the end of the
// sweep and then be typed, the click do nothing, then or later; the sent &ata! must be answered
// without a second sweep, then or afterwards.
struct BusyProbe {
    bool busy = false;
    int polls = 0, hung = 0;
    bool poked = false, sentAnswered = false, keyEarly = false, clickEarly = false;
    DWORD nextPoll = 0;
    std::wstring fieldBefore;

    void step(HWND main, DWORD elapsed) {
        if (elapsed < nextPoll)
            return;
        nextPoll = elapsed + 500;
        ++polls;
        hung += IsHungAppWindow(main) ? 1 : 0;
        HWND ata = GetDlgItem(main, IDC_ATA);
        if (!busy) {
            return;
        } else if (!poked && elapsed >= 1000) {
            poked = true;
            typeKey(GetDlgItem(main, IDC_FROM), 'X', 0x2D); // the loop makes it a character
            HWND saveButton = GetDlgItem(main, IDC_SAVE);
            PostMessageW(saveButton, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
            PostMessageW(saveButton, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
            DWORD_PTR result = 0;
            sentAnswered = SendMessageTimeoutW(main, WM_COMMAND, MAKEWPARAM(IDC_ATA, BN_CLICKED),
                                               reinterpret_cast<LPARAM>(ata), SMTO_NORMAL, patience,
                                               &result) != 0;
        } else if (poked) {
            // Seen while the sweep still runs (the buttons come back before the queue is read).
            std::wstring field = itemText(main, IDC_FROM);
            bool typed = field != fieldBefore && field != L"<no answer>";
            bool opened = FindWindowW(L"#32770", L"Brixle 100 : SAVE") != nullptr;
            if (!IsWindowEnabled(ata)) {
                keyEarly = keyEarly || typed;
                clickEarly = clickEarly || opened;
            }
        }
    }

    void judge(HWND main, const std::string& what, const std::wstring& progress) {
        std::printf("# hung at %d of %d polls\n", hung, polls);
        check(polls >= (busy ? 10 : 1) && hung == 0, what + ": never taken for hung",
              std::to_string(hung) + " of " + std::to_string(polls) + " polls hung");
        if (!busy)
            return;
        check(poked && sentAnswered, what + ": &ata! sent during it is answered");
        check(!keyEarly && !clickEarly, what + ": input posted during it waits for its end",
              std::string(keyEarly ? "key " : "") + (clickEarly ? "click" : ""));
        std::wstring field;
        waitUntil(5000, [&] { return (field = itemText(main, IDC_FROM)) != fieldBefore; });
        HWND save = waitForWindow(L"Brixle 100 : SAVE", 1000);
        check(field == L"x" + fieldBefore || field == fieldBefore + L"x",
              what + ": the key posted during it is typed after it", quoted(field));
        check(save == nullptr,
              what + ": the click on the greyed &save does nothing, then or later");
        if (save != nullptr) {
            press(save, IDCANCEL);
            waitGone(save, 5000);
        }
        setItemText(main, IDC_FROM, fieldBefore);
        Sleep(1000);
        check(settle(main) && buttonsEnabled(main) && itemText(main, IDC_HITS) == progress,
              what + ": the sent &ata! started no second sweep", quoted(itemText(main, IDC_HITS)));
    }
};

// Sweeps FROM..TO (or, running, waits for the end of one that sweep-begin started), started with
// the button or with Enter in an address field, and checks the progress, the buttons and the list
// at the end; --busy also works the window meanwhile, --box TEXT is the message expected after
// the results, and --kept-save says that an Alt+S given during it opens the save dialog after all.
void commandSweep(const std::wstring& from, const std::wstring& to, bool byEnter, bool busy,
                  const std::wstring& box, std::vector<std::wstring> expected, int expectedSent,
                  bool running = false, bool keptSave = false) {
    HWND main = mainWindow();
    HWND ata = GetDlgItem(main, IDC_ATA);
    HWND save = GetDlgItem(main, IDC_SAVE);
    ProgressLog* log = attachObserver(main);
    std::string what = "sweep " + narrow(from) + " - " + narrow(to);
    if (!running) {
        settle(main);
        InterlockedExchange(&log->count, 0);
        setItemText(main, IDC_FROM, from);
        setItemText(main, IDC_TO, to);
        if (byEnter)
            typeKey(GetDlgItem(main, IDC_TO), VK_RETURN, 0x1C);
        else
            press(main, IDC_ATA);
    }
    if (byEnter)
        what += " (Enter in the address field)";

    check(waitUntil(
              5000, [&] { return !IsWindowEnabled(ata); }, 5),
          what + " starts");
    const DWORD began = GetTickCount();
    // The dialog greys its buttons one after the other; another process may see the gap.
    waitUntil(
        500, [&] { return !IsWindowEnabled(save); }, 1);
    bool bothDisabled = true;
    BusyProbe probe;
    probe.busy = busy;
    probe.fieldBefore = from;
    waitUntil(300000, [&] {
        if (IsWindowEnabled(ata))
            return true;
        bothDisabled = bothDisabled && !IsWindowEnabled(save);
        probe.step(main, GetTickCount() - began);
        return false;
    });
    // How long the buttons stayed grey; the sound tests set it against what was heard.
    std::printf("# sweep lasted %lu ms\n", static_cast<unsigned long>(GetTickCount() - began));
    // The list answers while it fills: read once it holds every line.
    std::sort(expected.begin(), expected.end()); // the list box's own text order
    waitUntil(60000, [&] {
        probe.step(main, GetTickCount() - began);
        DWORD_PTR count = 0;
        return SendMessageTimeoutW(GetDlgItem(main, IDC_RESULTS), LB_GETCOUNT, 0, 0, SMTO_NORMAL,
                                   patience, &count) &&
               count == expected.size();
    });
    check(IsWindowEnabled(ata) && IsWindowEnabled(save), what + " ends, buttons enabled again");
    check(bothDisabled, what + ": both buttons disabled while it runs");

    // Each progress text shown is hits/sent, and neither count ever goes down.
    bool wellFormed = true, rising = true;
    int lastHits = 0, lastSent = 0, distinct = 0;
    std::string shown;
    const LONG recorded = std::min(static_cast<LONG>(log->count), ProgressLog::capacity);
    for (LONG index = 0; index < recorded; ++index) {
        const std::wstring text = log->texts[index];
        if (index > 0 && text == log->texts[index - 1])
            continue; // written again unchanged
        shown += narrow(text) + " ";
        int h = -1, s = -1;
        char rest = 0;
        if (std::sscanf(narrow(text).c_str(), "%d/%d%c", &h, &s, &rest) != 2 || h < 0 || s < 0) {
            wellFormed = false;
            continue;
        }
        rising = rising && h >= lastHits && s >= lastSent;
        lastHits = h;
        lastSent = s;
        ++distinct;
    }
    std::printf("# progress shown: %s\n", shown.c_str());
    check(recorded > 0 && wellFormed && rising, what + ": progress reads hits/sent and counts up",
          shown);
    std::wstring final = itemText(main, IDC_HITS);
    std::wstring wantFinal =
        std::to_wstring(expected.size()) + L"/" + std::to_wstring(expectedSent);
    check(final == wantFinal, what + ": progress ends at " + narrow(wantFinal), quoted(final));
    if (expectedSent > 64) {
        // Sending alone takes 30 ms an address: a long range must show many steps on the way.
        check(distinct >= 10 && lastSent == expectedSent, what + ": progress shown while it runs",
              shown);
    }
    std::vector<std::wstring> lines = listLines(main);
    const auto listed = [](const std::vector<std::wstring>& some) {
        return some.size() > 64 ? std::to_string(some.size()) + " lines" : joined(some);
    };
    check(lines == expected, what + ": list holds exactly the answering hosts " + listed(expected),
          listed(lines));
    if (box.empty()) {
        expectNoBox(main, what + ": no message afterwards", 300);
    } else {
        // The box is shown from the sweep's own handler: a "&ata!" sent to the window meanwhile
        // must not start a second sweep inside the first.
        if (waitForBox(main, 5000).window != nullptr) {
            DWORD_PTR result = 0;
            const BOOL answered =
                SendMessageTimeoutW(main, WM_COMMAND, MAKEWPARAM(IDC_ATA, BN_CLICKED),
                                    reinterpret_cast<LPARAM>(ata), SMTO_NORMAL, 3000, &result);
            check(answered && IsWindowEnabled(ata) && itemText(main, IDC_HITS) == wantFinal,
                  what + ": a \"&ata!\" sent while its message is open starts nothing");
            check(FindWindowW(L"#32770", L"Brixle 100 : SAVE") == nullptr,
                  what + ": its message comes before what was given during it");
        }
        expectBox(main, L"Brixle 100", box, what + ": then the message " + quoted(box));
    }
    if (keptSave)
        check(waitForWindow(L"Brixle 100 : SAVE", 5000) != nullptr,
              what + ": the Alt+S given during it opens the save dialog after it");
    probe.judge(main, what, wantFinal);
}

const wchar_t* const font = L"\xFF2D\xFF33 \xFF30\x30B4\x30B7\x30C3\x30AF"; // MS P Gothic

// The main dialog's font as the program sees it: the face chosen for the template's must be
// FACE, and each label's text must fit its control.
void commandFont(const std::wstring& face) {
    HWND main = mainWindow();
    settle(main);
    ProgressLog* log = attachObserver(main);
    std::printf("# font asked for %s, got %s %s\n", quoted(log->requestedFace).c_str(),
                quoted(log->actualFace).c_str(), quoted(log->actualFull).c_str());
    // Full names run "IPAPGothic Version 003.03"; a replacement keeps the family name asked for.
    std::wstring full = log->actualFull;
    check(std::wstring(log->requestedFace) == font &&
              (full == face || full.compare(0, face.size() + 1, face + L" ") == 0),
          "the dialog's font is drawn in " + narrow(face), quoted(full));
    check(log->labelCount == 3, "the main dialog has three labels",
          std::to_string(log->labelCount));
    for (LONG index = 0; index < std::min(log->labelCount, LONG(ProgressLog::labelCapacity));
         ++index) {
        const ProgressLog::Label& label = log->labels[index];
        check(label.textWidth > 0 && label.textWidth <= label.room,
              "the label " + quoted(label.text) + " fits its control",
              std::to_string(label.textWidth) + " px of text in " + std::to_string(label.room));
    }
}

HWND openSave(HWND main) {
    settle(main);
    press(main, IDC_SAVE);
    HWND save = waitForWindow(L"Brixle 100 : SAVE", 5000);
    if (save == nullptr)
        giveUp("&save opens \"Brixle 100 : SAVE\"");
    settle(save);
    return save;
}

// Opens the save dialog and leaves it open, checking how it comes up.
void commandOpenSave() {
    HWND main = mainWindow();
    HWND save = openSave(main);
    check(itemText(save, IDC_PATH).empty(), "the save dialog opens with an empty path");
    check(!IsWindowEnabled(main), "the main window is disabled while the save dialog is open");
    POINT mainOrigin = {0, 0}, saveOrigin = {0, 0};
    ClientToScreen(main, &mainOrigin);
    ClientToScreen(save, &saveOrigin);
    check(mainOrigin.x == saveOrigin.x && mainOrigin.y == saveOrigin.y,
          "the save dialog sits at the main window's client area",
          std::to_string(saveOrigin.x) + "," + std::to_string(saveOrigin.y) + " vs " +
              std::to_string(mainOrigin.x) + "," + std::to_string(mainOrigin.y));
}

HWND saveDialog(HWND main) {
    HWND save = FindWindowW(L"#32770", L"Brixle 100 : SAVE");
    return save != nullptr ? save : openSave(main);
}

// Saves to PATH ("-": whatever the path field holds); with a message text the save must fail
// with it, leaving FIELD in the path field, and the dialog is then cancelled.
void commandSave(const std::wstring& path, const std::wstring& message, const std::wstring& field) {
    HWND main = mainWindow();
    HWND save = saveDialog(main);
    if (path != L"-")
        setItemText(save, IDC_PATH, path);
    press(save, IDOK);
    std::string what = "save to " + quoted(path.size() > 60 ? path.substr(0, 60) + L"..." : path);
    if (message.empty()) {
        expectNoBox(save, what + ": no message", 1000);
        check(waitGone(save, 5000), what + ": the dialog closes");
    } else {
        expectBox(save, L"Brixle 100 : error", message, what + " fails with " + quoted(message));
        settle(save);
        check(IsWindowVisible(save), what + ": the dialog stays open");
        check(itemText(save, IDC_PATH) == field,
              what + ": the path field then holds " + quoted(field),
              quoted(itemText(save, IDC_PATH)));
        press(save, IDCANCEL);
        check(waitGone(save, 5000), "&Cancel closes the save dialog");
    }
    settle(main);
    check(IsWindowEnabled(main) && buttonsEnabled(main), what + ": the main window is back");
}

// Escape in the save dialog cancels it; in the main window it does nothing.
void commandEscape() {
    HWND main = mainWindow();
    HWND save = openSave(main);
    typeKey(GetDlgItem(save, IDC_PATH), VK_ESCAPE, 0x01);
    check(waitGone(save, 5000), "Escape closes the save dialog");
    settle(main);
    typeKey(GetDlgItem(main, IDC_ATA), VK_ESCAPE, 0x01);
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    settle(main);
    Sleep(500);
    check(IsWindow(main) && IsWindowVisible(main) && IsWindowEnabled(main),
          "Escape leaves the main window open");
}

// The folder picker: cancelled it changes nothing; confirmed, its folder alone fills the field,
// and with PICK that folder is chosen in it first, as the user would, and must come back exactly.
void commandBrowse(bool confirm, const std::wstring& before, const std::wstring& pick) {
    HWND main = mainWindow();
    HWND save = saveDialog(main);
    setItemText(save, IDC_PATH, before);
    press(save, IDC_BROWSE);
    HWND picker = nullptr;
    if (!waitUntil(
            10000, [&] { return (picker = ownedDialog(save, false)) != nullptr; }, 50))
        giveUp("&Browse opens the folder picker");
    Sleep(500); // let the picker fill its tree
    if (!pick.empty()) {
        HWND tree = FindWindowExW(picker, nullptr, L"SysTreeView32", nullptr);
        const LPARAM remote = reinterpret_cast<LPARAM>(remoteCopy(picker, pick));
        // The picker walks its tree towards the folder as its nodes fill; under Wine a first
        // walk down a deep path may stop short, and the selection stays where it was.
        const LRESULT before = SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0);
        int tries = 0;
        const bool taken = waitUntil(
            10000,
            [&] {
                ++tries;
                DWORD_PTR ignored = 0;
                SendMessageTimeoutW(picker, BFFM_SETSELECTIONW, TRUE, remote, SMTO_NORMAL, patience,
                                    &ignored);
                return SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0) != before;
            },
            500);
        std::printf("# selected after %d tries\n", tries);
        check(tree != nullptr && taken, "the folder picker moves to " + quoted(pick));
    }
    PostMessageW(picker, WM_COMMAND, MAKEWPARAM(confirm ? IDOK : IDCANCEL, BN_CLICKED), 0);
    check(waitGone(picker, 5000), "the folder picker closes");
    settle(save);
    std::wstring field = itemText(save, IDC_PATH);
    if (confirm && !pick.empty()) {
        check(field == pick, "the picked folder " + quoted(pick) + " fills the path field",
              quoted(field));
    } else if (confirm) {
        DWORD attributes = GetFileAttributesW(field.c_str());
        check(!field.empty() && field != before && attributes != INVALID_FILE_ATTRIBUTES &&
                  (attributes & FILE_ATTRIBUTE_DIRECTORY),
              "a picked folder's path alone fills the path field", quoted(field));
        std::printf("folder %s\n", narrow(field).c_str());
    } else {
        check(field == before, "a cancelled picker leaves the path field as it was", quoted(field));
    }
}

// Whether the texts of this session cross the ANSI boundary through the code page meant.
void commandCodePage(UINT expected) {
    check(GetACP() == expected, "the ANSI code page is " + std::to_string(expected),
          std::to_string(GetACP()));
}

void commandClose() {
    HWND main = mainWindow();
    PostMessageW(main, WM_CLOSE, 0, 0);
    check(waitGone(main, 10000), "closing the main window ends it");
}

// Where the window's caption, minimise box, close box and last address field are, in the desktop's
// coordinates, for real input from outside (the window itself says, along its caption), where it
// is, whether it is minimised, sweeping or taken for hung, and the field's text.
void commandFrame() {
    HWND main = mainWindow();
    RECT frame = {};
    GetWindowRect(main, &frame);
    std::printf("window %ld %ld\niconic %d\nsweeping %d\nhung %d\n", frame.left, frame.top,
                IsIconic(main) ? 1 : 0, IsWindowEnabled(GetDlgItem(main, IDC_ATA)) ? 0 : 1,
                IsHungAppWindow(main) ? 1 : 0);
    RECT to = {};
    GetWindowRect(GetDlgItem(main, IDC_TO), &to);
    std::printf("to %ld %ld %s\n", (to.left + to.right) / 2, (to.top + to.bottom) / 2,
                narrow(itemText(main, IDC_TO)).c_str());
    const int y = frame.top + GetSystemMetrics(SM_CYFRAME) + GetSystemMetrics(SM_CYCAPTION) / 2;
    for (const auto& [part, name] :
         {std::make_pair(HTCLOSE, "closebox"), std::make_pair(HTMINBUTTON, "minbox"),
          std::make_pair(HTCAPTION, "caption")}) {
        DWORD_PTR hit = 0;
        for (int x = frame.right - 1; x > frame.left && hit != static_cast<DWORD_PTR>(part); --x) {
            if (SendMessageTimeoutW(main, WM_NCHITTEST, 0, MAKELPARAM(x, y), SMTO_NORMAL, patience,
                                    &hit) &&
                hit == static_cast<DWORD_PTR>(part))
                std::printf("%s %d %d\n", name, x - 6, y);
        }
    }
}

// Starts a sweep of FROM..TO and leaves it running once SENT addresses are out; prints its frame.
void commandSweepBegin(const std::wstring& from, const std::wstring& to, int sent) {
    HWND main = mainWindow();
    settle(main);
    InterlockedExchange(&attachObserver(main)->count, 0);
    setItemText(main, IDC_FROM, from);
    setItemText(main, IDC_TO, to);
    press(main, IDC_ATA);
    int shown = 0;
    waitUntil(20000, [&] {
        const std::wstring progress = itemText(main, IDC_HITS);
        const size_t slash = progress.find(L'/');
        shown = slash == std::wstring::npos ? 0 : _wtoi(progress.c_str() + slash + 1);
        return shown >= sent;
    });
    check(shown >= sent && !IsWindowEnabled(GetDlgItem(main, IDC_ATA)),
          "the sweep runs, " + std::to_string(sent) + " addresses out");
    commandFrame();
}

[[noreturn]] void usage() {
    std::fprintf(
        stderr, "usage: driver start | expect-box CAPTION TEXT|- | expect-lone-box CAPTION TEXT |\n"
                "       font FACE | refused FROM TO TEXT |\n"
                "       sweep FROM TO [--enter|--busy] [--box TEXT] SENT HOST...|--every |\n"
                "       open-save | save PATH [TEXT FIELD] | browse ok|cancel BEFORE [PICK] |\n"
                "       escape | close | sweep-begin FROM TO SENT | frame | codepage ACP |\n"
                "       sweep-end FROM TO [--box TEXT] [--kept-save] SENT HOST...|--every\n");
    std::exit(2);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    const std::vector<std::wstring> args(argv + std::min(argc, 2), argv + argc);
    const size_t count = args.size();
    if (command == L"start" && count == 0) {
        commandStart();
    } else if (command == L"expect-box" && count == 2) {
        commandExpectBox(args[0], args[1]);
    } else if (command == L"expect-lone-box" && count == 2) {
        commandExpectLoneBox(args[0], args[1]);
    } else if (command == L"refused" && count == 3) {
        commandRefused(args[0], args[1], args[2]);
    } else if ((command == L"sweep" || command == L"sweep-end") && count >= 3) {
        const bool byEnter = args[2] == L"--enter", busy = args[2] == L"--busy";
        size_t next = byEnter || busy ? 3 : 2;
        std::wstring box;
        if (next + 1 < count && args[next] == L"--box") {
            box = args[next + 1];
            next += 2;
        }
        const bool keptSave = next < count && args[next] == L"--kept-save";
        next += keptSave ? 1 : 0;
        if (next >= count)
            usage();
        std::vector<std::wstring> hosts(args.begin() + next + 1, args.end());
        const auto value = [](const std::wstring& dotted) {
            unsigned a = 0, b = 0, c = 0, d = 0;
            swscanf(dotted.c_str(), L"%u.%u.%u.%u", &a, &b, &c, &d);
            return a << 24 | b << 16 | c << 8 | d;
        };
        if (hosts == std::vector<std::wstring>{L"--every"}) { // every address of the range
            hosts.clear();
            for (unsigned v = value(args[0]); v <= value(args[1]); ++v)
                hosts.push_back(std::to_wstring(v >> 24) + L"." + std::to_wstring(v >> 16 & 255) +
                                L"." + std::to_wstring(v >> 8 & 255) + L"." +
                                std::to_wstring(v & 255));
        }
        commandSweep(args[0], args[1], byEnter, busy, box, hosts, _wtoi(args[next].c_str()),
                     command == L"sweep-end", keptSave);
    } else if (command == L"font" && count == 1) {
        commandFont(args[0]);
    } else if (command == L"open-save" && count == 0) {
        commandOpenSave();
    } else if (command == L"save" && (count == 1 || count == 3)) {
        commandSave(args[0], count == 3 ? args[1] : L"", count == 3 ? args[2] : L"");
    } else if (command == L"browse" && (count == 2 || count == 3)) {
        commandBrowse(args[0] == L"ok", args[1], count == 3 ? args[2] : L"");
    } else if (command == L"escape" && count == 0) {
        commandEscape();
    } else if (command == L"codepage" && count == 1) {
        commandCodePage(static_cast<UINT>(_wtoi(args[0].c_str())));
    } else if (command == L"close" && count == 0) {
        commandClose();
    } else if (command == L"sweep-begin" && count == 3) {
        commandSweepBegin(args[0], args[1], _wtoi(args[2].c_str()));
    } else if (command == L"frame" && count == 0) {
        commandFrame();
    } else {
        usage();
    }
    return failures == 0 ? 0 : 1;
}
