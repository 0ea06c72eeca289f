#include "sound/WaveReader.h"

#include <gtest/gtest.h>

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

TEST_F(WaveReaderTest, RefusesFilesItCannotUse) {
    Bytes adpcmShortExtra = formatFields(2, 1, 22050, 4);
    put16(adpcmShortExtra, 40); // announces 40 extra bytes, the file holds 6
    adpcmShortExtra.resize(adpcmShortExtra.size() + 6);

    const Bytes fields = formatFields(1, 1, 22050, 16);
    const Bytes cut = riff(chunk("fmt ", fields));
    struct Case {
        const char* what;
        Bytes bytes;
        int expected;
    } cases[] = {
        {"not RIFF", join({textBytes("RIFX"), riff(pcmFormat())}), 0xE101},
        {"form type not WAVE", riff(join({pcmFormat(), chunk("data", noise(8, 7))}), "AVI "),
         0xE101},
        {"fmt chunk of 14 bytes",
         riff(join({chunk("fmt ", Bytes(fields.begin(), fields.begin() + 14)),
                    chunk("data", noise(8, 8))})),
         0xE101},
        {"extra bytes cut short", riff(chunk("fmt ", adpcmShortExtra)), 0xE101},
        {"format fields cut short", Bytes(cut.begin(), cut.end() - 6), 0xE102},
        {"extra size cut short", riff(chunk("fmt ", formatFields(2, 1, 22050, 4))), 0xE102},
        {"no fmt chunk", riff(chunk("data", noise(8, 9))), MMIOERR_CHUNKNOTFOUND},
        {"shorter than a chunk header", textBytes("RIFF"), MMIOERR_CHUNKNOTFOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        file = reinterpret_cast<HMMIO>(&riffChunk); // must be overwritten with none
        format = reinterpret_cast<WAVEFORMATEX*>(&riffChunk);
        const std::string path = folder.write("bad.wav", c.bytes);
        EXPECT_EQ(waveOpen(path.c_str(), &file, &format, &riffChunk), c.expected);
        EXPECT_EQ(file, nullptr);
        EXPECT_EQ(format, nullptr);
    }

    file = reinterpret_cast<HMMIO>(&riffChunk);
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

TEST_F(WaveReaderTest, FailsWhenTheDataChunkRunsPastTheEndOfTheFile) {
    const Bytes samples = noise(500, 14);
    openToData(
        folder.write("truncated.wav", riff(join({pcmFormat(), chunk("data", samples, 20000)}))));
    EXPECT_EQ(dataChunk.cksize, 20000u);

    Bytes out(20000);
    UINT count = 77;
    EXPECT_EQ(waveRead(file, 20000, out.data(), &dataChunk, &count), 0xE103);
    EXPECT_EQ(count, 0u);
    // The bytes that were there did arrive, in order.
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), out.begin()));
}

} // namespace

namespace {

// Found by fuzzing: a chunk declaring nearly 4 GiB made the chunk search wrap round to the
// start of the file and search for ever. It must be refused, and promptly.
TEST_F(WaveReaderTest, RefusesAChunkSizeBeyondTheReachOfFileOffsets) {
    Bytes file = riff(join({textBytes("fmt\xff"), Bytes{0xF7, 0xFF, 0xFF, 0xFF}, noise(25, 4)}));
    EXPECT_NE(waveOpen(folder.write("huge.wav", file).c_str(), &this->file, &format, &riffChunk),
              0);
    EXPECT_EQ(this->file, nullptr);
    EXPECT_EQ(format, nullptr);

    // A usable "fmt " chunk that claims nearly 4 GiB hides the "data" chunk behind it.
    Bytes fields = pcmFormat();
    fields[4] = 0xF0, fields[5] = 0xFF, fields[6] = 0xFF, fields[7] = 0xFF;
    const std::string path =
        folder.write("huge-format.wav", riff(join({fields, chunk("data", noise(16, 5))})));
    if (waveOpen(path.c_str(), &this->file, &format, &riffChunk) == 0) {
        EXPECT_EQ(waveSeekData(this->file, &dataChunk, &riffChunk), MMIOERR_CHUNKNOTFOUND);
    }
}

} // namespace
