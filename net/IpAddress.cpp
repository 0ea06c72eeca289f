#include "net/IpAddress.h"

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads a group the lenient way (blanks, a sign, digits, then anything) into 0..255.
// Digits are accumulated with saturation so that no length of group can wrap round.
bool readGroup(const std::string& text, std::size_t begin, std::size_t end, int& value) {
    std::size_t i = begin;
    while (i < end && isBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < end && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long magnitude = 0;
    while (i < end && text[i] >= '0' && text[i] <= '9') {
        if (magnitude <= 255)
            magnitude = magnitude * 10 + (text[i] - '0');
        ++i;
    }
    if (magnitude > 255 || (negative && magnitude != 0))
        return false;
    value = static_cast<int>(magnitude);
    return true;
}

} // namespace

IpAddress::IpAddress(int o0, int o1, int o2, int o3) : octets{0, 0, 0, 0} {
    if (!set(o0, o1, o2, o3))
        set(0, 0, 0, 0);
}

IpAddress::IpAddress(const char* text) : octets{0, 0, 0, 0} {
    if (!parse(text))
        set(0, 0, 0, 0);
}

// The other address's text is deliberately not copied: a copy taken mid-carry has no text.
IpAddress::IpAddress(const IpAddress& other)
    : octets{other.octet(0), other.octet(1), other.octet(2), other.octet(3)}, dotted() {
    rebuildText();
}

bool IpAddress::set(int o0, int o1, int o2, int o3) {
    octets[0] = o0;
    octets[1] = o1;
    octets[2] = o2;
    octets[3] = o3;
    return rebuildText();
}

bool IpAddress::setOctet(int index, int value) {
    if (static_cast<unsigned>(index) < 4)
        octets[index] = value;
    return rebuildText();
}

int IpAddress::octet(int index) const {
    if (static_cast<unsigned>(index) < 4)
        return octets[index];
    return -1;
}

bool IpAddress::parse(const char* text) {
    return parseDotted(std::string(text), *this);
}

bool IpAddress::rebuildText() {
    return formatDotted(*this, dotted);
}

bool IpAddress::formatDotted(const IpAddress& source, std::string& output) {
    std::string work;
    for (int i = 0; i < 4; ++i) {
        const int value = source.octet(i);
        if (value < 0 || value > 255)
            return false;
        work += std::to_string(value);
        work += '.';
    }
    work.pop_back();
    output = work;
    return true;
}

// Read from the end towards the start, one group at a time; a leading "." ends the reading.
bool IpAddress::parseDotted(const std::string& text, IpAddress& target) {
    const std::size_t length = text.size();
    if (length < 7 || length > 16)
        return false;

    int groups[4] = {0, 0, 0, 0};
    int count = 0;
    std::size_t position = length;
    while (position > 0) {
        if (count == 4)
            return false;
        const std::size_t dot = text.rfind('.', position - 1);
        const std::size_t begin = dot == std::string::npos ? 0 : dot + 1;
        if (!readGroup(text, begin, position, groups[count]))
            return false;
        ++count;
        position = dot == std::string::npos ? 0 : dot;
    }
    if (count < 4)
        return false;
    target.set(groups[3], groups[2], groups[1], groups[0]);
    return true;
}
