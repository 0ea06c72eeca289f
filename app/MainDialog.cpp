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
// The window is closing: whatever was queued before the quit message starts nothing.
bool closing = false;

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

void showProgress(HWND dialog) {
    try {
        SetDlgItemTextA(dialog, IDC_HITS, progressText().c_str());
    } catch (const std::exception&) {
        // No memory for the text: the next poll shows the counts.
    }
    UpdateWindow(dialog);
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

// Input that waits for the end of the sweep but could not wait in the queue: system commands
// other than Close, and what the system menu was given before it came up. Posted back, in its
// order, once the sweep is over; beyond its room it is lost, as input the sweep made useless.
struct DeferredInput {
    MSG messages[32];
    int count = 0;
    void keep(const MSG& message) {
        if (count < static_cast<int>(sizeof messages / sizeof messages[0]))
            messages[count++] = message;
    }
    void postBack(HWND dialog) {
        for (int i = 0; i < count; ++i) {
            const MSG& m = messages[i];
            PostMessageA(m.hwnd != nullptr ? m.hwnd : dialog, m.message, m.wParam, m.lParam);
        }
        count = 0;
    }
};

const UINT_PTR progressTimer = 1;

// The system menu, asked for during a sweep: shown at once, since closing is what it is for
// then. Its own loop runs meanwhile (Windows has no other kind of menu): the timer keeps the
// progress going, and keys and clicks given before the menu came up are kept from it, for
// after the sweep. Any other choice is deferred until the sweep is over.
bool closeChosenFromSystemMenu(HWND dialog, POINT at, DWORD askedAt, DeferredInput& deferred) {
    MSG message;
    for (UINT first : {static_cast<UINT>(WM_KEYFIRST), static_cast<UINT>(WM_MOUSEFIRST)}) {
        const UINT last = first == WM_KEYFIRST ? WM_KEYLAST : WM_MOUSELAST;
        while (PeekMessageA(&message, nullptr, first, last, PM_NOREMOVE) &&
               static_cast<LONG>(message.time - askedAt) < 0) {
            PeekMessageA(&message, nullptr, first, last, PM_REMOVE);
            if (message.message != WM_MOUSEMOVE)
                deferred.keep(message);
        }
    }
    SetTimer(dialog, progressTimer, 100, nullptr);
    const UINT chosen =
        static_cast<UINT>(TrackPopupMenu(GetSystemMenu(dialog, FALSE), TPM_RETURNCMD | TPM_NONOTIFY,
                                         at.x, at.y, 0, dialog, nullptr));
    KillTimer(dialog, progressTimer);
    if ((chosen & 0xFFF0) == SC_CLOSE)
        return true;
    if (chosen != 0)
        deferred.keep(MSG{dialog, WM_SYSCOMMAND, chosen, 0, 0, {0, 0}});
    return false;
}

// Takes a request to close the window out of the input that waits for the end of the sweep,
// wherever it is queued: the close box, Alt+F4, a double click on the system menu's icon, the
// system menu's Close (posted by the taskbar, or from the menu itself). Clicks on the frame and
// system keys can do nothing during a sweep and would only hide a close behind them: they are
// taken out and dropped. Other system commands are kept for after the sweep. Everything else
// stays queued in its order.
bool takeCloseRequest(HWND dialog, DeferredInput& deferred) {
    MSG message;
    if (PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE) ||
        PeekMessageA(&message, nullptr, WM_CLOSE, WM_CLOSE, PM_REMOVE))
        return true;
    bool close = false;
    bool menuAsked = false;
    POINT menuAt = {};
    DWORD menuAskedAt = 0;
    while (PeekMessageA(&message, nullptr, WM_SYSCOMMAND, WM_SYSCOMMAND, PM_REMOVE)) {
        if ((message.wParam & 0xFFF0) == SC_CLOSE)
            close = true;
        else
            deferred.keep(message);
    }
    while (PeekMessageA(&message, nullptr, WM_NCLBUTTONDOWN, WM_NCXBUTTONDBLCLK, PM_REMOVE)) {
        const bool down = message.message == WM_NCLBUTTONDOWN;
        if ((down && message.wParam == HTCLOSE) ||
            (message.message == WM_NCLBUTTONDBLCLK && message.wParam == HTSYSMENU))
            close = true;
        if ((down && message.wParam == HTSYSMENU) ||
            (message.message == WM_NCRBUTTONUP && message.wParam == HTCAPTION)) {
            menuAsked = true;
            menuAt = message.pt;
            menuAskedAt = message.time;
        }
    }
    while (PeekMessageA(&message, nullptr, WM_SYSKEYDOWN, WM_SYSDEADCHAR, PM_REMOVE)) {
        if (message.message != WM_SYSKEYDOWN)
            continue;
        if (message.wParam == VK_F4)
            close = true;
        if (message.wParam == VK_SPACE) {
            RECT frame = {};
            GetWindowRect(dialog, &frame);
            menuAsked = true;
            menuAt = POINT{frame.left, frame.top + GetSystemMetrics(SM_CYCAPTION)};
            menuAskedAt = message.time;
        }
    }
    if (close)
        return true;
    return menuAsked && closeChosenFromSystemMenu(dialog, menuAt, menuAskedAt, deferred);
}

const DWORD pollMilliseconds = 100;

// The sweep owns this thread until it is done: input waits in the queue until then and the
// window is repainted by hand. Looking at the queue without taking anything from it keeps the
// system from taking the window for hung; it also hands over messages sent to the window. The
// one request acted on at once is closing: false then, with the sweep stopped.
bool waitForSweep(HWND dialog, DeferredInput& deferred) {
    DWORD lastShown = GetTickCount() - pollMilliseconds;
    while (!louncher.isDone()) {
        if (closeRequested || takeCloseRequest(dialog, deferred)) {
            louncher.stopSweep();
            return false;
        }
        if (GetTickCount() - lastShown >= pollMilliseconds) {
            lastShown = GetTickCount();
            showProgress(dialog);
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

    DeferredInput deferred;
    if (!waitForSweep(dialog, deferred)) {
        closing = true;
        PostQuitMessage(0);
        return;
    }
    deferred.postBack(dialog);
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
    case WM_TIMER:
        if (wParam == progressTimer && sweeping)
            showProgress(dialog); // while the system menu is up
        return 1;
    case WM_COMMAND:
        if ((sweeping || closing) && (LOWORD(wParam) == IDC_ATA || LOWORD(wParam) == IDC_SAVE)) {
            // Sent while a sweep runs, past its disabled buttons (one sweep at a time), or
            // queued before the close.
            return 1;
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
        closing = true;
        if (sweeping)
            EndMenu(); // the system menu, if it is up, gives way
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
