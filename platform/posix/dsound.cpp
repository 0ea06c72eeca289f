#include <dsound.h>

HRESULT DirectSoundCreate(LPCGUID, LPDIRECTSOUND* directSound, LPUNKNOWN) {
    if (directSound != nullptr)
        *directSound = nullptr;
    return DSERR_NODRIVER;
}
