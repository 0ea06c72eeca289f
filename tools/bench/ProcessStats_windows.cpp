#include "ProcessStats.h"

#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

namespace {

long ownThreads() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    const DWORD self = GetCurrentProcessId();
    long count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self)
            ++count;
        entry.dwSize = sizeof entry;
    }
    CloseHandle(snapshot);
    return count;
}

} // namespace

ProcessStats readProcessStats() {
    ProcessStats stats;
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) {
        stats.residentKib = static_cast<long>(memory.WorkingSetSize / 1024);
        stats.privateKib = static_cast<long>(memory.PagefileUsage / 1024);
    }
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles))
        stats.handles = static_cast<long>(handles);
    stats.threads = ownThreads();
    return stats;
}
