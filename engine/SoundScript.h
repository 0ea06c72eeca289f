#pragma once

class Louncher;

// Body of a sweep's sound thread: plays the effects in step with the sweep and ends it with
// louncher->soundScriptEnded(), no sooner than the receiver's grace time after sending. Never
// throws: if the script fails, louncher->soundScriptFailed() leaves the end to the receiver.
void soundScript(Louncher* louncher);
