// Reading of the manual panel's hex fields and data tokens.
#include <gtest/gtest.h>

#include "manual_commands.h"

namespace qdfu {
namespace {

TEST(ParseHexFieldTest, Table) {
    struct Case { const char* text; bool ok; uint32_t value; } cases[] = {
        {"300000", true, 0x300000}, {"  2a\t", true, 0x2A}, {"\x01" "ff\r", true, 0xFF},
        {"FFFFFFFF", true, 0xFFFFFFFF}, {"000000001", true, 1}, {"", false, 0}, {"   ", false, 0},
        {"0x10", false, 0}, {"-1", false, 0}, {"1 2", false, 0}, {"100000000", false, 0}, {"xyz", false, 0},
    };
    for (const auto& c : cases) {
        uint32_t v = 0;
        EXPECT_EQ(ParseHexField(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(ParseDataTokensTest, RunsOfSpacesLowestBitsAndNonNumbers) {
    const DataTokens t = ParseDataTokens("1  2 1FF 100 zz\t3 ");
    EXPECT_EQ(t.Count, 5u);
    EXPECT_EQ(t.Bytes, (std::vector<uint8_t>{0x01, 0x02, 0xFF, 0x00, 0x00}));
    EXPECT_EQ(ParseDataTokens("").Count, 0u);
    EXPECT_EQ(ParseDataTokens("     ").Count, 0u);
    EXPECT_EQ(ParseDataTokens(std::string(1000, 'A')).Count, 1u);
}

TEST(HexDigitsTest, FixedWidth) {
    EXPECT_EQ(HexDigits(0x300000, 8), "00300000");
    EXPECT_EQ(HexDigits(16, 2), "10");
}

TEST(SplitIntoBlocksTest, TheRecordItself) {
    BlockRecord b;
    b.Length = 3;
    b.Address = 9;
    const auto blocks = SplitIntoBlocks(b);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].Address, 9u);
}

}  // namespace
}  // namespace qdfu
