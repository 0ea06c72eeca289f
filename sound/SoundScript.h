#pragma once

#include <windows.h>

class Louncher;

// Body of a sweep's sound thread: plays the effects in step with the sweep and ends it.
// Never throws; its last act is always louncher->finishSweep().
void soundScript(Louncher* louncher);

// Every pause of the script goes through here; Sleep unless a test wants to watch the pauses.
extern void (*soundScriptPause)(DWORD milliseconds);
