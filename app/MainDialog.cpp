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

// Set while a sweep owns the dialog's thread, until its handler returns: messages sent to the
// window are still handled then, and none of them may start a second sweep or the save dialog.
bool sweeping = false;
// A close request that reached the window while a sweep ran: the sweep stops, the program ends.
bool closeRequested = false;

struct Sweeping {
    Sweeping() { sweeping = true; }
    ~Sweeping() { sweeping = false; }
    Sweeping(const Sweeping&) = delete;
    Sweeping& operator=(const Sweeping&) = delete;
};

// The buttons stay grey while a sweep runs and come back however the handler is left.
class ButtonsOff {
  public:
    explicit ButtonsOff(HWND dialog) : dialog(dialog) { enableButtons(dialog, false); }
    ~ButtonsOff() { release(); }
    ButtonsOff(const ButtonsOff&) = delete;
    ButtonsOff& operator=(const ButtonsOff&) = delete;
    void release() {
        if (dialog != nullptr)
            enableButtons(dialog, true);
        dialog = nullptr;
    }

  private:
    HWND dialog;
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

// The system menu, asked for during a sweep: shown at once, since closing is what it is for
// then. Any other choice does nothing until the sweep is over.
bool closeChosenFromSystemMenu(HWND dialog, POINT at) {
    const UINT chosen =
        static_cast<UINT>(TrackPopupMenu(GetSystemMenu(dialog, FALSE), TPM_RETURNCMD | TPM_NONOTIFY,
                                         at.x, at.y, 0, dialog, nullptr));
    return (chosen & 0xFFF0) == SC_CLOSE;
}

// Takes a request to close the window out of the input that waits for the end of the sweep: the
// close box, Alt+F4, the system menu's Close (posted by the taskbar, or from the menu itself).
// Everything else stays queued in its order; a bare modifier key ahead of Alt+F4 is dropped, as
// it does nothing here.
bool takeCloseRequest(HWND dialog) {
    MSG message;
    if (PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE) ||
        PeekMessageA(&message, nullptr, WM_CLOSE, WM_CLOSE, PM_REMOVE))
        return true;
    if (PeekMessageA(&message, nullptr, WM_SYSCOMMAND, WM_SYSCOMMAND, PM_NOREMOVE) &&
        (message.wParam & 0xFFF0) == SC_CLOSE)
        return PeekMessageA(&message, nullptr, WM_SYSCOMMAND, WM_SYSCOMMAND, PM_REMOVE) != 0;
    if (PeekMessageA(&message, nullptr, WM_NCLBUTTONDOWN, WM_NCLBUTTONDOWN, PM_NOREMOVE)) {
        if (message.wParam == HTCLOSE)
            return PeekMessageA(&message, nullptr, WM_NCLBUTTONDOWN, WM_NCLBUTTONDOWN, PM_REMOVE);
        if (message.wParam == HTSYSMENU) {
            PeekMessageA(&message, nullptr, WM_NCLBUTTONDOWN, WM_NCLBUTTONDOWN, PM_REMOVE);
            return closeChosenFromSystemMenu(dialog, message.pt);
        }
    }
    if (PeekMessageA(&message, nullptr, WM_NCRBUTTONUP, WM_NCRBUTTONUP, PM_NOREMOVE) &&
        message.wParam == HTCAPTION) {
        PeekMessageA(&message, nullptr, WM_NCRBUTTONUP, WM_NCRBUTTONUP, PM_REMOVE);
        return closeChosenFromSystemMenu(dialog, message.pt);
    }
    while (PeekMessageA(&message, nullptr, WM_SYSKEYDOWN, WM_SYSKEYDOWN, PM_NOREMOVE)) {
        const WPARAM key = message.wParam;
        if (key != VK_F4 && key != VK_SPACE && key != VK_MENU && key != VK_SHIFT &&
            key != VK_CONTROL)
            return false;
        PeekMessageA(&message, nullptr, WM_SYSKEYDOWN, WM_SYSKEYDOWN, PM_REMOVE);
        if (key == VK_F4)
            return true;
        if (key == VK_SPACE) {
            RECT frame = {};
            GetWindowRect(dialog, &frame);
            return closeChosenFromSystemMenu(
                dialog, POINT{frame.left, frame.top + GetSystemMetrics(SM_CYCAPTION)});
        }
    }
    return false;
}

const DWORD pollMilliseconds = 100;

// The sweep owns this thread until it is done: input waits in the queue until then and the
// window is repainted by hand. Looking at the queue without taking anything from it keeps the
// system from taking the window for hung; it also hands over messages sent to the window. The
// one request acted on at once is closing: false then, with the sweep stopped.
bool waitForSweep(HWND dialog) {
    DWORD lastShown = GetTickCount() - pollMilliseconds;
    while (!louncher.isDone()) {
        if (closeRequested || takeCloseRequest(dialog)) {
            louncher.stopSweep();
            return false;
        }
        if (GetTickCount() - lastShown >= pollMilliseconds) {
            lastShown = GetTickCount();
            try {
                SetDlgItemTextA(dialog, IDC_HITS, progressText().c_str());
            } catch (const std::exception&) {
                // No memory for the text: the next poll shows the counts.
            }
            UpdateWindow(dialog);
        }
        MSG waiting;
        PeekMessageA(&waiting, nullptr, 0, 0, PM_NOREMOVE);
        // Woken early by new input, so that a close takes effect before another request leaves.
        const DWORD shown = GetTickCount() - lastShown;
        const DWORD untilNext = shown < pollMilliseconds ? pollMilliseconds - shown : 0;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, untilNext,
                                  QS_KEY | QS_MOUSEBUTTON | QS_POSTMESSAGE | QS_SENDMESSAGE);
    }
    return true;
}

// The hits into the ResultList and the list box; whatever was copied before a failure is shown.
void showResults(HWND dialog) {
    resultList.clear();
    try {
        louncher.copyHits(resultList);
    } catch (...) {
        listResults(dialog);
        throw;
    }
    listResults(dialog);
}

// Read wide: the ANSI form turns full-width digits and dots into their ASCII look-alikes, and
// a range nobody typed would be swept. An address is ASCII; anything else is refused.
bool readAddress(HWND field, IpAddress& address) {
    // 15 characters is the longest dotted address; anything after it is cut off.
    wchar_t typed[16] = L"";
    GetWindowTextW(field, typed, 16);
    std::string text;
    for (const wchar_t* c = typed; *c != L'\0'; ++c) {
        if (*c >= 0x80)
            return false;
        text += static_cast<char>(*c);
    }
    return address.parse(text.c_str());
}

void sweep(HWND dialog) {
    bool toParsed = readAddress(GetDlgItem(dialog, IDC_TO), rangeTo);
    bool fromParsed = readAddress(GetDlgItem(dialog, IDC_FROM), rangeFrom);
    if (!toParsed || !fromParsed) {
        MessageBoxA(dialog, "Invalid IP Address", caption, MB_OK);
        return;
    }

    Sweeping busy;
    closeRequested = false;
    louncher.setRange(&rangeFrom, &rangeTo, 1);
    ButtonsOff buttonsOff(dialog);
    try {
        louncher.fire();
    } catch (Error* error) {
        MessageBoxA(dialog, error->message().c_str(), caption, MB_OK);
        delete error;
        return;
    }

    if (!waitForSweep(dialog)) {
        PostQuitMessage(0);
        return;
    }
    buttonsOff.release();
    showResults(dialog);

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
            // Its path field a Unicode window: an ANSI one takes typed text through the code page.
            DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_SAVE), dialog, SaveDialog, 0);
            return 1;
        default:
            // Escape arrives here as IDCANCEL and is ignored: only closing ends the program.
            return 0;
        }
    case WM_CLOSE:
    case WM_DESTROY:
        // During a sweep this comes from a Close sent to the window; the sweep's wait acts on it.
        closeRequested = sweeping;
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
