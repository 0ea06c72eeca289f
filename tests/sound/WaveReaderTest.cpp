#include "sound/WaveReader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sound/WaveBytes.h"

using namespace wavebytes;

namespace {

class WaveReaderTest : public testing::Test {
  protected:
    void TearDown() override { waveClose(&file, &format); }

    // Opens and finds the data; fails the test when either step does not succeed.
    void openToData(const std::string& path) {
        ASSERT_EQ(waveOpen(path.c_str(), &file, &format, &riffChunk), 0);
        ASSERT_NE(file, nullptr);
        ASSERT_NE(format, nullptr);
        ASSERT_EQ(waveSeekData(file, &dataChunk, &riffChunk), 0);
    }

    Bytes readAll(UINT wanted) {
        Bytes out(wanted);
        UINT count = 0;
        EXPECT_EQ(waveRead(file, wanted, out.data(), &dataChunk, &count), 0);
        out.resize(count);
        return out;
    }

    // What the multimedia I/O hands out next: the reader leaves the position for its caller.
    std::string nextFourBytes() {
        char id[5] = {};
        EXPECT_EQ(mmioRead(file, id, 4), 4);
        return id;
    }

    ScratchFolder folder;
    HMMIO file = nullptr;
    WAVEFORMATEX* format = nullptr;
    MMCKINFO riffChunk{};
    MMCKINFO dataChunk{};
};

TEST_F(WaveReaderTest, ReadsAPlainPcmFile) {
    const Bytes samples = noise(1000, 1);
    const Bytes after = chunk("LIST", textBytes("INFOtail"));
    openToData(folder.write("plain.wav",
                            riff(join({pcmFormat(2, 44100, 16), chunk("data", samples), after}))));

    EXPECT_EQ(format->wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(format->nChannels, 2);
    EXPECT_EQ(format->nSamplesPerSec, 44100u);
    EXPECT_EQ(format->nAvgBytesPerSec, 44100u * 4);
    EXPECT_EQ(format->nBlockAlign, 4);
    EXPECT_EQ(format->wBitsPerSample, 16);
    EXPECT_EQ(format->cbSize, 0);
    EXPECT_EQ(riffChunk.ckid, mmioFOURCC('R', 'I', 'F', 'F'));
    EXPECT_EQ(riffChunk.dwDataOffset, 8u);
    EXPECT_EQ(dataChunk.cksize, samples.size());
    EXPECT_EQ(dataChunk.dwDataOffset, 12u + 24u + 8u);

    EXPECT_EQ(readAll(1000), samples);
    EXPECT_EQ(dataChunk.cksize, 0u);
}

// The record is as long as the format's own fields, and the longer fmt chunk is passed whole.
TEST_F(WaveReaderTest, AllButPcmCarryTheirExtraBytes) {
    Bytes pcm = formatFields(1, 1, 22050, 16);
    put16(pcm, 0x1234);                         // a cbSize that PCM must not use
    Bytes adpcm = formatFields(2, 1, 22050, 4); // an ADPCM-style record
    const Bytes extra = noise(32, 5);
    put16(adpcm, static_cast<unsigned>(extra.size()));
    adpcm.insert(adpcm.end(), extra.begin(), extra.end());
    for (const auto& [fields, carried] : {std::pair{pcm, Bytes()}, std::pair{adpcm, extra}}) {
        SCOPED_TRACE("format tag " + std::to_string(fields[0]));
        const Bytes bytes = riff(join({chunk("fmt ", fields), chunk("data", noise(64, 6))}));
        ASSERT_EQ(waveOpen(folder.write("format.wav", bytes).c_str(), &file, &format, &riffChunk),
                  0);
        EXPECT_EQ(format->wFormatTag, fields[0]);
        ASSERT_EQ(format->cbSize, carried.size());
        const BYTE* record = reinterpret_cast<const BYTE*>(format);
        EXPECT_EQ(Bytes(record + 18, record + 18 + carried.size()), carried);
        EXPECT_EQ(nextFourBytes(), "data");
        waveClose(&file, &format);
    }
}

TEST_F(WaveReaderTest, ReadsInPiecesAcrossBufferRefillsAndStopsAtTheChunkEnd) {
    // Much larger than the multimedia I/O's buffer, so the read has to refill it many times.
    const Bytes samples = noise(100003, 12);
    openToData(folder.write("long.wav", riff(join({pcmFormat(), chunk("data", samples),
                                                   chunk("junk", noise(50, 13))}))));

    Bytes gathered;
    const UINT piece = 7919;
    for (;;) {
        Bytes part(piece, 0xEE);
        UINT count = 12345;
        const DWORD before = dataChunk.cksize;
        ASSERT_EQ(waveRead(file, piece, part.data(), &dataChunk, &count), 0);
        ASSERT_EQ(count, before < piece ? before : piece);
        ASSERT_EQ(dataChunk.cksize, before - count);
        gathered.insert(gathered.end(), part.begin(), part.begin() + count);
        // Nothing is written past what was read.
        for (UINT i = count; i < piece; ++i)
            ASSERT_EQ(part[i], 0xEE);
        if (count < piece)
            break;
    }
    EXPECT_EQ(gathered, samples);

    // Past the end: nothing more, and that is not a failure.
    Bytes rest(10, 0xEE);
    UINT count = 99;
    EXPECT_EQ(waveRead(file, 10, rest.data(), &dataChunk, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(rest, Bytes(10, 0xEE));
}

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", value);
    return text;
}

// What the reader makes of a file, step by step, in one line: each step's result in hex, the
// format record, the data chunk's declared size and how many bytes a read of up to `wanted`
// took, and whatever was left open. The bytes that arrived go to `arrived`.
std::string readThrough(const std::string& path, Bytes* arrived) {
    HMMIO file = reinterpret_cast<HMMIO>(arrived); // must be overwritten with none on failure
    WAVEFORMATEX* format = reinterpret_cast<WAVEFORMATEX*>(arrived);
    MMCKINFO riffChunk{};
    const int opened = waveOpen(path.c_str(), &file, &format, &riffChunk);
    std::string out = "open " + hex(opened);
    if (opened != 0) {
        if (file != nullptr || format != nullptr)
            out += " but left something open";
        return out;
    }
    out += " fmt " + std::to_string(format->wFormatTag) + "/" + std::to_string(format->nChannels) +
           "/" + std::to_string(format->nSamplesPerSec) + "/" +
           std::to_string(format->nAvgBytesPerSec) + "/" + std::to_string(format->nBlockAlign) +
           "/" + std::to_string(format->wBitsPerSample) + "/" + std::to_string(format->cbSize);
    MMCKINFO dataChunk{};
    const int found = waveSeekData(file, &dataChunk, &riffChunk);
    out += " data " + hex(found);
    if (found == 0) {
        const UINT wanted = 4096;
        const DWORD declared = dataChunk.cksize;
        Bytes into(wanted + 64, 0xEE);
        UINT count = 12345;
        const int read = waveRead(file, wanted, into.data(), &dataChunk, &count);
        out += " size " + hex(declared) + " read " + hex(read) + " " + std::to_string(count);
        // Nothing lands past what the chunk and the request allow.
        const std::size_t allowed = declared < wanted ? declared : wanted;
        for (std::size_t i = allowed; i < into.size(); ++i) {
            if (into[i] != 0xEE) {
                out += " and wrote past it";
                break;
            }
        }
        // What came, less the fill that stayed behind it.
        *arrived = Bytes(into.begin(), into.begin() + static_cast<std::ptrdiff_t>(allowed));
        while (!arrived->empty() && arrived->back() == 0xEE)
            arrived->pop_back();
    }
    // Open until the caller closes it, whatever was found; closing twice is harmless.
    const bool open = file != nullptr && format != nullptr;
    if (!open || waveClose(&file, &format) != 0 || file != nullptr || format != nullptr ||
        waveClose(&file, &format) != 0)
        out += " but did not close as it should";
    return out;
}

// Damaged files, read by the reader over the stand-in natively and over the real multimedia
// I/O under Wine: both must come to the same results, format, sizes and bytes. Sizes that reach
// past 32-bit offsets are where the two used to part.
TEST(WaveReaderCorpus, DamagedFilesReadAlikeOverEveryPlatform) {
    const Bytes samples = textBytes("0123456789");
    const Bytes fields = formatFields(1, 1, 22050, 16);
    const Bytes format = chunk("fmt ", fields);
    const Bytes data = chunk("data", samples);
    const auto formatOf = [&](std::uint32_t declared) {
        return join({chunk("fmt ", fields, declared), data});
    };
    Bytes adpcmShortExtra = formatFields(2, 1, 22050, 4);
    put16(adpcmShortExtra, 40); // announces 40 extra bytes, the file holds 6
    adpcmShortExtra.resize(adpcmShortExtra.size() + 6);
    const Bytes cut = riff(chunk("fmt ", fields));
    const std::string pcm = "open 0 fmt 1/1/22050/44100/2/16/0 ";
    const std::string whole = pcm + "data 0 size A read 0 10";
    const Bytes odd = noise(301, 2); // the pad byte after it must not be taken for data
    const Bytes oddData = chunk("data", odd), junk = chunk("junk", noise(7, 3));
    const Bytes list = chunk("LIST", textBytes("INFOabcde"));
    const std::string oddRead = pcm + "data 0 size 12D read 0 301";
    const Bytes none;

    struct Case {
        const char* what;
        Bytes bytes;
        std::string expected;
        Bytes arrives; // all that arrives
    } cases[] = {
        {"plain", riff(join({format, data})), whole, samples},
        {"fmt after data", riff(join({oddData, format})), oddRead, odd},
        {"other chunks before fmt", riff(join({junk, list, format, junk, oddData})), oddRead, odd},
        {"data first, odd chunks between", riff(join({oddData, junk, format, list})), oddRead, odd},
        {"empty file", {}, "open 109", none},
        {"shorter than a chunk header", textBytes("RIFF"), "open 109", none},
        // The real one takes a header of 8 bytes for whole and leaves the form type unread.
        {"RIFF header alone", Bytes(cut.begin(), cut.begin() + 8), "open E101", none},
        {"form type cut short", Bytes(cut.begin(), cut.begin() + 10), "open E101", none},
        {"not RIFF", join({textBytes("RIFX"), riff(pcmFormat())}), "open E101", none},
        {"form type not WAVE", riff(join({format, data}), "AVI "), "open E101", none},
        {"fmt chunk of 14 bytes",
         riff(join({chunk("fmt ", Bytes(fields.begin(), fields.begin() + 14)), data})), "open E101",
         none},
        {"extra bytes cut short", riff(chunk("fmt ", adpcmShortExtra)), "open E101", none},
        {"format fields cut short", Bytes(cut.begin(), cut.end() - 6), "open E102", none},
        {"extra size cut short", riff(chunk("fmt ", formatFields(2, 1, 22050, 4))), "open E102",
         none},
        {"no fmt chunk", riff(data), "open 109", none},
        {"no data chunk", riff(join({format, chunk("LIST", textBytes("INFO"))})), pcm + "data 109",
         none},
        {"data header without its bytes", riff(join({format, textBytes("data")})), pcm + "data 109",
         none},
        {"empty data chunk", riff(join({format, chunk("data", {})})),
         pcm + "data 0 size 0 read 0 0", none},
        {"data longer than the file", riff(join({format, chunk("data", samples, 20000)})),
         pcm + "data 0 size 4E20 read E103 0", samples},
        {"data of 0xFFFFFFFF", riff(join({format, chunk("data", samples, 0xFFFFFFFF)})),
         pcm + "data 0 size FFFFFFFF read E103 0", samples},
        {"data beyond the RIFF chunk", join({riff(format), data}), pcm + "data 109", none},
        {"RIFF ends inside fmt", riff(join({format, data}), "WAVE", 16), pcm + "data 109", none},
        {"RIFF of 0", riff(join({format, data}), "WAVE", 0), "open 109", none},
        {"RIFF of 0x7FFFFFFF", riff(join({format, data}), "WAVE", 0x7FFFFFFF), whole, samples},
        {"RIFF of 0xFFFFFFF7", riff(join({format, data}), "WAVE", 0xFFFFFFF7), whole, samples},
        {"RIFF of 0xFFFFFFF8", riff(join({format, data}), "WAVE", 0xFFFFFFF8), "open 109", none},
        {"RIFF of 0xFFFFFFFF", riff(join({format, data}), "WAVE", 0xFFFFFFFF), "open 109", none},
        {"fmt of 0x7FFFFFF0", riff(formatOf(0x7FFFFFF0)), pcm + "data 109", none},
        {"fmt of 0x80000000", riff(formatOf(0x80000000)), pcm + "data 109", none},
        {"fmt of 0xFFFFFFF0", riff(formatOf(0xFFFFFFF0)), pcm + "data 109", none},
        {"fmt of 0xFFFFFFFE", riff(formatOf(0xFFFFFFFE)), pcm + "data 109", none},
        {"fmt of 0xFFFFFFFF", riff(formatOf(0xFFFFFFFF)), pcm + "data 109", none},
        // Found by fuzzing: sizes like these once sent the platform's search round for ever.
        {"data of 0xFFFFFFF7 before fmt", riff(join({chunk("data", samples, 0xFFFFFFF7), format})),
         "open 109", none},
        {"junk of 0xFFFFFFFF before fmt", riff(join({chunk("junk", {}, 0xFFFFFFFF), format})),
         "open 109", none},
        {"junk of 0xFFFFFFF7 before data",
         riff(join({format, chunk("junk", {}, 0xFFFFFFF7), data})), pcm + "data 109", none},
        {"fmt\\xff of 0xFFFFFFF7", riff(chunk("fmt\xff", noise(25, 4), 0xFFFFFFF7)), "open 109",
         none},
    };
    ScratchFolder folder;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes arrived;
        EXPECT_EQ(readThrough(folder.write("damaged.wav", c.bytes), &arrived), c.expected);
        EXPECT_EQ(arrived, c.arrives);
    }
    Bytes arrived;
    EXPECT_EQ(readThrough(folder.file("missing.wav"), &arrived), "open E100");
}

} // namespace
