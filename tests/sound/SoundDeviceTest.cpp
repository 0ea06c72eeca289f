#include "sound/SoundDevice.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <string>
#include <vector>

#include "fakes/FakeDirectSound.h"
#include "sound/WaveBytes.h"

using namespace wavebytes;

namespace {

typedef std::vector<std::string> Events;

class SoundDeviceTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(SoundDevice::buffer, nullptr);
        SoundDevice::device = &device;
    }
    void TearDown() override {
        releaseSound();
        EXPECT_EQ(device.references, 0);
        EXPECT_EQ(device.liveBuffers(), 0) << "a buffer was never released";
        SoundDevice::device = nullptr;
    }

    // An effect file whose samples spell its own name, so the fake can tell effects apart.
    void effect(const std::string& name) { folder.write(name, pcmWave(textBytes(name))); }

    ScratchFolder folder;
    InFolder inFolder{folder.path()};
    FakeDirectSound device;
};

TEST_F(SoundDeviceTest, NothingHappensBeforeAnyEffectIsLoaded) {
    playEffect(1, 0);
    playEffect(2, DSBPLAY_LOOPING);
    endLoop();
    EXPECT_TRUE(device.events.empty());
    EXPECT_EQ(SoundDevice::buffer, nullptr);
}

TEST_F(SoundDeviceTest, LoadsTheWholeEffectIntoAStaticBufferOfItsOwnSize) {
    const Bytes samples = noise(30001, 21);
    folder.write("a_.wav", riff(join({pcmFormat(2, 44100, 16), chunk("data", samples)})));
    ASSERT_TRUE(loadEffect(SoundDevice::device, "a_.wav"));

    FakeSoundBuffer* made = device.last();
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(SoundDevice::buffer, made);
    EXPECT_EQ(made->description.dwSize, sizeof(void*) == 4 ? 20u : 24u);
    EXPECT_EQ(made->description.dwFlags, static_cast<DWORD>(DSBCAPS_STATIC));
    EXPECT_EQ(made->description.dwBufferBytes, samples.size());
    EXPECT_EQ(made->format.nChannels, 2);
    EXPECT_EQ(made->format.nSamplesPerSec, 44100u);
    EXPECT_EQ(made->memory, samples);
    EXPECT_FALSE(made->locked);
    EXPECT_EQ(made->unlockedBytes, samples.size());

    playEffect(1, 0);
    EXPECT_EQ(device.events,
              (Events{"rewind " + made->name() + " 0", "play " + made->name() + " 0"}));
}

TEST_F(SoundDeviceTest, AFailedLoadLeavesTheCurrentEffectSounding) {
    effect("a_.wav");
    folder.write("short.wav", riff(join({pcmFormat(), chunk("data", noise(100, 22), 5000)})));
    folder.write("claims.wav",
                 riff(join({pcmFormat(), chunk("data", noise(1024, 23), 256u << 20)})));
    folder.write("nodata.wav", riff(pcmFormat()));
    folder.write("broken.wav", textBytes("not a wave file at all"));
    ASSERT_TRUE(loadEffect(SoundDevice::device, "a_.wav"));
    IDirectSoundBuffer* sounding = SoundDevice::buffer;
    playEffect(1, DSBPLAY_LOOPING);

    const auto failsAndChangesNothing = [&](const char* file) {
        SCOPED_TRACE(file);
        device.events.clear();
        EXPECT_FALSE(loadEffect(SoundDevice::device, file));
        EXPECT_EQ(SoundDevice::buffer, sounding);
        EXPECT_TRUE(device.buffers.front()->playing);
        EXPECT_EQ(device.buffers.front()->references, 1);
        EXPECT_TRUE(device.events.empty());
        // Whatever the device made for the failed load is gone again.
        EXPECT_EQ(device.liveBuffers(), 1);
    };
    failsAndChangesNothing("missing.wav");
    failsAndChangesNothing("broken.wav");
    failsAndChangesNothing("nodata.wav");
    failsAndChangesNothing("short.wav");  // data chunk longer than the file
    failsAndChangesNothing("claims.wav"); // 1 KB that declares 256 MB
    // No buffer is ever sized beyond what its file holds.
    for (DWORD size : device.asked)
        EXPECT_LE(size, 1024u);
    device.refuseBuffers = true;
    failsAndChangesNothing("a_.wav");
    device.refuseBuffers = false;
    device.failLocks = true;
    failsAndChangesNothing("a_.wav");
    device.failLocks = false;

    endLoop(); // the effect that was sounding is still the one to end
    EXPECT_EQ(device.events, (Events{"play a_.wav 0"}));
}

TEST_F(SoundDeviceTest, ALostBufferIsReloadedAndPlaysOnce) {
    const struct {
        int effectNumber;
        const char* loaded;
        const char* reloaded;
    } cases[] = {
        {2, "tata.wav", "tata.wav"},      {1, "a_.wav", "a_.wav"},
        {3, "tah.wav", "tah.wav"},        {11, "canthear.wav", "canthear.wav"},
        {12, "muteki.wav", "muteki.wav"}, {13, "abeshi.wav", "abeshi.wav"},
        {4, "tata.wav", "abeshi.wav"},    {-1, "tata.wav", "abeshi.wav"},
    };
    for (const char* name :
         {"a_.wav", "tata.wav", "tah.wav", "canthear.wav", "muteki.wav", "abeshi.wav"})
        effect(name);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.effectNumber);
        ASSERT_TRUE(loadEffect(SoundDevice::device, c.loaded));
        FakeSoundBuffer* lostOne = device.last();
        lostOne->lost = true;
        device.events.clear();

        playEffect(c.effectNumber, DSBPLAY_LOOPING);
        const std::string lostName = c.loaded;
        EXPECT_EQ(device.events,
                  (Events{"rewind " + lostName + " 0", "play " + lostName + " 1",
                          "restore " + lostName, "play " + std::string(c.reloaded) + " 0"}));
        FakeSoundBuffer* fresh = device.last();
        ASSERT_NE(fresh, lostOne);
        EXPECT_EQ(SoundDevice::buffer, fresh);
        EXPECT_TRUE(fresh->playing);
        EXPECT_EQ(fresh->playFlags, 0u) << "a reloaded loop must play a single pass";
        fresh->finishPlaying();
    }
}

TEST_F(SoundDeviceTest, NothingPlaysWhenTheLostBufferCannotBeRecovered) {
    effect("tata.wav");
    ASSERT_TRUE(loadEffect(SoundDevice::device, "tata.wav"));
    FakeSoundBuffer* lostOne = device.last();

    // Restore fails: the buffer stays current, nothing else is made or played.
    lostOne->lost = true;
    lostOne->restoreFails = true;
    playEffect(2, DSBPLAY_LOOPING);
    EXPECT_EQ(SoundDevice::buffer, lostOne);
    EXPECT_EQ(device.buffers.size(), 1u);
    EXPECT_EQ(lostOne->plays, 0);

    // Restored, but the file is gone: the emptied buffer must not be played by a later endLoop.
    lostOne->restoreFails = false;
    std::filesystem::remove(folder.path() / "tata.wav");
    device.events.clear();
    playEffect(2, DSBPLAY_LOOPING);
    endLoop();
    EXPECT_EQ(device.events, (Events{"rewind tata.wav 0", "play tata.wav 1", "restore tata.wav"}));
    EXPECT_EQ(lostOne->plays, 0);
    EXPECT_EQ(lostOne->references, 0);
}

// Replaced buffers the sound device still holds because they were sounding when last looked
// at: every live buffer but the current one.
int heldBuffers(const FakeDirectSound& device) {
    return device.liveBuffers() - (SoundDevice::buffer != nullptr ? 1 : 0);
}

TEST_F(SoundDeviceTest, ReplacedBuffersPlayOnAndAreReleasedOnceQuiet) {
    for (const char* name : {"a_.wav", "tata.wav", "tah.wav"})
        effect(name);
    ASSERT_TRUE(loadEffect(SoundDevice::device, "tata.wav"));
    playEffect(2, DSBPLAY_LOOPING);
    endLoop();
    FakeSoundBuffer* flurry = device.last();
    ASSERT_TRUE(loadEffect(SoundDevice::device, "tah.wav"));
    playEffect(3, 0);

    // The flurry still sounds its last pass: neither stopped nor released.
    EXPECT_TRUE(flurry->playing);
    EXPECT_EQ(flurry->references, 1);
    EXPECT_EQ(heldBuffers(device), 1);

    flurry->finishPlaying();
    ASSERT_TRUE(loadEffect(SoundDevice::device, "a_.wav"));
    EXPECT_EQ(flurry->references, 0);
    EXPECT_EQ(heldBuffers(device), 1); // the closing cry, still sounding

    // Sweep after sweep, with every effect over before the next load, nothing piles up.
    for (const auto& buffer : device.buffers)
        buffer->finishPlaying();
    for (int i = 0; i < 200; ++i) {
        device.last()->finishPlaying();
        ASSERT_TRUE(loadEffect(SoundDevice::device, i % 2 ? "tah.wav" : "a_.wav"));
        playEffect(1, 0);
        ASSERT_LE(heldBuffers(device), 1);
        ASSERT_LE(device.liveBuffers(), 3);
    }
    for (const std::string& event : device.events)
        EXPECT_NE(event.rfind("cut ", 0), 0u) << "an effect was cut off while sounding";
}

TEST(SoundDeviceSetup, ReportsWhetherTheDeviceCameUp) {
    // Natively there is never a device; under Wine it depends on the machine's audio.
    const bool ready = initSound(nullptr, nullptr, nullptr);
    EXPECT_EQ(SoundDevice::device != nullptr, ready);
    releaseSound();
    EXPECT_EQ(SoundDevice::device, nullptr);
    EXPECT_EQ(SoundDevice::buffer, nullptr);
}

// The engine releases the sound at program exit, from its destructor, and the statics of
// different files are destroyed in no fixed order. This file's are built before the sound
// library's, so destroyed after them, as the program's engine is.
FakeDirectSound* deviceAtExit = nullptr;
struct ReleaseAtExit {
    ~ReleaseAtExit() {
        if (deviceAtExit == nullptr)
            return;
        releaseSound();
        std::_Exit(deviceAtExit->liveBuffers() == 0 && deviceAtExit->references == 0 ? 0 : 3);
    }
} releaseAtExit;

TEST(SoundDeviceTeardown, ReleasesFromAStaticDestroyedAfterTheSoundFiles) {
    // Earlier sweeps' threads may still be ending: a child that only forks could inherit a lock.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            deviceAtExit = new FakeDirectSound; // outlives every static
            SoundDevice::device = deviceAtExit;
            {
                ScratchFolder folder;
                InFolder inFolder{folder.path()};
                folder.write("a_.wav", pcmWave(textBytes("a_.wav")));
                folder.write("tata.wav", pcmWave(textBytes("tata.wav")));
                loadEffect(SoundDevice::device, "a_.wav");
                playEffect(1, 0); // still sounding when replaced: held until the end
                loadEffect(SoundDevice::device, "tata.wav");
            }
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

} // namespace
