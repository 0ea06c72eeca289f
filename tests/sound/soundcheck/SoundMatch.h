#pragma once

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

// A sound file as sox (Debian's) reads it, channels averaged, at the given rate; a WAV whose
// sizes were never filled in is read to its end. inputType: sox's words for a file without a
// header ("-t s16 -r 44100 -c 2"), empty for a WAV. False when sox could not (it says why).
bool readSound(const std::string& path, const std::string& inputType, double rate, Sound* out);

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

} // namespace soundmatch
