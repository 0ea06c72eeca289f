#include "engine/SoundScript.h"
#include "seams/Seams.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/Louncher.h"
#include "fakes/FakeDirectSound.h"
#include "sound/SoundDevice.h"
#include "sound/WaveBytes.h"

using namespace wavebytes;

namespace {

typedef std::vector<std::string> Events;

const char* const allEffects[] = {"a_.wav",       "tata.wav",   "tah.wav",
                                  "canthear.wav", "muteki.wav", "abeshi.wav"};

// The script's pauses are recorded in the device's event list instead of being slept, and give
// the test its chance to act as the sweep's other threads at exactly that point.
FakeDirectSound* watchedDevice = nullptr;
std::function<void(DWORD)> duringPause;
Louncher* watchedSweep = nullptr;
int pausesLeft = 0;

void recordPause(DWORD milliseconds, const std::atomic<std::uint8_t>&) {
    watchedDevice->record("pause " + std::to_string(milliseconds));
    // A script that waits on and on would hang the suite: end its flurry wait and fail.
    if (--pausesLeft == 0) {
        ADD_FAILURE() << "the script is still pausing after 1000 pauses";
        watchedSweep->phase.store(3);
    }
    if (duringPause)
        duringPause(milliseconds);
}

// What the device was asked, in order, as one text.
std::string heard(const FakeDirectSound& device) {
    std::string out;
    for (const std::string& event : device.events)
        out += (out.empty() ? "" : ", ") + event;
    return out;
}

class SoundScriptTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(SoundDevice::buffer, nullptr);
        SoundDevice::device = &device;
        watchedDevice = &device;
        watchedSweep = &louncher;
        pausesLeft = 1000;
        seams::soundScriptPause = recordPause;
        for (const char* name : allEffects)
            folder.write(name, pcmWave(textBytes(name)));
        // Sending is over after the third look at the phase during the flurry.
        duringPause = [this](DWORD milliseconds) {
            EXPECT_EQ(louncher.done.load(), 0) << "done before the script's last pause";
            if (milliseconds == 100 && ++flurryLooks == 3)
                louncher.phase.store(3);
        };
        louncher.sentCount_.store(10);
        louncher.hitCount_.store(8);
        // With the effects' pauses the receiver's grace time is over when the script ends.
        louncher.graceOver.store(1);
    }
    void TearDown() override {
        seams::soundScriptPause = original;
        duringPause = nullptr;
        releaseSound();
        SoundDevice::device = nullptr;
        watchedDevice = nullptr;
        watchedSweep = nullptr;
    }

    void run() {
        soundScript(&louncher);
        EXPECT_EQ(louncher.done.load(), 1);
    }

    ScratchFolder folder;
    InFolder inFolder{folder.path()};
    FakeDirectSound device;
    Louncher louncher;
    int flurryLooks = 0;
    seams::Pause original = seams::soundScriptPause;
};

TEST_F(SoundScriptTest, PlaysTheEffectsInStepWithTheSweep) {
    run();
    EXPECT_EQ(heard(device), "rewind a_.wav 0, play a_.wav 0, pause 581, "
                             "rewind tata.wav 0, play tata.wav 1, pause 100, pause 100, pause 100, "
                             "play tata.wav 0, " // the loop ends after its current pass
                             "rewind tah.wav 0, play tah.wav 0, pause 1519, "
                             "rewind muteki.wav 0, play muteki.wav 0, pause 1944");
    EXPECT_EQ(louncher.phase.load(), 4);
}

TEST_F(SoundScriptTest, ChoosesTheVerdictFromTheCountsAfterTheClosingCry) {
    const struct {
        int sent;
        int hits;
        const char* file;
        int pause;
    } cases[] = {
        {10, 8, "muteki.wav", 1944}, // exactly 80 % is enough
        {10, 7, "abeshi.wav", 2268},
        {5, 4, "muteki.wav", 1944}, // 5 * 0.8 is 4 once rounded to double
        {15, 12, "muteki.wav", 1944},
        {3, 2, "abeshi.wav", 2268},
        {256, 0, "canthear.wav", 3708},
        {0, 0, "canthear.wav", 3708},
        {4, 9, "muteki.wav", 1944}, // answers from outside the range
        {1000000, 799999, "abeshi.wav", 2268},
        {1000000, 800000, "muteki.wav", 1944},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.hits) + " of " + std::to_string(c.sent));
        device.events.clear();
        louncher.phase.store(1);
        louncher.done.store(0);
        flurryLooks = 0;
        // Counts as they stand after the closing cry are the ones that count.
        louncher.sentCount_.store(1);
        louncher.hitCount_.store(1);
        const auto sweep = duringPause;
        duringPause = [&](DWORD milliseconds) {
            sweep(milliseconds);
            if (milliseconds == 1519) {
                louncher.sentCount_.store(c.sent);
                louncher.hitCount_.store(c.hits);
            }
        };
        // Losing the verdict's buffer shows the effect number: the reload goes by the number.
        device.loseOnFirstPlay.insert(c.file);
        run();
        duringPause = sweep;
        const std::string file = c.file;
        const Events tail(device.events.end() - 5, device.events.end());
        EXPECT_EQ(tail, (Events{"rewind " + file + " 0", "play " + file + " 0", "restore " + file,
                                "play " + file + " 0", "pause " + std::to_string(c.pause)}));
        device.last()->finishPlaying();
    }
}

TEST_F(SoundScriptTest, TheFirstThreeEffectsCarryThePhaseAsTheirNumber) {
    // Lost buffers are reloaded by number: 1, 2 and 3 name the opening, flurry and closing.
    device.loseOnFirstPlay = {"a_.wav", "tata.wav", "tah.wav"};
    run();
    EXPECT_EQ(heard(device),
              "rewind a_.wav 0, play a_.wav 0, restore a_.wav, play a_.wav 0, pause 581, "
              // the lost flurry comes back as a single pass...
              "rewind tata.wav 0, play tata.wav 1, restore tata.wav, play tata.wav 0, "
              // ...and the wait for sending to end is made all the same
              "pause 100, pause 100, pause 100, play tata.wav 0, "
              "rewind tah.wav 0, play tah.wav 0, restore tah.wav, play tah.wav 0, pause 1519, "
              "rewind muteki.wav 0, play muteki.wav 0, pause 1944");
}

TEST_F(SoundScriptTest, SendingOverBeforeTheFlurryMakesItASinglePass) {
    duringPause = [this](DWORD milliseconds) {
        if (milliseconds == 581)
            louncher.phase.store(3); // the receiver saw the end of a short range already
    };
    device.loseOnFirstPlay = {"tata.wav"}; // shows the number the flurry was given: 4
    run();
    EXPECT_EQ(heard(device), "rewind a_.wav 0, play a_.wav 0, pause 581, "
                             "rewind tata.wav 0, play tata.wav 1, restore tata.wav, "
                             "play abeshi.wav 0, play abeshi.wav 0, "
                             "rewind tah.wav 0, play tah.wav 0, pause 1519, "
                             "rewind muteki.wav 0, play muteki.wav 0, pause 1944");
    EXPECT_EQ(louncher.phase.load(), 5);
}

TEST_F(SoundScriptTest, MissingEffectsSkipTheirSoundAndTheirPause) {
    for (const char* name : allEffects)
        std::filesystem::remove(folder.path() / name);
    // Without their pauses the script ends before the receiver's grace time after sending: the
    // receiver ends the sweep then, as without sound, so late replies still count.
    louncher.graceOver.store(0);
    soundScript(&louncher);
    EXPECT_EQ(device.events, (Events{"pause 100", "pause 100", "pause 100"}));
    EXPECT_EQ(louncher.phase.load(), 4);
    EXPECT_EQ(louncher.done.load(), 0) << "ended before the grace time";
    EXPECT_EQ(louncher.scriptEnded.load(), 1);
    louncher.graceOver.store(1);

    // Only the verdict missing: done follows the closing cry's pause at once.
    for (const char* name : allEffects)
        folder.write(name, pcmWave(textBytes(name)));
    std::filesystem::remove(folder.path() / "muteki.wav");
    louncher.phase.store(1);
    louncher.done.store(0);
    flurryLooks = 0;
    device.events.clear();
    run();
    ASSERT_FALSE(device.events.empty());
    EXPECT_EQ(device.events.back(), "pause 1519");
}

// The sender may still be running: a failing script must not end the sweep itself, but leave
// it to the receiver's grace time, as without sound; sound shows no message.
TEST_F(SoundScriptTest, AFailureHandsTheEndOfTheSweepToTheReceiver) {
    duringPause = [](DWORD) { throw std::runtime_error("sound thread trouble"); };
    EXPECT_NO_THROW(soundScript(&louncher));
    EXPECT_EQ(louncher.done.load(), 0);
    EXPECT_EQ(louncher.soundOn.load(), 0);
    EXPECT_EQ(louncher.failureMessage(), "");

    // Out of memory as well, which a device may throw as it makes a buffer.
    louncher.soundOn.store(1);
    duringPause = nullptr;
    device.beforeCreate = [] { throw std::bad_alloc(); };
    EXPECT_NO_THROW(soundScript(&louncher));
    EXPECT_EQ(louncher.done.load(), 0);
    EXPECT_EQ(louncher.soundOn.load(), 0);
}

TEST_F(SoundScriptTest, RunsOnItsOwnThreadBesideTheSweep) {
    // The pauses pass quickly; this thread plays the receiver instead.
    duringPause = [](DWORD) { Sleep(1); };
    louncher.hitCount_.store(0);
    std::thread sound(soundScript, &louncher);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (louncher.phase.load() != 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(louncher.phase.load(), 2) << "the flurry never began";
    Sleep(20);
    louncher.sentCount_.store(4);
    louncher.hitCount_.store(4);
    louncher.phase.store(3);
    sound.join();
    EXPECT_EQ(louncher.done.load(), 1);
    EXPECT_EQ(louncher.phase.load(), 4);
    ASSERT_FALSE(device.events.empty());
    EXPECT_EQ(device.events.back(), "pause 1944");
}

} // namespace
