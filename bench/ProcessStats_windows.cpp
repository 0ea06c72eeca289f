#include "ProcessStats.h"

#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

namespace {

// Wine answers GetProcessHandleCount with 0; a real process always holds some handles, so then
// the handle values in use are counted one by one (they are multiples of 4, handed out low).
long probedHandles() {
    long count = 0;
    for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++count;
    }
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
        stats.peakResidentKib = static_cast<long>(memory.PeakWorkingSetSize / 1024);
    }
    FILETIME created{}, exited{}, kernel{}, user{};
    if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        const auto ticks = [](const FILETIME& t) {
            return static_cast<double>(static_cast<unsigned long long>(t.dwHighDateTime) << 32 |
                                       t.dwLowDateTime);
        };
        stats.cpuSeconds = (ticks(kernel) + ticks(user)) / 1e7;
    }
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles))
        stats.handles = handles > 0 ? static_cast<long>(handles) : probedHandles();
    stats.threads = readThreadCount();
    return stats;
}

long readThreadCount() {
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
