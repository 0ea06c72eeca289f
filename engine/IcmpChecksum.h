#pragma once

#include <cstdint>

// The Internet checksum (RFC 1071) of count bytes, their 16-bit words read least significant
// byte first. Stored the same way it is the checksum in network byte order; over a message that
// carries a right one it is 0.
std::uint16_t icmpChecksum(const void* bytes, int count);
