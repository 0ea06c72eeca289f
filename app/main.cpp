#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <string>

#include "app/MainDialog.h"
#include "app/Program.h"
#include "app/resource.h"
#include "platform/windows/SystemDlls.h"
#include "sound/SoundDevice.h"

// Built in this order and torn down in reverse, so the engine outlives everything that uses it.
Louncher louncher;
IpAddress rangeFrom(0, 0, 0, 0);
IpAddress rangeTo(0, 0, 0, 0);
ResultList resultList;
ResultList::iterator resultCursor;
std::wstring lastFolder;
HINSTANCE instance = nullptr;

int WINAPI WinMain(HINSTANCE thisInstance, HINSTANCE, LPSTR, int) {
    searchSystemFolderOnly();
    if (const char* missing = loadRequiredSystemDlls()) {
        MessageBoxA(nullptr, (std::string("can't load : ") + missing).c_str(), "Brixle 100", MB_OK);
        return 1;
    }
    instance = thisInstance;

    // The manifest asks for common controls 6; the folder picker wants COM on this thread.
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialog, 0);

    // A sweep stopped by closing the window may still be ending; its sound thread uses the device.
    louncher.waitForSweepThreads();
    releaseSound();

    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    return 0;
}
