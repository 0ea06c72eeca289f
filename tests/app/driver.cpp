// Drives a running brixle100.exe through its windows, from another process, and checks what it
// shows. Each command prints "ok - ..." or "not ok - ..." lines and exits 1 if any check failed,
// 2 when it could not even get at the program.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/resource.h"
#include "tests/app/ProgressLog.h"

namespace {

int failures = 0;

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        if (c == L'\n') {
            out += "\\n";
        } else {
            out += c < 0x80 ? static_cast<char>(c) : '?';
        }
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

HWND waitForWindow(const wchar_t* caption, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        HWND found = FindWindowW(L"#32770", caption);
        if (found != nullptr && IsWindowVisible(found)) {
            return found;
        }
        if (GetTickCount() - start > timeoutMs) {
            return nullptr;
        }
        Sleep(20);
    }
}

bool waitGone(HWND window, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (IsWindow(window) && IsWindowVisible(window)) {
        if (GetTickCount() - start > timeoutMs) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

HWND mainWindow() {
    HWND found = waitForWindow(L"Brixle100", 20000);
    if (found == nullptr) {
        giveUp("the main window \"Brixle100\" appears");
    }
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

// Waits until the window's thread has handled everything posted to it so far.
bool settle(HWND window) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &result) != 0;
}

std::vector<std::wstring> listLines(HWND dialog) {
    HWND list = GetDlgItem(dialog, IDC_RESULTS);
    std::vector<std::wstring> lines;
    DWORD_PTR count = 0;
    if (!SendMessageTimeoutW(list, LB_GETCOUNT, 0, 0, SMTO_NORMAL, patience, &count)) {
        giveUp("reading the result list");
    }
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
    for (const auto& line : lines) {
        out += (out.size() > 1 ? " " : "") + narrow(line);
    }
    return out + "]";
}

// The texts of a message box: its caption and the statics that carry text.
struct Box {
    HWND window = nullptr;
    std::wstring caption;
    std::wstring text;
};

BOOL CALLBACK collectStatic(HWND child, LPARAM param) {
    wchar_t className[64] = L"";
    GetClassNameW(child, className, 64);
    if (lstrcmpiW(className, L"Static") == 0) {
        std::wstring text = textOf(child);
        auto* box = reinterpret_cast<Box*>(param);
        if (!text.empty()) {
            box->text += (box->text.empty() ? L"" : L"\n") + text;
        }
    }
    return TRUE;
}

// A message box owned by the given dialog, if one turns up within the time.
Box waitForBox(HWND owner, DWORD timeoutMs) {
    Box box;
    DWORD start = GetTickCount();
    do {
        HWND candidate = nullptr;
        while ((candidate = FindWindowExW(nullptr, candidate, L"#32770", nullptr)) != nullptr) {
            if (GetWindow(candidate, GW_OWNER) == owner && IsWindowVisible(candidate) &&
                GetDlgItem(candidate, IDOK) != nullptr &&
                GetDlgItem(candidate, IDC_PATH) == nullptr) {
                box.window = candidate;
                wchar_t caption[256] = L"";
                GetWindowTextW(candidate, caption, 256);
                box.caption = caption;
                EnumChildWindows(candidate, collectStatic, reinterpret_cast<LPARAM>(&box));
                return box;
            }
        }
        Sleep(20);
    } while (GetTickCount() - start < timeoutMs);
    return box;
}

void dismiss(const Box& box) {
    PostMessageW(box.window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    waitGone(box.window, 5000);
}

// Expects exactly this box over the dialog, then closes it.
void expectBox(HWND owner, const std::wstring& caption, const std::wstring& text,
               const std::string& what, DWORD timeoutMs = 5000) {
    Box box = waitForBox(owner, timeoutMs);
    if (box.window == nullptr) {
        check(false, what, "no message box appeared");
        return;
    }
    check(box.caption == caption && box.text == text, what,
          "got " + quoted(box.caption) + " / " + quoted(box.text));
    dismiss(box);
}

void expectNoBox(HWND owner, const std::string& what, DWORD waitMs = 500) {
    Box box = waitForBox(owner, waitMs);
    check(box.window == nullptr, what, "unexpected box " + quoted(box.text));
    if (box.window != nullptr) {
        dismiss(box);
    }
}

bool buttonsEnabled(HWND dialog) {
    return IsWindowEnabled(GetDlgItem(dialog, IDC_ATA)) &&
           IsWindowEnabled(GetDlgItem(dialog, IDC_SAVE));
}

// ---------------------------------------------------------------- templates in the resources

struct Control {
    DWORD exStyle, style;
    short x, y, cx, cy;
    DWORD id;
    std::wstring className, text;
};

struct Template {
    DWORD exStyle = 0, style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring caption, font;
    WORD pointSize = 0;
    std::vector<Control> controls;
};

class Reader {
  public:
    Reader(const BYTE* start, DWORD size) : base(start), end(start + size), at(start) {}
    template <typename T> T take() {
        if (at + sizeof(T) > end) {
            giveUp("a dialog template ends early");
        }
        T value;
        std::memcpy(&value, at, sizeof value);
        at += sizeof value;
        return value;
    }
    std::wstring string() {
        std::wstring out;
        for (WORD c = take<WORD>(); c != 0; c = take<WORD>()) {
            out += static_cast<wchar_t>(c);
        }
        return out;
    }
    // A name or an ordinal; ordinals of the predefined classes come back as their names.
    std::wstring nameOrOrdinal() {
        WORD first = take<WORD>();
        if (first == 0) {
            return L"";
        }
        if (first == 0xFFFF) {
            WORD ordinal = take<WORD>();
            static const wchar_t* const names[] = {L"Button", L"Edit", L"Static", L"ListBox"};
            if (ordinal >= 0x80 && ordinal <= 0x83) {
                return names[ordinal - 0x80];
            }
            return L"#" + std::to_wstring(ordinal);
        }
        at -= sizeof(WORD);
        return string();
    }
    void alignDword() {
        while ((at - base) % 4 != 0) {
            ++at;
        }
    }

  private:
    const BYTE* base;
    const BYTE* end;
    const BYTE* at;
};

Template readTemplate(HMODULE module, int id) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5)); // RT_DIALOG
    if (found == nullptr) {
        giveUp("dialog template " + std::to_string(id) + " is in the resources");
    }
    const BYTE* bytes = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
    Reader in(bytes, SizeofResource(module, found));
    Template dialog;
    WORD version = in.take<WORD>();
    WORD signature = in.take<WORD>();
    if (version != 1 || signature != 0xFFFF) {
        giveUp("dialog template " + std::to_string(id) + " is a DIALOGEX");
    }
    in.take<DWORD>(); // help id
    dialog.exStyle = in.take<DWORD>();
    dialog.style = in.take<DWORD>();
    WORD count = in.take<WORD>();
    dialog.x = in.take<short>();
    dialog.y = in.take<short>();
    dialog.cx = in.take<short>();
    dialog.cy = in.take<short>();
    in.nameOrOrdinal(); // menu
    in.nameOrOrdinal(); // class
    dialog.caption = in.string();
    if (dialog.style & DS_SETFONT) {
        dialog.pointSize = in.take<WORD>();
        in.take<WORD>(); // weight
        in.take<BYTE>(); // italic
        in.take<BYTE>(); // charset
        dialog.font = in.string();
    }
    for (WORD index = 0; index < count; ++index) {
        in.alignDword();
        Control control;
        in.take<DWORD>(); // help id
        control.exStyle = in.take<DWORD>();
        control.style = in.take<DWORD>();
        control.x = in.take<short>();
        control.y = in.take<short>();
        control.cx = in.take<short>();
        control.cy = in.take<short>();
        control.id = in.take<DWORD>();
        control.className = in.nameOrOrdinal();
        control.text = in.nameOrOrdinal();
        WORD extra = in.take<WORD>();
        for (WORD skip = 0; skip < extra; ++skip) {
            in.take<BYTE>();
        }
        dialog.controls.push_back(control);
    }
    return dialog;
}

std::string hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

const DWORD child = WS_CHILD | WS_VISIBLE;
const DWORD noId = 0xFFFFFFFF;
const wchar_t* const font = L"\xFF2D\xFF33 \xFF30\x30B4\x30B7\x30C3\x30AF"; // MS P Gothic

void checkTemplate(const Template& got, const Template& want, const std::string& name) {
    check(got.caption == want.caption, name + " caption", quoted(got.caption));
    check(got.style == want.style && got.exStyle == 0, name + " style",
          hex(got.style) + " ex " + hex(got.exStyle) + ", want " + hex(want.style));
    check(got.x == want.x && got.y == want.y && got.cx == want.cx && got.cy == want.cy,
          name + " position and size",
          std::to_string(got.x) + "," + std::to_string(got.y) + " " + std::to_string(got.cx) + "x" +
              std::to_string(got.cy));
    check(got.font == want.font && got.pointSize == 9, name + " font is 9 pt MS P Gothic",
          std::to_string(got.pointSize) + " pt");
    check(got.controls.size() == want.controls.size(), name + " control count",
          std::to_string(got.controls.size()));
    for (size_t index = 0; index < std::min(got.controls.size(), want.controls.size()); ++index) {
        const Control& g = got.controls[index];
        const Control& w = want.controls[index];
        std::string label = name + " control " + std::to_string(index) + " " + quoted(w.text) +
                            " id " + std::to_string(static_cast<int>(w.id));
        check(g.id == w.id && lstrcmpiW(g.className.c_str(), w.className.c_str()) == 0 &&
                  g.text == w.text,
              label + ": id, class and text in tab order",
              "id " + std::to_string(static_cast<int>(g.id)) + " class " + quoted(g.className) +
                  " text " + quoted(g.text));
        check(g.style == w.style && g.exStyle == 0, label + ": style",
              hex(g.style) + " ex " + hex(g.exStyle) + ", want " + hex(w.style));
        check(g.x == w.x && g.y == w.y && g.cx == w.cx && g.cy == w.cy,
              label + ": position and size",
              std::to_string(g.x) + "," + std::to_string(g.y) + " " + std::to_string(g.cx) + "x" +
                  std::to_string(g.cy));
    }
}

int commandTemplates(const std::wstring& exe) {
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) {
        giveUp("the program loads as a data file");
    }
    Template main;
    main.caption = L"Brixle100";
    main.style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_CENTER | DS_SETFONT;
    main.cx = 79;
    main.cy = 241;
    main.font = font;
    main.controls = {
        {0, child | BS_DEFPUSHBUTTON | WS_TABSTOP, 18, 7, 42, 14, IDC_ATA, L"Button", L"&ata!"},
        {0, child | SS_LEFT, 1, 27, 14, 8, noId, L"Static", L"from"},
        {0, child | SS_LEFT, 1, 58, 8, 8, noId, L"Static", L"to"},
        {0, child | BS_PUSHBUTTON | WS_TABSTOP, 16, 226, 46, 14, IDC_SAVE, L"Button", L"&save"},
        {0, child | ES_READONLY | ES_AUTOHSCROLL, 19, 93, 40, 12, IDC_HITS, L"Edit", L""},
        {0, child | WS_BORDER | WS_TABSTOP, 0, 38, 78, 14, IDC_FROM, L"Edit", L""},
        {0, child | WS_BORDER | WS_TABSTOP, 0, 73, 78, 14, IDC_TO, L"Edit", L""},
        {0,
         child | LBS_SORT | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER | WS_TABSTOP,
         0, 107, 78, 114, IDC_RESULTS, L"ListBox", L""},
        {0, child | SS_LEFT, 3, 93, 15, 8, noId, L"Static", L"Hit : "},
    };
    checkTemplate(readTemplate(module, IDD_MAIN), main, "main dialog 1000");

    Template save;
    save.caption = L"Brixle 100 : SAVE";
    save.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;
    save.cx = 187;
    save.cy = 37;
    save.font = font;
    save.controls = {
        {0, child | BS_DEFPUSHBUTTON | WS_TABSTOP, 1, 20, 50, 14, IDOK, L"Button", L"&Save"},
        {0, child | BS_PUSHBUTTON | WS_TABSTOP, 67, 20, 50, 14, IDCANCEL, L"Button", L"&Cancel"},
        {0, child | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 0, 2, 186, 14, IDC_PATH, L"Edit", L""},
        {0, child | BS_PUSHBUTTON | WS_TABSTOP, 133, 20, 50, 14, IDC_BROWSE, L"Button", L"&Browse"},
    };
    checkTemplate(readTemplate(module, IDD_SAVE), save, "save dialog 103");

    check(FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16)) != nullptr,
          "the program carries version information");
    HRSRC manifest = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    std::string text;
    if (manifest != nullptr) {
        text.assign(static_cast<const char*>(LockResource(LoadResource(module, manifest))),
                    SizeofResource(module, manifest));
    }
    check(text.find("level=\"requireAdministrator\"") != std::string::npos &&
              text.find("Microsoft.Windows.Common-Controls") != std::string::npos &&
              text.find("dpiAware") != std::string::npos,
          "the manifest asks for administrator rights, common controls 6 and DPI awareness");
    FreeLibrary(module);
    return failures == 0 ? 0 : 1;
}

// ---------------------------------------------------------------- the running program

int commandStart() {
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
    return failures == 0 ? 0 : 1;
}

// A box that the program shows by itself, e.g. at start-up; "-" for none at all.
int commandExpectBox(const std::wstring& caption, const std::wstring& text) {
    HWND main = mainWindow();
    if (text == L"-") {
        expectNoBox(main, "no message at start-up", 3000);
    } else {
        expectBox(main, caption, text, "message " + quoted(text), 20000);
    }
    return failures == 0 ? 0 : 1;
}

// A start that must be refused with the given box and must leave everything as it was.
int commandRefused(const std::wstring& from, const std::wstring& to, const std::wstring& text) {
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
    return failures == 0 ? 0 : 1;
}

// Every progress text written, not a sample of them, and the font where it is drawn: recorded
// inside the program by our observer, loaded there once and kept for the whole run.
ProgressLog* attachObserver(HWND main) {
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        sizeof(ProgressLog), ProgressLog::name);
    auto* log = static_cast<ProgressLog*>(
        MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(ProgressLog)));
    if (log == nullptr) {
        giveUp("shared memory for the progress log");
    }
    if (log->attached) {
        return log; // the observer from an earlier command is still in place
    }
    wchar_t self[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dll(self);
    dll = dll.substr(0, dll.find_last_of(L"\\/") + 1) + L"brixle_app_observer.dll";

    DWORD pid = 0;
    GetWindowThreadProcessId(main, &pid);
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    size_t bytes = (dll.size() + 1) * sizeof(wchar_t);
    void* remote = process != nullptr ? VirtualAllocEx(process, nullptr, bytes,
                                                       MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)
                                      : nullptr;
    if (remote == nullptr || !WriteProcessMemory(process, remote, dll.c_str(), bytes, nullptr)) {
        giveUp("writing the observer's path into the program");
    }
    auto loadLibrary = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
    HANDLE thread = CreateRemoteThread(process, nullptr, 0, loadLibrary, remote, 0, nullptr);
    if (thread == nullptr) {
        giveUp("loading the observer into the program");
    }
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
    CloseHandle(process);
    DWORD start = GetTickCount();
    while (!log->attached && GetTickCount() - start < 10000) {
        Sleep(20);
    }
    if (!log->attached) {
        giveUp("the observer attaches to the progress field");
    }
    return log; // the mapping stays open until the driver ends; the observer keeps its own
}

// While a sweep runs: asks the system every half second whether it takes the window for hung;
// a second in, posts a key to the first address field and a click on &save, and sends &ata! as
// another program could. Posted input must wait for the end of the sweep and then be acted on;
// the sent &ata! must be answered without a second sweep, then or afterwards.
struct BusyProbe {
    int polls = 0, hung = 0;
    bool poked = false, sentAnswered = false, keyEarly = false, clickEarly = false;
    DWORD nextPoll = 0;
    std::wstring fieldBefore;

    void step(HWND main, DWORD elapsed) {
        if (elapsed < nextPoll) {
            return;
        }
        nextPoll = elapsed + 500;
        ++polls;
        hung += IsHungAppWindow(main) ? 1 : 0;
        HWND ata = GetDlgItem(main, IDC_ATA);
        if (!poked && elapsed >= 1000) {
            poked = true;
            HWND field = GetDlgItem(main, IDC_FROM);
            PostMessageW(field, WM_KEYDOWN, 'X', 0x002D0001); // the loop makes it a character
            PostMessageW(field, WM_KEYUP, 'X', 0xC02D0001);
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
        check(polls >= 10 && hung == 0, what + ": never taken for hung",
              std::to_string(hung) + " of " + std::to_string(polls) + " polls hung");
        check(poked && sentAnswered, what + ": &ata! sent during it is answered");
        check(!keyEarly && !clickEarly, what + ": input posted during it waits for its end",
              std::string(keyEarly ? "key " : "") + (clickEarly ? "click" : ""));
        HWND save = waitForWindow(L"Brixle 100 : SAVE", 5000);
        std::wstring field = itemText(main, IDC_FROM);
        check(field == L"x" + fieldBefore || field == fieldBefore + L"x",
              what + ": the key posted during it is typed after it", quoted(field));
        check(save != nullptr,
              what + ": the click on &save posted during it opens the dialog after it");
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

// Sweeps FROM..TO, started with the button or with Enter in an address field, and checks the
// progress, the buttons and the list at the end; --busy also works the window meanwhile, and
// --box TEXT is the message expected after the results.
int commandSweep(const std::wstring& from, const std::wstring& to, bool byEnter, bool busy,
                 const std::wstring& box, std::vector<std::wstring> expected, int expectedSent) {
    HWND main = mainWindow();
    settle(main);
    HWND ata = GetDlgItem(main, IDC_ATA);
    HWND save = GetDlgItem(main, IDC_SAVE);
    ProgressLog* log = attachObserver(main);
    InterlockedExchange(&log->count, 0);
    setItemText(main, IDC_FROM, from);
    setItemText(main, IDC_TO, to);
    std::string what = "sweep " + narrow(from) + " - " + narrow(to);
    if (byEnter) {
        HWND field = GetDlgItem(main, IDC_TO);
        PostMessageW(field, WM_KEYDOWN, VK_RETURN, 0x001C0001);
        PostMessageW(field, WM_KEYUP, VK_RETURN, 0xC01C0001);
        what += " (Enter in the address field)";
    } else {
        press(main, IDC_ATA);
    }

    DWORD start = GetTickCount();
    while (IsWindowEnabled(ata) && GetTickCount() - start < 5000) {
        Sleep(5);
    }
    check(!IsWindowEnabled(ata), what + " starts");
    const DWORD began = GetTickCount();
    // The dialog greys its buttons one after the other; another process may see the gap.
    while (IsWindowEnabled(save) && GetTickCount() - began < 500) {
        Sleep(1);
    }
    bool bothDisabled = true;
    BusyProbe probe;
    probe.fieldBefore = from;
    while (!IsWindowEnabled(ata) && GetTickCount() - start < 120000) {
        bool ataOff = !IsWindowEnabled(ata);
        bool saveOff = !IsWindowEnabled(save);
        if (ataOff && !saveOff) {
            bothDisabled = false;
        }
        if (busy) {
            probe.step(main, GetTickCount() - began);
        }
        Sleep(20);
    }
    // How long the buttons stayed grey; the sound tests set it against what was heard.
    std::printf("# sweep lasted %lu ms\n", static_cast<unsigned long>(GetTickCount() - began));
    settle(main); // the buttons are enabled one after the other
    check(IsWindowEnabled(ata) && IsWindowEnabled(save), what + " ends, buttons enabled again");
    check(bothDisabled, what + ": both buttons disabled while it runs");
    std::vector<std::wstring> seen;
    LONG recorded = std::min(static_cast<LONG>(log->count), ProgressLog::capacity);
    for (LONG index = 0; index < recorded; ++index) {
        if (seen.empty() || seen.back() != log->texts[index]) {
            seen.push_back(log->texts[index]);
        }
    }

    // Each progress text shown is hits/sent, and neither count ever goes down.
    bool wellFormed = true, rising = true;
    int lastHits = 0, lastSent = 0, distinct = 0;
    std::string shown;
    for (const auto& text : seen) {
        shown += narrow(text) + " ";
        int h = -1, s = -1;
        char rest = 0;
        if (std::sscanf(narrow(text).c_str(), "%d/%d%c", &h, &s, &rest) != 2 || h < 0 || s < 0) {
            wellFormed = false;
            continue;
        }
        if (h < lastHits || s < lastSent) {
            rising = false;
        }
        lastHits = h;
        lastSent = s;
        ++distinct;
    }
    std::printf("# progress shown: %s\n", shown.c_str());
    check(!seen.empty() && wellFormed && rising, what + ": progress reads hits/sent and counts up",
          shown);
    std::sort(expected.begin(), expected.end()); // the list box's own text order
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
    check(lines == expected, what + ": list holds exactly the answering hosts " + joined(expected),
          joined(lines));
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
        }
        expectBox(main, L"Brixle 100", box, what + ": then the message " + quoted(box));
    }
    if (busy) {
        probe.judge(main, what, wantFinal);
    }
    return failures == 0 ? 0 : 1;
}

// The main dialog's font as the program sees it: the face chosen for the template's must be
// FACE, and each label's text must fit its control.
int commandFont(const std::wstring& face) {
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
    return failures == 0 ? 0 : 1;
}

HWND openSave(HWND main) {
    settle(main);
    press(main, IDC_SAVE);
    HWND save = waitForWindow(L"Brixle 100 : SAVE", 5000);
    if (save == nullptr) {
        giveUp("&save opens \"Brixle 100 : SAVE\"");
    }
    settle(save);
    return save;
}

// Opens the save dialog and leaves it open, checking how it comes up.
int commandOpenSave() {
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
    return failures == 0 ? 0 : 1;
}

HWND saveDialog(HWND main) {
    HWND save = FindWindowW(L"#32770", L"Brixle 100 : SAVE");
    return save != nullptr ? save : openSave(main);
}

// Saves to PATH ("-": whatever the path field holds); with a message text the save must fail
// with it, leaving FIELD in the path field, and the dialog is then cancelled.
int commandSave(const std::wstring& path, const std::wstring& message, const std::wstring& field) {
    HWND main = mainWindow();
    HWND save = saveDialog(main);
    if (path != L"-") {
        setItemText(save, IDC_PATH, path);
    }
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
    return failures == 0 ? 0 : 1;
}

// Escape in the save dialog cancels it; in the main window it does nothing.
int commandEscape() {
    HWND main = mainWindow();
    HWND save = openSave(main);
    HWND path = GetDlgItem(save, IDC_PATH);
    PostMessageW(path, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageW(path, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    check(waitGone(save, 5000), "Escape closes the save dialog");
    settle(main);
    HWND ata = GetDlgItem(main, IDC_ATA);
    PostMessageW(ata, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageW(ata, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    settle(main);
    Sleep(500);
    check(IsWindow(main) && IsWindowVisible(main) && IsWindowEnabled(main),
          "Escape leaves the main window open");
    return failures == 0 ? 0 : 1;
}

// The folder picker: cancelled it changes nothing; confirmed, its folder alone fills the field.
int commandBrowse(bool confirm, const std::wstring& before) {
    HWND main = mainWindow();
    HWND save = saveDialog(main);
    setItemText(save, IDC_PATH, before);
    press(save, IDC_BROWSE);
    HWND picker = nullptr;
    DWORD start = GetTickCount();
    while (picker == nullptr && GetTickCount() - start < 10000) {
        HWND candidate = nullptr;
        while ((candidate = FindWindowExW(nullptr, candidate, L"#32770", nullptr)) != nullptr) {
            if (GetWindow(candidate, GW_OWNER) == save && IsWindowVisible(candidate)) {
                picker = candidate;
            }
        }
        Sleep(50);
    }
    if (picker == nullptr) {
        giveUp("&Browse opens the folder picker");
    }
    Sleep(500); // let the picker fill its tree
    PostMessageW(picker, WM_COMMAND, MAKEWPARAM(confirm ? IDOK : IDCANCEL, BN_CLICKED), 0);
    check(waitGone(picker, 5000), "the folder picker closes");
    settle(save);
    std::wstring field = itemText(save, IDC_PATH);
    if (confirm) {
        DWORD attributes = GetFileAttributesW(field.c_str());
        check(!field.empty() && field != before && attributes != INVALID_FILE_ATTRIBUTES &&
                  (attributes & FILE_ATTRIBUTE_DIRECTORY),
              "a picked folder's path alone fills the path field", quoted(field));
        std::printf("folder %s\n", narrow(field).c_str());
    } else {
        check(field == before, "a cancelled picker leaves the path field as it was", quoted(field));
    }
    return failures == 0 ? 0 : 1;
}

int commandClose() {
    HWND main = mainWindow();
    PostMessageW(main, WM_CLOSE, 0, 0);
    check(waitGone(main, 10000), "closing the main window ends it");
    return failures == 0 ? 0 : 1;
}

// Starts a sweep of FROM..TO and leaves it running once SENT addresses are out; prints where the
// window's close box is, in the desktop's coordinates, for a click from outside.
int commandSweepBegin(const std::wstring& from, const std::wstring& to, int sent) {
    HWND main = mainWindow();
    settle(main);
    setItemText(main, IDC_FROM, from);
    setItemText(main, IDC_TO, to);
    press(main, IDC_ATA);
    DWORD start = GetTickCount();
    int shown = 0;
    while (shown < sent && GetTickCount() - start < 20000) {
        const std::wstring progress = itemText(main, IDC_HITS);
        const size_t slash = progress.find(L'/');
        shown = slash == std::wstring::npos ? 0 : _wtoi(progress.c_str() + slash + 1);
        Sleep(20);
    }
    check(shown >= sent && !IsWindowEnabled(GetDlgItem(main, IDC_ATA)),
          "the sweep runs, " + std::to_string(sent) + " addresses out");
    RECT frame = {};
    GetWindowRect(main, &frame);
    // Along the caption from the right: the window itself says where its close box is.
    const int y = frame.top + GetSystemMetrics(SM_CYFRAME) + GetSystemMetrics(SM_CYCAPTION) / 2;
    for (int x = frame.right - 1; x > frame.left; --x) {
        DWORD_PTR hit = 0;
        if (SendMessageTimeoutW(main, WM_NCHITTEST, 0, MAKELPARAM(x, y), SMTO_NORMAL, patience,
                                &hit) &&
            hit == HTCLOSE) {
            std::printf("closebox %d %d\n", x - 4, y);
            return failures == 0 ? 0 : 1;
        }
    }
    check(false, "the window has a close box");
    return 1;
}

// Waits for the end of a sweep that another command started, e.g. one run for a screenshot.
int commandWaitIdle() {
    HWND main = mainWindow();
    DWORD start = GetTickCount();
    while (!IsWindowEnabled(GetDlgItem(main, IDC_ATA)) && GetTickCount() - start < 120000) {
        Sleep(50);
    }
    check(settle(main) && buttonsEnabled(main), "the program is idle");
    for (const auto& line : listLines(main)) {
        std::printf("host %s\n", narrow(line).c_str());
    }
    return failures == 0 ? 0 : 1;
}

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: driver templates EXE | start | expect-box CAPTION TEXT|- |\n"
                         "       font FACE | refused FROM TO TEXT |\n"
                         "       sweep FROM TO [--enter|--busy] [--box TEXT] SENT HOST... |\n"
                         "       open-save | save PATH [TEXT FIELD] | browse ok|cancel BEFORE |\n"
                         "       escape | wait-idle | close | sweep-begin FROM TO SENT\n");
    std::exit(2);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        usage();
    }
    std::wstring command = argv[1];
    std::vector<std::wstring> args(argv + 2, argv + argc);
    if (command == L"templates" && args.size() == 1) {
        return commandTemplates(args[0]);
    }
    if (command == L"start" && args.empty()) {
        return commandStart();
    }
    if (command == L"expect-box" && args.size() == 2) {
        return commandExpectBox(args[0], args[1]);
    }
    if (command == L"refused" && args.size() == 3) {
        return commandRefused(args[0], args[1], args[2]);
    }
    if (command == L"sweep" && args.size() >= 3) {
        bool byEnter = args[2] == L"--enter";
        bool busy = args[2] == L"--busy";
        size_t next = byEnter || busy ? 3 : 2;
        std::wstring box;
        if (next + 1 < args.size() && args[next] == L"--box") {
            box = args[next + 1];
            next += 2;
        }
        if (next >= args.size()) {
            usage();
        }
        int sent = _wtoi(args[next].c_str());
        std::vector<std::wstring> hosts(args.begin() + next + 1, args.end());
        return commandSweep(args[0], args[1], byEnter, busy, box, hosts, sent);
    }
    if (command == L"font" && args.size() == 1) {
        return commandFont(args[0]);
    }
    if (command == L"open-save" && args.empty()) {
        return commandOpenSave();
    }
    if (command == L"save" && (args.size() == 1 || args.size() == 3)) {
        return commandSave(args[0], args.size() == 3 ? args[1] : L"",
                           args.size() == 3 ? args[2] : L"");
    }
    if (command == L"browse" && args.size() == 2) {
        return commandBrowse(args[0] == L"ok", args[1]);
    }
    if (command == L"escape" && args.empty()) {
        return commandEscape();
    }
    if (command == L"wait-idle" && args.empty()) {
        return commandWaitIdle();
    }
    if (command == L"close" && args.empty()) {
        return commandClose();
    }
    if (command == L"sweep-begin" && args.size() == 3) {
        return commandSweepBegin(args[0], args[1], _wtoi(args[2].c_str()));
    }
    usage();
}
