#pragma once

class Louncher;

// Body of a sweep's sound thread: plays the effects in step with the sweep and ends it with
// louncher->finishSweep(). Never throws: if the script fails, louncher->soundScriptFailed()
// leaves the end of the sweep to the receiver.
void soundScript(Louncher* louncher);
