#pragma once

#include <cstdint>
#include <string>

// An IPv4 address as four integer octets (octet 0 leftmost) with its dotted text kept in step.
// Octets may hold any value for a moment (the address walk carries through 256); the text is
// re-rendered only while all four lie in 0..255.
class IpAddress {
  public:
    IpAddress(int o0, int o1, int o2, int o3);
    explicit IpAddress(const char* text);
    IpAddress(const IpAddress& other);
    IpAddress& operator=(const IpAddress&) = delete;
    ~IpAddress() = default;

    bool set(int o0, int o1, int o2, int o3);
    bool setOctet(int index, int value);
    int octet(int index) const;
    const std::string& text() const { return dotted; }

    // On false the address is left exactly as it was.
    bool parse(const char* text);
    bool rebuildText();

    static bool formatDotted(const IpAddress& source, std::string& output);
    static bool parseDotted(const std::string& text, IpAddress& target);

  private:
    std::int32_t octets[4];
    std::string dotted;
};
