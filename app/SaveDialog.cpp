#include "app/SaveDialog.h"

#include <shlobj.h>

#include <cstdio>
#include <exception>
#include <string>

#include "app/Program.h"
#include "app/resource.h"

// Every path here is UTF-16, as Windows holds it: the ANSI calls would hand on only what the
// code page can hold, and a look-alike or "?" for the rest, so a file would be written under a
// name nobody typed, or not at all.
namespace {

const wchar_t* const caption = L"Brixle 100 : error";

void complain(HWND dialog, const std::wstring& text) {
    MessageBoxW(dialog, text.c_str(), caption, MB_OK);
}

// Every line, each flushed as it is written; false as soon as one does not reach the file.
bool writeResults(FILE* file) {
    for (resultCursor = resultList.begin(); resultCursor != resultList.end(); ++resultCursor) {
        if (std::fputs(resultCursor->c_str(), file) < 0 || std::fputc('\n', file) == EOF ||
            std::fflush(file) != 0) {
            return false;
        }
    }
    return true;
}

// Ends the dialog only when every line reached the file.
INT_PTR save(HWND dialog) {
    HWND field = GetDlgItem(dialog, IDC_PATH);
    std::wstring path(static_cast<size_t>(GetWindowTextLengthW(field)) + 1, L'\0');
    path.resize(
        static_cast<size_t>(GetWindowTextW(field, &path[0], static_cast<int>(path.size()))));
    if (path.empty()) {
        complain(dialog, L"no file name");
        return 1;
    }

    // A path longer than the system's limit is refused whole: cut short, it would name another
    // file, one nobody typed. Text mode: each line feed is stored as CR LF on Windows.
    FILE* file = path.size() < MAX_PATH ? _wfopen(path.c_str(), L"w") : nullptr;
    if (file == nullptr) {
        complain(dialog, L"can't open : " + path);
        SetDlgItemTextW(dialog, IDC_PATH, L"");
        return 1;
    }
    const bool written = writeResults(file);

    // A full disk or a broken device shows only here; the user must not think the list is saved.
    if (std::fclose(file) != 0 || !written) {
        complain(dialog, L"can't write : " + path);
        return 1;
    }
    EndDialog(dialog, 1);
    return 0;
}

void browse(HWND dialog) {
    std::wstring folder = browseForFolder(dialog);
    if (folder.empty()) {
        return; // cancelled: keep what the user had
    }
    lastFolder = folder;
    SetDlgItemTextW(dialog, IDC_PATH, lastFolder.c_str());
}

INT_PTR handle(HWND dialog, UINT message, WPARAM wParam) {
    if (message != WM_COMMAND) {
        return 0; // WM_INITDIALOG included: the path starts empty and no focus is set
    }
    switch (LOWORD(wParam)) {
    case IDOK:
        return save(dialog);
    case IDCANCEL:
        EndDialog(dialog, 2);
        return 0;
    case IDC_BROWSE:
        browse(dialog);
        return 0;
    default:
        return 0;
    }
}

} // namespace

std::wstring browseForFolder(HWND owner) {
    wchar_t folder[MAX_PATH] = L"";
    BROWSEINFOW info = {};
    info.hwndOwner = owner;
    info.pidlRoot = nullptr;
    info.pszDisplayName = folder;
    info.lpszTitle = L"Choose a Folder";
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT | BIF_RETURNFSANCESTORS;
    info.lpfn = nullptr;
    info.lParam = 0;

    LPITEMIDLIST picked = SHBrowseForFolderW(&info);
    if (picked == nullptr) {
        return std::wstring();
    }
    SHGetPathFromIDListW(picked, folder);
    CoTaskMemFree(picked);
    return std::wstring(folder);
}

INT_PTR CALLBACK SaveDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    // Nothing may unwind through the window manager.
    try {
        return handle(dialog, message, wParam);
    } catch (const std::exception& failure) {
        // The runtime's own texts are in the ANSI code page.
        MessageBoxA(dialog, failure.what(), "Brixle 100 : error", MB_OK);
    } catch (...) {
        complain(dialog, L"Error : unexpected failure");
    }
    return 1;
}
