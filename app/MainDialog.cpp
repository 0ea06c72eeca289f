#include "app/MainDialog.h"

#include <algorithm>
#include <cstddef>
#include <deque>
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
// Posted to hand the window the next message of the input kept from a sweep.
const UINT replayKeptInput = WM_APP + 2;

// Set while a sweep owns the dialog's thread, until its handler returns: messages sent to the
// window are still handled then, and none of them may start a second sweep or the save dialog.
bool sweeping = false;
// A close request that reached the window while a sweep ran: the sweep stops, the program ends.
bool closeRequested = false;
// The window is closing: whatever was queued before the quit message starts nothing.
bool closing = false;

// Keys and clicks the dialog was given during a sweep, kept in their order for when the sweep and
// its messages are over, and then handed over one at a time, each as if it came then: a key goes
// to whatever has the keyboard's focus by then (the save dialog, say, that a kept Alt+S opened),
// translated with the keyboard as it was when it was typed, since Shift and the rest are long let
// go; a click goes nowhere if what it was for is greyed by then.
struct KeptMessage {
    MSG message;
    bool toFocus;
    BYTE keyboard[256];
};
std::deque<KeptMessage> kept;
// A key held down for a whole sweep repeats some 30 times a second: beyond this, input is lost.
const std::size_t keptLimit = 1024;
bool replayPending = false; // a replayKeptInput waits in the queue
// Messages of the replay that a sweep it started took from the queue before replayKeptInput: they
// are older than what that sweep keeps, and go back in front, in their order.
std::size_t replayTaken = 0;
// The keyboard's state before the replay set its own, given back when it ends or pauses.
BYTE keyboardBefore[256];
bool keyboardSaved = false;

bool isKey(UINT message) {
    return message >= WM_KEYFIRST && message <= WM_KEYLAST;
}

bool isClientMouse(UINT message) {
    return message >= WM_MOUSEFIRST && message <= WM_MOUSELAST;
}

// As for a real click: a greyed control, or one under a window that waits for a modal one.
bool takesClicks(HWND window) {
    return IsWindowEnabled(window) && IsWindowEnabled(GetAncestor(window, GA_ROOT));
}

void keep(const MSG& message) {
    if (kept.size() >= keptLimit)
        return;
    KeptMessage entry = {message, false, {}};
    if (isKey(message.message)) {
        // With nothing focused (the greyed &ata! had the focus) keys reach the window itself, as
        // system keys: by then a click kept before them may have put the focus somewhere.
        entry.toFocus = message.hwnd == GetFocus() || GetFocus() == nullptr;
        GetKeyboardState(entry.keyboard);
    }
    try {
        if (replayPending)
            kept.insert(kept.begin() + static_cast<std::ptrdiff_t>(replayTaken++), entry);
        else
            kept.push_back(entry);
    } catch (const std::exception&) {
        // No memory to keep it: lost, like input beyond the limit.
    }
}

// Alt+Space or Alt+F4 was the frame's: the Alt pressed for it is no key of the dialog's. Handed
// over later, alone, it would open the system menu.
void dropAltOfFrameKey() {
    while (kept.size() > replayTaken && kept.back().message.message == WM_SYSKEYDOWN &&
           (kept.back().message.wParam == VK_MENU || kept.back().message.wParam == VK_LMENU ||
            kept.back().message.wParam == VK_RMENU))
        kept.pop_back();
}

void giveKeyboardBack() {
    if (keyboardSaved)
        SetKeyboardState(keyboardBefore);
    keyboardSaved = false;
}

void askForReplay(HWND dialog) {
    if (!replayPending && !kept.empty() && PostMessageW(dialog, replayKeptInput, 0, 0) != FALSE)
        replayPending = true;
}

// The next kept message back into the queue; replayKeptInput behind it asks for the one after,
// once it and what it led to (the characters of a key) have been handled. Posted messages come
// before new input, so what is typed now waits until every kept message is through.
void replayNext(HWND dialog) {
    replayPending = false;
    replayTaken = 0;
    if (sweeping || closing) {
        giveKeyboardBack(); // a sweep that a kept message started: the rest waits for its end
        return;
    }
    while (!kept.empty()) {
        const KeptMessage next = kept.front();
        kept.pop_front();
        MSG message = next.message;
        if (next.toFocus && GetFocus() != nullptr) {
            // A key without Alt is a system key only for want of a focus.
            if (GetFocus() != message.hwnd && (HIWORD(message.lParam) & KF_ALTDOWN) == 0 &&
                message.wParam != VK_F10 &&
                (message.message == WM_SYSKEYDOWN || message.message == WM_SYSKEYUP))
                message.message = message.message == WM_SYSKEYDOWN ? WM_KEYDOWN : WM_KEYUP;
            message.hwnd = GetFocus();
        }
        HWND target = message.hwnd;
        if (!IsWindow(target) || (isClientMouse(message.message) && !takesClicks(target)))
            continue;
        if (isKey(message.message)) {
            if (!keyboardSaved)
                keyboardSaved = GetKeyboardState(keyboardBefore) != FALSE;
            BYTE keyboard[256];
            std::copy(next.keyboard, next.keyboard + 256, keyboard);
            SetKeyboardState(keyboard);
        }
        // Asked for also after the last one, so that the keyboard is given back once it is through.
        if (PostMessageW(target, message.message, message.wParam, message.lParam) != FALSE &&
            PostMessageW(dialog, replayKeptInput, 0, 0) != FALSE) {
            replayPending = true;
            return;
        }
    }
    giveKeyboardBack();
}

struct Sweeping {
    explicit Sweeping(HWND dialog) : dialog(dialog) { sweeping = true; }
    // What the dialog was given meanwhile now comes, after the sweep's own messages.
    ~Sweeping() {
        sweeping = false;
        if (closing)
            kept.clear();
        else
            askForReplay(dialog);
    }
    Sweeping(const Sweeping&) = delete;
    Sweeping& operator=(const Sweeping&) = delete;
    HWND dialog;
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

const DWORD pollMilliseconds = 100;
DWORD lastShown = 0;

void showProgress(HWND dialog) {
    lastShown = GetTickCount();
    try {
        SetDlgItemTextA(dialog, IDC_HITS, progressText().c_str());
    } catch (const std::exception&) {
        // No memory for the text: the next poll shows the counts.
    }
    UpdateWindow(dialog);
}

// Shown from the sweep's loop, and from the timer while the system runs a loop of its own (the
// window dragged, the system menu open).
const UINT_PTR progressTimer = 1;
void showProgressWhenDue(HWND dialog) {
    if (GetTickCount() - lastShown >= pollMilliseconds)
        showProgress(dialog);
}

// Messages sent to the window are answered while the list fills, so that the system never takes
// it for hung (a /16's hosts take a second or more); the rest waits.
void answerSentMessages() {
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

// Drawn once: line by line, a list box repaints and rescrolls for every line, which takes minutes
// for the hosts of a /16.
void listResults(HWND dialog) {
    HWND list = GetDlgItem(dialog, IDC_RESULTS);
    const int answerEvery = 1024;
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    // Emptied at once (65,536 lines in a twentieth of a second): no one asking sees old lines.
    for (LRESULT index = count - 1; index >= 0; --index)
        SendMessageA(list, LB_DELETESTRING, static_cast<WPARAM>(index), 0);
    // Room for every line at once; 16 bytes hold the longest dotted address.
    SendMessageA(list, LB_INITSTORAGE, resultList.size(), resultList.size() * 16);
    std::size_t added = 0;
    for (resultCursor = resultList.begin(); resultCursor != resultList.end(); ++resultCursor) {
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(resultCursor->c_str()));
        if (++added % answerEvery == 0)
            answerSentMessages();
    }
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}

// One message that reached the window's thread during a sweep. The frame is the system's, as on
// any window: dragged, minimised, restored, its system menu, the close box (on release over it).
// What the dialog itself is given waits: keys, and clicks on what is not greyed (a click on a
// greyed button does nothing, then or later). Paint, timers and what is posted are handled.
void takeDuringSweep(HWND dialog, const MSG& message) {
    if (isKey(message.message)) {
        const bool alt = (HIWORD(message.lParam) & KF_ALTDOWN) != 0;
        if (message.message == WM_SYSKEYDOWN && alt &&
            (message.wParam == VK_F4 || message.wParam == VK_SPACE)) {
            dropAltOfFrameKey();
            if (message.wParam == VK_F4)
                SendMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
            else
                SendMessageW(dialog, WM_SYSCOMMAND, SC_KEYMENU, ' ');
        } else {
            keep(message);
        }
    } else if (isClientMouse(message.message)) {
        if (message.message != WM_MOUSEMOVE && takesClicks(message.hwnd))
            keep(message);
    } else {
        DispatchMessageW(&message);
    }
}

// The sweep owns this thread until it is done and its window belongs to the system meanwhile
// (takeDuringSweep); the progress is shown every 100 ms. Closing stops it at once (WM_CLOSE):
// false then.
bool waitForSweep(HWND dialog) {
    showProgress(dialog);
    while (!louncher.isDone()) {
        // Bounded, so that a stream of messages cannot keep the progress from being shown.
        MSG message;
        for (int taken = 0; taken < 64 && !closeRequested &&
                            PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) != FALSE;
             ++taken) {
            if (message.message == WM_QUIT)
                closeRequested = true;
            else
                takeDuringSweep(dialog, message);
        }
        if (closeRequested) {
            louncher.stopSweep();
            return false;
        }
        showProgressWhenDue(dialog);
        // Woken at once by anything new, so that a close takes effect before another request.
        const DWORD shown = GetTickCount() - lastShown;
        MsgWaitForMultipleObjectsEx(0, nullptr,
                                    shown < pollMilliseconds ? pollMilliseconds - shown : 0,
                                    QS_ALLINPUT, MWMO_INPUTAVAILABLE);
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

    Sweeping busy(dialog);
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

    SetTimer(dialog, progressTimer, pollMilliseconds, nullptr);
    const bool finished = waitForSweep(dialog);
    KillTimer(dialog, progressTimer);
    if (!finished) {
        closing = true;
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
    case replayKeptInput:
        replayNext(dialog);
        return 1;
    case WM_TIMER:
        if (wParam == progressTimer && sweeping)
            showProgressWhenDue(dialog);
        return 1;
    case WM_COMMAND:
        if ((sweeping || closing) && (LOWORD(wParam) == IDC_ATA || LOWORD(wParam) == IDC_SAVE)) {
            // Sent or posted while a sweep runs, past its disabled buttons (one sweep at a time),
            // or queued before the close.
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
        if (sweeping) {
            // Closing wins over whatever came before it: nothing is sent from here on, wherever
            // the close came from (the system's own loops too, while the window is dragged).
            louncher.stopSweep();
            closeRequested = true;
            EndMenu(); // the system menu, if it is up, gives way
        }
        closing = true;
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
