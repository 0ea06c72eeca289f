#include "sound/SoundDevice.h"

// No sound device yet: every sweep runs silent and is ended by the receiver.
bool initSound(HWND, HINSTANCE, LPGUID) {
    return false;
}
