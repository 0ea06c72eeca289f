#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <string>

#include "app/MainDialog.h"
#include "app/Program.h"
#include "app/resource.h"
#include "sound/SoundDevice.h"

// Built in this order and torn down in reverse, so the engine outlives everything that uses it.
Louncher louncher;
IpAddress rangeFrom(0, 0, 0, 0);
IpAddress rangeTo(0, 0, 0, 0);
ResultList resultList;
ResultList::iterator resultCursor;
std::string lastFolder;
HINSTANCE instance = nullptr;

int WINAPI WinMain(HINSTANCE thisInstance, HINSTANCE, LPSTR, int) {
    instance = thisInstance;

    // The manifest asks for common controls 6; the folder picker wants COM on this thread.
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialog, 0);

    // No sweep can be running once the dialog has ended: its handler runs every sweep to the end.
    releaseSound();

    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    return 0;
}
