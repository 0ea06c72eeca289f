#include "ProcessStats.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

long statusField(const char* name) {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr)
        return -1;
    char line[256];
    long value = -1;
    const std::size_t length = std::strlen(name);
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, name, length) == 0 && line[length] == ':') {
            std::sscanf(line + length + 1, "%ld", &value);
            break;
        }
    }
    std::fclose(status);
    return value;
}

long openDescriptors() {
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr)
        return -1;
    long count = 0;
    while (const dirent* entry = readdir(fds)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(fds);
    // The directory stream itself was one of them.
    return count - 1;
}

} // namespace

ProcessStats readProcessStats() {
    ProcessStats stats;
    stats.residentKib = statusField("VmRSS");
    stats.privateKib = statusField("VmData");
    stats.handles = openDescriptors();
    stats.threads = readThreadCount();
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) == 0) {
        stats.peakResidentKib = usage.ru_maxrss;
        stats.cpuSeconds =
            static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return stats;
}

long readThreadCount() {
    return statusField("Threads");
}
