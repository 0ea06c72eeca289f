#include "sound/WaveReader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

// Any file named like an effect may be damaged: the reader must refuse it cleanly, never read
// outside its buffers, and never leave anything open.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/brixle-fuzz-" + std::to_string(getpid()) + ".wav";
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        return 0;
    std::fwrite(data, 1, size, out);
    std::fclose(out);

    HMMIO file = nullptr;
    WAVEFORMATEX* format = nullptr;
    MMCKINFO riff{};
    if (waveOpen(path.c_str(), &file, &format, &riff) != 0) {
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
        UINT total = 0;
        for (UINT piece : {1u, 7u, 100u, 4096u}) {
            UINT before = dataChunk.cksize;
            UINT got = 12345;
            const int result = waveRead(file, piece, samples.data(), &dataChunk, &got);
            if (got > piece || (result == 0 && got != (piece < before ? piece : before)))
                std::abort();
            total += got;
            if (result != 0)
                break;
        }
        (void)total;
    }
    waveClose(&file, &format);
    if (file != nullptr || format != nullptr)
        std::abort();
    return 0;
}
