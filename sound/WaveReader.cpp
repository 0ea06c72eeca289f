#include "sound/WaveReader.h"

#include <cstring>

namespace {

const FOURCC waveForm = mmioFOURCC('W', 'A', 'V', 'E');
const FOURCC formatId = mmioFOURCC('f', 'm', 't', ' ');
const FOURCC dataId = mmioFOURCC('d', 'a', 't', 'a');

const int formatBytes = 16;
const int recordBase = 18; // the format fields plus cbSize

WORD word(const unsigned char* bytes) {
    return static_cast<WORD>(bytes[0] | bytes[1] << 8);
}

DWORD dword(const unsigned char* bytes) {
    return static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
           static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
}

bool readFully(HMMIO file, void* memory, LONG count) {
    return mmioRead(file, static_cast<HPSTR>(memory), count) == count;
}

int readFormat(HMMIO file, WAVEFORMATEX** format, MMCKINFO* riffChunk) {
    MMRESULT result = mmioDescend(file, riffChunk, nullptr, 0);
    if (result != 0)
        return static_cast<int>(result);
    if (riffChunk->ckid != FOURCC_RIFF || riffChunk->fccType != waveForm)
        return waveNotWave;

    MMCKINFO formatChunk{};
    formatChunk.ckid = formatId;
    result = mmioDescend(file, &formatChunk, riffChunk, MMIO_FINDCHUNK);
    if (result != 0)
        return static_cast<int>(result);
    if (formatChunk.cksize < static_cast<DWORD>(formatBytes))
        return waveNotWave;

    unsigned char fields[formatBytes];
    if (!readFully(file, fields, formatBytes))
        return waveShortFormat;
    const WORD formatTag = word(fields);
    // PCM carries no extra size, even when its chunk is longer than 16 bytes.
    WORD extraSize = 0;
    if (formatTag != WAVE_FORMAT_PCM) {
        unsigned char sizeBytes[2];
        if (!readFully(file, sizeBytes, 2))
            return waveShortFormat;
        extraSize = word(sizeBytes);
    }

    auto* record = static_cast<WAVEFORMATEX*>(GlobalAlloc(GMEM_FIXED, recordBase + extraSize));
    if (record == nullptr)
        return waveNoMemory;
    *format = record;
    record->wFormatTag = formatTag;
    record->nChannels = word(fields + 2);
    record->nSamplesPerSec = dword(fields + 4);
    record->nAvgBytesPerSec = dword(fields + 8);
    record->nBlockAlign = word(fields + 12);
    record->wBitsPerSample = word(fields + 14);
    record->cbSize = extraSize;
    if (extraSize != 0 &&
        !readFully(file, reinterpret_cast<unsigned char*>(record) + recordBase, extraSize))
        return waveNotWave;

    return static_cast<int>(mmioAscend(file, &formatChunk, 0));
}

} // namespace

int waveOpen(const char* fileName, HMMIO* file, WAVEFORMATEX** format, MMCKINFO* riffChunk) {
    *format = nullptr;
    *file = nullptr;
    HMMIO opened = mmioOpenA(const_cast<LPSTR>(fileName), nullptr, MMIO_ALLOCBUF | MMIO_READ);
    if (opened == nullptr)
        return waveCannotOpen;

    const int result = readFormat(opened, format, riffChunk);
    if (result != 0) {
        waveClose(&opened, format);
        return result;
    }
    *file = opened;
    return waveOk;
}

int waveSeekData(HMMIO file, MMCKINFO* dataChunk, const MMCKINFO* riffChunk) {
    // Past the form type: the search covers every sub-chunk, before "fmt " as well as after it.
    mmioSeek(file, static_cast<LONG>(riffChunk->dwDataOffset + 4), SEEK_SET);
    dataChunk->ckid = dataId;
    return static_cast<int>(mmioDescend(file, dataChunk, riffChunk, MMIO_FINDCHUNK));
}

int waveRead(HMMIO file, UINT wanted, BYTE* destination, MMCKINFO* dataChunk, UINT* countRead) {
    *countRead = 0;
    MMIOINFO info{};
    if (mmioGetInfo(file, &info, 0) != 0)
        return waveNoBufferAccess;

    const UINT count = wanted < dataChunk->cksize ? wanted : dataChunk->cksize;
    dataChunk->cksize -= count;

    UINT copied = 0;
    while (copied < count) {
        if (info.pchNext == info.pchEndRead) {
            const MMRESULT refill = mmioAdvance(file, &info, MMIO_READ);
            if (refill != 0 || info.pchNext == info.pchEndRead) {
                // Hand the buffer back all the same, so the file stays usable for closing.
                mmioSetInfo(file, &info, 0);
                return refill != 0 ? static_cast<int>(refill) : waveShortData;
            }
        }
        const UINT available = static_cast<UINT>(info.pchEndRead - info.pchNext);
        const UINT take = available < count - copied ? available : count - copied;
        std::memcpy(destination + copied, info.pchNext, take);
        info.pchNext += take;
        copied += take;
    }

    const MMRESULT handedBack = mmioSetInfo(file, &info, 0);
    if (handedBack != 0)
        return static_cast<int>(handedBack);
    *countRead = copied;
    return waveOk;
}

int waveClose(HMMIO* file, WAVEFORMATEX** format) {
    if (*format != nullptr) {
        GlobalFree(*format);
        *format = nullptr;
    }
    if (*file != nullptr) {
        mmioClose(*file, 0);
        *file = nullptr;
    }
    return waveOk;
}
