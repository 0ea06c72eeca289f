#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The lab a test runs in, as scripts/lab.sh announces it through BRIXLE_LAB and the variables
// beside it (tests/lab/README.md). Empty strings where no lab is up.
std::string labVariable(const char* name);
std::vector<std::string> words(const std::string& text);
std::uint32_t addressValue(const std::string& dotted);
// "routed" (the hosts behind a router) or "lan" (the scanner on their /24).
bool lanLab();
// True inside the lab's scan namespace (BRIXLE_LAB_SCAN), where every case that sends must run:
// natively this process's own; under Wine its wineserver's, which opens the sockets.
bool insideScanNamespace();
// The lab's answering hosts inside [first, last] in ascending address order, the scanner's own
// address among them; the late ones only when asked for.
std::vector<std::string> labHostsBetween(const std::string& first, const std::string& last,
                                         bool withLate = true);
