#pragma once
// Byte-built RIFF files for the sound tests, written into a scratch folder of their own.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace wavebytes {

typedef std::vector<std::uint8_t> Bytes;

inline void put16(Bytes& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8 & 0xFF));
}

inline void put32(Bytes& out, std::uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

inline Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

inline Bytes textBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// A chunk with its header; odd bodies get their pad byte. `declared` overrides the size field.
inline Bytes chunk(const char* id, const Bytes& body, std::int64_t declared = -1) {
    Bytes out(id, id + 4);
    put32(out, declared >= 0 ? static_cast<std::uint32_t>(declared)
                             : static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    if (body.size() % 2 != 0)
        out.push_back(0);
    return out;
}

inline Bytes riff(const Bytes& subChunks, const char* form = "WAVE", std::int64_t declared = -1) {
    return chunk("RIFF", join({textBytes(form), subChunks}), declared);
}

// The 16 bytes every "fmt " chunk starts with.
inline Bytes formatFields(unsigned tag, unsigned channels, std::uint32_t rate, unsigned bits) {
    Bytes out;
    const unsigned align = channels * bits / 8;
    put16(out, tag);
    put16(out, channels);
    put32(out, rate);
    put32(out, rate * align);
    put16(out, align);
    put16(out, bits);
    return out;
}

inline Bytes pcmFormat(unsigned channels = 1, std::uint32_t rate = 22050, unsigned bits = 16) {
    return chunk("fmt ", formatFields(1, channels, rate, bits));
}

inline Bytes noise(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    Bytes out(count);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(random());
    return out;
}

// A plain mono 16-bit PCM file whose samples are `samples`.
inline Bytes pcmWave(const Bytes& samples) {
    return riff(join({pcmFormat(), chunk("data", samples)}));
}

inline void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// A fresh folder under the system's temporary folder, removed with everything in it.
class ScratchFolder {
  public:
    ScratchFolder() {
        std::random_device seed;
        const auto base = std::filesystem::temp_directory_path();
        for (;;) {
            path_ = base / ("brixle-sound-" + std::to_string(seed()));
            if (std::filesystem::create_directory(path_))
                break;
        }
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::string write(const std::string& name, const Bytes& bytes) const {
        writeFile(path_ / name, bytes);
        return file(name);
    }

  private:
    std::filesystem::path path_;
};

// Makes a folder the current one for as long as it lives: effects are opened by bare name.
class InFolder {
  public:
    explicit InFolder(const std::filesystem::path& folder)
        : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(folder);
    }
    ~InFolder() {
        std::error_code ignored;
        std::filesystem::current_path(previous_, ignored);
    }
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

  private:
    std::filesystem::path previous_;
};

} // namespace wavebytes
