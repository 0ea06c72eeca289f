#include "support/Capture.h"

#include <fstream>
#include <iterator>

namespace {

std::uint32_t read32(const std::uint8_t* at, bool swapped) {
    if (swapped)
        return static_cast<std::uint32_t>(at[0]) << 24 | static_cast<std::uint32_t>(at[1]) << 16 |
               static_cast<std::uint32_t>(at[2]) << 8 | at[3];
    return static_cast<std::uint32_t>(at[3]) << 24 | static_cast<std::uint32_t>(at[2]) << 16 |
           static_cast<std::uint32_t>(at[1]) << 8 | at[0];
}

const std::uint32_t linkEthernet = 1;
const std::uint32_t linkRaw = 101;
const std::uint32_t linkLinuxCooked = 113;

} // namespace

std::vector<CapturedRequest> readEchoRequests(const std::string& pcapPath) {
    std::vector<CapturedRequest> requests;
    std::ifstream file(pcapPath, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                          std::istreambuf_iterator<char>());
    if (bytes.size() < 24)
        return requests;
    const std::uint32_t magic = read32(bytes.data(), false);
    const bool swapped = magic == 0xD4C3B2A1 || magic == 0x4D3CB2A1;
    const bool nanoseconds = magic == 0xA1B23C4D || magic == 0x4D3CB2A1;
    const std::uint32_t link = read32(bytes.data() + 20, swapped);
    const std::size_t linkHeader = link == linkEthernet      ? 14
                                   : link == linkLinuxCooked ? 16
                                   : link == linkRaw         ? 0
                                                             : 14;

    std::size_t at = 24;
    while (at + 16 <= bytes.size()) {
        const std::uint32_t wholeSeconds = read32(bytes.data() + at, swapped);
        const std::uint32_t fraction = read32(bytes.data() + at + 4, swapped);
        const std::uint32_t captured = read32(bytes.data() + at + 8, swapped);
        const std::size_t packet = at + 16;
        at = packet + captured;
        if (at > bytes.size())
            break; // a record still being written
        if (captured < linkHeader + 20)
            continue;
        const std::uint8_t* ip = bytes.data() + packet + linkHeader;
        const std::size_t ipLength = captured - linkHeader;
        const std::size_t headerLength = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
        if ((ip[0] >> 4) != 4 || ip[9] != 1 || headerLength < 20 || ipLength < headerLength + 8)
            continue;
        const std::uint8_t* icmp = ip + headerLength;
        if (icmp[0] != 8)
            continue;
        const std::size_t totalLength = static_cast<std::size_t>(ip[2] << 8 | ip[3]);
        const std::size_t icmpLength =
            (totalLength <= ipLength ? totalLength : ipLength) - headerLength;
        CapturedRequest request;
        request.seconds = wholeSeconds + fraction / (nanoseconds ? 1e9 : 1e6);
        request.destination = std::to_string(ip[16]) + "." + std::to_string(ip[17]) + "." +
                              std::to_string(ip[18]) + "." + std::to_string(ip[19]);
        request.icmp.assign(icmp, icmp + icmpLength);
        requests.push_back(request);
    }
    return requests;
}
