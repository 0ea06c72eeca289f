#pragma once

// The program runs elevated from wherever it was unpacked, often Downloads. Windows looks for a
// DLL that is not a KnownDLL in the program's folder first: a file planted there would run as
// administrator. So every DLL comes from the system folder: the static imports are all
// KnownDLLs, the rest are delay-loaded from there, and whatever system code loads later goes
// through the default search this sets up.

// The first thing the program does: later loads, by the program or by the system on its
// behalf, search the system folder only, never the program's folder nor the current one.
void searchSystemFolderOnly();

// Right after: the system DLLs the program cannot work without, loaded from the system folder
// and kept, so that one that is missing is named before any window rather than ending a sweep.
// The name of the first that cannot be loaded; null when all are there.
const char* loadRequiredSystemDlls();
