// HEX loader: image placement, range, listing and dump texts, validity, and the bounds it keeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "hex_loader.h"
#include "text_lines.h"

namespace qdfu {
namespace {

std::string Record(uint32_t address, uint8_t type, const std::vector<uint8_t>& data) {
    char buf[16];
    std::snprintf(buf, sizeof buf, ":%02X%04X%02X", static_cast<unsigned>(data.size()), address & 0xFFFF, type);
    std::string s = buf;
    unsigned sum = static_cast<unsigned>(data.size()) + ((address >> 8) & 0xFF) + (address & 0xFF) + type;
    for (uint8_t b : data) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        s += buf;
        sum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return s + buf;
}

std::string Ela(uint16_t upper) { return Record(0, 0x04, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)}); }

class HexLoaderTest : public ::testing::Test {
protected:
    HexLoadResult Load(const std::vector<std::string>& lines) { return LoadHexImage(lines, MemoryImage()); }
    const uint8_t* image() const { return MemoryImage(); }
};

TEST_F(HexLoaderTest, ListingAndDumpOfTheWorkedExample) {
    const auto r = Load({Ela(0), Record(0x2800, 0, {0x12, 0x34, 0x56, 0x00}), ":00000001FF"});
    ASSERT_TRUE(r.Valid);
    ASSERT_EQ(r.Listing.size(), 3u);
    EXPECT_EQ(r.Listing[0], "*** SET EXTENDED LINEAR ADDRESS [0000] ***");
    EXPECT_EQ(r.Listing[1], "00002800 12 34 56 00 ");
    EXPECT_EQ(r.Listing[2], "*** EOF ***");
    EXPECT_EQ(r.ImageStart, 0x2800);
    EXPECT_EQ(r.ImageEnd, 0x2900);
    ASSERT_EQ(r.Dump.size(), 4u);
    EXPECT_EQ(r.Dump[0].substr(0, 21), "00002800 12 34 56 00 ");
    EXPECT_EQ(r.Dump[0].size(), 9u + 64 * 3);
    EXPECT_EQ(r.Dump[1].substr(0, 9), "00002840 ");
}

TEST_F(HexLoaderTest, ImageEndRoundsOnTheLastNonZeroByte) {
    struct Case { int32_t lastIndex; int32_t end; } cases[] = {{0x1FF, 0x2A00}, {0x200, 0x2B00}, {0, 0x2900}};
    for (const auto& c : cases) {
        const auto r = Load({Record(0x2800, 0, {0x01}), Record(static_cast<uint32_t>(0x2800 + c.lastIndex), 0, {0xAA, 0x00, 0x00})});
        EXPECT_EQ(r.ImageEnd, c.end) << c.lastIndex;
    }
}

TEST_F(HexLoaderTest, DataBelowTheBootloaderAreaIsListedButNotStored) {
    const auto r = Load({Record(0x0000, 0, {0x00, 0x28, 0x04, 0x00}), Record(0x0100, 0, {0xAB}), ":00000001FF"});
    EXPECT_TRUE(r.Valid);
    EXPECT_EQ(r.ImageStart, -1);
    EXPECT_EQ(r.ImageEnd, 255);
    ASSERT_EQ(r.Dump.size(), 4u);
    EXPECT_EQ(r.Dump[0].substr(0, 9), "FFFFFFFF ");
    EXPECT_EQ(r.Dump[1].substr(0, 9), "0000003F ");
    EXPECT_TRUE(std::all_of(image(), image() + MEMORY_IMAGE_SIZE, [](uint8_t b) { return b == 0; }));
}

TEST_F(HexLoaderTest, OtherRecordTypesKeepTheFileValid) {
    const auto r = Load({Record(0, 0x02, {0x10, 0x00}), Record(0, 0x03, {0, 0, 0, 0}), Record(0, 0x05, {0, 0, 0x28, 0}),
                         Record(0x2800, 0, {0x11}), ":00000001FF", Record(0x2810, 0, {0x22})});
    ASSERT_TRUE(r.Valid);
    EXPECT_EQ(r.Listing[0], "*** SET EXTENDED SEGMENT ADDRESS [1000] ***");
    EXPECT_EQ(r.Listing[1], "");
    EXPECT_EQ(r.Listing[2], "");
    EXPECT_EQ(r.ImageStart, 0x2800);  // the segment record moved nothing
    EXPECT_EQ(image()[0], 0x11);
    EXPECT_EQ(image()[0x10], 0x22);  // records after the end-of-file record are stored
}

TEST_F(HexLoaderTest, WrongChecksumIsAccepted) {
    const auto r = Load({":0128000099FF", ":00000001FF"});
    EXPECT_TRUE(r.Valid);
    EXPECT_EQ(image()[0], 0x99);
}

TEST_F(HexLoaderTest, RecordOrderDoesNotChangeTheImage) {
    std::vector<std::string> lines;
    std::mt19937 rng(7);
    std::vector<uint8_t> expected(0x1000);
    for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<uint8_t>(rng() | 1);
    for (uint32_t off = 0; off < expected.size(); off += 16)
        lines.push_back(Record(0x2800 + off, 0, {expected.begin() + off, expected.begin() + off + 16}));
    const auto ordered = Load(lines);
    const std::vector<uint8_t> first(image(), image() + MEMORY_IMAGE_SIZE);
    std::shuffle(lines.begin(), lines.end(), rng);
    const auto shuffled = Load(lines);
    ASSERT_TRUE(shuffled.Valid);
    EXPECT_EQ(shuffled.ImageStart, ordered.ImageStart);
    EXPECT_EQ(shuffled.ImageEnd, ordered.ImageEnd);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), image()));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), image()));
}

TEST_F(HexLoaderTest, ConfigurationWordsAreListedButNeverStored) {
    const auto r = Load({Record(0x2800, 0, {0x01, 0x02}), Ela(0x01F0), Record(0, 0, {0xCF, 0xFF, 0, 0}), ":00000001FF"});
    ASSERT_TRUE(r.Valid);
    EXPECT_EQ(r.Listing[2], "01F00000 CF FF 00 00 ");
    EXPECT_EQ(r.ImageStart, 0x2800);
    EXPECT_EQ(r.ImageEnd, 0x2900);
}

TEST_F(HexLoaderTest, TheBundledExampleLoads) {
    std::vector<std::string> lines;
    ASSERT_TRUE(ReadTextLines(std::string(QDFU_EXAMPLES_DIR) + "/quarnelix_v3_demo.hex", lines));
    const auto r = Load(lines);
    ASSERT_TRUE(r.Valid);
    EXPECT_EQ(r.ImageStart, 0x2800);
    EXPECT_EQ(r.ImageEnd, 0x3400);
    EXPECT_EQ(r.Listing.size(), lines.size());
    EXPECT_EQ(r.Dump.size(), 48u);
}

// ---- failure paths ----

TEST_F(HexLoaderTest, LineWithoutColonMakesTheFileInvalidButIsInterpreted) {
    const auto r = Load({"X0128000099FF", ":00000001FF"});
    EXPECT_FALSE(r.Valid);
    EXPECT_FALSE(r.Fault);
    EXPECT_EQ(r.Listing.size(), 2u);
    EXPECT_EQ(image()[0], 0x99);
}

TEST_F(HexLoaderTest, EmptyLineAnywhereIsAFault) {
    for (const auto& lines : {std::vector<std::string>{Record(0x2800, 0, {1}), "", ":00000001FF"},
                              std::vector<std::string>{Record(0x2800, 0, {1}), ":00000001FF", ""}}) {
        const auto r = Load(lines);
        EXPECT_FALSE(r.Valid);
        EXPECT_TRUE(r.Fault);
        EXPECT_TRUE(r.Dump.empty());
    }
}

TEST_F(HexLoaderTest, FaultKeepsTheRunningMaximum) {
    // a data byte missing at the end of a stored record: the load stops there
    const auto r = Load({Record(0x2800, 0, {1, 2}), Record(0x3000, 0, {3}), ":0428100001"});
    EXPECT_FALSE(r.Valid);
    EXPECT_TRUE(r.Fault);
    EXPECT_EQ(r.FaultLine, 2u);
    EXPECT_EQ(r.ImageStart, 0x2800);
    EXPECT_EQ(r.ImageEnd, 0x3001);
    EXPECT_TRUE(r.Dump.empty());
    EXPECT_EQ(r.Listing.size(), 2u);
}

TEST_F(HexLoaderTest, ShortDataBelowTheBootloaderAreaIsNoFault) {
    const auto r = Load({":04010000AB", ":00000001FF"});
    EXPECT_TRUE(r.Valid);
    EXPECT_EQ(r.Listing[0], "0100 AB    ");
}

TEST_F(HexLoaderTest, NonHexFieldsAreFaults) {
    for (const char* bad : {":ZZ280000", ":0128000G99", ":012800", ":01X8000099"}) {
        const auto r = Load({bad});
        EXPECT_TRUE(r.Fault) << bad;
        EXPECT_FALSE(r.Valid) << bad;
    }
}

TEST_F(HexLoaderTest, ProgramBytesBeyondTheImageAreRejected) {
    // 0x2800 .. 0x2D800 is exactly the image; one byte further is not
    const auto fits = Load({Record(0x2800, 0, {1}), Ela(0x0002), Record(0xD7FF, 0, {2})});
    EXPECT_TRUE(fits.Valid);
    EXPECT_EQ(image()[MEMORY_IMAGE_SIZE - 1], 2);
    const auto over = Load({Record(0x2800, 0, {1}), Ela(0x0002), Record(0xD7FF, 0, {2, 3})});
    EXPECT_FALSE(over.Valid);
    EXPECT_TRUE(over.Fault);
    const auto far = Load({Record(0x2800, 0, {1}), Ela(0x00FF), Record(0xFF00, 0, {2})});
    EXPECT_FALSE(far.Valid);
}

TEST_F(HexLoaderTest, UpperAddressTextThatIsNotHexIsAFault) {
    const auto r = Load({":02000004ZZZZ00", Record(0x2800, 0, {1})});
    EXPECT_TRUE(r.Fault);
    EXPECT_EQ(r.FaultLine, 1u);
}

TEST_F(HexLoaderTest, ImageOnlyLoadAgreesWithTheFullLoad) {
    for (const char* text : {":0428000001020304EA\r\n:00000001FF\r\n", ":042800000102G304EA\r\n", ":0428000001\n",
                             ":02000004FFFF00\n:0100000011EE\n"}) {
        const auto full = LoadHexText(text, MemoryImage());
        const std::vector<uint8_t> first(MemoryImage(), MemoryImage() + 16);
        const auto bare = LoadHexText(text, MemoryImage(), false);
        EXPECT_EQ(bare.Valid, full.Valid) << text;
        EXPECT_EQ(bare.Fault, full.Fault) << text;
        EXPECT_EQ(bare.ImageStart, full.ImageStart) << text;
        EXPECT_EQ(bare.ImageEnd, full.ImageEnd) << text;
        EXPECT_TRUE(bare.Listing.empty());
        if (!full.Fault) {
            EXPECT_TRUE(std::equal(first.begin(), first.end(), MemoryImage())) << text;
        }
    }
}

TEST(BlockCountTest, RoundsUpAndRefusesReversedRanges) {
    EXPECT_EQ(BlockCount(0x2800, 0x2900), 4);
    EXPECT_EQ(BlockCount(0x2800, 0x2801), 1);
    EXPECT_EQ(BlockCount(-1, 255), 4);
    EXPECT_EQ(BlockCount(0x2900, 0x2800), 0);
    EXPECT_EQ(BlockCount(-1, -1), 0);
}

}  // namespace
}  // namespace qdfu
