#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/aVersion.h"

namespace {

struct PackCase {
    uint8_t major;
    uint8_t minor;
    uint32_t patch;
    uint32_t packed;
    bool legacy;
};

const PackCase kPackCases[] = {
    {0, 0, 0, 0x00000000, true},
    {1, 10, 0x123456, 0x1A123456, true},
    {1, 15, 0xFFFFFF, 0x1FFFFFFF, true},
    {2, 0, 0xFFFFFF, 0x20FFFFFF, true},
    {2, 14, 7, 0x2E000007, true},  // last legacy minor for major 2
    {2, 15, 0, 0x2F020F00, false},
    {3, 0, 1, 0x2F030001, false},
    {255, 255, 255, 0x2FFFFFFF, false},
    // Minors that do not fit the legacy 4-bit field go to the current layout
    // instead of losing their high bits.
    {1, 16, 3, 0x2F011003, false},
    {0, 200, 1, 0x2F00C801, false},
};

TEST(VersionPack, PacksAndParsesBackInBothLayouts) {
    for (const PackCase& c : kPackCases) {
        SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor) + "." +
                     std::to_string(c.patch));
        const uint32_t packed = aVersion_Pack(c.major, c.minor, c.patch);
        EXPECT_EQ(packed, c.packed);
        EXPECT_EQ(aVersion_IsLegacyFormat(packed), c.legacy);
        EXPECT_EQ(aVersion_ParseMajor(packed), c.major);
        EXPECT_EQ(aVersion_ParseMinor(packed), c.minor);
        EXPECT_EQ(aVersion_ParsePatch(packed), c.patch);
    }
}

TEST(VersionPack, PatchWiderThanItsFieldIsTruncatedNotSpilled) {
    EXPECT_EQ(aVersion_Pack(1, 0, 0x01000001), 0x10000001u);
    EXPECT_EQ(aVersion_Pack(3, 0, 0x1FF), 0x2F0300FFu);
}

TEST(VersionParse, LayoutIsDecidedByTheTopTwoNibbles) {
    struct {
        uint32_t packed;
        bool legacy;
        uint8_t major, minor;
        uint32_t patch;
    } cases[] = {
        {0x1A123456, true, 1, 10, 0x123456},
        {0x2EFFFFFF, true, 2, 14, 0xFFFFFF},
        {0x2F000000, false, 0, 0, 0},
        {0x30010203, false, 1, 2, 3},  // top nibble 3: current layout
        {0xFFFFFFFF, false, 255, 255, 255},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.packed);
        EXPECT_EQ(aVersion_IsLegacyFormat(c.packed), c.legacy);
        EXPECT_EQ(aVersion_ParseMajor(c.packed), c.major);
        EXPECT_EQ(aVersion_ParseMinor(c.packed), c.minor);
        EXPECT_EQ(aVersion_ParsePatch(c.packed), c.patch);
    }
}

TEST(VersionParse, StringIsBoundedAndReportsFullLength) {
    char text[32];
    EXPECT_EQ(aVersion_ParseString(0x2F020F00, text, sizeof(text)), 6);
    EXPECT_STREQ(text, "2.15.0");
    EXPECT_EQ(aVersion_ParseString(0x1A123456, text, sizeof(text)), 12);
    EXPECT_STREQ(text, "1.10.1193046");

    char small[4];
    std::memset(small, 'x', sizeof(small));
    EXPECT_EQ(aVersion_ParseString(0x2F020F00, small, sizeof(small)), 6);
    EXPECT_STREQ(small, "2.1");
    EXPECT_EQ(aVersion_ParseString(0x2F020F00, nullptr, 10), 6);
}

TEST(LibraryVersion, PartsAndString) {
    EXPECT_EQ(aVersion_GetMajor(), 2);
    EXPECT_EQ(aVersion_GetMinor(), 12);
    EXPECT_EQ(aVersion_GetPatch(), 5u);
    EXPECT_STREQ(aVersion_GetString(), "2.12.5");
    EXPECT_EQ(aVersion_GetString(), aVersion_GetString());
}

// Run as its own process by CTest, so this is the string's first use.
TEST(LibraryVersion, ConcurrentFirstUseGivesOneString) {
    std::vector<const char*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] { seen[i] = aVersion_GetString(); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const char* text : seen) {
        EXPECT_EQ(text, seen[0]);
        EXPECT_STREQ(text, "2.12.5");
    }
}

TEST(LibraryVersion, IsAtLeast) {
    struct {
        uint8_t major, minor, patch;
        bool expected;
    } cases[] = {
        {2, 12, 5, true},   {2, 12, 6, false}, {3, 0, 0, false}, {1, 99, 99, true},
        {2, 11, 255, true}, {2, 13, 0, false}, {0, 0, 0, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(aVersion_IsAtLeast(c.major, c.minor, c.patch), c.expected)
            << int(c.major) << "." << int(c.minor) << "." << int(c.patch);
    }
}

TEST(LibraryVersion, IsAtLeastCompareIsLexicographic) {
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 10, 4, 2, 10, 4));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 10, 3, 2, 10, 4));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 11, 0, 2, 10, 255));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(3, 0, 0, 2, 255, 255));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(1, 255, 255, 2, 0, 0));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(255, 0, 0, 254, 255, 255));
}

TEST(LibraryFeatures, TableLookupAndList) {
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    for (const char* other : {"version", "VERSION ", "VERSIO", "", "Version Query API"}) {
        EXPECT_FALSE(aVersion_HasFeature(other)) << other;
    }
    EXPECT_FALSE(aVersion_HasFeature(nullptr));

    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    aVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
    aVersion_DestroyFeatureList(&list);
    aVersion_DestroyFeatureList(nullptr);
}

}  // namespace
