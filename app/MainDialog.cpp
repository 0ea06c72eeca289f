#include "app/MainDialog.h"

#include <exception>
#include <string>

#include "app/Program.h"
#include "app/SaveDialog.h"
#include "app/resource.h"
#include "engine/Error.h"

namespace {

const char* const caption = "Brixle 100";

// Posted from WM_INITDIALOG so a setup failure is shown over the visible window.
const UINT showSetupFailure = WM_APP + 1;
std::string setupFailure;

// Set while a sweep owns the dialog's thread; messages sent to the window are still handled
// then, and none of them may start a second sweep or the save dialog.
bool sweeping = false;

struct Sweeping {
    Sweeping() { sweeping = true; }
    ~Sweeping() { sweeping = false; }
    Sweeping(const Sweeping&) = delete;
    Sweeping& operator=(const Sweeping&) = delete;
};

void setUpEngine(HWND dialog) {
    try {
        louncher.init(dialog, instance, nullptr);
    } catch (Error* error) {
        setupFailure = error->message();
        delete error;
        // Only the ICMP socket fails that way at setup. What it needs differs: elevation on
        // Windows; under Wine, root or a group allowed the kernel's ping sockets.
        if (setupFailure == "Error : Windows Socket Operation Failed") {
            setupFailure += "\nBrixle 100 could not open its ICMP socket."
                            "\nOn Windows, start it as administrator."
                            "\nOn Linux under Wine, start it as root, or let your group open ICMP "
                            "sockets, as root: sysctl -w net.ipv4.ping_group_range='0 2147483647'";
        }
        PostMessageA(dialog, showSetupFailure, 0, 0);
    }
}

std::string progressText() {
    return std::to_string(louncher.hitCount()) + "/" + std::to_string(louncher.sentCount());
}

void listResults(HWND dialog) {
    LRESULT count = SendDlgItemMessageA(dialog, IDC_RESULTS, LB_GETCOUNT, 0, 0);
    for (LRESULT index = count - 1; index >= 0; --index) {
        SendDlgItemMessageA(dialog, IDC_RESULTS, LB_DELETESTRING, static_cast<WPARAM>(index), 0);
    }
    for (resultCursor = resultList.begin(); resultCursor != resultList.end(); ++resultCursor) {
        SendDlgItemMessageA(dialog, IDC_RESULTS, LB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(resultCursor->c_str()));
    }
}

void sweep(HWND dialog) {
    // 15 characters is the longest dotted address; anything after it is cut off.
    char fromText[16] = "";
    char toText[16] = "";
    GetWindowTextA(GetDlgItem(dialog, IDC_FROM), fromText, sizeof fromText);
    GetWindowTextA(GetDlgItem(dialog, IDC_TO), toText, sizeof toText);

    bool toParsed = rangeTo.parse(toText);
    bool fromParsed = rangeFrom.parse(fromText);
    if (!toParsed || !fromParsed) {
        MessageBoxA(dialog, "Invalid IP Address", caption, MB_OK);
        return;
    }

    louncher.setRange(&rangeFrom, &rangeTo, 1);
    enableButtons(dialog, false);
    try {
        louncher.fire();
    } catch (Error* error) {
        MessageBoxA(dialog, error->message().c_str(), caption, MB_OK);
        delete error;
        enableButtons(dialog, true);
        return;
    }

    // The sweep owns this thread until it is done: posted input waits in the queue until then and
    // the window is repainted by hand. Looking at the queue without taking anything from it keeps
    // the system from taking the window for hung; it also hands over messages sent to the window.
    {
        Sweeping busy;
        while (!louncher.isDone()) {
            SetDlgItemTextA(dialog, IDC_HITS, progressText().c_str());
            UpdateWindow(dialog);
            MSG waiting;
            PeekMessageA(&waiting, nullptr, 0, 0, PM_NOREMOVE);
            Sleep(100);
        }
    }

    enableButtons(dialog, true);
    resultList.clear();
    louncher.copyHits(resultList);
    listResults(dialog);

    std::string failure = louncher.failureMessage();
    if (!failure.empty()) {
        MessageBoxA(dialog, failure.c_str(), caption, MB_OK);
    }
    std::string unsent = louncher.unsentMessage();
    if (!unsent.empty()) {
        MessageBoxA(dialog, unsent.c_str(), caption, MB_OK);
    }
}

INT_PTR handle(HWND dialog, UINT message, WPARAM wParam) {
    switch (message) {
    case WM_INITDIALOG:
        setUpEngine(dialog);
        SetDlgItemTextA(dialog, IDC_FROM, "10.71.59.0");
        SetDlgItemTextA(dialog, IDC_TO, "10.71.59.255");
        return 1;
    case showSetupFailure:
        // The dialog would only appear once its queue is idle, after the box: show it first.
        ShowWindow(dialog, SW_SHOWNORMAL);
        UpdateWindow(dialog);
        MessageBoxA(dialog, setupFailure.c_str(), caption, MB_OK);
        return 1;
    case WM_COMMAND:
        if (sweeping && (LOWORD(wParam) == IDC_ATA || LOWORD(wParam) == IDC_SAVE)) {
            return 1; // sent while a sweep runs, past its disabled buttons: one sweep at a time
        }
        switch (LOWORD(wParam)) {
        case IDC_ATA:
            sweep(dialog);
            return 1;
        case IDC_SAVE:
            DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_SAVE), dialog, SaveDialog, 0);
            return 1;
        default:
            // Escape arrives here as IDCANCEL and is ignored: only closing ends the program.
            return 0;
        }
    case WM_CLOSE:
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return 0;
    }
}

} // namespace

void enableButtons(HWND dialog, bool enable) {
    EnableWindow(GetDlgItem(dialog, IDC_ATA), enable);
    EnableWindow(GetDlgItem(dialog, IDC_SAVE), enable);
}

INT_PTR CALLBACK MainDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    // Nothing may unwind through the window manager.
    try {
        return handle(dialog, message, wParam);
    } catch (Error* error) {
        MessageBoxA(dialog, error->message().c_str(), caption, MB_OK);
        delete error;
    } catch (const std::exception& failure) {
        MessageBoxA(dialog, failure.what(), caption, MB_OK);
    } catch (...) {
        MessageBoxA(dialog, "Error : unexpected failure", caption, MB_OK);
    }
    return 1;
}
