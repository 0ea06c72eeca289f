#include "app/SaveDialog.h"

#include <shlobj.h>

#include <exception>
#include <fstream>
#include <string>

#include "app/Program.h"
#include "app/resource.h"

namespace {

const char* const caption = "Brixle 100 : error";

void complain(HWND dialog, const std::string& text) {
    MessageBoxA(dialog, text.c_str(), caption, MB_OK);
}

// Ends the dialog only when every line reached the file.
INT_PTR save(HWND dialog) {
    HWND field = GetDlgItem(dialog, IDC_PATH);
    std::string path(static_cast<size_t>(GetWindowTextLengthA(field)) + 1, '\0');
    path.resize(
        static_cast<size_t>(GetWindowTextA(field, &path[0], static_cast<int>(path.size()))));
    if (path.empty()) {
        complain(dialog, "no file name");
        return 1;
    }

    // A path longer than the system's limit is refused whole: cut short, it would name another
    // file, one nobody typed. Text mode: each line feed is stored as CR LF on Windows.
    std::ofstream file;
    if (path.size() < MAX_PATH) {
        file.open(path, std::ios::out | std::ios::trunc);
    }
    if (!file.is_open()) {
        complain(dialog, std::string("can't open : ") + path);
        SetDlgItemTextA(dialog, IDC_PATH, "");
        return 1;
    }
    for (resultCursor = resultList.begin(); resultCursor != resultList.end(); ++resultCursor) {
        file << *resultCursor << '\n';
        file.flush();
    }
    file.close();

    // A full disk or a broken device shows only here; the user must not think the list is saved.
    if (file.fail()) {
        complain(dialog, std::string("can't write : ") + path);
        return 1;
    }
    EndDialog(dialog, 1);
    return 0;
}

void browse(HWND dialog) {
    std::string folder = browseForFolder(dialog);
    if (folder.empty()) {
        return; // cancelled: keep what the user had
    }
    lastFolder = folder;
    SetDlgItemTextA(dialog, IDC_PATH, lastFolder.c_str());
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

std::string browseForFolder(HWND owner) {
    char folder[MAX_PATH] = "";
    BROWSEINFOA info = {};
    info.hwndOwner = owner;
    info.pidlRoot = nullptr;
    info.pszDisplayName = folder;
    info.lpszTitle = "Choose a Folder";
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT | BIF_RETURNFSANCESTORS;
    info.lpfn = nullptr;
    info.lParam = 0;

    LPITEMIDLIST picked = SHBrowseForFolderA(&info);
    if (picked == nullptr) {
        return std::string();
    }
    SHGetPathFromIDListA(picked, folder);
    CoTaskMemFree(picked);
    return std::string(folder);
}

INT_PTR CALLBACK SaveDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    // Nothing may unwind through the window manager.
    try {
        return handle(dialog, message, wParam);
    } catch (const std::exception& failure) {
        complain(dialog, failure.what());
    } catch (...) {
        complain(dialog, "Error : unexpected failure");
    }
    return 1;
}
