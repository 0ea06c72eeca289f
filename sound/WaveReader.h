#pragma once

#include <windows.h>
#include <mmsystem.h>

// Results of the reader besides 0 (success); any other value is the multimedia I/O's own.
enum WaveResult : int {
    waveOk = 0,
    waveNoBufferAccess = 1,   // waveRead cannot take over the file's I/O buffer
    waveNoMemory = 0xE000,    // the format record cannot be allocated
    waveCannotOpen = 0xE100,  // the file cannot be opened
    waveNotWave = 0xE101,     // not RIFF/WAVE, "fmt " shorter than 16 bytes, or short extra bytes
    waveShortFormat = 0xE102, // the 16 format bytes or the extra size cannot be read in full
    waveShortData = 0xE103,   // the file ended before the requested sample bytes
};

// Opens a RIFF/WAVE file and builds its format record (GlobalAlloc'd, 18 + cbSize bytes).
// On success the file is positioned just past the "fmt " chunk; on failure nothing stays open.
int waveOpen(const char* fileName, HMMIO* file, WAVEFORMATEX** format, MMCKINFO* riffChunk);

// Finds the "data" chunk anywhere within the RIFF chunk and stops at its first sample byte.
int waveSeekData(HMMIO file, MMCKINFO* dataChunk, const MMCKINFO* riffChunk);

// How many of the data chunk's declared bytes the file really holds after its first sample
// byte (a header may claim far more than the file has); the file stays where it was.
DWORD waveDataHeld(HMMIO file, const MMCKINFO* dataChunk);

// Copies up to `wanted` sample bytes straight from the I/O buffer into `destination`.
// dataChunk->cksize counts the bytes still unread and is reduced by what is taken.
int waveRead(HMMIO file, UINT wanted, BYTE* destination, MMCKINFO* dataChunk, UINT* countRead);

// Releases whichever of the two is present and sets it to none; always 0.
int waveClose(HMMIO* file, WAVEFORMATEX** format);
