#include "SoundMatch.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <map>

namespace soundmatch {

namespace {

const double pi = 3.14159265358979323846;

// One word for the shell, whatever it holds.
std::string quoted(const std::string& word) {
    std::string out = "'";
    for (char c : word)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

typedef std::complex<double> Complex;

// Written out: the library's operator checks for infinities on every call, which costs more
// than the arithmetic here.
Complex times(const Complex& a, const Complex& b) {
    return Complex(a.real() * b.real() - a.imag() * b.imag(),
                   a.real() * b.imag() + a.imag() * b.real());
}

void fft(std::vector<Complex>& a, bool inverse) {
    const std::size_t n = a.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(a[i], a[j]);
    }
    for (std::size_t length = 2; length <= n; length <<= 1) {
        const double angle = 2 * pi / static_cast<double>(length) * (inverse ? 1 : -1);
        const Complex step(std::cos(angle), std::sin(angle));
        for (std::size_t start = 0; start < n; start += length) {
            Complex w(1);
            for (std::size_t k = 0; k < length / 2; ++k) {
                const Complex u = a[start + k];
                const Complex v = times(a[start + k + length / 2], w);
                a[start + k] = u + v;
                a[start + k + length / 2] = u - v;
                w = times(w, step);
            }
        }
    }
    if (inverse) {
        for (Complex& x : a)
            x /= static_cast<double>(n);
    }
}

// Normalised cross-correlation of the template at every start in the recording, by FFT in
// overlapping blocks so that a long recording needs no giant transform.
std::vector<float> correlate(const std::vector<float>& x, const std::vector<float>& y) {
    const std::size_t n = x.size(), length = y.size();
    std::vector<float> out;
    if (length == 0 || n < length)
        return out;
    out.assign(n - length + 1, 0.0f);

    double templateEnergy = 0;
    for (float v : y)
        templateEnergy += static_cast<double>(v) * v;
    if (templateEnergy <= 0)
        return out;
    std::vector<double> running(n + 1, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        running[i + 1] = running[i] + static_cast<double>(x[i]) * x[i];

    std::size_t size = 1 << 14;
    while (size < 4 * length)
        size <<= 1;
    std::vector<Complex> spectrum(size);
    for (std::size_t i = 0; i < length; ++i)
        spectrum[i] = y[i];
    fft(spectrum, false);

    const std::size_t valid = size - length + 1;
    std::vector<Complex> block(size);
    for (std::size_t start = 0; start < out.size(); start += valid) {
        for (std::size_t i = 0; i < size; ++i)
            block[i] = start + i < n ? x[start + i] : 0.0f;
        fft(block, false);
        for (std::size_t i = 0; i < size; ++i)
            block[i] = times(block[i], std::conj(spectrum[i]));
        fft(block, true);
        for (std::size_t lag = 0; lag < valid && start + lag < out.size(); ++lag) {
            const std::size_t at = start + lag;
            const double energy = running[at + length] - running[at];
            // Digital silence, or the faint tail of something, matches nothing.
            if (energy < 1e-9 * static_cast<double>(length))
                continue;
            out[at] = static_cast<float>(block[lag].real() / std::sqrt(energy * templateEnergy));
        }
    }
    return out;
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names)
        out += (out.empty() ? "" : " ") + name;
    return out.empty() ? "silence" : out;
}

// The script's pauses after starting each effect, in ms; the flurry has none of its own.
double pauseAfter(const std::string& name) {
    static const std::map<std::string, double> pauses = {
        {"a_", 581}, {"tah", 1519}, {"canthear", 3708}, {"muteki", 1944}, {"abeshi", 2268}};
    const auto found = pauses.find(name);
    return found == pauses.end() ? 0 : found->second;
}

bool isVerdict(const std::string& name) {
    return name == "canthear" || name == "muteki" || name == "abeshi";
}

const std::string flurry = "tata";

// One effect as heard: a single onset, or the back-to-back passes of the flurry.
struct Heard {
    std::string name;
    std::vector<double> starts;
};

std::vector<Heard> collapse(const std::vector<Onset>& onsets, double loopSeconds) {
    std::vector<Heard> heard;
    for (const Onset& onset : onsets) {
        if (onset.name == flurry && !heard.empty() && heard.back().name == flurry &&
            std::fabs(onset.seconds - heard.back().starts.back() - loopSeconds) <
                0.1 * loopSeconds) {
            heard.back().starts.push_back(onset.seconds);
            continue;
        }
        heard.push_back({onset.name, {onset.seconds}});
    }
    return heard;
}

struct SweepHeard {
    std::map<std::string, double> at; // onset of each single effect
    std::vector<double> passes;       // flurry pass starts
    std::string verdict;
    double first = -1;
    std::string firstName;
};

// Sending takes 30 ms an address; the receiver notices its end within one 1 s wait; the flurry
// looks at the phase every 100 ms.
const double perAddress = 0.030;
const double receiverSlice = 1.0;
const double flurryLook = 0.1;
// However few effects played, a sweep waits this long after sending for late replies.
const double graceSeconds = 2.0;
// A busy machine only ever makes the script late: a pause, a reaction or a sweep runs longer,
// never shorter. Lower bounds are the script's; above them only a hang fails (this many
// seconds late), since how late a loaded machine is belongs to no functional check.
const double hangSeconds = 3.0;

// The gain at which the flurry's pass starting at passStart sounds in the recording between
// from and to, with the closing cry (starting at closingStart) taken out where it overlaps.
// About the flurry's usual gain where the pass plays, near 0 where it was cut off. With no
// closing cry, the gain of any effect at its start.
double gainBetween(const Sound& recording, const Sound& flurry, double passStart, double from,
                   double to, const Sound& closing = Sound(), double closingStart = 0) {
    const long pass = std::lround(passStart * recording.rate);
    const long cry = std::lround(closingStart * recording.rate);
    const double length = static_cast<double>(recording.samples.size()) / recording.rate;
    const long end = std::min(pass + static_cast<long>(flurry.samples.size()),
                              std::lround(std::min(to, length) * recording.rate));
    // Least squares with both effects where they overlap: x = a * closing + b * flurry.
    double uu = 0, uv = 0, vv = 0, xu = 0, xv = 0;
    for (long at = std::max(std::lround(from * recording.rate), pass); at < end; ++at) {
        if (at < 0 || at >= static_cast<long>(recording.samples.size()))
            continue;
        const double x = recording.samples[static_cast<std::size_t>(at)];
        const double v = flurry.samples[static_cast<std::size_t>(at - pass)];
        const long c = at - cry;
        const double u = c >= 0 && c < static_cast<long>(closing.samples.size())
                             ? closing.samples[static_cast<std::size_t>(c)]
                             : 0;
        uu += u * u;
        uv += u * v;
        vv += v * v;
        xu += x * u;
        xv += x * v;
    }
    const double determinant = uu * vv - uv * uv;
    if (vv <= 0)
        return 0;
    if (determinant <= 1e-12 * uu * vv)
        return xv / vv;
    return (uu * xv - uv * xu) / determinant;
}

} // namespace

bool readSound(const std::string& path, const std::string& inputType, double rate, Sound* out) {
    const std::string command = "sox -V1 --ignore-length " + inputType + " " + quoted(path) +
                                " -t f32 -c 1 -r " + std::to_string(std::lround(rate)) + " -";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return false;
    out->rate = rate;
    out->samples.clear();
    float block[4096];
    for (std::size_t got; (got = std::fread(block, sizeof(float), 4096, pipe)) > 0;)
        out->samples.insert(out->samples.end(), block, block + got);
    return pclose(pipe) == 0;
}

std::vector<Onset> findOnsets(const Sound& recording, const std::vector<Template>& templates,
                              double threshold) {
    std::vector<Onset> onsets;
    for (const Template& effect : templates) {
        const std::vector<float> score = correlate(recording.samples, effect.sound.samples);
        const long radius = static_cast<long>(effect.sound.samples.size() / 2);
        const long count = static_cast<long>(score.size());
        for (long i = 0; i < count; ++i) {
            if (score[static_cast<std::size_t>(i)] < threshold)
                continue;
            bool strongest = true;
            for (long j = std::max(0L, i - radius); j <= std::min(count - 1, i + radius); ++j) {
                const float other = score[static_cast<std::size_t>(j)];
                const float mine = score[static_cast<std::size_t>(i)];
                // Ties go to the earliest, so a flat top yields one onset.
                if (other > mine || (other == mine && j < i)) {
                    strongest = false;
                    break;
                }
            }
            if (strongest) {
                onsets.push_back({effect.name, static_cast<double>(i) / recording.rate,
                                  score[static_cast<std::size_t>(i)]});
                i += radius;
            }
        }
    }
    std::sort(onsets.begin(), onsets.end(),
              [](const Onset& a, const Onset& b) { return a.seconds < b.seconds; });
    return onsets;
}

Report checkSweeps(const Sound& recording, const std::vector<Template>& templates,
                   const std::vector<Onset>& onsets, const std::vector<SweepExpectation>& sweeps) {
    Report report;
    std::map<std::string, const Sound*> effect;
    for (const Template& t : templates)
        effect[t.name] = &t.sound;
    if (!effect.count(flurry) || !effect.count("tah") || effect.at(flurry)->rate <= 0)
        return report;
    const double loopSeconds =
        static_cast<double>(effect.at(flurry)->samples.size()) / effect.at(flurry)->rate;
    auto check = [&report](bool passed, const std::string& text) {
        report.checks.push_back({passed, text});
    };

    // ---- the order: each sweep's effects, nothing between them and nothing after
    const std::vector<Heard> heard = collapse(onsets, loopSeconds);
    std::vector<SweepHeard> found;
    std::size_t next = 0;
    for (std::size_t s = 0; s < sweeps.size(); ++s) {
        const std::vector<std::string>& pattern = sweeps[s].pattern;
        std::vector<std::string> got;
        SweepHeard sweep;
        bool matches = true;
        for (std::size_t k = 0; k < pattern.size(); ++k) {
            if (next + k >= heard.size()) {
                matches = false;
                break;
            }
            const Heard& h = heard[next + k];
            got.push_back(h.name == flurry ? flurry + "x" + std::to_string(h.starts.size())
                                           : h.name);
            matches = matches && h.name == pattern[k];
        }
        const std::string label = "sweep " + std::to_string(s + 1);
        if (!matches) {
            std::vector<std::string> rest;
            for (std::size_t k = next; k < heard.size(); ++k)
                rest.push_back(heard[k].name);
            check(false, label + ": heard " + joined(pattern) +
                             " in that order (from here on: " + joined(rest) + ")");
            return report;
        }
        for (std::size_t k = 0; k < pattern.size(); ++k) {
            const Heard& h = heard[next + k];
            if (k == 0) {
                sweep.first = h.starts.front();
                sweep.firstName = h.name;
            }
            if (h.name == flurry)
                sweep.passes = h.starts;
            else
                sweep.at[h.name] = h.starts.front();
            if (isVerdict(h.name))
                sweep.verdict = h.name;
        }
        next += pattern.size();
        check(true, label + ": heard " + joined(got) + " in that order");
        found.push_back(sweep);
    }
    std::vector<std::string> extra;
    for (std::size_t k = next; k < heard.size(); ++k)
        extra.push_back(heard[k].name + "@" + fixed(heard[k].starts.front(), 3));
    check(extra.empty(), "nothing else was heard" + (extra.empty() ? "" : ": " + joined(extra)));

    // ---- how much faster than real time the recording ran, from the pauses whose both ends
    // were heard: it may be far from 1 where the sound sink is not paced by a clock
    std::vector<double> estimates;
    for (const SweepHeard& sweep : found) {
        if (sweep.at.count("a_") && !sweep.passes.empty())
            estimates.push_back((sweep.passes.front() - sweep.at.at("a_")) / 0.581);
        if (sweep.at.count("tah") && !sweep.verdict.empty())
            estimates.push_back((sweep.at.at(sweep.verdict) - sweep.at.at("tah")) / 1.519);
    }
    if (!estimates.empty()) {
        // The median: a pause stretched by a busy machine must not shift the others' reading.
        std::vector<double> sorted = estimates;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t middle = sorted.size() / 2;
        report.factor =
            sorted.size() % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
        report.notes.push_back("recording runs at " + fixed(report.factor, 3) +
                               " x wall-clock time (from " + std::to_string(estimates.size()) +
                               " pauses)");
    } else {
        report.notes.push_back("no pause heard at both ends: recording time not related to wall "
                               "time; timing checked by the wall clock only");
    }
    const double f = report.factor;

    for (std::size_t s = 0; s < found.size(); ++s) {
        const SweepHeard& sweep = found[s];
        const SweepExpectation& want = sweeps[s];
        const std::string label = "sweep " + std::to_string(s + 1);
        auto wallMs = [f](double recordingSeconds) { return recordingSeconds / f * 1000; };

        // The recording's clock is Wine's mixing, which a busy machine slows for a while: a
        // pause may read up to a fifth short against the median speed without being cut.
        const double leastShare = 0.8;
        if (f > 0 && estimates.size() >= 2) {
            if (sweep.at.count("a_") && !sweep.passes.empty()) {
                const double ms = wallMs(sweep.passes.front() - sweep.at.at("a_"));
                check(ms > 581 * leastShare && ms < 581 + hangSeconds * 1000,
                      label + ": the flurry starts 581 ms after the opening cry (" + fixed(ms, 0) +
                          " ms)");
            }
            if (sweep.at.count("tah") && !sweep.verdict.empty()) {
                const double ms = wallMs(sweep.at.at(sweep.verdict) - sweep.at.at("tah"));
                check(ms > 1519 * leastShare && ms < 1519 + hangSeconds * 1000,
                      label + ": the verdict starts 1519 ms after the closing cry (" +
                          fixed(ms, 0) + " ms)");
            }
        }

        if (!sweep.passes.empty()) {
            bool backToBack = true;
            for (std::size_t k = 1; k < sweep.passes.size(); ++k)
                backToBack = backToBack &&
                             std::fabs(sweep.passes[k] - sweep.passes[k - 1] - loopSeconds) < 0.002;
            check(backToBack, label + ": the flurry's " + std::to_string(sweep.passes.size()) +
                                  " passes follow each other without a gap");
            if (sweep.at.count("tah")) {
                // endLoop lets the pass that is playing finish; the closing cry starts meanwhile.
                const double after = sweep.at.at("tah") - sweep.passes.back();
                // Between ending the loop and starting the cry the script may be held up.
                const double slack = f > 0 ? hangSeconds * f : hangSeconds;
                check(after > -0.005 && after <= loopSeconds + slack,
                      label + ": the closing cry starts during the flurry's last pass (" +
                          fixed(after, 3) + " s into it)");
                // Its usual gain: a pass heard alone, else the opening cry (same loudness).
                double usual = 0;
                if (sweep.passes.size() >= 2)
                    usual =
                        gainBetween(recording, *effect.at(flurry), sweep.passes.front(), 0, 1e9);
                else if (sweep.at.count("a_"))
                    usual = gainBetween(recording, *effect.at("a_"), sweep.at.at("a_"), 0, 1e9);
                const Sound& pass = *effect.at(flurry);
                const Sound& cry = *effect.at("tah");
                const double last = sweep.passes.back();
                if (usual > 0 && after < loopSeconds - 0.05) {
                    const double rest = gainBetween(recording, pass, last, last + after,
                                                    last + loopSeconds, cry, last + after);
                    check(rest > 0.8 * usual && rest < 1.2 * usual,
                          label +
                              ": the flurry's last pass plays out under the closing cry "
                              "(gain " +
                              fixed(rest / usual, 2) + " of its usual)");
                } else if (usual > 0 && after > loopSeconds + 0.02) {
                    // It ended with its pass before the closing cry: no pass was begun and cut.
                    const double next = last + loopSeconds;
                    const double begun =
                        gainBetween(recording, pass, next, next,
                                    std::min(last + after, next + loopSeconds), cry, last + after);
                    check(std::fabs(begun) < 0.2 * usual,
                          label +
                              ": the flurry's last pass plays out, no further pass begun "
                              "(gain " +
                              fixed(begun / usual, 2) + " of its usual)");
                }
            }
            if (want.sent > 0 && f > 0) {
                // The flurry lasts from its start until the script sees the sender done.
                const double send = want.sent * perAddress;
                const double lead = sweep.at.count("a_") ? 0.581 : 0;
                const double shortest = std::max(0.0, send - lead - 0.05);
                const double longest =
                    std::max(0.0, send * 1.03 - lead) + receiverSlice + flurryLook + hangSeconds;
                const std::size_t fewest =
                    static_cast<std::size_t>(std::max(1.0, std::floor(f * shortest / loopSeconds)));
                const std::size_t most =
                    static_cast<std::size_t>(std::ceil(f * longest / loopSeconds)) + 1;
                check(sweep.passes.size() >= fewest && sweep.passes.size() <= most,
                      label + ": " + std::to_string(sweep.passes.size()) + " flurry passes while " +
                          std::to_string(want.sent) + " addresses were sent (" +
                          std::to_string(fewest) + " to " + std::to_string(most) + " expected)");
            }
        }

        if (want.wallMs >= 0) {
            // By the clock alone: every pause of what played, and no more than the wait for
            // the sender on top; never less than sending and the grace time after it.
            double pauses = 0;
            for (const std::string& name : want.pattern)
                pauses += pauseAfter(name);
            const double send = want.sent * perAddress * 1.03 * 1000;
            const double least =
                std::max(pauses, want.sent * perAddress * 1000 + graceSeconds * 1000);
            const double most = std::max(pauses + send + (receiverSlice + flurryLook) * 1000,
                                         send + (2 * receiverSlice + graceSeconds) * 1000) +
                                hangSeconds * 1000;
            check(want.wallMs >= least - 50 && want.wallMs <= most,
                  label + ": lasted " + fixed(want.wallMs, 0) + " ms (at least " + fixed(least, 0) +
                      ", at most " + fixed(most, 0) + ")");
            const bool anchored = sweep.firstName == "a_" || sweep.firstName == flurry;
            if (f > 0 && !sweep.verdict.empty() && anchored) {
                const double verdictAt = wallMs(sweep.at.at(sweep.verdict) - sweep.first);
                const double listedAfter = want.wallMs - verdictAt;
                const double pause = pauseAfter(sweep.verdict);
                check(listedAfter >= pause - 150 && listedAfter <= pause + hangSeconds * 1000,
                      label + ": results listed " + fixed(listedAfter, 0) +
                          " ms after the verdict started (its pause: " + fixed(pause, 0) + " ms)");
            }
        }
    }
    return report;
}

} // namespace soundmatch
