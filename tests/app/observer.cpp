// Loaded into the running program by the driver: records every text written to the progress
// field, which the driver cannot ask for while the dialog's thread is busy sweeping.
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

// Runs outside the loader lock; the mapping stays open for as long as the program runs.
DWORD WINAPI attach(LPVOID) {
    HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, ProgressLog::name);
    if (mapping == nullptr) {
        return 1;
    }
    progressLog = static_cast<ProgressLog*>(
        MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(ProgressLog)));
    HWND hits = GetDlgItem(FindWindowW(L"#32770", L"Brixle100"), IDC_HITS);
    if (progressLog == nullptr || hits == nullptr) {
        return 1;
    }
    original = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(hits, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(recordText)));
    InterlockedExchange(&progressLog->attached, 1);
    return 0;
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        HANDLE thread = CreateThread(nullptr, 0, attach, nullptr, 0, nullptr);
        if (thread != nullptr) {
            CloseHandle(thread);
        }
    }
    return TRUE;
}
