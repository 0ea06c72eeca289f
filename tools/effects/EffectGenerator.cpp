#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

const int rate = 22050;
const double pi = 3.14159265358979323846;

typedef std::vector<double> Signal;

int samplesFor(double seconds) {
    return static_cast<int>(std::lround(seconds * rate));
}

// Quick rise, gentle fall: no click at either end.
double envelope(int i, int count, double attackSeconds, double curve) {
    const double t = static_cast<double>(i) / count;
    const double attack = attackSeconds * rate;
    const double rise = i < attack ? 0.5 - 0.5 * std::cos(pi * i / attack) : 1.0;
    const double fall = std::pow(1.0 - t, curve);
    const double tail = i > count - 64 ? (count - i) / 64.0 : 1.0;
    return rise * fall * tail;
}

// A tone gliding from one pitch to another, with a few harmonics for colour.
Signal glide(double seconds, double fromHz, double toHz, const std::vector<double>& harmonics,
             double vibratoHz, double vibratoDepth, double curve) {
    const int count = samplesFor(seconds);
    Signal out(static_cast<std::size_t>(count));
    double phase = 0;
    for (int i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / count;
        const double vibrato = 1.0 + vibratoDepth * std::sin(2 * pi * vibratoHz * i / rate);
        const double hz = fromHz * std::pow(toHz / fromHz, t) * vibrato;
        phase += 2 * pi * hz / rate;
        double value = 0;
        for (std::size_t h = 0; h < harmonics.size(); ++h)
            value += harmonics[h] * std::sin(phase * static_cast<double>(h + 1));
        out[static_cast<std::size_t>(i)] = value * envelope(i, count, 0.012, curve);
    }
    return out;
}

void mixInto(Signal& target, const Signal& part, double atSeconds, double gain) {
    const std::size_t start = static_cast<std::size_t>(samplesFor(atSeconds));
    if (target.size() < start + part.size())
        target.resize(start + part.size(), 0.0);
    for (std::size_t i = 0; i < part.size(); ++i)
        target[start + i] += gain * part[i];
}

// Opening cry: a bright shout that leaps upward.
Signal openingCry() {
    Signal out = glide(0.42, 392, 784, {1.0, 0.55, 0.3, 0.15}, 0, 0, 1.2);
    mixInto(out, glide(0.42, 588, 1176, {0.5, 0.2}, 0, 0, 1.4), 0.0, 0.4);
    return out;
}

// The flurry: four quick strikes alternating between two pitches. Every frequency fits a whole
// number of times into the loop and every strike starts and ends at silence, so the loop point
// joins without a click.
Signal flurry() {
    const int loop = samplesFor(0.4); // 8820 samples: 2.5 Hz divides every pitch below
    const int strike = loop / 4;
    const double pitches[] = {880.0, 1320.0, 990.0, 1320.0};
    Signal out(static_cast<std::size_t>(loop), 0.0);
    for (int s = 0; s < 4; ++s) {
        for (int i = 0; i < strike; ++i) {
            const double x = static_cast<double>(i) / strike;
            const double shape = std::pow(0.5 - 0.5 * std::cos(2 * pi * x), 2) * std::exp(-3.0 * x);
            const int n = s * strike + i;
            const double hz = pitches[s];
            const double tone = std::sin(2 * pi * hz * n / rate) +
                                0.35 * std::sin(2 * pi * 2 * hz * n / rate) +
                                0.15 * std::sin(2 * pi * 3 * hz * n / rate);
            out[static_cast<std::size_t>(n)] = shape * tone;
        }
    }
    return out;
}

// Closing cry: a firm call that falls back down.
Signal closingCry() {
    return glide(0.6, 660, 330, {1.0, 0.0, 0.45, 0.0, 0.25, 0.0, 0.12}, 0, 0, 1.0);
}

// None answered: two soft, sinking notes.
Signal noAnswer() {
    Signal out;
    mixInto(out, glide(0.55, 392, 370, {1.0, 0.25}, 5, 0.006, 1.5), 0.0, 1.0);
    mixInto(out, glide(0.9, 294, 262, {1.0, 0.25}, 5, 0.006, 1.2), 0.5, 1.0);
    return out;
}

// Most answered: a bright rising major arpeggio.
Signal mostAnswered() {
    Signal out;
    const double notes[] = {523.25, 659.25, 783.99, 1046.5};
    for (int n = 0; n < 4; ++n) {
        const double length = n == 3 ? 0.6 : 0.25;
        mixInto(out, glide(length, notes[n], notes[n], {1.0, 0.4, 0.2}, 6, n == 3 ? 0.004 : 0, 1.3),
                0.12 * n, 0.8);
    }
    return out;
}

// Fewer answered: a wobbling downward slide.
Signal fewAnswered() {
    Signal out = glide(0.95, 440, 165, {1.0, 0.5, 0.33, 0.25, 0.2}, 7, 0.03, 0.8);
    return out;
}

void put16(std::vector<std::uint8_t>& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8 & 0xFF));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

bool writeWave(const std::string& path, Signal signal) {
    double peak = 0;
    for (double v : signal)
        peak = std::fmax(peak, std::fabs(v));
    const double scale = peak > 0 ? 0.7 * 32767 / peak : 0; // headroom for overlapping effects

    std::vector<std::uint8_t> bytes;
    const std::uint32_t dataBytes = static_cast<std::uint32_t>(signal.size() * 2);
    bytes.insert(bytes.end(), {'R', 'I', 'F', 'F'});
    put32(bytes, 36 + dataBytes);
    bytes.insert(bytes.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put32(bytes, 16);
    put16(bytes, 1); // PCM
    put16(bytes, 1); // mono
    put32(bytes, rate);
    put32(bytes, rate * 2);
    put16(bytes, 2);
    put16(bytes, 16);
    bytes.insert(bytes.end(), {'d', 'a', 't', 'a'});
    put32(bytes, dataBytes);
    for (double v : signal) {
        const long sample = std::lround(v * scale);
        put16(bytes,
              static_cast<unsigned>(static_cast<std::uint16_t>(static_cast<std::int16_t>(sample))));
    }

    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

} // namespace

// Writes the program's six effects, as 16-bit mono PCM, into the folder given.
int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    const std::string folder = std::string(argv[1]) + "/";
    const struct {
        const char* name;
        Signal (*make)();
    } effects[] = {
        {"a_.wav", openingCry},     {"tata.wav", flurry},         {"tah.wav", closingCry},
        {"canthear.wav", noAnswer}, {"muteki.wav", mostAnswered}, {"abeshi.wav", fewAnswered},
    };
    for (const auto& effect : effects) {
        if (!writeWave(folder + effect.name, effect.make())) {
            std::fprintf(stderr, "cannot write %s%s\n", folder.c_str(), effect.name);
            return 1;
        }
    }
    return 0;
}
