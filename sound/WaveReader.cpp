#include "sound/WaveReader.h"

#include <cstdint>
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

// The platform's chunk search steps from chunk to chunk by their declared sizes in 32-bit file
// offsets: a size that reaches past them wraps the search round to an earlier chunk, and it
// never ends (Wine's does so). So the headers are walked here first, and the platform searches
// only where every step moves forward to the wanted chunk.
MMRESULT findChunk(HMMIO file, MMCKINFO* chunk, const MMCKINFO* parent) {
    const LONG start = mmioSeek(file, 0, SEEK_CUR);
    if (start < 0)
        return MMIOERR_CANNOTSEEK;
    const std::uint64_t parentEnd =
        static_cast<std::uint64_t>(parent->dwDataOffset) + parent->cksize;
    const std::uint64_t reach = 0x7FFFFFFF;
    std::uint64_t at = static_cast<std::uint64_t>(start);
    bool reachable = false;
    while (at + 8 <= parentEnd && at <= reach) {
        unsigned char header[8];
        if (mmioSeek(file, static_cast<LONG>(at), SEEK_SET) != static_cast<LONG>(at) ||
            !readFully(file, header, 8))
            break;
        if (dword(header) == chunk->ckid) {
            reachable = true;
            break;
        }
        const DWORD size = dword(header + 4);
        at += 8 + static_cast<std::uint64_t>(size) + (size & 1);
    }
    mmioSeek(file, start, SEEK_SET);
    if (!reachable)
        return MMIOERR_CHUNKNOTFOUND;
    return mmioDescend(file, chunk, parent, MMIO_FINDCHUNK);
}

int readFormat(HMMIO file, WAVEFORMATEX** format, MMCKINFO* riffChunk) {
    MMRESULT result = mmioDescend(file, riffChunk, nullptr, 0);
    if (result != 0)
        return static_cast<int>(result);
    if (riffChunk->ckid != FOURCC_RIFF || riffChunk->fccType != waveForm)
        return waveNotWave;

    MMCKINFO formatChunk{};
    formatChunk.ckid = formatId;
    result = findChunk(file, &formatChunk, riffChunk);
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
    return static_cast<int>(findChunk(file, dataChunk, riffChunk));
}

DWORD waveDataHeld(HMMIO file, const MMCKINFO* dataChunk) {
    const LONG at = mmioSeek(file, 0, SEEK_CUR);
    const LONG end = mmioSeek(file, 0, SEEK_END);
    mmioSeek(file, at, SEEK_SET);
    if (at < 0 || end < 0 || static_cast<DWORD>(end) <= dataChunk->dwDataOffset)
        return 0;
    const DWORD held = static_cast<DWORD>(end) - dataChunk->dwDataOffset;
    return held < dataChunk->cksize ? held : dataChunk->cksize;
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
