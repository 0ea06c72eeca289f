#include "SoundMatch.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <map>
#include <sstream>

namespace soundmatch {

namespace {

const double pi = 3.14159265358979323846;

std::uint32_t le16(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8;
}

std::uint32_t le32(const std::uint8_t* p) {
    return le16(p) | le16(p + 2) << 16;
}

int bytesPerSample(SampleFormat format) {
    return format == SampleFormat::s16 ? 2 : 4;
}

float sampleAt(const std::uint8_t* p, SampleFormat format) {
    switch (format) {
    case SampleFormat::s16:
        return static_cast<float>(static_cast<std::int16_t>(le16(p)) / 32768.0);
    case SampleFormat::s32:
        return static_cast<float>(static_cast<std::int32_t>(le32(p)) / 2147483648.0);
    case SampleFormat::f32: {
        const std::uint32_t bits = le32(p);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return std::isfinite(value) ? value : 0.0f;
    }
    }
    return 0;
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
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(decimals);
    text << value;
    return text.str();
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

} // namespace

Sound decodeRaw(const std::vector<std::uint8_t>& bytes, const RawLayout& layout) {
    Sound out;
    out.rate = layout.rate;
    const std::size_t width = static_cast<std::size_t>(bytesPerSample(layout.format));
    const std::size_t channels = static_cast<std::size_t>(std::max(1, layout.channels));
    const std::size_t frames = bytes.size() / (width * channels);
    out.samples.resize(frames);
    for (std::size_t f = 0; f < frames; ++f) {
        double sum = 0;
        for (std::size_t c = 0; c < channels; ++c)
            sum += sampleAt(&bytes[(f * channels + c) * width], layout.format);
        out.samples[f] = static_cast<float>(sum / static_cast<double>(channels));
    }
    return out;
}

bool decodeWave(const std::vector<std::uint8_t>& bytes, Sound* out, std::string* why) {
    if (bytes.size() < 12 || std::memcmp(&bytes[0], "RIFF", 4) != 0 ||
        std::memcmp(&bytes[8], "WAVE", 4) != 0) {
        *why = "not a RIFF/WAVE file";
        return false;
    }
    RawLayout layout;
    bool haveFormat = false;
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const std::uint32_t size = le32(&bytes[at + 4]);
        const std::size_t body = at + 8;
        const std::size_t available = std::min<std::size_t>(size, bytes.size() - body);
        if (std::memcmp(&bytes[at], "fmt ", 4) == 0 && available >= 16) {
            std::uint32_t tag = le16(&bytes[body]);
            const std::uint32_t bits = le16(&bytes[body + 14]);
            if (tag == 0xFFFE && available >= 26)
                tag = le16(&bytes[body + 24]); // the sub-format's first word
            layout.channels = static_cast<int>(le16(&bytes[body + 2]));
            layout.rate = static_cast<int>(le32(&bytes[body + 4]));
            if (tag == 1 && bits == 16) {
                layout.format = SampleFormat::s16;
            } else if (tag == 1 && bits == 32) {
                layout.format = SampleFormat::s32;
            } else if (tag == 3 && bits == 32) {
                layout.format = SampleFormat::f32;
            } else {
                *why = "unsupported sample format (tag " + std::to_string(tag) + ", " +
                       std::to_string(bits) + " bits)";
                return false;
            }
            if (layout.channels < 1 || layout.rate < 1) {
                *why = "no channels or no rate in its format";
                return false;
            }
            haveFormat = true;
        } else if (std::memcmp(&bytes[at], "data", 4) == 0) {
            if (!haveFormat) {
                *why = "data before its format";
                return false;
            }
            // A recording whose header was never finished declares a size of 0 or too much.
            std::size_t length = size == 0 ? bytes.size() - body : available;
            *out = decodeRaw(
                std::vector<std::uint8_t>(bytes.begin() + static_cast<long>(body),
                                          bytes.begin() + static_cast<long>(body + length)),
                layout);
            return true;
        }
        at = body + size + (size & 1);
    }
    *why = haveFormat ? "no data chunk" : "no fmt chunk";
    return false;
}

Sound resample(const Sound& in, double rate) {
    if (in.rate == rate || in.samples.empty()) {
        Sound same = in;
        same.rate = rate;
        return same;
    }
    const double ratio = rate / in.rate;
    const double cutoff = 0.45 * std::min(1.0, ratio); // cycles per input sample
    const int half = static_cast<int>(std::ceil(16 / std::min(1.0, ratio)));
    const int phases = 512;
    // The kernel at each of `phases` fractional offsets, so no sine is taken per sample.
    std::vector<double> table(static_cast<std::size_t>(phases + 1) * (2 * half));
    for (int p = 0; p <= phases; ++p) {
        const double fraction = static_cast<double>(p) / phases;
        for (int k = -half + 1; k <= half; ++k) {
            const double t = k - fraction;
            const double sinc = t == 0 ? 2 * cutoff : std::sin(2 * pi * cutoff * t) / (pi * t);
            const double window = 0.5 + 0.5 * std::cos(pi * t / half);
            table[static_cast<std::size_t>(p) * (2 * half) +
                  static_cast<std::size_t>(k + half - 1)] = sinc * window;
        }
    }
    Sound out;
    out.rate = rate;
    const std::size_t count =
        static_cast<std::size_t>(std::floor(static_cast<double>(in.samples.size()) * ratio));
    out.samples.resize(count);
    const long last = static_cast<long>(in.samples.size()) - 1;
    for (std::size_t n = 0; n < count; ++n) {
        const double position = static_cast<double>(n) / ratio;
        const long base = static_cast<long>(std::floor(position));
        const int p =
            static_cast<int>(std::lround((position - static_cast<double>(base)) * phases));
        const double* kernel = &table[static_cast<std::size_t>(p) * (2 * half)];
        double sum = 0;
        for (int k = -half + 1; k <= half; ++k) {
            const long i = base + k;
            if (i >= 0 && i <= last)
                sum += kernel[k + half - 1] * in.samples[static_cast<std::size_t>(i)];
        }
        out.samples[n] = static_cast<float>(sum);
    }
    return out;
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

double gainAt(const Sound& recording, const Sound& effect, double start) {
    const long offset = std::lround(start * recording.rate);
    double xv = 0, vv = 0;
    for (std::size_t i = 0; i < effect.samples.size(); ++i) {
        const long at = offset + static_cast<long>(i);
        if (at < 0 || at >= static_cast<long>(recording.samples.size()))
            continue;
        xv += static_cast<double>(recording.samples[static_cast<std::size_t>(at)]) *
              effect.samples[i];
        vv += static_cast<double>(effect.samples[i]) * effect.samples[i];
    }
    return vv > 0 ? xv / vv : 0;
}

double flurryGainBetween(const Sound& recording, const Sound& flurry, const Sound& closing,
                         double passStart, double closingStart, double from, double to) {
    const long pass = std::lround(passStart * recording.rate);
    const long cry = std::lround(closingStart * recording.rate);
    const long end =
        std::min(pass + static_cast<long>(flurry.samples.size()), std::lround(to * recording.rate));
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
                    usual = gainAt(recording, *effect.at(flurry), sweep.passes.front());
                else if (sweep.at.count("a_"))
                    usual = gainAt(recording, *effect.at("a_"), sweep.at.at("a_"));
                const Sound& pass = *effect.at(flurry);
                const Sound& cry = *effect.at("tah");
                const double last = sweep.passes.back();
                if (usual > 0 && after < loopSeconds - 0.05) {
                    const double rest = flurryGainBetween(recording, pass, cry, last, last + after,
                                                          last + after, last + loopSeconds);
                    check(rest > 0.8 * usual && rest < 1.2 * usual,
                          label +
                              ": the flurry's last pass plays out under the closing cry "
                              "(gain " +
                              fixed(rest / usual, 2) + " of its usual)");
                } else if (usual > 0 && after > loopSeconds + 0.02) {
                    // It ended with its pass before the closing cry: no pass was begun and cut.
                    const double next = last + loopSeconds;
                    const double begun =
                        flurryGainBetween(recording, pass, cry, next, last + after, next,
                                          std::min(last + after, next + loopSeconds));
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
