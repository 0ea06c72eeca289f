#pragma once

// The program runs elevated from wherever it was unpacked, often Downloads. Windows looks for a
// DLL that is not a KnownDLL in the program's folder first: a file planted there would run as
// administrator. So every DLL comes from the system folder: the static imports through the load
// configuration's flag (Windows 10 1607 and later), the rest delay-loaded from there, and
// whatever system code loads later through the default search this sets up.

// The first thing the program does: later loads, by the program or by the system on its
// behalf, search the system folder only, never the program's folder nor the current one.
void searchSystemFolderOnly();
