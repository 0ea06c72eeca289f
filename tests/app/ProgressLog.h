#pragma once

#include <windows.h>

// Shared memory between the driver and the observer it loads into the program.
struct ProgressLog {
    static constexpr const wchar_t* name = L"BrixleAppTestProgressLog";
    static constexpr LONG capacity = 4096;
    static constexpr int textLength = 32;

    volatile LONG attached;
    volatile LONG count;
    wchar_t texts[capacity][textLength];
};
