#include "net/IpAddress.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace {

using Octets = std::array<int, 4>;

Octets octetsOf(const IpAddress& address) {
    return {address.octet(0), address.octet(1), address.octet(2), address.octet(3)};
}

struct ParseCase {
    const char* text;
    bool accepted;
    Octets octets; // meaningful when accepted
};

// The reading is lenient by design (it mirrors what users type into the range fields), so the
// table holds the surprising acceptances as well as the refusals.
const ParseCase parseCases[] = {
    {"10.71.59.0", true, {10, 71, 59, 0}},
    {"10.71.59.255", true, {10, 71, 59, 255}},
    {"255.255.255.255", true, {255, 255, 255, 255}},
    {"0.0.0.0", true, {0, 0, 0, 0}},
    {"1.2.3", false, {}},
    {"10.71.59", false, {}},
    {"1.2.3.4.5", false, {}},
    {"256.1.1.1", false, {}},
    {"1.1.1.256", false, {}},
    {"-1.2.3.4", false, {}},
    {"+1.2.3.4", true, {1, 2, 3, 4}},
    {"1.2.3.-0", true, {1, 2, 3, 0}},
    {"a.b.c.d", true, {0, 0, 0, 0}},
    {" 1.2.3.4", true, {1, 2, 3, 4}},
    {"1.2.3.4 ", true, {1, 2, 3, 4}},
    {"\t1.2.3.4", true, {1, 2, 3, 4}},
    {"255.255.255.255 ", true, {255, 255, 255, 255}},
    {"255.255.255.255  ", false, {}},
    {"10..2.3", true, {10, 0, 2, 3}},
    {"10.1.2.", true, {10, 1, 2, 0}},
    {"1.2.3.4.", false, {}},
    {".1.2.3.4", true, {1, 2, 3, 4}},
    {"..1.2.3", true, {0, 1, 2, 3}},
    {"010.001.002.003", true, {10, 1, 2, 3}},
    {"1.000002.3.4", true, {1, 2, 3, 4}},
    {"1.2.3.99999", false, {}},
    {"1.2.3.4x", true, {1, 2, 3, 4}},
    {"1x.2.3.4", true, {1, 2, 3, 4}},
    // Values that would wrap round in a 32- or 64-bit reader must still be refused.
    {"1.1.1.4294967297", false, {}},
    {"1.1.4294967296.1", false, {}},
    {"1.1.1.18446744073709551617", false, {}},
    {"9999999999999.1", false, {}},
    {"1.1.1.000000255", true, {1, 1, 1, 255}},
    {"1.1.1.0000000000255", false, {}}, // 19 characters
    {"1.1.1.-4294967296", false, {}},
    {"", false, {}},
    {"......", false, {}},
    {".......", false, {}},
    {"1.2.3.4........", false, {}},
};

TEST(IpAddressParse, AcceptsAndRefusesAsTabled) {
    for (const ParseCase& c : parseCases) {
        SCOPED_TRACE(std::string("text \"") + c.text + "\"");
        IpAddress target(7, 7, 7, 7);
        const bool accepted = target.parse(c.text);
        ASSERT_EQ(accepted, c.accepted);
        if (accepted) {
            EXPECT_EQ(octetsOf(target), c.octets);
            const std::string canonical =
                std::to_string(c.octets[0]) + "." + std::to_string(c.octets[1]) + "." +
                std::to_string(c.octets[2]) + "." + std::to_string(c.octets[3]);
            EXPECT_EQ(target.text(), canonical);
        } else {
            EXPECT_EQ(octetsOf(target), (Octets{7, 7, 7, 7}));
            EXPECT_EQ(target.text(), "7.7.7.7");
        }
    }
}

TEST(IpAddressParse, RefusalLeavesALaggingTargetUntouched) {
    // A target in the middle of a carry: octet out of range, text of the last valid moment.
    IpAddress target(10, 71, 59, 255);
    EXPECT_FALSE(target.setOctet(3, 256));
    EXPECT_FALSE(target.parse("300.1.1.1"));
    EXPECT_EQ(octetsOf(target), (Octets{10, 71, 59, 256}));
    EXPECT_EQ(target.text(), "10.71.59.255");

    std::string untouched = "keep";
    EXPECT_FALSE(IpAddress::parseDotted("1.2.3", target));
    EXPECT_FALSE(IpAddress::formatDotted(target, untouched));
    EXPECT_EQ(untouched, "keep");
}

TEST(IpAddressConstruct, InvalidInputGivesZeroAddress) {
    const IpAddress fromBadOctets(300, 1, 1, 1);
    EXPECT_EQ(octetsOf(fromBadOctets), (Octets{0, 0, 0, 0}));
    EXPECT_EQ(fromBadOctets.text(), "0.0.0.0");

    const IpAddress fromNegative(1, 2, 3, -1);
    EXPECT_EQ(fromNegative.text(), "0.0.0.0");

    const IpAddress fromBadText("not an address");
    EXPECT_EQ(octetsOf(fromBadText), (Octets{0, 0, 0, 0}));
    EXPECT_EQ(fromBadText.text(), "0.0.0.0");

    const IpAddress fromText("192.168.100.200");
    EXPECT_EQ(octetsOf(fromText), (Octets{192, 168, 100, 200}));
    EXPECT_EQ(fromText.text(), "192.168.100.200");
}

TEST(IpAddressOctets, OutOfRangeWritesKeepTheTextUntilValidAgain) {
    IpAddress address(10, 71, 59, 0);
    EXPECT_FALSE(address.set(10, 71, 59, 256));
    EXPECT_EQ(address.octet(3), 256);
    EXPECT_EQ(address.text(), "10.71.59.0");

    // The walk's carry from 10.71.255.255: the text catches up whenever all four are valid.
    EXPECT_TRUE(address.set(10, 71, 255, 255));
    EXPECT_FALSE(address.setOctet(3, 256));
    EXPECT_EQ(address.text(), "10.71.255.255");
    EXPECT_TRUE(address.setOctet(3, 0));
    EXPECT_FALSE(address.setOctet(2, 256));
    EXPECT_EQ(address.text(), "10.71.255.0");
    EXPECT_TRUE(address.setOctet(2, 0));
    EXPECT_EQ(address.text(), "10.71.0.0");
    EXPECT_TRUE(address.setOctet(1, 72));
    EXPECT_EQ(address.text(), "10.72.0.0");

    EXPECT_FALSE(address.setOctet(0, -5));
    EXPECT_EQ(address.octet(0), -5);
    EXPECT_EQ(address.text(), "10.72.0.0");
}

TEST(IpAddressOctets, IndexOutsideZeroToThree) {
    IpAddress address(1, 2, 3, 4);
    EXPECT_EQ(address.octet(4), -1);
    EXPECT_EQ(address.octet(-1), -1);
    EXPECT_EQ(address.octet(-2147483647 - 1), -1);

    EXPECT_TRUE(address.setOctet(4, 99));
    EXPECT_TRUE(address.setOctet(-1, 99));
    EXPECT_EQ(octetsOf(address), (Octets{1, 2, 3, 4}));

    // Still re-renders: a stray index after a carry completes the text.
    address.setOctet(3, 256);
    EXPECT_FALSE(address.setOctet(7, 0));
    address.setOctet(3, 5);
    EXPECT_EQ(address.text(), "1.2.3.5");
}

TEST(IpAddressCopy, CopiesOctetsAndRendersItsOwnText) {
    const IpAddress original(10, 71, 59, 100);
    const IpAddress copy(original);
    EXPECT_EQ(octetsOf(copy), octetsOf(original));
    EXPECT_EQ(copy.text(), "10.71.59.100");

    // Copying mid-carry: same octets, and no text at all (not the original's stale one).
    IpAddress carrying(10, 71, 59, 255);
    carrying.setOctet(3, 256);
    const IpAddress carriedCopy(carrying);
    EXPECT_EQ(octetsOf(carriedCopy), (Octets{10, 71, 59, 256}));
    EXPECT_EQ(carriedCopy.text(), "");
}

} // namespace
