#pragma once

// What a long run watches of its own process, read the same way after every sweep.
struct ProcessStats {
    long residentKib = -1; // resident set (Linux) or working set (Windows)
    long privateKib = -1;  // data and stack (Linux) or committed private bytes (Windows)
    long handles = -1;     // open file descriptors (Linux) or kernel handles (Windows)
    long threads = -1;
    long peakResidentKib = -1;
    double cpuSeconds = -1; // user and system time of the whole process so far
};

ProcessStats readProcessStats();
// The thread count alone, cheap enough to take while a sweep runs.
long readThreadCount();
