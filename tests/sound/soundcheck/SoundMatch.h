#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Finds where known effects start in a recording of what the program played, and checks a
// recorded run of sweeps against the order and pauses the sweeps should have been heard in.
namespace soundmatch {

// Mono samples in [-1, 1] at a known rate.
struct Sound {
    double rate = 0;
    std::vector<float> samples;
};

enum class SampleFormat { s16, s32, f32 };

// How a headerless recording is laid out.
struct RawLayout {
    SampleFormat format = SampleFormat::s16;
    int rate = 0;
    int channels = 0;
};

// Interleaved little-endian frames, channels averaged.
Sound decodeRaw(const std::vector<std::uint8_t>& bytes, const RawLayout& layout);

// A RIFF/WAVE file's PCM (16 or 32 bit integer, 32 bit float; WAVE_FORMAT_EXTENSIBLE too).
// False with a reason when it is no such file.
bool decodeWave(const std::vector<std::uint8_t>& bytes, Sound* out, std::string* why);

// Band-limited change of rate (windowed sinc); the same sound at the new rate.
Sound resample(const Sound& in, double rate);

struct Template {
    std::string name;
    Sound sound;
};

struct Onset {
    std::string name;
    double seconds = 0; // in recording time
    double score = 0;   // normalised cross-correlation, at most 1
};

// Every place where a template starts in the recording with a normalised cross-correlation of at
// least threshold, strongest within half a template length either side, in time order. All
// sounds must already share one rate.
std::vector<Onset> findOnsets(const Sound& recording, const std::vector<Template>& templates,
                              double threshold);

// What one sweep should sound like. pattern: effect names in order, "tata" standing for one or
// more back-to-back passes of the flurry; empty for a silent sweep.
struct SweepExpectation {
    std::vector<std::string> pattern;
    int sent = 0;       // addresses swept; 0 when unknown
    double wallMs = -1; // from the buttons going grey to their coming back; < 0 when unknown
};

struct Check {
    bool passed = false;
    std::string text;
};

struct Report {
    std::vector<Check> checks;
    std::vector<std::string> notes;
    double factor = 0; // recording seconds per wall-clock second, 0 when it could not be told
};

// Checks the sequence first; times only what was heard as expected. The recording and the
// templates (named a_, tata, tah, ...) share one rate; tata's length is one flurry pass.
Report checkSweeps(const Sound& recording, const std::vector<Template>& templates,
                   const std::vector<Onset>& onsets, const std::vector<SweepExpectation>& sweeps);

// The gain at which the flurry's pass starting at passStart sounds in the recording between
// from and to, with the closing cry (starting at closingStart) taken out where it overlaps.
// About the flurry's usual gain where the pass plays, near 0 where it was cut off.
double flurryGainBetween(const Sound& recording, const Sound& flurry, const Sound& closing,
                         double passStart, double closingStart, double from, double to);

// The gain at which a template sounds in the recording at the given start.
double gainAt(const Sound& recording, const Sound& effect, double start);

} // namespace soundmatch
