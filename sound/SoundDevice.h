#pragma once

#include <windows.h>

// True when the sound device is ready for use; false turns sound off for the whole run.
bool initSound(HWND window, HINSTANCE instance, LPGUID deviceId);
