#include "platform/windows/SystemDlls.h"

#include <windows.h>
#include <delayimp.h>
#include <mmsystem.h>
#include <dsound.h>

namespace {

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

FARPROC WINAPI beforeDelayedLoad(unsigned note, PDelayLoadInfo info) {
    if (note != dliNotePreLoadLibrary)
        return nullptr;
    return reinterpret_cast<FARPROC>(loadFromSystemFolder(info->szDll));
}

// dsound.dll missing: the program itself stands in for it, and its one function says no device.
FARPROC WINAPI afterFailedDelayedLoad(unsigned note, PDelayLoadInfo info) {
    if (!isDirectSound(info->szDll))
        return nullptr;
    if (note == dliFailLoadLib)
        return reinterpret_cast<FARPROC>(GetModuleHandleW(nullptr));
    if (note == dliFailGetProc)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(noDirectSound));
    return nullptr;
}

#if !defined(_MSC_VER) // MSVC: /DEPENDENTLOADFLAG (CMakeLists.txt)
constexpr IMAGE_LOAD_CONFIG_DIRECTORY staticImportsFromSystemFolder() {
    IMAGE_LOAD_CONFIG_DIRECTORY config{};
    config.Size = sizeof config;
    config.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32; // DependentLoadFlags in newer headers
    return config;
}
#endif

} // namespace

extern "C" {
#if defined(_MSC_VER)
const PfnDliHook __pfnDliNotifyHook2 = beforeDelayedLoad;
const PfnDliHook __pfnDliFailureHook2 = afterFailedDelayedLoad;
#else
PfnDliHook __pfnDliNotifyHook2 = beforeDelayedLoad;
PfnDliHook __pfnDliFailureHook2 = afterFailedDelayedLoad;
// The linker makes this the image's load configuration; the loader reads it before any code.
extern const IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used;
__attribute__((used)) const IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used =
    staticImportsFromSystemFolder();
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
