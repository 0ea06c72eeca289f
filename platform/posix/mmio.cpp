#include <mmsystem.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <set>
#include <utility>
#include <vector>

struct MMIOFILE__ {
    std::FILE* stream = nullptr;
    std::vector<char> buffer; // empty when the file was opened unbuffered
    MMIOINFO info{};
};

namespace {

bool buffered(const HMMIO file) {
    return !file->buffer.empty();
}

// The logical read position: where the next byte handed out by mmioRead would come from.
std::int64_t positionOf(const HMMIO file) {
    if (!buffered(file))
        return std::ftell(file->stream);
    return static_cast<std::int64_t>(file->info.lBufOffset) +
           (file->info.pchNext - file->info.pchBuffer);
}

// Refills the whole buffer from `start`; the buffer then begins at that offset.
bool fillBuffer(HMMIO file, std::int64_t start) {
    MMIOINFO& info = file->info;
    info.lBufOffset = static_cast<LONG>(start);
    info.pchNext = info.pchBuffer;
    info.pchEndRead = info.pchBuffer;
    info.lDiskOffset = static_cast<LONG>(start);
    if (std::fseek(file->stream, static_cast<long>(start), SEEK_SET) != 0)
        return false;
    const std::size_t got =
        std::fread(info.pchBuffer, 1, static_cast<std::size_t>(info.cchBuffer), file->stream);
    if (got == 0 && std::ferror(file->stream)) {
        std::clearerr(file->stream);
        return false;
    }
    std::clearerr(file->stream);
    info.pchEndRead = info.pchBuffer + got;
    info.lDiskOffset = static_cast<LONG>(start + static_cast<std::int64_t>(got));
    return true;
}

bool seekTo(HMMIO file, std::int64_t target) {
    // Offsets are 32-bit LONGs as in the real API; anything past them is out of reach.
    if (target < 0 || target > std::numeric_limits<LONG>::max())
        return false;
    if (!buffered(file))
        return std::fseek(file->stream, static_cast<long>(target), SEEK_SET) == 0;
    MMIOINFO& info = file->info;
    const std::int64_t bufferStart = info.lBufOffset;
    const std::int64_t bufferEnd = bufferStart + (info.pchEndRead - info.pchBuffer);
    if (target >= bufferStart && target <= bufferEnd) {
        info.pchNext = info.pchBuffer + (target - bufferStart);
        return true;
    }
    // Outside what is buffered: drop the contents, the next read refills from the target.
    info.lBufOffset = static_cast<LONG>(target);
    info.lDiskOffset = static_cast<LONG>(target);
    info.pchNext = info.pchBuffer;
    info.pchEndRead = info.pchBuffer;
    return true;
}

DWORD littleEndian32(const unsigned char* bytes) {
    return static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
           static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
}

void putLittleEndian32(unsigned char* bytes, DWORD value) {
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

bool pointsIntoBuffer(const MMIOINFO& own, HPSTR p) {
    return p >= own.pchBuffer && p <= own.pchBuffer + own.cchBuffer;
}

} // namespace

HMMIO mmioOpenA(LPSTR fileName, LPMMIOINFO info, DWORD flags) {
    const auto fail = [info](UINT error) -> HMMIO {
        if (info != nullptr)
            info->wErrorRet = error;
        return nullptr;
    };
    // Writing is never needed by our code, so it is refused rather than half supported.
    if (fileName == nullptr || (flags & MMIO_RWMODE) != MMIO_READ)
        return fail(MMIOERR_CANNOTOPEN);
    std::FILE* stream = std::fopen(fileName, "rb");
    if (stream == nullptr)
        return fail(MMIOERR_FILENOTFOUND);

    HMMIO file = new (std::nothrow) MMIOFILE__;
    if (file == nullptr) {
        std::fclose(stream);
        return fail(MMIOERR_OUTOFMEMORY);
    }
    file->stream = stream;
    if (flags & MMIO_ALLOCBUF) {
        LONG size = info != nullptr && info->cchBuffer > 0 ? info->cchBuffer : MMIO_DEFAULTBUFFER;
        file->buffer.assign(static_cast<std::size_t>(size), 0);
        file->info.cchBuffer = size;
        file->info.pchBuffer = file->buffer.data();
        file->info.pchNext = file->info.pchBuffer;
        file->info.pchEndRead = file->info.pchBuffer;
        file->info.pchEndWrite = file->info.pchBuffer + size;
    }
    file->info.dwFlags = flags;
    file->info.hmmio = file;
    if (info != nullptr)
        info->wErrorRet = MMSYSERR_NOERROR;
    return file;
}

MMRESULT mmioClose(HMMIO file, UINT) {
    if (file == nullptr)
        return MMSYSERR_INVALHANDLE;
    const bool closed = std::fclose(file->stream) == 0;
    delete file;
    return closed ? MMSYSERR_NOERROR : MMIOERR_CANNOTCLOSE;
}

LONG mmioRead(HMMIO file, HPSTR memory, LONG count) {
    if (file == nullptr || count < 0)
        return -1;
    if (!buffered(file)) {
        const std::size_t got =
            std::fread(memory, 1, static_cast<std::size_t>(count), file->stream);
        std::clearerr(file->stream);
        return static_cast<LONG>(got);
    }
    MMIOINFO& info = file->info;
    LONG done = 0;
    while (done < count) {
        if (info.pchNext >= info.pchEndRead) {
            if (!fillBuffer(file, positionOf(file)))
                return done > 0 ? done : -1;
            if (info.pchNext >= info.pchEndRead)
                break; // end of file
        }
        const LONG available = static_cast<LONG>(info.pchEndRead - info.pchNext);
        const LONG take = available < count - done ? available : count - done;
        std::memcpy(memory + done, info.pchNext, static_cast<std::size_t>(take));
        info.pchNext += take;
        done += take;
    }
    return done;
}

LONG mmioSeek(HMMIO file, LONG offset, int origin) {
    if (file == nullptr)
        return -1;
    std::int64_t base = 0;
    switch (origin) {
    case SEEK_SET:
        break;
    case SEEK_CUR:
        base = positionOf(file);
        break;
    case SEEK_END:
        if (std::fseek(file->stream, 0, SEEK_END) != 0)
            return -1;
        base = std::ftell(file->stream);
        break;
    default:
        return -1;
    }
    const std::int64_t target = base + offset;
    if (!seekTo(file, target))
        return -1;
    return static_cast<LONG>(target);
}

MMRESULT mmioGetInfo(HMMIO file, LPMMIOINFO info, UINT) {
    if (file == nullptr || info == nullptr)
        return MMSYSERR_INVALPARAM;
    *info = file->info;
    return MMSYSERR_NOERROR;
}

MMRESULT mmioSetInfo(HMMIO file, LPCMMIOINFO info, UINT) {
    if (file == nullptr || info == nullptr)
        return MMSYSERR_INVALPARAM;
    MMIOINFO& own = file->info;
    if (buffered(file)) {
        if (!pointsIntoBuffer(own, info->pchNext) || !pointsIntoBuffer(own, info->pchEndRead) ||
            info->pchNext > info->pchEndRead)
            return MMSYSERR_INVALPARAM;
        own.pchNext = info->pchNext;
        own.pchEndRead = info->pchEndRead;
    }
    return MMSYSERR_NOERROR;
}

// At the end of the file the refill still succeeds; the caller sees pchNext == pchEndRead.
MMRESULT mmioAdvance(HMMIO file, LPMMIOINFO info, UINT flags) {
    if (file == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (!buffered(file))
        return MMIOERR_UNBUFFERED;
    if ((flags & MMIO_RWMODE) != MMIO_READ)
        return MMIOERR_CANNOTWRITE;
    if (info != nullptr) {
        const MMRESULT taken = mmioSetInfo(file, info, 0);
        if (taken != MMSYSERR_NOERROR)
            return taken;
    }
    const std::int64_t next = static_cast<std::int64_t>(file->info.lBufOffset) +
                              (file->info.pchEndRead - file->info.pchBuffer);
    if (!fillBuffer(file, next))
        return MMIOERR_CANNOTREAD;
    if (info != nullptr)
        *info = file->info;
    return MMSYSERR_NOERROR;
}

// Searches as the real one does: the parent is checked once, where the search starts, and the
// search may then run on past its end; offsets are 32-bit sums that wrap round near 4 GiB; a
// step whose seek fails goes on reading from where the last header ended.
MMRESULT mmioDescend(HMMIO file, LPMMCKINFO chunk, const MMCKINFO* parent, UINT flags) {
    if (file == nullptr || chunk == nullptr)
        return MMSYSERR_INVALPARAM;
    FOURCC wantedId = 0;
    FOURCC wantedType = 0;
    if (flags & MMIO_FINDCHUNK) {
        wantedId = chunk->ckid;
    } else if (flags & (MMIO_FINDRIFF | MMIO_FINDLIST)) {
        wantedId = flags & MMIO_FINDRIFF ? FOURCC_RIFF : FOURCC_LIST;
        wantedType = chunk->fccType;
    }

    DWORD at = static_cast<DWORD>(positionOf(file));
    if (parent != nullptr &&
        (at < parent->dwDataOffset || at >= parent->dwDataOffset + parent->cksize))
        return MMIOERR_CHUNKNOTFOUND;

    // Where the real search comes round to a header it has read before, it never ends.
    std::set<std::pair<std::int64_t, DWORD>> seen;
    for (;;) {
        if (!seen.emplace(positionOf(file), at).second) {
            std::fputs("mmioDescend: this chunk search goes round for ever\n", stderr);
            std::abort();
        }
        // The header is read straight over the record, form type and all: a short read leaves
        // the rest of the record as it was.
        unsigned char header[12];
        putLittleEndian32(header, chunk->ckid);
        putLittleEndian32(header + 4, chunk->cksize);
        putLittleEndian32(header + 8, chunk->fccType);
        const LONG got = mmioRead(file, reinterpret_cast<HPSTR>(header), 12);
        chunk->ckid = littleEndian32(header);
        chunk->cksize = littleEndian32(header + 4);
        chunk->fccType = littleEndian32(header + 8);
        if (got < 8) {
            mmioSeek(file, static_cast<LONG>(at), SEEK_SET);
            return MMIOERR_CHUNKNOTFOUND;
        }
        chunk->dwDataOffset = at + 8;
        const bool hasForm = chunk->ckid == FOURCC_RIFF || chunk->ckid == FOURCC_LIST;
        if (wantedId == 0 ||
            (chunk->ckid == wantedId && (wantedType == 0 || chunk->fccType == wantedType))) {
            if (!hasForm)
                chunk->fccType = 0;
            chunk->dwFlags = 0;
            mmioSeek(file, static_cast<LONG>(chunk->dwDataOffset + (hasForm ? 4 : 0)), SEEK_SET);
            return MMSYSERR_NOERROR;
        }
        // Chunks of odd size are followed by a pad byte that belongs to no chunk.
        at = chunk->dwDataOffset + ((chunk->cksize + 1) & ~1u);
        mmioSeek(file, static_cast<LONG>(at), SEEK_SET);
    }
}

// Like the real one, it reports success even where the end lies out of reach of a seek (the
// position then stays), and a size near 4 GiB wraps round to before the chunk's end.
MMRESULT mmioAscend(HMMIO file, LPMMCKINFO chunk, UINT) {
    if (file == nullptr || chunk == nullptr)
        return MMSYSERR_INVALPARAM;
    mmioSeek(file, static_cast<LONG>(chunk->dwDataOffset + ((chunk->cksize + 1) & ~1u)), SEEK_SET);
    return MMSYSERR_NOERROR;
}
