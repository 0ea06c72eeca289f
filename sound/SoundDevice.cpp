#include "sound/SoundDevice.h"

#include <mutex>
#include <vector>

#include "sound/WaveReader.h"

IDirectSound* SoundDevice::device = nullptr;
IDirectSoundBuffer* SoundDevice::buffer = nullptr;

namespace {

struct SoundState {
    // Only one sound thread runs at a time, but successive sweeps' threads and the main thread
    // (setup, release at exit) all reach the same buffers.
    std::mutex lock;
    // Replaced buffers that may still be sounding; never cut off, released once quiet.
    std::vector<IDirectSoundBuffer*> replaced;
};

// Made on first use and never destroyed: releaseSound runs from the engine's destructor at
// exit, and static objects of different files are destroyed in no fixed order.
SoundState& soundState() {
    static SoundState* const state = new SoundState;
    return *state;
}

bool stillSounding(IDirectSoundBuffer* old) {
    DWORD status = 0;
    return SUCCEEDED(old->GetStatus(&status)) && (status & DSBSTATUS_PLAYING) != 0;
}

void releaseQuietBuffers() {
    std::vector<IDirectSoundBuffer*> sounding;
    std::vector<IDirectSoundBuffer*>& replaced = soundState().replaced;
    for (IDirectSoundBuffer* old : replaced) {
        if (stillSounding(old))
            sounding.push_back(old);
        else
            old->Release();
    }
    replaced.swap(sounding);
}

void releaseAll() {
    std::vector<IDirectSoundBuffer*>& replaced = soundState().replaced;
    for (IDirectSoundBuffer* old : replaced)
        old->Release();
    replaced.clear();
    if (SoundDevice::buffer != nullptr) {
        SoundDevice::buffer->Release();
        SoundDevice::buffer = nullptr;
    }
    if (SoundDevice::device != nullptr) {
        SoundDevice::device->Release();
        SoundDevice::device = nullptr;
    }
}

bool fillBuffer(IDirectSoundBuffer* target, HMMIO file, MMCKINFO* dataChunk) {
    LPVOID memory = nullptr;
    DWORD granted = 0;
    if (FAILED(target->Lock(0, 0, &memory, &granted, nullptr, nullptr, DSBLOCK_ENTIREBUFFER)))
        return false;
    UINT read = 0;
    const int result = waveRead(file, granted, static_cast<BYTE*>(memory), dataChunk, &read);
    target->Unlock(memory, granted, nullptr, 0);
    return result == 0;
}

// An open WAV file and its format record, closed however the load ends (a device or the
// allocator may throw).
struct OpenWave {
    HMMIO file = nullptr;
    WAVEFORMATEX* format = nullptr;
    ~OpenWave() { waveClose(&file, &format); }
};

bool loadEffectLocked(IDirectSound* device, const char* fileName) {
    if (device == nullptr)
        return false;
    OpenWave wave;
    MMCKINFO riffChunk{};
    if (waveOpen(fileName, &wave.file, &wave.format, &riffChunk) != 0)
        return false;
    MMCKINFO dataChunk{};
    if (waveSeekData(wave.file, &dataChunk, &riffChunk) != 0)
        return false;

    // The buffer is sized to what the file holds, never to what its header claims; a file
    // that holds less than it declares could not fill it anyway.
    const DWORD dataBytes = waveDataHeld(wave.file, &dataChunk);
    if (dataBytes < dataChunk.cksize)
        return false;

    releaseQuietBuffers();

    DSBUFFERDESC1 description{};
    description.dwSize = sizeof(description); // 20 bytes on 32-bit Windows, 24 on 64-bit
    description.dwFlags = DSBCAPS_STATIC;
    description.dwBufferBytes = dataBytes;
    description.dwReserved = 0;
    description.lpwfxFormat = wave.format;
    IDirectSoundBuffer* created = nullptr;
    const HRESULT made = device->CreateSoundBuffer(reinterpret_cast<LPCDSBUFFERDESC>(&description),
                                                   &created, nullptr);
    if (FAILED(made) || created == nullptr)
        return false;
    // An unfilled buffer never becomes current: playing it would sound whatever memory held.
    if (!fillBuffer(created, wave.file, &dataChunk)) {
        created->Release();
        return false;
    }

    if (SoundDevice::buffer != nullptr) {
        try {
            soundState().replaced.push_back(SoundDevice::buffer);
        } catch (...) {
            created->Release();
            throw;
        }
    }
    SoundDevice::buffer = created;
    return true;
}

} // namespace

const char* effectFileName(int effectNumber) {
    switch (effectNumber) {
    case 1:
        return "a_.wav";
    case 2:
        return "tata.wav";
    case 3:
        return "tah.wav";
    case 11:
        return "canthear.wav";
    case 12:
        return "muteki.wav";
    default:
        return "abeshi.wav";
    }
}

bool initSound(HWND window, HINSTANCE, LPGUID deviceId) {
    std::lock_guard<std::mutex> guard(soundState().lock);
    releaseAll();
    if (FAILED(DirectSoundCreate(deviceId, &SoundDevice::device, nullptr))) {
        SoundDevice::device = nullptr;
        return false;
    }
    if (FAILED(SoundDevice::device->SetCooperativeLevel(window, DSSCL_PRIORITY))) {
        releaseAll();
        return false;
    }
    return true;
}

bool loadEffect(IDirectSound* device, const char* fileName) {
    std::lock_guard<std::mutex> guard(soundState().lock);
    return loadEffectLocked(device, fileName);
}

void playEffect(int effectNumber, DWORD flags) {
    std::lock_guard<std::mutex> guard(soundState().lock);
    IDirectSoundBuffer* current = SoundDevice::buffer;
    if (current == nullptr)
        return;
    current->SetCurrentPosition(0);
    if (current->Play(0, 0, flags) != DSERR_BUFFERLOST)
        return;
    if (FAILED(current->Restore()))
        return;
    // The restored memory holds nothing worth hearing, so the effect comes afresh from its file
    // and plays a single pass.
    if (loadEffectLocked(SoundDevice::device, effectFileName(effectNumber))) {
        SoundDevice::buffer->Play(0, 0, 0);
        return;
    }
    current->Release();
    SoundDevice::buffer = nullptr;
}

void endLoop() {
    std::lock_guard<std::mutex> guard(soundState().lock);
    if (SoundDevice::buffer != nullptr)
        SoundDevice::buffer->Play(0, 0, 0);
}

void releaseSound() {
    std::lock_guard<std::mutex> guard(soundState().lock);
    releaseAll();
}
