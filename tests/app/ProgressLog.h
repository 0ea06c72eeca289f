#pragma once

#include <windows.h>

// Shared memory between the driver and the observer it loads into the program: the progress
// texts, and the main dialog's font as the program itself sees it.
struct ProgressLog {
    static constexpr const wchar_t* name = L"BrixleAppTestProgressLog";
    static constexpr LONG capacity = 4096;
    static constexpr int textLength = 32;
    static constexpr int labelCapacity = 8;

    struct Label {
        wchar_t text[textLength];
        LONG textWidth; // pixels, in the dialog's font
        LONG room;      // the control's client width
    };

    volatile LONG attached;
    volatile LONG count;
    wchar_t texts[capacity][textLength];
    wchar_t requestedFace[LF_FACESIZE]; // the dialog's font as asked for
    wchar_t actualFace[LF_FACESIZE];    // the family the system chose for it
    wchar_t actualFull[LF_FACESIZE];
    LONG labelCount;
    Label labels[labelCapacity];
};
