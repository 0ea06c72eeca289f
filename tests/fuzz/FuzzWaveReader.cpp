#include "sound/WaveReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The input as a file for the reader to open by name. Creating a file on disk for every input
// took most of the fuzzer's time, so this one lives on a memory file system where there is one,
// is rewritten in place, and goes when the fuzzer ends.
const char* asFile(const std::uint8_t* data, std::size_t size) {
    static const std::string path =
        std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/brixle-fuzz-" +
        std::to_string(getpid()) + ".wav";
    static const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    static const int removal = std::atexit([] { ::unlink(path.c_str()); });
    // Without its file the reader would be given nothing to read.
    if (fd < 0 || removal != 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0 ||
        ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        std::perror(path.c_str());
        std::abort();
    }
    return path.c_str();
}

} // namespace

// Any file named like an effect may be damaged: the reader must refuse it cleanly, never read
// outside its buffers, and never leave anything open.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* const path = asFile(data, size);
    HMMIO file = nullptr;
    WAVEFORMATEX* format = nullptr;
    MMCKINFO riff{};
    if (waveOpen(path, &file, &format, &riff) != 0) {
        if (file != nullptr || format != nullptr)
            std::abort();
        return 0;
    }
    if (file == nullptr || format == nullptr)
        std::abort();

    MMCKINFO dataChunk{};
    if (waveSeekData(file, &dataChunk, &riff) == 0) {
        // Read in uneven pieces up to a bound, as a buffer of the declared size would be filled.
        std::vector<BYTE> samples(4096);
        for (UINT piece : {1u, 7u, 100u, 4096u}) {
            UINT before = dataChunk.cksize;
            UINT got = 12345;
            const int result = waveRead(file, piece, samples.data(), &dataChunk, &got);
            if (got > piece || (result == 0 && got != (piece < before ? piece : before)))
                std::abort();
            if (result != 0)
                break;
        }
    }
    waveClose(&file, &format);
    if (file != nullptr || format != nullptr)
        std::abort();
    return 0;
}
