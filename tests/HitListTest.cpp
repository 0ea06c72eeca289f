#include "net/HitList.h"

#include <gtest/gtest.h>

#include <list>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

std::uint32_t valueOf(const IpAddress& a) {
    return static_cast<std::uint32_t>(a.octet(0)) << 24 |
           static_cast<std::uint32_t>(a.octet(1)) << 16 |
           static_cast<std::uint32_t>(a.octet(2)) << 8 | static_cast<std::uint32_t>(a.octet(3));
}

IpAddress* fromValue(std::uint32_t v) {
    return new IpAddress(static_cast<int>(v >> 24), static_cast<int>(v >> 16 & 0xFF),
                         static_cast<int>(v >> 8 & 0xFF), static_cast<int>(v & 0xFF));
}

std::vector<std::string> forwardTexts(const HitList& list) {
    std::vector<std::string> texts;
    for (const HitNode* node = list.first; node != nullptr; node = node->next)
        texts.push_back(node->address.text());
    return texts;
}

// Walks the links both ways and checks them against the expected ascending values.
void expectLinks(const HitList& list, const std::set<std::uint32_t>& expected) {
    ASSERT_EQ(list.first == nullptr, list.last == nullptr);
    std::vector<std::uint32_t> forward;
    const HitNode* previous = nullptr;
    for (const HitNode* node = list.first; node != nullptr; node = node->next) {
        ASSERT_EQ(node->prev, previous);
        forward.push_back(valueOf(node->address));
        previous = node;
    }
    ASSERT_EQ(previous, list.last);
    std::vector<std::uint32_t> backward;
    for (const HitNode* node = list.last; node != nullptr; node = node->prev)
        backward.push_back(valueOf(node->address));
    ASSERT_EQ(forward, std::vector<std::uint32_t>(expected.begin(), expected.end()));
    ASSERT_EQ(backward, std::vector<std::uint32_t>(expected.rbegin(), expected.rend()));
}

TEST(HitListInsert, PlacesAtBothEndsAndInTheMiddle) {
    HitList list;
    EXPECT_TRUE(list.insert(new IpAddress("10.71.59.5")));
    ASSERT_NE(list.first, nullptr);
    EXPECT_EQ(list.first, list.last);

    EXPECT_TRUE(list.insert(new IpAddress("10.71.59.3"))); // new first
    EXPECT_TRUE(list.insert(new IpAddress("10.71.59.9"))); // new last
    EXPECT_TRUE(list.insert(new IpAddress("10.71.59.4"))); // middle
    EXPECT_EQ(forwardTexts(list),
              (std::vector<std::string>{"10.71.59.3", "10.71.59.4", "10.71.59.5", "10.71.59.9"}));
    EXPECT_EQ(list.first->address.text(), "10.71.59.3");
    EXPECT_EQ(list.last->address.text(), "10.71.59.9");
    expectLinks(list, {0x0A473B03, 0x0A473B04, 0x0A473B05, 0x0A473B09});
}

TEST(HitListInsert, DuplicatesAreRefusedAndDisposedOf) {
    HitList list;
    EXPECT_TRUE(list.insert(new IpAddress("10.71.59.3")));
    EXPECT_TRUE(list.insert(new IpAddress("10.71.59.7")));
    // Second and third reply of each host; under ASan a leak of the refused objects would fail.
    for (int reply = 0; reply < 2; ++reply) {
        EXPECT_FALSE(list.insert(new IpAddress("10.71.59.3")));
        EXPECT_FALSE(list.insert(new IpAddress("10.71.59.7")));
    }
    EXPECT_EQ(forwardTexts(list), (std::vector<std::string>{"10.71.59.3", "10.71.59.7"}));
    expectLinks(list, {0x0A473B03, 0x0A473B07});
}

TEST(HitListOrder, IsNumericNotTextual) {
    const IpAddress a("9.255.255.255"), b("10.0.0.0"), c("10.0.0.9"), d("10.0.0.10");
    EXPECT_TRUE(HitList::less(a, b));
    EXPECT_FALSE(HitList::less(b, a));
    EXPECT_TRUE(HitList::less(c, d));
    EXPECT_FALSE(HitList::less(c, c));
    EXPECT_TRUE(HitList::equal(c, c));
    EXPECT_FALSE(HitList::equal(c, d));

    // Octets mid-carry compare as signed integers, which the walk's end test relies on.
    IpAddress carrying(10, 71, 59, 255);
    carrying.setOctet(3, 256);
    EXPECT_TRUE(HitList::less(IpAddress(10, 71, 59, 255), carrying));
    EXPECT_TRUE(HitList::less(carrying, IpAddress(10, 71, 60, 0)));

    HitList list;
    list.insert(new IpAddress("10.71.59.100"));
    list.insert(new IpAddress("10.71.59.20"));
    list.insert(new IpAddress("10.71.59.3"));
    std::list<std::string> lines{"earlier line"};
    list.copyTo(lines);
    EXPECT_EQ(lines, (std::list<std::string>{"earlier line", "10.71.59.3", "10.71.59.20",
                                             "10.71.59.100"}));
}

TEST(HitListCopyAndClear, EmptyListsAndReuse) {
    HitList list;
    std::list<std::string> lines;
    list.copyTo(lines);
    EXPECT_TRUE(lines.empty());
    list.clear();
    EXPECT_EQ(list.first, nullptr);
    EXPECT_EQ(list.last, nullptr);

    for (int round = 0; round < 3; ++round) {
        EXPECT_TRUE(list.insert(new IpAddress(10, 0, 0, 2)));
        EXPECT_TRUE(list.insert(new IpAddress(10, 0, 0, 1)));
        EXPECT_FALSE(list.insert(new IpAddress(10, 0, 0, 2)));
        expectLinks(list, {0x0A000001, 0x0A000002});
        list.clear();
        EXPECT_EQ(list.first, nullptr);
        EXPECT_EQ(list.last, nullptr);
    }
    list.copyTo(lines);
    EXPECT_TRUE(lines.empty());
}

TEST(HitListInsert, MatchesAReferenceSetUnderRandomInserts) {
    std::mt19937 random(20261207);
    for (int round = 0; round < 20; ++round) {
        HitList list;
        std::set<std::uint32_t> reference;
        // A narrow range makes duplicates frequent; the wide one exercises octet 0 ordering.
        const std::uint32_t span = round % 2 == 0 ? 64 : 0xFFFFFFFFu;
        std::uniform_int_distribution<std::uint32_t> pick(0, span);
        for (int i = 0; i < 200; ++i) {
            const std::uint32_t value = span == 64 ? 0x0A473B00 + pick(random) : pick(random);
            const bool isNew = reference.insert(value).second;
            ASSERT_EQ(list.insert(fromValue(value)), isNew) << "value " << value;
            if (i % 25 == 0)
                expectLinks(list, reference);
        }
        expectLinks(list, reference);
        std::list<std::string> lines;
        list.copyTo(lines);
        ASSERT_EQ(lines.size(), reference.size());
    }
}

} // namespace
