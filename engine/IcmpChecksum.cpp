#include "engine/IcmpChecksum.h"

std::uint16_t icmpChecksum(const void* bytes, int count) {
    const unsigned char* at = static_cast<const unsigned char*>(bytes);
    std::uint32_t sum = 0;
    while (count >= 2) {
        sum += static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8;
        at += 2;
        count -= 2;
    }
    if (count == 1)
        sum += at[0];
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}
