#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <dsound.h>

// The program's one sound device and its current effect buffer: the one most recently loaded,
// which playEffect and endLoop act on. Buffers it replaced may still be sounding; they are
// released once they have gone quiet, and everything at releaseSound.
class SoundDevice {
  public:
    static IDirectSound* device;
    static IDirectSoundBuffer* buffer;
};

// Effect numbers: the first three follow the sweep's phase, the verdicts have their own.
// Any number not listed reloads "abeshi.wav".
const char* effectFileName(int effectNumber);

// True when the sound device is ready for use; false turns sound off for the whole run.
bool initSound(HWND window, HINSTANCE instance, LPGUID deviceId);

// Loads a WAV file into a new static buffer that becomes the current one. On false the current
// buffer is the one from before, untouched and still sounding if it was.
bool loadEffect(IDirectSound* device, const char* fileName);

// Plays the current buffer from its start, once (flags 0) or looping (DSBPLAY_LOOPING). A buffer
// whose memory the device took away is reloaded from the effect's file and played once.
void playEffect(int effectNumber, DWORD flags);

// Lets the current buffer finish the pass it is playing and stop there.
void endLoop();

// Releases every buffer and the device; for the end of the program, when no sweep runs.
void releaseSound();
