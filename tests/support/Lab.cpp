#include "support/Lab.h"

#include "net/IpAddress.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

std::string labVariable(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string word; in >> word;)
        out.push_back(word);
    return out;
}

std::uint32_t addressValue(const std::string& dotted) {
    const IpAddress address(dotted.c_str());
    return static_cast<std::uint32_t>(address.octet(0)) << 24 |
           static_cast<std::uint32_t>(address.octet(1)) << 16 |
           static_cast<std::uint32_t>(address.octet(2)) << 8 |
           static_cast<std::uint32_t>(address.octet(3));
}

bool lanLab() {
    return labVariable("BRIXLE_LAB_SHAPE") == "lan";
}

std::vector<std::string> labHostsBetween(const std::string& first, const std::string& last,
                                         bool withLate) {
    std::vector<std::string> hosts = words(labVariable("BRIXLE_LAB_HOSTS"));
    if (!labVariable("BRIXLE_LAB_SELF").empty())
        hosts.push_back(labVariable("BRIXLE_LAB_SELF"));
    if (withLate) {
        for (const std::string& late : words(labVariable("BRIXLE_LAB_LATE_HOSTS")))
            hosts.push_back(late);
    }
    std::sort(hosts.begin(), hosts.end(), [](const std::string& a, const std::string& b) {
        return addressValue(a) < addressValue(b);
    });
    std::vector<std::string> inside;
    for (const std::string& host : hosts) {
        if (addressValue(host) >= addressValue(first) && addressValue(host) <= addressValue(last))
            inside.push_back(host);
    }
    return inside;
}
