// Boot frames byte for byte, with and without modem framing; hex text; answer data; text lines.
#include <gtest/gtest.h>

#include "frames.h"
#include "serial.h"

namespace qdfu {
namespace {

std::vector<uint8_t> Sent(int n) { return {TxBuffer.begin(), TxBuffer.begin() + n}; }

BlockRecord Block(uint32_t address, std::vector<uint8_t> data) {
    BlockRecord b;
    b.Length = static_cast<uint8_t>(data.size());
    b.Address = address;
    std::copy(data.begin(), data.end(), b.Data.begin());
    return b;
}

struct FrameCase {
    const char* name;
    std::function<int(bool)> build;
    std::vector<uint8_t> bytes;
};

class FrameTableTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameTableTest, BytesWithAndWithoutModemFraming) {
    const FrameCase& c = GetParam();
    RxBuffer.fill(0xEE);
    TxBuffer.fill(0xEE);
    const int n = c.build(false);
    EXPECT_EQ(Sent(n), c.bytes);
    EXPECT_EQ(TxBuffer[static_cast<std::size_t>(n)], 0);  // the rest was cleared
    EXPECT_EQ(RxBuffer[0], 0);
    const int m = c.build(true);
    std::vector<uint8_t> modem = c.bytes;
    modem.push_back(0x0D);
    EXPECT_EQ(m, n + 1);
    EXPECT_EQ(Sent(m), modem);
}

INSTANTIATE_TEST_SUITE_P(
    Worked, FrameTableTest,
    ::testing::Values(
        FrameCase{"Start", [](bool m) { return StartDfuFrame(m); }, {0x03, 0x55, 0x58, 0x02}},
        FrameCase{"Erase", [](bool m) { return EraseFrame(0x300000, m); }, {0x03, 0xA1, 0x00, 0x00, 0x30, 0x00, 0xD4, 0x02}},
        FrameCase{"WriteTwo", [](bool m) { return WriteFrame(Block(0x300000, {0x12, 0x34}), m); },
                  {0x03, 0xA2, 0x02, 0x00, 0x00, 0x30, 0x00, 0x12, 0x34, 0x1D, 0x02}},
        FrameCase{"WriteEmpty", [](bool m) { return WriteFrame(Block(0x300000, {}), m); },
                  {0x03, 0xA2, 0x00, 0x00, 0x00, 0x30, 0x00, 0xD5, 0x02}},
        FrameCase{"WriteEndBytesUnescaped", [](bool m) { return WriteFrame(Block(0x2800, {0x02, 0x03, 0x06}), m); },
                  {0x03, 0xA2, 0x03, 0x00, 0x28, 0x00, 0x00, 0x02, 0x03, 0x06, 0xDB, 0x02}},
        FrameCase{"Read16", [](bool m) { return ReadFrame(16, 0x300000, m); }, {0x03, 0xA3, 0x10, 0x00, 0x00, 0x30, 0x00, 0xE6, 0x02}},
        FrameCase{"Read64SumWraps", [](bool m) { return ReadFrame(64, 0x300000, m); }, {0x03, 0xA3, 0x40, 0x00, 0x00, 0x30, 0x00, 0x16, 0x02}},
        FrameCase{"EraseHighAddress", [](bool m) { return EraseFrame(0xFFFFFFFF, m); }, {0x03, 0xA1, 0xFF, 0xFF, 0xFF, 0xFF, 0xA0, 0x02}},
        FrameCase{"Reset", [](bool m) { return ResetFrame(m); }, {0x03, 0xA5, 0xA8, 0x02}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrameTest, FullWriteIs73BytesAnd74WithModemFraming) {
    BlockRecord b;
    b.Length = 64;
    b.Address = 0x2800;
    b.Data.fill(0x5A);
    EXPECT_EQ(WriteFrame(b), 73);
    EXPECT_EQ(TxBuffer[72], 0x02);
    EXPECT_EQ(WriteFrame(b, true), 74);
    EXPECT_EQ(TxBuffer[73], 0x0D);
}

TEST(FrameTest, OverlongWriteCarriesSixtyFourBytesAndSaysSo) {
    BlockRecord b;
    b.Length = 200;
    b.Address = 0x2800;
    b.Data.fill(0x11);
    ASSERT_EQ(WriteFrame(b), 73);
    EXPECT_EQ(TxBuffer[2], 64);
    EXPECT_EQ(TxBuffer[71], FrameChecksum(TxBuffer.data(), 71));
}

TEST(FrameTest, BlockRecordPacksFieldByField) {
    BlockRecord b = Block(0x12345678, {0xAA});
    const BlockRecordBytes p = PackBlockRecord(b);
    EXPECT_EQ(p.size(), 69u);
    EXPECT_EQ((std::vector<uint8_t>(p.begin(), p.begin() + 6)), (std::vector<uint8_t>{0x01, 0x78, 0x56, 0x34, 0x12, 0xAA}));
}

TEST(FrameTest, HexText) {
    const uint8_t bytes[] = {0x03, 0xA5, 0x0F};
    EXPECT_EQ(FrameHexText(bytes, 3, ""), "03A50F");
    EXPECT_EQ(FrameHexText(bytes, 3, " "), "03 A5 0F ");
    EXPECT_EQ(FrameHexText(bytes, 0, " "), "");
}

TEST(FrameTest, ReadAnswerDataSitsBetweenAckAndCheck) {
    RxBuffer.fill(0);
    const uint8_t answer[] = {0x03, 0x06, 0x11, 0x02, 0x33, 0x4F, 0x02};
    std::copy(std::begin(answer), std::end(answer), RxBuffer.begin());
    RxLast = 6;
    uint8_t out[8];
    ASSERT_EQ(ReadAnswerData(out, sizeof out), 3u);
    EXPECT_EQ(out[1], 0x02);
    RxLast = 3;
    EXPECT_EQ(ReadAnswerData(out, sizeof out), 0u);
}

TEST(TextLineTest, ResetLinesCarryTheirXorCheck) {
    for (std::string_view line : {TEXT_RESET_1, TEXT_RESET_2}) {
        ASSERT_EQ(line.size(), 18u);
        EXPECT_EQ(line.back(), '\r');
        uint8_t x = 0;
        for (char c : line.substr(0, 15)) x ^= static_cast<uint8_t>(c);
        char check[3];
        std::snprintf(check, sizeof check, "%02X", x);
        EXPECT_EQ(line.substr(15, 2), check);
    }
    EXPECT_EQ(MODEM_FCLASS.size(), 12u);
    EXPECT_EQ(MODEM_CBST.size(), 14u);
    EXPECT_EQ(ModemDialCommand("+39123"), "ATD+39123\r");
    EXPECT_EQ(ModemDialCommand(""), "ATD\r");
}

TEST(TextLineTest, PutTextCutsAtTheBufferSize) {
    EXPECT_EQ(PutText(std::string(2000, 'A')), SERIAL_BUFFER_SIZE);
    EXPECT_EQ(PutText("AT\r"), 3);
    EXPECT_EQ(TxBuffer[0], 'A');
}

}  // namespace
}  // namespace qdfu
