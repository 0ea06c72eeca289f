#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "SoundMatch.h"

namespace {

using namespace soundmatch;

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: brixle_soundcheck [--input SOX_TYPE] [--threshold T]\n"
                 "         RECORDING EFFECT_FOLDER [--sweep PATTERN [--sent N] [--wall MS]]...\n"
                 "  PATTERN: effect names in order, comma-separated (a_,tata,tah,muteki); the\n"
                 "  flurry (tata) stands for all its passes; - for a silent sweep. SOX_TYPE: how\n"
                 "  sox is to read a recording without a header (\"-t s16 -r 44100 -c 2\").\n"
                 "Prints every onset found, then one ok / not ok line per check; exits 1 when a\n"
                 "check failed, 2 when the files could not be read.\n");
    std::exit(2);
}

std::vector<std::string> splitPattern(const std::string& text) {
    std::vector<std::string> names;
    std::istringstream in(text == "-" ? "" : text);
    for (std::string name; std::getline(in, name, ',');)
        names.push_back(name);
    return names;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string inputType;
    double threshold = 0.5;
    std::vector<std::string> positional;
    std::vector<SweepExpectation> sweeps;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == "--input" && hasValue) {
            inputType = args[++i];
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

    // Matched at the effects' own rate: their content lies well below its Nyquist frequency.
    const double rate = 22050;
    const auto load = [&](const std::string& path, const std::string& type, Sound* sound) {
        if (!readSound(path, type, rate, sound)) {
            std::printf("not ok - cannot read %s\n", path.c_str());
            std::exit(2);
        }
    };
    Sound recording;
    load(positional[0], inputType, &recording);
    std::vector<Template> templates;
    for (const char* name : {"a_", "tata", "tah", "canthear", "muteki", "abeshi"}) {
        templates.push_back({name, {}});
        load(positional[1] + "/" + name + ".wav", "", &templates.back().sound);
    }
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
