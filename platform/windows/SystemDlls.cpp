#include "platform/windows/SystemDlls.h"

#include <windows.h>
#include <delayimp.h>
#include <mmsystem.h>
#include <dsound.h>

#include <string>

namespace {

// dsound.dll may be missing: the program then sweeps in silence.
const char* const requiredDlls[] = {"comctl32.dll", "winmm.dll", "wsock32.dll"};

// Windows 7 without its loader update knows no search flags: the full path, then, with its
// dependencies looked for beside it.
HMODULE loadFromSystemFolder(const char* name) {
    wchar_t path[MAX_PATH];
    const UINT folder = GetSystemDirectoryW(path, MAX_PATH);
    UINT length = folder;
    if (folder == 0 || folder >= MAX_PATH - 1)
        return nullptr;
    path[length++] = L'\\';
    for (const char* c = name; *c != '\0'; ++c) { // our own import names, ASCII
        if (length >= MAX_PATH - 1)
            return nullptr;
        path[length++] = static_cast<unsigned char>(*c);
    }
    path[length] = L'\0';
    const wchar_t* bare = path + folder + 1;
    HMODULE module = LoadLibraryExW(bare, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER)
        module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    return module;
}

// Without DirectSound the program sweeps in silence, as when no device opens.
HRESULT WINAPI noDirectSound(LPCGUID, LPDIRECTSOUND* device, LPUNKNOWN) {
    if (device != nullptr)
        *device = nullptr;
    return DSERR_NODRIVER;
}

bool isDirectSound(const char* dll) {
    return dll != nullptr && lstrcmpiA(dll, "dsound.dll") == 0;
}

// A required DLL or function that cannot be had after all (loaded at start, so not expected):
// the runtime would raise an exception that nothing catches. Said, then ended.
[[noreturn]] void cannotContinueWithout(const PDelayLoadInfo info) {
    std::string text = std::string("can't load : ") + (info->szDll ? info->szDll : "?");
    if (info->dlp.fImportByName && info->dlp.szProcName != nullptr)
        text = text + " " + info->dlp.szProcName;
    MessageBoxA(nullptr, text.c_str(), "Brixle 100", MB_OK);
    ExitProcess(1);
}

// Never null for a library: the runtime would then load it by its bare name, which on Windows 7
// without its loader update searches the program's folder first.
FARPROC WINAPI beforeDelayedLoad(unsigned note, PDelayLoadInfo info) {
    if (note != dliNotePreLoadLibrary)
        return nullptr;
    if (HMODULE module = loadFromSystemFolder(info->szDll))
        return reinterpret_cast<FARPROC>(module);
    // No DirectSound: the program itself stands in, and its lookup of the one function fails
    // into noDirectSound below.
    if (isDirectSound(info->szDll))
        return reinterpret_cast<FARPROC>(GetModuleHandleW(nullptr));
    cannotContinueWithout(info);
}

FARPROC WINAPI afterFailedDelayedLoad(unsigned note, PDelayLoadInfo info) {
    if (isDirectSound(info->szDll)) {
        if (note == dliFailLoadLib)
            return reinterpret_cast<FARPROC>(GetModuleHandleW(nullptr));
        if (note == dliFailGetProc)
            return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(noDirectSound));
        return nullptr;
    }
    cannotContinueWithout(info);
}

} // namespace

extern "C" {
#if defined(_MSC_VER)
const PfnDliHook __pfnDliNotifyHook2 = beforeDelayedLoad;
const PfnDliHook __pfnDliFailureHook2 = afterFailedDelayedLoad;
#else
PfnDliHook __pfnDliNotifyHook2 = beforeDelayedLoad;
PfnDliHook __pfnDliFailureHook2 = afterFailedDelayedLoad;
// The null descriptor that ends the delay-import table: the linker sorts it right after the
// descriptors of dlltool's libraries (.text$2), and the build points the image's delay-import
// directory at them (delay-import-directory.sh).
extern const unsigned char delayImportTableEnd[32];
__attribute__((section(".text$2z"), used, aligned(4)))
const unsigned char delayImportTableEnd[32] = {};
#endif
}

void searchSystemFolderOnly() {
    SetDllDirectoryW(L""); // the current folder out of the search
    typedef BOOL(WINAPI * SetDefaultDllDirectories)(DWORD);
    const auto setDefault = reinterpret_cast<SetDefaultDllDirectories>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefault != nullptr)
        setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

const char* loadRequiredSystemDlls() {
    for (const char* dll : requiredDlls) {
        if (loadFromSystemFolder(dll) == nullptr)
            return dll;
    }
    return nullptr;
}
