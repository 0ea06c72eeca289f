// The window's part of a big sweep, timed from outside as its user meets it (bench/list-fill.sh):
// in the running program, a sweep of FROM..TO that must end with COUNT hosts, then a save of them
// to PATH. Prints "fill COUNT FULL LONGEST HUNG POLLS SAVE": the seconds from the sweep's end (its
// buttons back) to the full list; the longest the window took to answer a message, asked one after
// the other from the sweep's start until a second after the list is full; how many of the polls
// made every 0.1 s meanwhile found it taken for hung; the seconds the save took.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "app/resource.h"

namespace {

double seconds() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

template <typename Done> bool waitUntil(double limit, Done done) {
    for (const double start = seconds(); !done(); Sleep(1)) {
        if (seconds() - start > limit)
            return false;
    }
    return true;
}

void setText(HWND control, const wchar_t* text) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 60000,
                        &result);
}

void press(HWND dialog, int id) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    // Up and through its start, where the preset range is written.
    HWND main = nullptr;
    DWORD_PTR answer = 0;
    if (argc != 5 ||
        !waitUntil(20,
                   [&] { return IsWindowVisible(main = FindWindowW(L"#32770", L"Brixle100")); }) ||
        !SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &answer)) {
        std::fprintf(stderr, "usage, with the program's window up: brixle_window_probe FROM TO "
                             "COUNT PATH\n");
        return 2;
    }
    const LRESULT count = _wtoi(argv[3]);
    volatile bool stop = false;
    double longest = 0;
    int polls = 0, hung = 0;
    std::thread asking([&] {
        for (double lastPoll = 0; !stop; Sleep(1)) {
            const double asked = seconds();
            DWORD_PTR result = 0;
            SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &result);
            longest = std::max(longest, seconds() - asked);
            if (seconds() - lastPoll >= 0.1) {
                lastPoll = seconds();
                ++polls;
                hung += IsHungAppWindow(main) ? 1 : 0;
            }
        }
    });
    HWND ata = GetDlgItem(main, IDC_ATA), list = GetDlgItem(main, IDC_RESULTS);
    setText(GetDlgItem(main, IDC_FROM), argv[1]);
    setText(GetDlgItem(main, IDC_TO), argv[2]);
    press(main, IDC_ATA);
    waitUntil(20, [&] { return !IsWindowEnabled(ata); });
    waitUntil(600, [&] { return IsWindowEnabled(ata); });
    const double ended = seconds();
    DWORD_PTR lines = 0;
    const bool full = waitUntil(60, [&] {
        return SendMessageTimeoutW(list, LB_GETCOUNT, 0, 0, SMTO_NORMAL, 60000, &lines) &&
               static_cast<LRESULT>(lines) == count;
    });
    const double filled = seconds();
    Sleep(1000);
    stop = true;
    asking.join();

    HWND save = nullptr;
    press(main, IDC_SAVE);
    waitUntil(20,
              [&] { return IsWindowVisible(save = FindWindowW(L"#32770", L"Brixle 100 : SAVE")); });
    SendMessageTimeoutW(save, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &answer);
    setText(GetDlgItem(save, IDC_PATH), argv[4]);
    const double saving = seconds();
    press(save, IDOK);
    const bool saved = waitUntil(60, [&] { return !IsWindow(save); });
    std::printf("fill %ld %.3f %.3f %d %d %.3f\n", static_cast<long>(count), filled - ended,
                longest, hung, polls, seconds() - saving);
    return full && saved ? 0 : 1;
}
