#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <thread>

DWORD GetTickCount() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

HGLOBAL GlobalAlloc(UINT, std::size_t bytes) {
    return std::malloc(bytes == 0 ? 1 : bytes);
}

HGLOBAL GlobalFree(HGLOBAL memory) {
    std::free(memory);
    return nullptr;
}

#include <mmsystem.h>

MMRESULT timeBeginPeriod(UINT) {
    return TIMERR_NOERROR;
}

MMRESULT timeEndPeriod(UINT) {
    return TIMERR_NOERROR;
}
