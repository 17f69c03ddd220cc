// HEX loader: image placement, range, listing and dump texts, validity, and the bounds it keeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
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

// The range runs from the lowest stored byte to after the last byte the file gives, zero or not,
// rounded up to 256 bytes; a record that crosses into program memory is stored from 0x2800 on.
struct RangeCase {
    const char* name;
    std::vector<std::string> lines;
    int32_t start;
    int32_t end;
    std::vector<uint8_t> head;  // the image's first bytes
};

class ImageRangeTest : public HexLoaderTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(ImageRangeTest, StartEndAndFirstBytes) {
    const RangeCase& c = GetParam();
    const auto r = Load(c.lines);
    ASSERT_TRUE(r.Valid);
    EXPECT_EQ(r.ImageStart, c.start);
    EXPECT_EQ(r.ImageEnd, c.end);
    EXPECT_EQ(r.Dump.size(), static_cast<std::size_t>((c.end - c.start) / 64));
    EXPECT_EQ(std::vector<uint8_t>(image(), image() + c.head.size()), c.head);
}

std::vector<uint8_t> Counting(std::size_t n, uint8_t from) {
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(from + i);
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Loads, ImageRangeTest,
    ::testing::Values(
        RangeCase{"LastByteNonZeroAt1FF", {Record(0x2800, 0, {1}), Record(0x29FF, 0, {0xAA})}, 0x2800, 0x2A00, {1}},
        RangeCase{"LastByteNonZeroAt200", {Record(0x2800, 0, {1}), Record(0x2A00, 0, {0xAA})}, 0x2800, 0x2B00, {1}},
        RangeCase{"OneByte", {Record(0x2800, 0, {1})}, 0x2800, 0x2900, {1}},
        RangeCase{"TrailingZerosCount", {Record(0x2800, 0, {1}), Record(0x29FE, 0, {0xAA, 0, 0})}, 0x2800, 0x2B00, {1}},
        RangeCase{"OnlyZeros", {Record(0x2800, 0, std::vector<uint8_t>(32, 0)), Record(0x2FF0, 0, std::vector<uint8_t>(16, 0))},
                  0x2800, 0x3000, {0, 0}},
        RangeCase{"RecordCrossing2800", {Record(0x27F0, 0, Counting(0x20, 1))}, 0x2800, 0x2900, Counting(0x10, 0x11)},
        RangeCase{"CrossingRecordAfterHigherData", {Record(0x2810, 0, {0xEE}), Record(0x27FE, 0, {1, 2, 3})}, 0x2800,
                  0x2900, {3, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

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
    const auto r = Load({Record(0, 0x02, {0x00, 0x00}), Record(0, 0x03, {0, 0, 0, 0}), Record(0, 0x05, {0, 0, 0x28, 0}),
                         Record(0x2800, 0, {0x11}), ":00000001FF", Record(0x2810, 0, {0x22})});
    ASSERT_TRUE(r.Valid);
    EXPECT_EQ(r.Listing[0], "*** SET EXTENDED SEGMENT ADDRESS [0000] ***");
    EXPECT_EQ(r.Listing[1], "");
    EXPECT_EQ(r.Listing[2], "");
    EXPECT_EQ(r.ImageStart, 0x2800);  // the segment record moved nothing
    EXPECT_EQ(image()[0], 0x11);
    EXPECT_EQ(image()[0x10], 0x22);  // records after the end-of-file record are stored
}

// A wrong checksum keeps the file valid and its bytes in the image, but is counted and named, so
// that the callers can refuse a damaged file.
TEST_F(HexLoaderTest, WrongChecksumKeepsTheFileValidAndIsNamed) {
    const auto r = Load({Record(0x2800, 0, {1, 2}), ":0128000099FF", ":0128010099", ":00000001FF"});
    EXPECT_TRUE(r.Valid);
    EXPECT_EQ(image()[0], 0x99);
    EXPECT_EQ(r.ChecksumErrors, 2u);
    EXPECT_EQ(r.ChecksumLine, 1u);
    EXPECT_EQ(r.ChecksumText, "line 2: checksum 0xFF, the record's bytes give 0x3E: the file is damaged");
    EXPECT_EQ(Load({":0128010099"}).ChecksumText, "line 1: no checksum after the data, the record's bytes give 0x3D: the file is damaged");
    EXPECT_EQ(Load({":0128010099ZZ"}).ChecksumText,
              "line 1: the checksum 'ZZ' is not hexadecimal, the record's bytes give 0x3D: the file is damaged");
    EXPECT_EQ(Load({Record(0x2800, 0, {1, 2}), Record(0, 4, {0, 0}), ":00000001FF"}).ChecksumErrors, 0u);
}

// Why a file is invalid: the first line at fault, its record's address and the cause.
TEST_F(HexLoaderTest, FaultTextsNameLineAddressAndCause) {
    const struct {
        std::vector<std::string> lines;
        const char* text;
    } cases[] = {
        {{Record(0x2800, 0, {1}), Ela(0x000A), Record(0xAFE0, 0, {1, 2})},
         "line 3: data at 0x000AAFE0: the controller's program memory ends at 0x2B000 (is this file built for "
         "another device?)"},
        {{Record(0x2800, 0, {1}), "", ":00000001FF"}, "line 2: the line is empty"},
        {{"1028000001"}, "line 1: the line does not start with ':'"},
        {{":0A"}, "line 1: the line is too short for a record (3 characters)"},
        {{":1G28000000"}, "line 1: the byte count '1G' or the record type '00' is not hexadecimal"},
        {{":0128Z00001FF"}, "line 1: the address '28Z0' is not hexadecimal"},
        {{":0428000001"}, "line 1: data at 0x00002800: the line ends before its 4 data bytes"},
        {{":042800000102G304EA"}, "line 1: data at 0x00002800: byte 3 'G3' is not hexadecimal"},
        // an extended address of another length would move every byte after it
        {{Record(0x2800, 0, {1}), Record(0, 0x04, {0x00})}, "line 2: record type 04 carries 2 data bytes, this one 1"},
        {{Record(0x2800, 0, {1}), Record(0, 0x04, {0, 0, 0, 1})}, "line 2: record type 04 carries 2 data bytes, this one 4"},
    };
    for (const auto& c : cases) {
        const auto r = Load(c.lines);
        EXPECT_FALSE(r.Valid) << c.text;
        EXPECT_EQ(r.FaultText, c.text);
    }
    EXPECT_EQ(Load({Record(0x2800, 0, {1})}).FaultText, "");
}

// The bytes the file gives, as the map the upload's --skip-gaps and verify read: a record that
// runs from below 0x1000000 past it gives only its bytes below (the rest are configuration words).
TEST_F(HexLoaderTest, GivenBytesAreMapped) {
    const auto r = Load({Record(0x2840, 0, {1, 0}), Record(0x2800, 0, {0})});
    ASSERT_TRUE(r.Valid);
    EXPECT_EQ(r.ImageStart, 0x2800);
    EXPECT_EQ(r.Given[0], 1);
    EXPECT_EQ(r.Given[1], 0);
    EXPECT_EQ(r.Given[0x40], 1);
    EXPECT_EQ(r.Given[0x41], 1);  // a zero the file gives is given
    EXPECT_EQ(r.Given[0x42], 0);
    const auto edge = Load({Ela(0x00FF), Record(0xFFFE, 0, {0xA1, 0xA2, 0xA3, 0xA4})});
    ASSERT_TRUE(edge.Valid);
    EXPECT_EQ(edge.Listing[1], "00FFFFFE A1 A2 A3 A4 ");
    EXPECT_EQ(edge.ImageStart, 0xFFFFFE);
    EXPECT_EQ(edge.ImageEnd, 0xFFFFFE + 256);
    EXPECT_EQ(std::vector<uint8_t>(image(), image() + 4), (std::vector<uint8_t>{0xA1, 0xA2, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(edge.Given.begin(), edge.Given.begin() + 4), (std::vector<uint8_t>{1, 1, 0, 0}));
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

// Program memory ends at 0x2B000: a file that gives a byte there (within the image, so it loads)
// cannot be uploaded, the first such byte named; its last address 0x2AFFF can.
TEST_F(HexLoaderTest, BytesFromTheEndOfProgramMemoryOnAreRefusedForUpload) {
    const struct {
        uint16_t address;
        std::vector<uint8_t> data;
        const char* refusal;
    } cases[] = {
        {0xAFFF, {1}, ""},
        {0xB000, {1}, "data at 0x0002B000: the controller's program memory ends at 0x2B000 (is this file built for "
                      "another device?)"},
        {0xAFFE, {1, 2, 3}, "data at 0x0002B000: the controller's program memory ends at 0x2B000 (is this file "
                            "built for another device?)"},
    };
    for (const auto& c : cases) {
        const auto r = Load({Record(0x2800, 0, {1}), Ela(0x0002), Record(c.address, 0, c.data), ":00000001FF"});
        ASSERT_TRUE(r.Valid) << c.address;
        EXPECT_EQ(UploadRefusal(r), c.refusal) << c.address;
    }
}

TEST_F(HexLoaderTest, UpperAddressTextThatIsNotHexIsAFault) {
    const auto r = Load({":02000004ZZZZ00", Record(0x2800, 0, {1})});
    EXPECT_TRUE(r.Fault);
    EXPECT_EQ(r.FaultLine, 0u);  // the record itself, before any data follows it
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

// Files made at random, good and faulty: the image-only path and the full load must agree on
// validity, range and every image byte, faults included.
std::string GeneratedFile(std::mt19937& rng) {
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    std::string text;
    const uint32_t records = 1 + pick(24);
    for (uint32_t i = 0; i < records; ++i) {
        std::string line;
        switch (pick(10)) {
            case 0: line = Ela(static_cast<uint16_t>(pick(4) == 0 ? 0x01F0 : pick(3))); break;
            case 1: line = pick(2) ? ":00000001FF" : Record(0, static_cast<uint8_t>(2 + pick(4)), {0x10, 0x00}); break;
            default: {
                std::vector<uint8_t> data(pick(40));
                for (auto& b : data) b = static_cast<uint8_t>(pick(3) == 0 ? 0 : rng());
                line = Record(0x2780 + pick(0x400), 0, data);
                if (pick(3) == 0)
                    for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
        }
        switch (pick(24)) {  // a fault now and then
            case 0: if (line.size() > 10) line[9 + pick(static_cast<uint32_t>(line.size() - 9))] = 'G'; break;  // either nibble
            case 1: if (line.size() > 10) line[10] = 'x'; break;  // a low nibble
            case 2: line.resize(pick(static_cast<uint32_t>(line.size()))); break;
            case 3: line[1] = 'F'; break;  // a count far beyond the data
            case 4: line[0] = ';'; break;
            case 5: if (line.size() > 10) line[9 + pick(static_cast<uint32_t>(line.size() - 9))] = '\xB0'; break;  // '0' | 0x80
            default: break;
        }
        text += line;
        text += pick(2) ? "\r\n" : "\n";
    }
    return text;
}

TEST(HexLoadPathsTest, ImageOnlyAndFullLoadAgreeOnGeneratedFiles) {
    static std::vector<uint8_t> bareImage(MEMORY_IMAGE_SIZE);
    std::mt19937 rng(2026);
    int valid = 0;
    int faults = 0;
    for (int n = 0; n < 3000; ++n) {
        const std::string text = GeneratedFile(rng);
        const auto bare = LoadHexText(text, bareImage.data(), false);
        const auto full = LoadHexText(text, MemoryImage());
        ASSERT_EQ(bare.Valid, full.Valid) << text;
        ASSERT_EQ(bare.Fault, full.Fault) << text;
        ASSERT_EQ(bare.ImageStart, full.ImageStart) << text;
        ASSERT_EQ(bare.ImageEnd, full.ImageEnd) << text;
        ASSERT_TRUE(std::equal(bareImage.begin(), bareImage.end(), MemoryImage())) << text;
        ASSERT_EQ(bare.FaultText, full.FaultText) << text;
        ASSERT_EQ(bare.ChecksumText, full.ChecksumText) << text;
        ASSERT_EQ(bare.Given, full.Given) << text;
        valid += full.Valid;
        faults += full.Fault;
    }
    EXPECT_GT(valid, 300);  // both kinds are well represented
    EXPECT_GT(faults, 300);
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
