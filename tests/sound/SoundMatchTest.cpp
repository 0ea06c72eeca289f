#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "SoundMatch.h"
#include "sound/WaveBytes.h"

using namespace soundmatch;
using namespace wavebytes;

namespace {

const double effectRate = 11025; // low enough to keep the suite quick, high enough for its tones
const double pi = 3.14159265358979323846;

// Stand-ins for the six effects at a rate: each its own pitch range, the flurry four strikes to
// a pass.
Sound tone(double rate, double seconds, double fromHz, double toHz) {
    Sound out;
    out.rate = rate;
    const int count = static_cast<int>(seconds * rate);
    double phase = 0;
    for (int i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / count;
        phase += 2 * pi * (fromHz + (toHz - fromHz) * t) / rate;
        const double envelope = std::sin(pi * t);
        out.samples.push_back(static_cast<float>(0.7 * envelope * std::sin(phase)));
    }
    return out;
}

Sound strikes(double rate) {
    Sound out;
    out.rate = rate;
    for (double hz : {880.0, 1320.0, 990.0, 1320.0}) {
        const Sound strike = tone(rate, 0.1, hz, hz);
        out.samples.insert(out.samples.end(), strike.samples.begin(), strike.samples.end());
    }
    return out;
}

std::vector<Template> effects(double rate = effectRate) {
    return {{"a_", tone(rate, 0.42, 400, 800)},      {"tata", strikes(rate)},
            {"tah", tone(rate, 0.6, 660, 330)},      {"canthear", tone(rate, 1.4, 300, 250)},
            {"muteki", tone(rate, 0.96, 520, 1050)}, {"abeshi", tone(rate, 0.95, 440, 165)}};
}

const Sound& effect(const std::vector<Template>& all, const std::string& name) {
    for (const Template& t : all) {
        if (t.name == name)
            return t.sound;
    }
    throw std::runtime_error("no effect " + name);
}

// A recording as the sound device would write it: the effects made at another rate than the
// matcher's, mixed at their starts, in 16-bit stereo, read back through sox as the recordings
// of the program are.
class Recording {
  public:
    explicit Recording(double seconds) : mix(static_cast<std::size_t>(seconds * rate), 0.0) {}

    void add(const std::string& name, double start, double gain = 0.8, double cutAt = 1e9) {
        const Sound& sound = effect(own, name);
        const long offset = std::lround(start * rate);
        const double cut = cutAt * rate; // far beyond a long where no cut is wanted
        for (std::size_t i = 0; i < sound.samples.size(); ++i) {
            const long at = offset + static_cast<long>(i);
            if (static_cast<double>(at) >= cut || at >= static_cast<long>(mix.size()))
                break;
            mix[static_cast<std::size_t>(at)] += gain * sound.samples[i];
        }
    }

    Sound decoded() const {
        Bytes bytes;
        for (double v : mix) {
            const auto sample = static_cast<std::int16_t>(std::lround(v * 32767));
            put16(bytes, static_cast<std::uint16_t>(sample));
            put16(bytes, static_cast<std::uint16_t>(sample));
        }
        const ScratchFolder folder;
        Sound out;
        EXPECT_TRUE(readSound(folder.write("recording.raw", bytes), "-t s16 -r 32000 -c 2",
                              effectRate, &out));
        return out;
    }

  private:
    const double rate = 32000;
    const std::vector<Template> own = effects(rate);
    std::vector<double> mix;
};

// One sweep heard at `factor` times wall-clock speed: opening cry at `start`, `passes` flurry
// passes, the closing cry `into` seconds into the last pass, then the verdict.
struct Timeline {
    double factor = 2.0;
    double start = 0.5;
    int passes = 9;
    double into = 0.15;
    double closingPause = 1.519;
    bool cutFlurry = false;
    double gapAfterPass = -1; // a pause after this pass, where the loop must have none

    double flurryStart() const { return start + 0.581 * factor; }
    double closing() const { return flurryStart() + (passes - 1) * 0.4 + into + gapShift(); }
    double verdict() const { return closing() + closingPause * factor; }
    double gapShift() const { return gapAfterPass >= 0 ? 0.3 : 0; }

    Sound play(const std::string& verdictName) const {
        Recording out(verdict() + 2.0);
        out.add("a_", start);
        for (int k = 0; k < passes; ++k) {
            const double at =
                flurryStart() + k * 0.4 + (gapAfterPass >= 0 && k > gapAfterPass ? 0.3 : 0);
            out.add("tata", at, 0.8, cutFlurry ? closing() : 1e9);
        }
        out.add("tah", closing());
        out.add(verdictName, verdict());
        return out.decoded();
    }

    // Wall-clock ms from the start to the results, with the verdict's pause kept in full.
    double wallMs(double verdictPause) const {
        return (verdict() - start) / factor * 1000 + verdictPause + 50;
    }
};

// The text of every check that failed, one a line; empty when all passed.
std::string failed(const Report& report) {
    std::string out;
    for (const Check& check : report.checks)
        out += check.passed ? "" : check.text + "\n";
    return out;
}

bool anyFailureMentions(const Report& report, const std::string& words) {
    return failed(report).find(words) != std::string::npos;
}

// The timeline heard as a sweep of `sent` addresses that most answered should sound.
Report checked(const Timeline& timeline, double wallMs = -1, int sent = 64,
               const std::string& verdict = "muteki") {
    const std::vector<Template> all = effects();
    const Sound heard = timeline.play(verdict);
    return checkSweeps(heard, all, findOnsets(heard, all, 0.5),
                       {{{"a_", "tata", "tah", "muteki"}, sent, wallMs}});
}

} // namespace

TEST(SoundMatch, FindsEachEffectWhereItStartsEvenWhereTheyOverlap) {
    const std::vector<Template> all = effects();
    Timeline timeline;
    timeline.passes = 3;
    const Sound heard = timeline.play("abeshi");
    const std::vector<Onset> onsets = findOnsets(heard, all, 0.5);

    const std::vector<std::pair<std::string, double>> expected = {
        {"a_", timeline.start},
        {"tata", timeline.flurryStart()},
        {"tata", timeline.flurryStart() + 0.4},
        {"tata", timeline.flurryStart() + 0.8},
        {"tah", timeline.closing()},
        {"abeshi", timeline.verdict()}};
    ASSERT_EQ(onsets.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(onsets[i].name, expected[i].first) << i;
        EXPECT_NEAR(onsets[i].seconds, expected[i].second, 0.001) << onsets[i].name;
        EXPECT_GT(onsets[i].score, 0.5);
    }
}

TEST(SoundMatch, ARunHeardInOrderAtItsPausesPassesEveryCheck) {
    Timeline timeline;
    const Report report = checked(timeline, timeline.wallMs(1944));
    EXPECT_EQ(failed(report), "");
    EXPECT_NEAR(report.factor, timeline.factor, 0.02);
    // sequence, nothing else, two pauses, back to back, closing cry, plays out, pass count,
    // duration, results after the verdict
    EXPECT_EQ(report.checks.size(), 10u);

    // The loop ended with its pass just before the closing cry was started: also right.
    Timeline late;
    late.into = 0.45;
    EXPECT_EQ(failed(checked(late, late.wallMs(1944))), "");
}

TEST(SoundMatch, FaultsInWhatWasHeardFailTheirCheck) {
    Timeline wrongPause, cutUnfound, cutFound, gap, fewPasses, right;
    wrongPause.closingPause = 0.9;
    cutUnfound.cutFlurry = cutFound.cutFlurry = true;
    cutUnfound.into = 0.1; // the cut pass too short to be found, and found
    cutFound.into = 0.25;
    gap.gapAfterPass = 4;
    fewPasses.passes = 2;
    EXPECT_TRUE(anyFailureMentions(checked(wrongPause), "after the closing cry"));
    EXPECT_TRUE(anyFailureMentions(checked(cutUnfound), "last pass plays out"));
    EXPECT_TRUE(anyFailureMentions(checked(cutFound), "last pass plays out"));
    EXPECT_TRUE(anyFailureMentions(checked(gap), "in that order"));
    EXPECT_TRUE(anyFailureMentions(checked(fewPasses, -1, 200), "flurry passes while"));
    // Results listed as the verdict starts, and the wrong verdict.
    EXPECT_TRUE(anyFailureMentions(checked(right, right.wallMs(0)), "results listed"));
    EXPECT_TRUE(anyFailureMentions(checked(right, -1, 64, "abeshi"), "in that order"));
}

TEST(SoundMatch, ASilentSweepMustBeSilentAndAnExpectedEffectMustBeThere) {
    const std::vector<Template> all = effects();
    Recording quiet(3.0);
    const Sound silence = quiet.decoded();
    // Silent, a sweep still lasts its sending and the grace time after it (2090 ms for three).
    const Report silent = checkSweeps(silence, all, findOnsets(silence, all, 0.5), {{{}, 3, 2500}});
    EXPECT_EQ(failed(silent), "");

    Recording verdictOnly(4.0);
    verdictOnly.add("canthear", 1.0);
    const Sound heard = verdictOnly.decoded();
    const std::vector<Onset> onsets = findOnsets(heard, all, 0.5);
    EXPECT_EQ(failed(checkSweeps(heard, all, onsets, {{{"canthear"}, 3, 3708 + 1000}})), "");
    EXPECT_TRUE(anyFailureMentions(checkSweeps(heard, all, onsets, {{{}, 3, 900}}),
                                   "nothing else was heard"));
    EXPECT_TRUE(
        anyFailureMentions(checkSweeps(heard, all, onsets, {{{"canthear"}, 3, 1200}}), "lasted"));
}

TEST(SoundMatch, ReadsWaveFilesAsTheDeviceAndTheGeneratorWriteThem) {
    // Extensible float, stereo, with the RIFF and data sizes never filled in: read to the end.
    Bytes fields = formatFields(0xFFFE, 2, 48000, 32);
    put16(fields, 22);
    put16(fields, 32);
    put32(fields, 3); // channel mask
    put16(fields, 3); // sub-format: IEEE float
    fields.resize(40);
    Bytes samples;
    for (float v : {0.5f, -0.5f, 0.25f, 0.75f}) {
        std::uint32_t bits;
        std::memcpy(&bits, &v, 4);
        put32(samples, bits);
    }
    const Bytes file = riff(join({chunk("fmt ", fields), chunk("data", samples, 0)}), "WAVE", 0);
    const ScratchFolder folder;
    Sound sound;
    ASSERT_TRUE(readSound(folder.write("extensible.wav", file), "", 48000, &sound));
    EXPECT_EQ(sound.rate, 48000);
    ASSERT_EQ(sound.samples.size(), 2u);
    EXPECT_FLOAT_EQ(sound.samples[0], 0.0f);
    EXPECT_FLOAT_EQ(sound.samples[1], 0.5f);

    EXPECT_FALSE(readSound(folder.write("text.wav", textBytes("this is not a sound at all")), "",
                           48000, &sound));
}
