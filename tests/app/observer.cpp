// Loaded into the running program by the driver: records every text written to the progress
// field (asking for the field's text from outside would see only some of them), and the main
// dialog's font as the program itself has it.
#include <windows.h>

#include "app/resource.h"
#include "tests/app/ProgressLog.h"

namespace {

WNDPROC original = nullptr;
ProgressLog* progressLog = nullptr;

LRESULT CALLBACK recordText(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SETTEXT && lParam != 0) {
        LONG next = progressLog->count;
        if (next < ProgressLog::capacity) {
            lstrcpynW(progressLog->texts[next], reinterpret_cast<const wchar_t*>(lParam),
                      ProgressLog::textLength);
            InterlockedExchange(&progressLog->count, next + 1);
        }
    }
    return CallWindowProcW(original, window, message, wParam, lParam);
}

BOOL CALLBACK measureLabel(HWND child, LPARAM param) {
    wchar_t className[16] = L"";
    GetClassNameW(child, className, 16);
    auto* dc = reinterpret_cast<HDC>(param);
    if (lstrcmpiW(className, L"Static") != 0 ||
        progressLog->labelCount >= ProgressLog::labelCapacity) {
        return TRUE;
    }
    ProgressLog::Label& label = progressLog->labels[progressLog->labelCount++];
    GetWindowTextW(child, label.text, ProgressLog::textLength);
    SIZE extent = {0, 0};
    GetTextExtentPoint32W(dc, label.text, lstrlenW(label.text), &extent);
    RECT client = {0, 0, 0, 0};
    GetClientRect(child, &client);
    label.textWidth = extent.cx;
    label.room = client.right - client.left;
    return TRUE;
}

// The dialog's font as asked for, the face actually chosen, and each label's text against its
// control, measured where they are drawn.
void recordFont(HWND dialog) {
    auto font = reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0));
    LOGFONTW asked = {};
    if (font == nullptr || GetObjectW(font, sizeof asked, &asked) == 0)
        return;
    lstrcpynW(progressLog->requestedFace, asked.lfFaceName, LF_FACESIZE);
    HDC dc = GetDC(dialog);
    HGDIOBJ old = SelectObject(dc, font);
    // A replaced face keeps the name asked for; the font file's own names tell which it is.
    alignas(OUTLINETEXTMETRICW) BYTE metrics[2048];
    auto* outline = reinterpret_cast<OUTLINETEXTMETRICW*>(metrics);
    if (GetOutlineTextMetricsW(dc, sizeof metrics, outline) != 0) {
        auto nameAt = [&](PSTR offset) {
            return reinterpret_cast<const wchar_t*>(metrics + reinterpret_cast<UINT_PTR>(offset));
        };
        lstrcpynW(progressLog->actualFace, nameAt(outline->otmpFamilyName), LF_FACESIZE);
        lstrcpynW(progressLog->actualFull, nameAt(outline->otmpFullName), LF_FACESIZE);
    }
    progressLog->labelCount = 0;
    EnumChildWindows(dialog, measureLabel, reinterpret_cast<LPARAM>(dc));
    SelectObject(dc, old);
    ReleaseDC(dialog, dc);
}

// Runs outside the loader lock; the mapping stays open for as long as the program runs.
DWORD WINAPI attach(LPVOID) {
    HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, ProgressLog::name);
    if (mapping == nullptr)
        return 1;
    progressLog = static_cast<ProgressLog*>(
        MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(ProgressLog)));
    HWND dialog = FindWindowW(L"#32770", L"Brixle100");
    HWND hits = GetDlgItem(dialog, IDC_HITS);
    if (progressLog == nullptr || hits == nullptr)
        return 1;
    recordFont(dialog);
    original = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(hits, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(recordText)));
    InterlockedExchange(&progressLog->attached, 1);
    return 0;
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        HANDLE thread = CreateThread(nullptr, 0, attach, nullptr, 0, nullptr);
        if (thread != nullptr)
            CloseHandle(thread);
    }
    return TRUE;
}
