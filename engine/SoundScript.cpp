#include "engine/SoundScript.h"

#include "engine/Louncher.h"
#include "engine/SystemCalls.h"
#include "sound/SoundDevice.h"

namespace {

const DWORD openingPause = 581;
const DWORD flurryLook = 100;
const DWORD closingPause = 1519;

const int noAnswerEffect = 11;
const int mostAnsweredEffect = 12;
const int fewAnsweredEffect = 13;

struct Verdict {
    const char* file;
    int effect;
    DWORD pause;
};

Verdict verdictFor(int hits, int sent) {
    if (hits == 0)
        return {"canthear.wav", noAnswerEffect, 3708};
    // Stored through a volatile so that the product is rounded to double even where the FPU
    // would keep it wider (x87 on 32-bit Windows): 10 * 0.8 must not come out above 8.
    volatile double enough = static_cast<double>(sent) * 0.8;
    if (enough > static_cast<double>(hits))
        return {"abeshi.wav", fewAnsweredEffect, 2268};
    return {"muteki.wav", mostAnsweredEffect, 1944};
}

// Nothing more is played once the sweep is done: the window was closed.
void playOnce(Louncher* louncher, const char* file, int effectNumber, DWORD pause) {
    if (louncher->done.load() != 0 || !loadEffect(SoundDevice::device, file))
        return;
    playEffect(effectNumber, 0);
    soundScriptPause(pause, louncher->done);
}

void runScript(Louncher* louncher) {
    playOnce(louncher, "a_.wav", louncher->phase.load(), openingPause);
    louncher->phase.fetch_add(1);

    const bool flurry = louncher->done.load() == 0 && loadEffect(SoundDevice::device, "tata.wav");
    if (flurry)
        playEffect(louncher->phase.load(), DSBPLAY_LOOPING);
    while (louncher->phase.load() == 2 && louncher->done.load() == 0)
        soundScriptPause(flurryLook, louncher->done);
    if (flurry)
        endLoop();

    playOnce(louncher, "tah.wav", louncher->phase.load(), closingPause);
    louncher->phase.fetch_add(1);

    const int hits = louncher->hitCount();
    const int sent = hits == 0 ? 0 : louncher->sentCount();
    const Verdict verdict = verdictFor(hits, sent);
    playOnce(louncher, verdict.file, verdict.effect, verdict.pause);
}

} // namespace

void soundScript(Louncher* louncher) {
    // The sender may still be walking the range: a script that fails hands the end of the
    // sweep to the receiver, as in a sweep without sound.
    try {
        runScript(louncher);
    } catch (...) {
        louncher->soundScriptFailed();
        return;
    }
    louncher->soundScriptEnded();
}
