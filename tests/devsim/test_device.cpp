// The simulated controller driven through the real serial driver over its pty: every command,
// refusals, memory after erase and write, the modem dialogue, and each fault switch.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "device.h"
#include "frame_reader.h"
#include "frames.h"
#include "serial.h"
#include "settings.h"

namespace qdfu {
namespace {

class DeviceTest : public ::testing::Test {
protected:
    void Run(sim::Options opt = {}) {
        device = std::make_unique<sim::Device>(opt);
        ASSERT_TRUE(device->Open()) << device->Error();
        device->Start();
        SerialClose();
        SerialSetSimulation(false);
        ProcessSettings().ApplyLineSettings = 1;
        SerialSetPortResolver([this](uint32_t n) { return n == 1 ? device->Path() : std::string(); });
        ASSERT_EQ(SerialOpenDefault(1, 300), SERIAL_OK);
    }
    void TearDown() override {
        SerialClose();
        SerialSetPortResolver({});
        if (device) device->Stop();
    }
    BlockRecord Block(uint32_t address, uint8_t seed) {
        BlockRecord b;
        b.Length = 64;
        b.Address = address;
        for (int i = 0; i < 64; ++i) b.Data[static_cast<std::size_t>(i)] = static_cast<uint8_t>(seed + i);
        return b;
    }
    std::unique_ptr<sim::Device> device;
};

TEST_F(DeviceTest, AnswersEveryCommandAndKeepsItsMemory) {
    Run();
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(StartDfuFrame()), 0), SERIAL_OK);
    EXPECT_TRUE(device->InBootloader());
    const BlockRecord b = Block(0x2800, 0x01);
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(WriteFrame(b)), 0), SERIAL_OK);
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(ReadFrame(64, 0x2800)), 68), SERIAL_OK);
    EXPECT_EQ(RxLast, 67);
    EXPECT_TRUE(std::equal(b.Data.begin(), b.Data.end(), RxBuffer.begin() + 2));
    EXPECT_EQ(RxBuffer[66], FrameChecksum(RxBuffer.data(), 66));

    auto mem = device->Memory();
    EXPECT_EQ(mem[0x2800], 0x01);
    EXPECT_EQ(mem[0x2840], 0xFF);
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(EraseFrame(0x2840)), 0), SERIAL_OK);  // clears the page 0x2800
    mem = device->Memory();
    EXPECT_EQ(mem[0x2800], 0xFF);

    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(ResetFrame()), 0), SERIAL_OK);
    EXPECT_EQ(device->ResetCount(), 1);
    EXPECT_FALSE(device->InBootloader());
}

TEST_F(DeviceTest, OldFirmwareFlashOnlyClearsBitsUntilErased) {
    Run({.OldFirmware = true});
    const uint8_t old = sim::OldFirmwarePattern(0x2800);
    EXPECT_EQ(device->Memory()[0x2800], old);
    EXPECT_NE(old, 0xFF);
    const BlockRecord b = Block(0x2800, 0xF0);
    ASSERT_EQ(SerialTransact(static_cast<uint16_t>(WriteFrame(b)), 0), SERIAL_OK);
    EXPECT_EQ(device->Memory()[0x2800], old & 0xF0);
    ASSERT_EQ(SerialTransact(static_cast<uint16_t>(EraseFrame(0x2800)), 0), SERIAL_OK);
    ASSERT_EQ(SerialTransact(static_cast<uint16_t>(WriteFrame(b)), 0), SERIAL_OK);
    EXPECT_EQ(device->Memory()[0x2800], 0xF0);
    EXPECT_EQ(device->Memory()[0x3000], sim::OldFirmwarePattern(0x3000));  // the next page is untouched
}

TEST_F(DeviceTest, FirmwareAnswersTheFirstResetLine) {
    Run();
    SerialWrite(PutText(TEXT_RESET_1));
    ASSERT_EQ(SerialRead(18, true), SERIAL_OK);
    EXPECT_EQ(RxLast, 17);
    EXPECT_EQ(RxBuffer[17], 0x0D);
    SerialWrite(PutText(TEXT_RESET_2));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(device->InBootloader());
    EXPECT_EQ(device->FirmwareResetLines(), 2);
}

TEST_F(DeviceTest, ModemFramingCarriageReturnIsIgnored) {
    Run();
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(StartDfuFrame(true)), 0), SERIAL_OK);
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(WriteFrame(Block(0x3000, 9), true)), 0), SERIAL_OK);
    EXPECT_EQ(device->Memory()[0x3000], 9);
}

// ---- refusals and faults ----

TEST_F(DeviceTest, RefusesBadChecksumsAndOutOfRangeAccess) {
    Run();
    StartDfuFrame();
    TxBuffer[2] = 0x59;
    EXPECT_EQ(SerialTransact(4, 0), SERIAL_RX_NAK);
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(EraseFrame(0x2B000)), 0), SERIAL_RX_NAK);
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(WriteFrame(Block(0x2AFC1, 0))), 0), SERIAL_RX_NAK);
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(ReadFrame(64, 0x2AFC0)), 68), SERIAL_OK);
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(ReadFrame(64, 0xFFFFFFF0)), 0), SERIAL_RX_NAK);
}

TEST_F(DeviceTest, SilentNeverAnswers) {
    Run({.Silent = true});
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(StartDfuFrame()), 0), SERIAL_RX_TIMEOUT);
    EXPECT_EQ(device->FrameCount(), 2);
}

TEST_F(DeviceTest, NakEveryAndDropEvery) {
    Run({.NakEvery = 2});
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(StartDfuFrame()), 0), SERIAL_OK);      // frame 1
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(StartDfuFrame()), 0), SERIAL_OK);      // 2 refused, 3 taken
    SerialClose();
    device->Stop();
    Run({.DropEvery = 1});
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(StartDfuFrame()), 0), SERIAL_RX_TIMEOUT);
}

TEST_F(DeviceTest, CorruptReadDiffersAtThatAddressOnly) {
    Run({.CorruptRead = 0x2805});
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(WriteFrame(Block(0x2800, 0))), 0), SERIAL_OK);
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(ReadFrame(64, 0x2800)), 68), SERIAL_OK);
    EXPECT_EQ(RxBuffer[2 + 4], 4);
    EXPECT_NE(RxBuffer[2 + 5], 5);
    EXPECT_EQ(device->Memory()[0x2805], 5);
}

TEST_F(DeviceTest, NoiseBeforeAnswersDoesNotShiftThem) {
    Run({.Noise = true});
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(WriteFrame(Block(0x2800, 7))), 0), SERIAL_OK);
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(ReadFrame(64, 0x2800)), 68), SERIAL_OK);
    EXPECT_EQ(RxBuffer[0], 0x03);
    EXPECT_EQ(RxBuffer[2], 7);
}

TEST_F(DeviceTest, HangupCutsTheLine) {
    Run({.HangupAfter = 1});
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(StartDfuFrame()), 0), SERIAL_OK);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_NE(SerialTransact(static_cast<uint16_t>(StartDfuFrame()), 0), SERIAL_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(400));
    EXPECT_TRUE(device->LineCut());
}

TEST_F(DeviceTest, DelayAndBaudSlowTheAnswer) {
    Run({.DelayMs = 100, .Baud = 9600});
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(ReadFrame(64, 0x2800)), 68), SERIAL_OK);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    // 9 bytes out and 68 back at 9600 baud are 80 ms on the wire, plus the delay
    EXPECT_GE(ms, 175);
    EXPECT_LT(ms, 600);  // generous: sanitizer builds and a loaded machine
}

TEST_F(DeviceTest, GsmModemDialsAndBecomesTransparent) {
    Run({.Gsm = true});
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(StartDfuFrame()), 0), SERIAL_RX_TIMEOUT);  // not connected
    SerialWrite(PutText(MODEM_FCLASS));
    ASSERT_EQ(SerialRead(18, true), SERIAL_OK);
    ASSERT_EQ(SerialRead(18, true), SERIAL_OK);
    EXPECT_EQ(std::string(RxBuffer.begin(), RxBuffer.begin() + RxLast), "\nOK");
    SerialWrite(PutText(ModemDialCommand("3351234567")));
    std::vector<std::string> lines;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(SerialRead(18, true), SERIAL_OK);
        lines.emplace_back(RxBuffer.begin(), RxBuffer.begin() + RxLast + 1);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"\r", "\nCONNECT 9600\r", "AT\r"}));
    EXPECT_TRUE(device->Connected());
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(StartDfuFrame(true)), 0), SERIAL_OK);
}

TEST(FrameReaderTest, ReassemblesFramesAndLinesAndResyncs) {
    sim::FrameReader r;
    sim::ReaderEvent e{sim::ReaderEvent::TextLine, {}};
    const std::vector<uint8_t> frame{0x03, 0xA2, 0x01, 0, 0x28, 0, 0, 0x02, 0xD0, 0x02};
    int done = 0;
    for (uint8_t b : frame) done += r.Feed(b, e);
    EXPECT_EQ(done, 1);
    EXPECT_EQ(e.kind, sim::ReaderEvent::Frame);
    EXPECT_EQ(e.bytes, frame);
    for (uint8_t b : {'A', 'T', '\r'}) done += r.Feed(b, e);
    EXPECT_EQ(e.kind, sim::ReaderEvent::TextLine);
    EXPECT_EQ(e.bytes, (std::vector<uint8_t>{'A', 'T'}));
    EXPECT_FALSE(r.Feed(0x03, e));
    EXPECT_TRUE(r.Feed(0x77, e));  // unknown command
    EXPECT_EQ(e.kind, sim::ReaderEvent::BadFrame);
    EXPECT_FALSE(r.InFrame());
    for (int i = 0; i < 1000; ++i) r.Feed('x', e);  // a line never grows past its bound
    EXPECT_TRUE(r.Feed('\r', e));
    EXPECT_EQ(e.bytes.size(), sim::FrameReader::kMaxLine);
}

}  // namespace
}  // namespace qdfu
