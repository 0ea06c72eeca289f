#pragma once

#include <cstdint>
#include <string>
#include <vector>

// ICMP echo requests as a packet capture of the lab saw them (tcpdump's pcap file), so that
// what went on the wire is checked independently of the code that built it.
struct CapturedRequest {
    double seconds;                 // capture time stamp
    std::string destination;        // dotted
    std::vector<std::uint8_t> icmp; // the ICMP message, header included
    std::uint16_t identifierOnWire() const {
        return static_cast<std::uint16_t>(icmp[4] << 8 | icmp[5]);
    }
    std::uint16_t sequenceOnWire() const {
        return static_cast<std::uint16_t>(icmp[6] << 8 | icmp[7]);
    }
};

// Reads every ICMP echo request in the file; an unreadable file gives an empty list.
std::vector<CapturedRequest> readEchoRequests(const std::string& pcapPath);
