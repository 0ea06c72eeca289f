#include "sound/SoundScript.h"

#include "engine/Louncher.h"

// Without effects the script has only its waits: it ends the sweep once sending is over.
void soundScript(Louncher* louncher) {
    louncher->phase.fetch_add(1);
    while (louncher->phase.load() == 2)
        Sleep(100);
    louncher->phase.fetch_add(1);
    louncher->finishSweep();
}
