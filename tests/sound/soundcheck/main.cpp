#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "SoundMatch.h"

namespace {

using namespace soundmatch;

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: brixle_soundcheck [--raw s16|s32|f32:RATE:CHANNELS] [--threshold T]\n"
                 "         RECORDING EFFECT_FOLDER [--sweep PATTERN [--sent N] [--wall MS]]...\n"
                 "  PATTERN: effect names in order, comma-separated (a_,tata,tah,muteki); the\n"
                 "  flurry (tata) stands for all its passes; - for a silent sweep.\n"
                 "Prints every onset found, then one ok / not ok line per check; exits 1 when a\n"
                 "check failed, 2 when the files could not be read.\n");
    std::exit(2);
}

std::vector<std::uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::printf("not ok - cannot read %s\n", path.c_str());
        std::exit(2);
    }
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>());
}

bool parseRaw(const std::string& text, RawLayout* layout) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    const std::string format = text.substr(0, colon);
    if (format == "s16")
        layout->format = SampleFormat::s16;
    else if (format == "s32")
        layout->format = SampleFormat::s32;
    else if (format == "f32")
        layout->format = SampleFormat::f32;
    else
        return false;
    return std::sscanf(text.c_str() + colon + 1, "%d:%d", &layout->rate, &layout->channels) == 2 &&
           layout->rate > 0 && layout->channels > 0;
}

std::vector<std::string> splitPattern(const std::string& text) {
    std::vector<std::string> names;
    if (text == "-")
        return names;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        names.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos)
            return names;
        start = comma + 1;
    }
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    RawLayout raw;
    bool isRaw = false;
    double threshold = 0.5;
    std::vector<std::string> positional;
    std::vector<SweepExpectation> sweeps;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == "--raw" && hasValue) {
            isRaw = parseRaw(args[++i], &raw);
            if (!isRaw)
                usage();
        } else if (args[i] == "--threshold" && hasValue) {
            threshold = std::atof(args[++i].c_str());
        } else if (args[i] == "--sweep" && hasValue) {
            sweeps.push_back({splitPattern(args[++i]), 0, -1});
        } else if (args[i] == "--sent" && hasValue && !sweeps.empty()) {
            sweeps.back().sent = std::atoi(args[++i].c_str());
        } else if (args[i] == "--wall" && hasValue && !sweeps.empty()) {
            sweeps.back().wallMs = std::atof(args[++i].c_str());
        } else if (args[i].rfind("--", 0) == 0) {
            usage();
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() != 2)
        usage();

    const std::vector<std::uint8_t> bytes = readAll(positional[0]);
    Sound recording;
    std::string why;
    if (isRaw) {
        recording = decodeRaw(bytes, raw);
    } else if (!decodeWave(bytes, &recording, &why)) {
        std::printf("not ok - %s: %s\n", positional[0].c_str(), why.c_str());
        return 2;
    }

    // Matched at the effects' own rate: their content lies well below its Nyquist frequency.
    std::vector<Template> templates;
    for (const char* name : {"a_", "tata", "tah", "canthear", "muteki", "abeshi"}) {
        const std::string path = positional[1] + "/" + name + ".wav";
        Template effect{name, {}};
        if (!decodeWave(readAll(path), &effect.sound, &why)) {
            std::printf("not ok - %s: %s\n", path.c_str(), why.c_str());
            return 2;
        }
        templates.push_back(effect);
    }
    const double rate = templates.front().sound.rate;
    for (Template& effect : templates)
        effect.sound = resample(effect.sound, rate);
    recording = resample(recording, rate);
    std::printf("# recording: %.3f s\n", static_cast<double>(recording.samples.size()) / rate);

    const std::vector<Onset> onsets = findOnsets(recording, templates, threshold);
    for (const Onset& onset : onsets)
        std::printf("# onset %9.4f s %-8s %.3f\n", onset.seconds, onset.name.c_str(), onset.score);
    if (sweeps.empty())
        return 0;

    const Report report = checkSweeps(recording, templates, onsets, sweeps);
    for (const std::string& note : report.notes)
        std::printf("# %s\n", note.c_str());
    int failed = 0;
    for (const Check& check : report.checks) {
        std::printf("%s - %s\n", check.passed ? "ok" : "not ok", check.text.c_str());
        failed += check.passed ? 0 : 1;
    }
    return failed == 0 ? 0 : 1;
}
