#include "sound/WaveReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The input as a file for the reader to open by name. Creating a file on disk for every input
// took most of the fuzzer's time, so it lives on a memory file system where there is one, and is
// rewritten in place through one descriptor; it goes when the fuzzer ends.
class InputFile {
  public:
    InputFile()
        : path_(folder() + "/brixle-fuzz-" + std::to_string(getpid()) + ".wav"),
          fd_(::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600)) {}
    ~InputFile() {
        if (fd_ >= 0) {
            ::close(fd_);
            ::unlink(path_.c_str());
        }
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    bool hold(const std::uint8_t* data, std::size_t size) const {
        return fd_ >= 0 && ::ftruncate(fd_, static_cast<off_t>(size)) == 0 &&
               ::pwrite(fd_, data, size, 0) == static_cast<ssize_t>(size);
    }
    const char* path() const { return path_.c_str(); }

  private:
    static std::string folder() {
        struct stat memory {};
        return ::stat("/dev/shm", &memory) == 0 && S_ISDIR(memory.st_mode) ? "/dev/shm" : "/tmp";
    }

    std::string path_;
    int fd_;
};

} // namespace

// Any file named like an effect may be damaged: the reader must refuse it cleanly, never read
// outside its buffers, and never leave anything open.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const InputFile input;
    // Without its file the reader would be given nothing to read.
    if (!input.hold(data, size)) {
        std::perror(input.path());
        std::abort();
    }

    HMMIO file = nullptr;
    WAVEFORMATEX* format = nullptr;
    MMCKINFO riff{};
    if (waveOpen(input.path(), &file, &format, &riff) != 0) {
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
