// Planted beside the program and in its current folder under the names of the DLLs it may load,
// as a drive-by download could: if the loader ever takes it, it leaves its own path in the file
// that BRIXLE_PLANTED_MARK names, and refuses to load.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t mark[MAX_PATH] = L"";
    wchar_t path[MAX_PATH] = L"";
    if (GetEnvironmentVariableW(L"BRIXLE_PLANTED_MARK", mark, MAX_PATH) != 0 &&
        GetModuleFileNameW(self, path, MAX_PATH) != 0) {
        HANDLE file = CreateFileW(mark, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        char line[4 * MAX_PATH + 1];
        int length =
            WideCharToMultiByte(CP_UTF8, 0, path, -1, line, sizeof line - 1, nullptr, nullptr);
        if (file != INVALID_HANDLE_VALUE && length > 0) {
            line[length - 1] = '\n';
            DWORD written = 0;
            WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
        }
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
    return FALSE;
}
