#include "app/SaveDialog.h"

#include <shlobj.h>

#include <cstdio>
#include <io.h>
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

// Text mode: each line feed is stored as CR LF. True when every line reached the disk.
bool writeResultsTo(const std::wstring& path, const wchar_t* mode) {
    FILE* file = _wfopen(path.c_str(), mode);
    if (file == nullptr)
        return false;
    const bool written = writeResults(file) && _commit(_fileno(file)) == 0;
    return std::fclose(file) == 0 && written;
}

enum class Target { cannotOpen, missing, diskFile, other };

// What the path names, found without changing it: a folder, a read-only file or a bad path
// cannot be opened for writing; only a file on a disk can be replaced by another.
Target targetOf(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? Target::missing : Target::cannotOpen;
    const bool disk = GetFileType(file) == FILE_TYPE_DISK;
    CloseHandle(file);
    return disk ? Target::diskFile : Target::other;
}

// A new file beside the target, named within MAX_PATH; empty when none can be made there.
std::wstring fileBeside(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/:");
    std::wstring folder = slash == std::wstring::npos ? L"." : path.substr(0, slash + 1);
    wchar_t name[MAX_PATH] = L"";
    if (folder.size() >= MAX_PATH - 14 || GetTempFileNameW(folder.c_str(), L"brx", 0, name) == 0)
        return std::wstring();
    return name;
}

// The old file stays as it was until the new one is whole on the disk.
bool replaceWithResults(const std::wstring& path, bool existed, const std::wstring& fresh) {
    bool placed = writeResultsTo(fresh, L"w");
    if (placed && existed) {
        // Keeps the old file's attributes and permissions.
        placed = ReplaceFileW(path.c_str(), fresh.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                              nullptr, nullptr) != 0;
        // The old one gone and the new one not yet in its place: put it there.
        if (!placed && GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT)
            placed = MoveFileExW(fresh.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
    } else if (placed) {
        placed = MoveFileExW(fresh.c_str(), path.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    }
    if (!placed)
        DeleteFileW(fresh.c_str());
    return placed;
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
    // file, one nobody typed.
    const Target target = path.size() < MAX_PATH ? targetOf(path) : Target::cannotOpen;
    const std::wstring fresh =
        target == Target::missing || target == Target::diskFile ? fileBeside(path) : L"";
    bool written = false;
    if (!fresh.empty()) {
        written = replaceWithResults(path, target == Target::diskFile, fresh);
    } else {
        // A device, or a folder where the file may be written but nothing made: in place.
        FILE* file = target != Target::cannotOpen ? _wfopen(path.c_str(), L"w") : nullptr;
        if (file == nullptr) {
            complain(dialog, L"can't open : " + path);
            SetDlgItemTextW(dialog, IDC_PATH, L"");
            return 1;
        }
        written = writeResults(file);
        written = std::fclose(file) == 0 && written;
    }
    // A full disk or a broken device shows only here; the user must not think the list is saved.
    if (!written) {
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
