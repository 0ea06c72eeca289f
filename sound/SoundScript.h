#pragma once

#include <windows.h>

class Louncher;

// Body of a sweep's sound thread: plays the effects in step with the sweep and ends it with
// louncher->finishSweep(). Never throws: if the script fails, louncher->soundScriptFailed()
// leaves the end of the sweep to the receiver.
void soundScript(Louncher* louncher);

// Every pause of the script goes through here; Sleep unless a test wants to watch the pauses.
extern void (*soundScriptPause)(DWORD milliseconds);
