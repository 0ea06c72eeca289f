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

TEST_F(WaveReaderTest, FindsChunksWhereverTheyLieWithinTheRiffChunk) {
    const Bytes samples = noise(301, 2); // odd: the pad byte must not be taken for data
    const Bytes junkOdd = chunk("junk", noise(7, 3));
    const Bytes listOdd = chunk("LIST", textBytes("INFOabcde"));
    struct Layout {
        const char* what;
        Bytes body;
    } layouts[] = {
        {"fmt after data", join({chunk("data", samples), pcmFormat()})},
        {"other chunks before fmt",
         join({junkOdd, listOdd, pcmFormat(), junkOdd, chunk("data", samples)})},
        {"data first, odd chunks between",
         join({chunk("data", samples), junkOdd, pcmFormat(), listOdd})},
    };
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.what);
        openToData(folder.write("layout.wav", riff(layout.body)));
        EXPECT_EQ(format->nSamplesPerSec, 22050u);
        EXPECT_EQ(dataChunk.cksize, samples.size());
        EXPECT_EQ(readAll(1000), samples);
        waveClose(&file, &format);
    }
}

TEST_F(WaveReaderTest, PcmTakesNoExtraSizeAndLeavesTheLongerFmtChunkWhole) {
    Bytes fields = formatFields(1, 1, 22050, 16);
    put16(fields, 0x1234); // a cbSize that PCM must not use
    const std::string path =
        folder.write("pcm18.wav", riff(join({chunk("fmt ", fields), chunk("data", noise(10, 4))})));
    ASSERT_EQ(waveOpen(path.c_str(), &file, &format, &riffChunk), 0);
    EXPECT_EQ(format->cbSize, 0);
    EXPECT_EQ(nextFourBytes(), "data");
}

TEST_F(WaveReaderTest, OtherFormatsCarryTheirExtraBytes) {
    Bytes fields = formatFields(2, 1, 22050, 4); // an ADPCM-style record
    const Bytes extra = noise(32, 5);
    put16(fields, static_cast<unsigned>(extra.size()));
    fields.insert(fields.end(), extra.begin(), extra.end());
    const std::string path =
        folder.write("adpcm.wav", riff(join({chunk("fmt ", fields), chunk("data", noise(64, 6))})));
    ASSERT_EQ(waveOpen(path.c_str(), &file, &format, &riffChunk), 0);
    EXPECT_EQ(format->wFormatTag, 2);
    ASSERT_EQ(format->cbSize, extra.size());
    EXPECT_EQ(std::memcmp(reinterpret_cast<const BYTE*>(format) + 18, extra.data(), extra.size()),
              0);
    EXPECT_EQ(nextFourBytes(), "data");
}

TEST_F(WaveReaderTest, RefusesAFileThatIsNotThere) {
    file = reinterpret_cast<HMMIO>(&riffChunk); // must be overwritten with none
    format = reinterpret_cast<WAVEFORMATEX*>(&riffChunk);
    EXPECT_EQ(waveOpen(folder.file("missing.wav").c_str(), &file, &format, &riffChunk), 0xE100);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(format, nullptr);
}

TEST_F(WaveReaderTest, ReportsAMissingDataChunk) {
    const std::string path =
        folder.write("nodata.wav", riff(join({pcmFormat(), chunk("LIST", textBytes("INFO"))})));
    ASSERT_EQ(waveOpen(path.c_str(), &file, &format, &riffChunk), 0);
    EXPECT_EQ(waveSeekData(file, &dataChunk, &riffChunk), MMIOERR_CHUNKNOTFOUND);
    // Still open: the caller closes, and closing twice is harmless.
    EXPECT_NE(file, nullptr);
    EXPECT_EQ(waveClose(&file, &format), 0);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(format, nullptr);
    EXPECT_EQ(waveClose(&file, &format), 0);
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
// took. The bytes that arrived go to `arrived`.
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
    waveClose(&file, &format);
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
    const auto wave = [](const Bytes& body, std::int64_t declared = -1) {
        return chunk("RIFF", join({textBytes("WAVE"), body}), declared);
    };
    const auto formatOf = [&](std::uint32_t declared) {
        return join({chunk("fmt ", fields, declared), data});
    };
    Bytes adpcmShortExtra = formatFields(2, 1, 22050, 4);
    put16(adpcmShortExtra, 40); // announces 40 extra bytes, the file holds 6
    adpcmShortExtra.resize(adpcmShortExtra.size() + 6);
    const Bytes cut = riff(chunk("fmt ", fields));
    const std::string pcm = "open 0 fmt 1/1/22050/44100/2/16/0 ";
    const std::string whole = pcm + "data 0 size A read 0 10";

    struct Case {
        const char* what;
        Bytes bytes;
        std::string expected;
        bool arrives; // the samples arrive, in full
    } cases[] = {
        {"plain", riff(join({format, data})), whole, true},
        {"empty file", {}, "open 109", false},
        {"shorter than a chunk header", textBytes("RIFF"), "open 109", false},
        // The real one takes a header of 8 bytes for whole and leaves the form type unread.
        {"RIFF header alone", Bytes(cut.begin(), cut.begin() + 8), "open E101", false},
        {"form type cut short", Bytes(cut.begin(), cut.begin() + 10), "open E101", false},
        {"not RIFF", join({textBytes("RIFX"), riff(pcmFormat())}), "open E101", false},
        {"form type not WAVE", riff(join({format, data}), "AVI "), "open E101", false},
        {"fmt chunk of 14 bytes",
         riff(join({chunk("fmt ", Bytes(fields.begin(), fields.begin() + 14)), data})), "open E101",
         false},
        {"extra bytes cut short", riff(chunk("fmt ", adpcmShortExtra)), "open E101", false},
        {"format fields cut short", Bytes(cut.begin(), cut.end() - 6), "open E102", false},
        {"extra size cut short", riff(chunk("fmt ", formatFields(2, 1, 22050, 4))), "open E102",
         false},
        {"no fmt chunk", riff(data), "open 109", false},
        {"no data chunk", riff(join({format, chunk("LIST", textBytes("INFO"))})), pcm + "data 109",
         false},
        {"data header without its bytes", riff(join({format, textBytes("data")})), pcm + "data 109",
         false},
        {"empty data chunk", riff(join({format, chunk("data", {})})),
         pcm + "data 0 size 0 read 0 0", false},
        {"data longer than the file", riff(join({format, chunk("data", samples, 20000)})),
         pcm + "data 0 size 4E20 read E103 0", true},
        {"data of 0xFFFFFFFF", riff(join({format, chunk("data", samples, 0xFFFFFFFF)})),
         pcm + "data 0 size FFFFFFFF read E103 0", true},
        {"data beyond the RIFF chunk", join({riff(format), data}), pcm + "data 109", false},
        {"RIFF ends inside fmt", wave(join({format, data}), 16), pcm + "data 109", false},
        {"RIFF of 0", wave(join({format, data}), 0), "open 109", false},
        {"RIFF of 0x7FFFFFFF", wave(join({format, data}), 0x7FFFFFFF), whole, true},
        {"RIFF of 0xFFFFFFF7", wave(join({format, data}), 0xFFFFFFF7), whole, true},
        {"RIFF of 0xFFFFFFF8", wave(join({format, data}), 0xFFFFFFF8), "open 109", false},
        {"RIFF of 0xFFFFFFFF", wave(join({format, data}), 0xFFFFFFFF), "open 109", false},
        {"fmt of 0x7FFFFFF0", riff(formatOf(0x7FFFFFF0)), pcm + "data 109", false},
        {"fmt of 0x80000000", riff(formatOf(0x80000000)), pcm + "data 109", false},
        {"fmt of 0xFFFFFFF0", riff(formatOf(0xFFFFFFF0)), pcm + "data 109", false},
        {"fmt of 0xFFFFFFFE", riff(formatOf(0xFFFFFFFE)), pcm + "data 109", false},
        {"fmt of 0xFFFFFFFF", riff(formatOf(0xFFFFFFFF)), pcm + "data 109", false},
        // Found by fuzzing: sizes like these once sent the platform's search round for ever.
        {"data of 0xFFFFFFF7 before fmt", riff(join({chunk("data", samples, 0xFFFFFFF7), format})),
         "open 109", false},
        {"junk of 0xFFFFFFFF before fmt", riff(join({chunk("junk", {}, 0xFFFFFFFF), format})),
         "open 109", false},
        {"junk of 0xFFFFFFF7 before data",
         riff(join({format, chunk("junk", {}, 0xFFFFFFF7), data})), pcm + "data 109", false},
        {"fmt\\xff of 0xFFFFFFF7", riff(chunk("fmt\xff", noise(25, 4), 0xFFFFFFF7)), "open 109",
         false},
    };
    ScratchFolder folder;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes arrived;
        EXPECT_EQ(readThrough(folder.write("damaged.wav", c.bytes), &arrived), c.expected);
        EXPECT_EQ(arrived, c.arrives ? samples : Bytes());
    }
}

} // namespace
