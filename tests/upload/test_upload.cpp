// Upload sequences end to end through real ptys against the simulated device in a thread: block
// walk, erases, verification, counters, simulation, abort, refusals, mismatches, the guards, the
// GSM modem, and a fault table. The device's memory is checked wherever a transfer happened.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "device.h"
#include "frames.h"
#include "hex_loader.h"
#include "manual_commands.h"
#include "recording_view.h"
#include "serial.h"
#include "settings.h"
#include "transcript_backend.h"
#include "upload.h"

namespace qdfu {
namespace {

using test::RecordingView;
constexpr int32_t kTimeout = 150;

class UploadTest : public ::testing::Test {
protected:
    void SetUp() override {
        SerialClose();
        SerialSetSimulation(false);
        ProcessSettings() = SettingsRecord{};
    }
    void TearDown() override {
        SerialClose();
        SerialSetSimulation(false);
        SerialSetPortResolver({});
        SerialSetBackendFactory({});
        if (device) device->Stop();
    }
    void StartDevice(sim::Options opt = {}) {
        device = std::make_unique<sim::Device>(opt);
        ASSERT_TRUE(device->Open()) << device->Error();
        device->Start();
        SerialSetPortResolver([this](uint32_t n) { return n == 3 ? device->Path() : std::string("/nonexistent"); });
    }
    // An image of `bytes` non-zero bytes at start.
    void MakeImage(int32_t start, int32_t bytes) {
        std::memset(MemoryImage(), 0, MEMORY_IMAGE_SIZE);
        for (int32_t i = 0; i < bytes; ++i) MemoryImage()[i] = static_cast<uint8_t>((i * 7 + 1) | 1);
        imageStart = start;
        imageEnd = start + bytes;
        valid = true;
    }
    UploadResult Direct(RecordingView& view, bool simulate = false) {
        UploadRequest req;
        req.PortText = portText;
        req.AutoPortSelect = true;
        req.Simulate = simulate;
        req.TimeoutMs = kTimeout;
        req.SaveSettings = [this] { ++saves; };
        return UploadDirect(req, Image(), view);
    }
    UploadResult Gsm(RecordingView& view, bool simulate = false) {
        UploadRequest req;
        req.PortText = portText;
        req.Simulate = simulate;
        req.DialNumber = "3351234567";
        req.TimeoutMs = kTimeout;
        req.SaveSettings = [this] { ++saves; };
        return UploadGsm(req, Image(), view);
    }
    UploadImage Image() const { return {MemoryImage(), &imageStart, &imageEnd, &valid, given}; }
    std::vector<uint8_t> Commands() const {
        std::vector<uint8_t> out;
        for (const auto& f : device->Frames()) out.push_back(f[1]);
        return out;
    }
    void ExpectDeviceHoldsImage(int32_t blocks) const {
        const auto mem = device->Memory();
        EXPECT_TRUE(std::equal(MemoryImage(), MemoryImage() + blocks * 64, mem.begin() + imageStart));
    }

    std::unique_ptr<sim::Device> device;
    const uint8_t* given = nullptr;
    int32_t imageStart = -1;
    int32_t imageEnd = -1;
    bool valid = false;
    std::string portText = "COM3";
    int saves = 0;
};

TEST_F(UploadTest, FourBlocksVerifiedOnlyOnTheFourth) {
    StartDevice();
    MakeImage(0x2800, 256);
    RecordingView view;
    view.verify = true;
    const UploadResult r = Direct(view);
    EXPECT_EQ(r.Outcome, UploadOutcome::Completed);
    EXPECT_EQ(view.log, (std::vector<std::string>{
                            "Parametri di Comunicazione: COM3:9600,N,8,1", "Apertura Porta di Comunicazione: OK",
                            " *** Reset sdPIC *** ", " *** Start BootLoader *** ",
                            " *** Inizio Trasferimento Firmware *** ", " *** Trasferimento Firmware in Corso... *** ",
                            "Reset CPU", "Trasferimento Firmware Completato", "Chiusura Porta di Comunicazione"}));
    EXPECT_EQ(Commands(), (std::vector<uint8_t>{CMD_START_DFU, CMD_ERASE, CMD_WRITE, CMD_WRITE, CMD_WRITE, CMD_WRITE,
                                                CMD_READ, CMD_RESET}));
    EXPECT_EQ(device->Frames()[6][3], 0xC0);  // the read-back is of block 3, at 0x28C0
    EXPECT_EQ(r.Counters.BytesSent, 18u + 4 + 68 * 4 + 68);
    EXPECT_EQ(r.Counters.ExchangeCount, 4u + 1 + 1);
    EXPECT_EQ(r.Counters.FirmwareBytesSent, 256u);
    EXPECT_EQ(view.stats[StatField::STTot2], std::to_string(r.Counters.BytesSent));
    EXPECT_EQ(view.stats[StatField::STTot5], "-");
    EXPECT_EQ(view.stats[StatField::STTot1], "000028C0");
    EXPECT_EQ(view.stats[StatField::STEsito], "Trasferimento Firmware Completato");
    EXPECT_EQ(view.stats[StatField::STFrame2].size(), 9u * 3);  // the read frame was the last shown
    EXPECT_EQ(view.stats[StatField::STFrame3].size(), 67u * 3);  // the answer without its last byte
    EXPECT_EQ(view.rows, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(view.progressMax, 4);
    EXPECT_EQ(view.operations.back(), Operation::ResetCpu);
    EXPECT_EQ(device->ResetCount(), 1);
    EXPECT_EQ(device->FirmwareResetLines(), 2);
    ExpectDeviceHoldsImage(4);
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(ProcessSettings().PortNumber, 3);
    EXPECT_EQ(ProcessSettings().AutoPortSelect, 1);
    EXPECT_EQ(ProcessSettings().ApplyLineSettings, 1);
    EXPECT_EQ(ProcessSettings().VerifyAfterWrite, 1);  // the option now survives a restart
}

// --verify reads back every fourth written block, --verify-all every one, each right after its
// write; without verification nothing is read.
TEST_F(UploadTest, ReadBacksFollowTheVerifyRule) {
    const struct {
        bool verify;
        int every;
        std::vector<uint32_t> reads;
    } cases[] = {
        {true, VERIFY_EVERY, {0x28C0, 0x29C0}},
        {true, 1, {0x2800, 0x2840, 0x2880, 0x28C0, 0x2900, 0x2940, 0x2980, 0x29C0}},
        {false, 1, {}},
    };
    for (const auto& c : cases) {
        StartDevice();
        MakeImage(0x2800, 8 * 64);
        RecordingView view;
        view.verify = c.verify;
        UploadRequest req;
        req.PortText = portText;
        req.TimeoutMs = kTimeout;
        req.VerifyEvery = c.every;
        ASSERT_EQ(UploadDirect(req, Image(), view).Outcome, UploadOutcome::Completed);
        std::vector<uint32_t> reads;
        uint32_t lastWrite = 0;
        for (const auto& f : device->Frames()) {
            if (f[1] != CMD_WRITE && f[1] != CMD_READ) continue;
            const uint32_t at = f[3] | f[4] << 8 | f[5] << 16 | uint32_t{f[6]} << 24;
            if (f[1] == CMD_WRITE) lastWrite = at;
            if (f[1] != CMD_READ) continue;
            reads.push_back(at);
            EXPECT_EQ(at, lastWrite);  // the block just written
        }
        EXPECT_EQ(reads, c.reads) << c.every;
        device->Stop();
    }
}

TEST_F(UploadTest, FewerThanFourBlocksAreNeverReadBack) {
    StartDevice();
    MakeImage(0x2800, 192);
    RecordingView view;
    view.verify = true;
    EXPECT_EQ(Direct(view).Outcome, UploadOutcome::Completed);
    for (uint8_t c : Commands()) EXPECT_NE(c, CMD_READ);
}

TEST_F(UploadTest, ErasesComeAtEachPageBoundary) {
    StartDevice();
    MakeImage(0x2800, 0x1000);
    RecordingView view;
    const UploadResult r = Direct(view);
    ASSERT_EQ(r.Outcome, UploadOutcome::Completed);
    std::vector<std::size_t> erasedBefore;
    std::size_t writes = 0;
    for (const auto& f : device->Frames()) {
        if (f[1] == CMD_ERASE) erasedBefore.push_back(writes);
        if (f[1] == CMD_WRITE) ++writes;
    }
    EXPECT_EQ(erasedBefore, (std::vector<std::size_t>{0, 32}));
    EXPECT_EQ(writes, 64u);
    EXPECT_EQ(r.Counters.ExchangeCount, 64u + 2);
    EXPECT_EQ(r.Counters.BytesSent, 18u + 4 + 68 * 64);
    ExpectDeviceHoldsImage(64);
}

TEST_F(UploadTest, SimulationOpensNothingAndCountsAsARealRun) {
    SerialSetPortResolver([](uint32_t) { return std::string("/nonexistent"); });
    MakeImage(0x2800, 512);
    RecordingView view;
    view.verify = true;
    const UploadResult r = Direct(view, true);
    EXPECT_EQ(r.Outcome, UploadOutcome::Completed);
    EXPECT_EQ(r.StartAttempts, 1);
    EXPECT_EQ(r.Counters.BytesSent, 18u + 4 + 68 * 8 + 68 * 2);
    EXPECT_EQ(r.Counters.ExchangeCount, 8u + 1 + 2);
    EXPECT_EQ(view.log[1], "Apertura Porta di Comunicazione: OK");
    EXPECT_FALSE(SerialIsOpen());
}

TEST_F(UploadTest, AbortDuringTheFirstStartAttemptFailsAfterACpuReset) {
    StartDevice();
    MakeImage(0x2800, 256);
    RecordingView view;
    view.onEvents = [](RecordingView& v) {
        if (v.log.back() == " *** Start BootLoader *** ") v.active = false;
    };
    const UploadResult r = Direct(view);
    EXPECT_EQ(r.Outcome, UploadOutcome::Failed);
    EXPECT_EQ(Commands(), (std::vector<uint8_t>{CMD_RESET}));
    EXPECT_EQ(view.stats[StatField::STEsito], "Trasferimento Firmware Fallito!!!");
}

TEST_F(UploadTest, AbortAfterAFailedStartAttemptIsNotDoneWithoutReset) {
    StartDevice({.Silent = true});
    MakeImage(0x2800, 256);
    RecordingView view;
    view.onEvents = [](RecordingView& v) {
        if (v.stats.count(StatField::STTot2) && v.stats[StatField::STTot2] == "22") v.active = false;
    };
    const UploadResult r = Direct(view);
    EXPECT_EQ(r.Outcome, UploadOutcome::NotDone);
    EXPECT_EQ(r.StartAttempts, 1);
    EXPECT_EQ(Commands(), (std::vector<uint8_t>{CMD_START_DFU, CMD_START_DFU}));  // the driver's two tries
    EXPECT_EQ(view.log[view.log.size() - 3], "RX ERROR (TIMEOUT)");
    EXPECT_EQ(view.stats[StatField::STEsito], "Trasferimento Firmware Non Effettuato");
}

TEST_F(UploadTest, AbortDuringTheTransferStopsBeforeTheNextBlock) {
    StartDevice();
    MakeImage(0x2800, 0x400);
    RecordingView view;
    view.onEvents = [](RecordingView& v) {
        if (v.rows.size() == 3) v.active = false;
    };
    const UploadResult r = Direct(view);
    EXPECT_EQ(r.Outcome, UploadOutcome::Failed);
    EXPECT_EQ(r.Counters.BlocksWritten, 3u);  // the block in hand is finished
    EXPECT_EQ(Commands().back(), CMD_RESET);
    EXPECT_EQ(view.log.back(), "Chiusura Porta di Comunicazione");
}

TEST_F(UploadTest, TwiceRefusedWriteFailsAndStillResets) {
    StartDevice({.NakCommand = CMD_WRITE});
    MakeImage(0x2800, 256);
    RecordingView view;
    const UploadResult r = Direct(view);
    EXPECT_EQ(r.Outcome, UploadOutcome::Failed);
    EXPECT_EQ(view.log[view.log.size() - 4], "RX ERROR (NAK)");
    EXPECT_EQ(Commands(), (std::vector<uint8_t>{CMD_START_DFU, CMD_ERASE, CMD_WRITE, CMD_WRITE, CMD_RESET}));
}

TEST_F(UploadTest, VerifyMismatchShowsOneMessageAndEndsAtThatBlock) {
    // block 3 is 0x28C0 .. 0x28FF: a difference in its middle, first or last byte is seen
    for (uint32_t corrupt : {0x28C5u, 0x28C0u, 0x28FFu}) {
        StartDevice({.CorruptRead = corrupt});
        MakeImage(0x2800, 0x400);
        RecordingView view;
        view.verify = true;
        const UploadResult r = Direct(view);
        EXPECT_EQ(r.Outcome, UploadOutcome::Failed) << corrupt;
        EXPECT_EQ(view.messages, (std::vector<std::string>{"Verifica Fallita!!!!"}));
        EXPECT_EQ(r.Counters.BlocksWritten, 4u);
        EXPECT_EQ(Commands().back(), CMD_RESET);
        EXPECT_EQ(view.log[view.log.size() - 3], "Reset CPU");  // no line of its own for the mismatch
    }
}

TEST_F(UploadTest, UnopenablePortIsNotDone) {
    StartDevice();
    portText = "COM4";
    MakeImage(0x2800, 256);
    RecordingView view;
    const UploadResult r = Direct(view);
    EXPECT_EQ(r.Outcome, UploadOutcome::NotDone);
    EXPECT_EQ(view.log[1], "Apertura Porta di Comunicazione: CREATE HANDLE ERROR");
    EXPECT_EQ(view.log[2], "Reset CPU");
    EXPECT_EQ(device->FrameCount(), 0);
}

// ---- guards added around the sequence ----

TEST_F(UploadTest, PortTextThatIsNotAComNumberStopsBeforeAnything) {
    StartDevice();
    MakeImage(0x2800, 256);
    for (const char* text : {"", "COM", "COMx", "ttyUSB0"}) {
        portText = text;
        RecordingView view;
        const UploadResult r = Direct(view);
        EXPECT_FALSE(r.Started);
        ASSERT_EQ(view.messages.size(), 1u);
        EXPECT_NE(view.messages[0].find("is not a valid integer value"), std::string::npos);
        EXPECT_TRUE(view.log.empty());
    }
    RecordingView view;
    portText = "COMx1";
    Direct(view);
    EXPECT_EQ(view.messages[0], "'x1' is not a valid integer value");
    EXPECT_EQ(saves, 0);
    EXPECT_EQ(device->FrameCount(), 0);
}

TEST_F(UploadTest, InvalidOrEmptyImageIsNeverSent) {
    StartDevice();
    for (int variant = 0; variant < 3; ++variant) {
        MakeImage(0x2800, 256);
        if (variant == 0) valid = false;
        if (variant == 1) imageStart = -1, imageEnd = 255;
        if (variant == 2) imageEnd = imageStart + MEMORY_IMAGE_SIZE + 64;
        RecordingView view;
        const UploadResult r = Direct(view);
        EXPECT_EQ(r.Outcome, UploadOutcome::NotDone);
        EXPECT_EQ(view.log[1], "Invalid HEX File");
        EXPECT_EQ(view.log[2], "Trasferimento Firmware Non Effettuato");
    }
    EXPECT_EQ(device->FrameCount(), 0);
    EXPECT_EQ(device->FirmwareResetLines(), 0);
}

TEST_F(UploadTest, ReloadToAnInvalidImageMidRunStopsWithoutReadingOutside) {
    StartDevice();
    MakeImage(0x2800, 0x400);
    RecordingView view;
    view.onEvents = [this](RecordingView& v) {
        if (v.rows.size() == 2) imageStart = -1, valid = false;
    };
    const UploadResult r = Direct(view);
    EXPECT_EQ(r.Outcome, UploadOutcome::Failed);
    EXPECT_EQ(r.Counters.BlocksWritten, 1u);
}

// ---- GSM ----

TEST_F(UploadTest, GsmFramesCarryACarriageReturnAndTheModemIsDialled) {
    StartDevice({.Gsm = true});
    MakeImage(0x2800, 256);
    std::FILE* mem = std::tmpfile();
    ASSERT_NE(mem, nullptr);
    SerialSetBackendFactory([mem](const std::string&) { return MakeTranscriptBackend(MakeNativeBackend(), mem); });
    RecordingView view;
    view.verify = true;
    const auto t0 = std::chrono::steady_clock::now();
    const UploadResult r = Gsm(view);
    // the link wait ended at the third line: no read waited for its time-out
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(3000 + 1500));
    SerialSetBackendFactory({});
    std::string transcript;
    std::rewind(mem);
    for (int c; (c = std::fgetc(mem)) != EOF;) transcript += static_cast<char>(c);
    std::fclose(mem);
    EXPECT_EQ(r.Outcome, UploadOutcome::Completed);
    EXPECT_TRUE(device->Connected());
    EXPECT_EQ(view.log[0], "Parametri di Comunicazione: COM3:9600,N,8,1");
    EXPECT_EQ(saves, 0);
    ExpectDeviceHoldsImage(4);
    EXPECT_EQ(r.Counters.BytesSent, 4u + 68 * 4 + 68);
    // the write frames went out as 74 bytes ending in 0D; the display shows 73
    const std::string write74 = " TX 03 A2 40 C0 28 00 00";
    const auto at = transcript.find(write74);
    ASSERT_NE(at, std::string::npos);
    const std::string line = transcript.substr(at + 4, transcript.find('\n', at) - at - 4);
    EXPECT_EQ(line.size(), 74u * 3 - 1);
    EXPECT_EQ(line.substr(line.size() - 2), "0D");
    EXPECT_NE(transcript.find("TX 41 54 44 33 33 35"), std::string::npos);  // ATD335...
    EXPECT_EQ(view.stats[StatField::STFrame2], "03 A5 A8 02 ");  // the CPU reset is shown too
    EXPECT_EQ(Commands().back(), CMD_RESET);
}

// A call that drops while the bootloader is being started takes no more start frames: the run
// ends at once, saying the call dropped.
TEST_F(UploadTest, GsmCallDroppedAtTheBootloaderStartEndsTheStart) {
    StartDevice({.Gsm = true, .DropCallAfter = {1}});
    MakeImage(0x2800, 256);
    RecordingView view;
    const UploadResult r = Gsm(view);
    EXPECT_EQ(r.Outcome, UploadOutcome::NotDone);
    EXPECT_EQ(r.StartAttempts, 1);
    EXPECT_NE(r.Reason.find("the call dropped"), std::string::npos) << r.Reason;
    EXPECT_NE(FailureAdvice(r).find("the call dropped"), std::string::npos);
}

TEST_F(UploadTest, GsmLinkWaitEndsAtTheMarkOrAfterFifteenLines) {
    // A modem that never answers: every one of the 15 link reads costs a time-out.
    test::RecordingView view;
    MakeImage(0x2800, 256);
    StartDevice({.Gsm = true, .Silent = true});
    const auto t0 = std::chrono::steady_clock::now();
    const UploadResult r = Gsm(view);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r.Outcome, UploadOutcome::NotDone);
    // 3 s of pauses, 15 link reads and 4 x 2 start attempts, each one time-out
    EXPECT_GT(s, 3.0 + 23 * kTimeout / 1000.0 - 0.1);
    EXPECT_LT(s, 3.0 + 23 * kTimeout / 1000.0 + 3.0);
}

TEST_F(UploadTest, GsmSimulationSends18BytesLessThanDirect) {
    SerialSetPortResolver([](uint32_t) { return std::string("/nonexistent"); });
    MakeImage(0x2800, 512);
    RecordingView direct, gsm;
    const UploadResult a = Direct(direct, true);
    const UploadResult b = Gsm(gsm, true);
    EXPECT_EQ(b.Outcome, UploadOutcome::Completed);
    EXPECT_EQ(a.Counters.BytesSent - b.Counters.BytesSent, 18u);
    EXPECT_EQ(gsm.stats[StatField::STFrame2], "03 A5 A8 02 ");  // the reset frame is shown
}

TEST_F(UploadTest, IdleHookLeavesTheByteStreamAsItIs) {
#ifdef _WIN32
    GTEST_SKIP() << "the Win32 backend's ReadFile waits in one piece: no idle hook is called there";
#endif
    std::vector<std::vector<std::vector<uint8_t>>> streams;
    int idleCalls = 0;
    for (bool hook : {false, true}) {
        SerialSetIdleHook(hook ? IdleHook([&](int32_t, int32_t) { ++idleCalls; }) : IdleHook{});
        StartDevice({.DelayMs = 60});
        MakeImage(0x2800, 512);
        RecordingView view;
        view.verify = true;
        EXPECT_EQ(Direct(view).Outcome, UploadOutcome::Completed);
        SerialSetIdleHook({});
        streams.push_back(device->Frames());
        ExpectDeviceHoldsImage(8);
    }
    EXPECT_GT(idleCalls, 8);  // every answer was waited for
    EXPECT_EQ(streams[0], streams[1]);
}

// ---- flash that still holds the old firmware ----

// Files a linker may write whose range is not page-aligned, ends in zero bytes or starts below
// 0x2800, uploaded to flash where a write only clears bits: every byte the file gives must arrive,
// which needs each page erased before the first block that touches it.
struct OldFlashCase {
    const char* name;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> records;
    std::vector<std::pair<std::size_t, uint32_t>> erases;  // (writes before it, page)
};

std::vector<uint8_t> Pattern(std::size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 13 + seed) | 0x40);
    return v;
}

std::string HexFile(const std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& records) {
    std::string text;
    char buf[8];
    for (const auto& [address, data] : records) {
        for (std::size_t off = 0; off < data.size(); off += 16) {
            const std::size_t n = std::min<std::size_t>(16, data.size() - off);
            const uint32_t at = address + static_cast<uint32_t>(off);
            std::snprintf(buf, sizeof buf, ":%02X%04X", static_cast<unsigned>(n), at & 0xFFFF);
            text += buf;
            text += "00";
            for (std::size_t i = 0; i < n; ++i) {
                std::snprintf(buf, sizeof buf, "%02X", data[off + i]);
                text += buf;
            }
            text += "00\n";  // the checksum is not read
        }
    }
    return text + ":00000001FF\n";
}

class OldFlashUploadTest : public UploadTest,
                           public ::testing::WithParamInterface<std::tuple<OldFlashCase, bool>> {};

TEST_P(OldFlashUploadTest, EveryGivenByteReachesAnErasedPage) {
    const auto& [c, verify] = GetParam();
    const HexLoadResult loaded = LoadHexText(HexFile(c.records), MemoryImage(), false);
    ASSERT_TRUE(loaded.Valid);
    imageStart = loaded.ImageStart;
    imageEnd = loaded.ImageEnd;
    valid = true;
    StartDevice({.OldFirmware = true});
    RecordingView view;
    view.verify = verify;
    ASSERT_EQ(Direct(view).Outcome, UploadOutcome::Completed);

    std::vector<std::pair<std::size_t, uint32_t>> erases;
    std::size_t writes = 0;
    for (const auto& f : device->Frames()) {
        if (f[1] == CMD_ERASE) erases.emplace_back(writes, f[2] | f[3] << 8 | f[4] << 16 | uint32_t{f[5]} << 24);
        if (f[1] == CMD_WRITE) ++writes;
    }
    EXPECT_EQ(erases, c.erases);
    EXPECT_EQ(writes, static_cast<std::size_t>(BlockCount(imageStart, imageEnd)));
    const auto mem = device->Memory();
    for (const auto& [address, data] : c.records)
        for (std::size_t i = 0; i < data.size(); ++i) {
            if (address + i < 0x2800) continue;
            ASSERT_EQ(mem[address + i], data[i]) << std::hex << address + i;
        }
}

INSTANTIATE_TEST_SUITE_P(
    Files, OldFlashUploadTest,
    ::testing::Combine(
        ::testing::Values(
            OldFlashCase{"StartInsideAPage", {{0x2810, Pattern(0x800, 1)}}, {{0, 0x2800}, {31, 0x3000}}},
            OldFlashCase{"StartOnABlockInsideAPage", {{0x2840, Pattern(0x100, 2)}}, {{0, 0x2800}}},
            OldFlashCase{"TrailingZeros",
                         {{0x2800, Pattern(0x40, 3)}, {0x2840, std::vector<uint8_t>(0x240, 0)}},
                         {{0, 0x2800}}},
            OldFlashCase{"RecordCrossing2800", {{0x27F0, Pattern(0x20, 4)}, {0x2810, Pattern(0x100, 5)}},
                         {{0, 0x2800}}}),
        ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "Verified" : "");
    });

// --skip-gaps onto flash that held an old firmware: only the blocks that hold a byte of the file
// are written (and read back), every page of the range is erased once, and the device reads the
// file's bytes where it gives them and 0xFF everywhere else in the range.
TEST_F(UploadTest, SkipGapsWritesOnlyBlocksWithDataAndLeavesTheRestErased) {
    const struct {
        const char* name;
        std::vector<std::pair<uint32_t, std::vector<uint8_t>>> records;
        std::vector<uint32_t> writes, erases;
    } cases[] = {
        {"gap inside a page", {{0x2800, Pattern(0x40, 1)}, {0x2910, Pattern(0x10, 2)}}, {0x2800, 0x2900}, {0x2800}},
        {"page without data", {{0x2800, Pattern(0x20, 3)}, {0x3810, Pattern(0x8, 4)}}, {0x2800, 0x3800},
         {0x2800, 0x3000, 0x3800}},
        {"unaligned start, zeros given", {{0x3008, std::vector<uint8_t>(0x30, 0)}}, {0x3008}, {0x3000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const HexLoadResult loaded = LoadHexText(HexFile(c.records), MemoryImage(), false);
        ASSERT_TRUE(loaded.Valid);
        imageStart = loaded.ImageStart;
        imageEnd = loaded.ImageEnd;
        valid = true;
        given = loaded.Given.data();
        StartDevice({.OldFirmware = true});
        RecordingView view;
        view.verify = true;
        UploadRequest req;
        req.PortText = portText;
        req.TimeoutMs = kTimeout;
        req.VerifyEvery = 1;
        req.SkipGaps = true;
        ASSERT_EQ(UploadDirect(req, Image(), view).Outcome, UploadOutcome::Completed);
        std::vector<uint32_t> writes, reads, erases;
        for (const auto& f : device->Frames()) {
            if (f[1] == CMD_ERASE) erases.push_back(f[2] | f[3] << 8 | f[4] << 16 | uint32_t{f[5]} << 24);
            if (f[1] == CMD_WRITE) writes.push_back(f[3] | f[4] << 8 | f[5] << 16 | uint32_t{f[6]} << 24);
            if (f[1] == CMD_READ) reads.push_back(f[3] | f[4] << 8 | f[5] << 16 | uint32_t{f[6]} << 24);
        }
        EXPECT_EQ(writes, c.writes);
        EXPECT_EQ(reads, c.writes);
        EXPECT_EQ(erases, c.erases);
        const auto mem = device->Memory();
        for (int32_t k = 0; k < imageEnd - imageStart; ++k) {
            const uint32_t at = static_cast<uint32_t>(imageStart + k);
            ASSERT_EQ(mem[at], loaded.Given[static_cast<std::size_t>(k)] ? MemoryImage()[k] : 0xFF) << std::hex << at;
        }
        device->Stop();
        given = nullptr;
    }
}

// ---- fault table ----

struct FaultCase {
    const char* name;
    sim::Options options;
    UploadOutcome outcome;
    const char* logLine;  // expected somewhere in the log, or ""
    uint32_t errors;      // failed exchanges, each counted once
};

class UploadFaultTest : public UploadTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(UploadFaultTest, OutcomeAndLog) {
    const FaultCase& c = GetParam();
    StartDevice(c.options);
    MakeImage(0x2800, 0x400);
    RecordingView view;
    view.verify = true;
    const UploadResult r = Direct(view);
    EXPECT_EQ(r.Outcome, c.outcome) << UploadOutcomeText(r.Outcome);
    if (*c.logLine) {
        EXPECT_NE(std::find(view.log.begin(), view.log.end(), c.logLine), view.log.end());
    }
    EXPECT_EQ(view.log.back(), "Chiusura Porta di Comunicazione");
    if (r.Outcome == UploadOutcome::Completed) ExpectDeviceHoldsImage(16);
    EXPECT_EQ(r.CommunicationErrors, c.errors);
    EXPECT_EQ(view.stats[StatField::STTot5], c.errors ? std::to_string(c.errors) : "-");
    // a run that failed after the bootloader started still resets the CPU
    if (r.Outcome == UploadOutcome::Failed && !c.options.HangupAfter) {
        EXPECT_EQ(device->ResetCount(), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Device, UploadFaultTest,
    ::testing::Values(FaultCase{"Silent", {.Silent = true}, UploadOutcome::NotDone, "RX ERROR (TIMEOUT)", 4},
                      FaultCase{"RefusesEverything", {.NakEvery = 1}, UploadOutcome::NotDone, "RX ERROR (NAK)", 4},
                      FaultCase{"RefusesEveryFifth", {.NakEvery = 5}, UploadOutcome::Completed, "", 0},
                      FaultCase{"DropsEverySeventh", {.DropEvery = 7}, UploadOutcome::Completed, "", 0},
                      FaultCase{"CorruptReadBack", {.CorruptRead = 0x2AC5}, UploadOutcome::Failed, "", 0},
                      FaultCase{"Noise", {.Noise = true}, UploadOutcome::Completed, "", 0},
                      FaultCase{"LineCut", {.HangupAfter = 6}, UploadOutcome::Failed, "", 2},  // the write, the reset
                      FaultCase{"SlowAnswers", {.DelayMs = 20}, UploadOutcome::Completed, "", 0},
                      FaultCase{"RefusesErase", {.NakCommand = 0xA1}, UploadOutcome::Failed, "RX ERROR (NAK)", 1}),
    [](const auto& info) { return std::string(info.param.name); });

// A line that goes away in the walk (a dropped call, a cut cable) costs one retry: the run connects
// again, erases again the page of the first byte not yet written and read back, and goes on from
// there, never sending a block of an earlier page again; the unit then holds the image, each block
// counted once. A run that stops keeps that page as its resume point. Frames count those the
// device acted on; the image is 48 blocks from 0x2800 with every fourth read back: frame 2 erases
// page 0x2800, 3 writes its first block, 7 reads back its fourth, 41 writes its last block
// (0x2FC0), 42 reads that back, 43 erases page 0x3000. From 0x2810, frame 41 erases page 0x3000
// for the block at 0x2FD0, which crosses into it.
struct DropCase {
    const char* name;
    bool gsm;
    std::vector<int> drops;
    int retries;
    bool completes;
    std::vector<uint32_t> pages;  // where the walk goes on after each drop
    int32_t start = 0x2800;       // of the image
    int32_t timeoutMs = 100;      // a modem's NO CARRIER is heard long before 30 s
    bool skipGaps = false;        // with every byte given
    int cutForMs = 300;
};

class UploadDropTest : public UploadTest, public ::testing::WithParamInterface<DropCase> {};

TEST_P(UploadDropTest, RetriesGoOnFromThePageOfTheFailedBlock) {
    const DropCase& c = GetParam();
    sim::Options opt;
    opt.Gsm = c.gsm;
    (c.gsm ? opt.DropCallAfter : opt.CutLineAt) = c.drops;
    opt.CutForMs = c.cutForMs;
    StartDevice(opt);
    MakeImage(c.start, 48 * 64);
    const std::vector<uint8_t> everyByte(MEMORY_IMAGE_SIZE, 1);
    if (c.skipGaps) given = everyByte.data();
    RecordingView view;
    view.verify = true;
    UploadRequest req;
    req.PortText = portText;
    req.TimeoutMs = c.timeoutMs;
    req.Retries = c.retries;
    req.SkipGaps = c.skipGaps;
    if (c.gsm) req.DialNumber = "3351234567";
    const UploadResult r = c.gsm ? UploadGsm(req, Image(), view) : UploadDirect(req, Image(), view);
    given = nullptr;
    EXPECT_EQ(r.Outcome, c.completes ? UploadOutcome::Completed : UploadOutcome::Failed) << r.Reason;
    EXPECT_EQ(r.Retries, std::min<int>(c.retries, static_cast<int>(c.drops.size())));
    if (c.gsm) {
        EXPECT_EQ(r.LastSerialError, "RX ERROR (NO CARRIER)");
    }
    if (c.completes) {
        ExpectDeviceHoldsImage(48);
        EXPECT_EQ(r.ResumePage, -1);
        EXPECT_EQ(r.Counters.BlocksWritten, 48u);
        EXPECT_EQ(view.progress, c.skipGaps ? 48 : 47);
    } else {
        EXPECT_EQ(r.ResumePage, c.pages.back());
        if (c.retries > 0) {
            EXPECT_NE(r.Reason.find("stopped in the page at 0x" + HexDigits(c.pages.back(), 8)), std::string::npos)
                << r.Reason;
        }
    }
    EXPECT_LE(view.progress, view.progressMax);
    // after each new start of the bootloader: the erase of the page, then writes from its first
    // block on, none below it
    const auto frames = device->Frames();
    std::size_t drop = 0;
    for (std::size_t k = 1; k < frames.size(); ++k) {
        if (frames[k][1] != CMD_START_DFU) continue;
        ASSERT_LT(drop, c.pages.size());
        const uint32_t page = c.pages[drop++];
        ASSERT_LT(k + 2, frames.size());
        EXPECT_EQ(frames[k + 1][1], CMD_ERASE);
        const auto le32 = [&](const std::vector<uint8_t>& f, std::size_t at) {
            return static_cast<uint32_t>(f[at] | f[at + 1] << 8 | f[at + 2] << 16 | f[at + 3] << 24);
        };
        EXPECT_EQ(le32(frames[k + 1], 2), page);
        EXPECT_EQ(frames[k + 2][1], CMD_WRITE);
        EXPECT_EQ(le32(frames[k + 2], 3), std::max<uint32_t>(page, static_cast<uint32_t>(c.start)));
    }
    EXPECT_EQ(drop, std::min<std::size_t>(c.drops.size(), static_cast<std::size_t>(c.retries)));
    EXPECT_EQ(device->Frames().back()[1], CMD_RESET);
}

INSTANTIATE_TEST_SUITE_P(
    Drops, UploadDropTest,
    ::testing::Values(
        DropCase{"DirectAtTheFirstBlock", false, {3}, 1, true, {0x2800}},
        DropCase{"DirectInTheMiddleOfAPage", false, {20}, 1, true, {0x2800}},
        DropCase{"DirectOnAPagesLastBlock", false, {41}, 1, true, {0x2800}},
        DropCase{"DirectDuringAReadBack", false, {7}, 1, true, {0x2800}},
        DropCase{"DirectInTheSecondPage", false, {50}, 1, true, {0x3000}},
        DropCase{"DirectTwiceInOneRun", false, {20, 70}, 2, true, {0x2800, 0x3000}},
        DropCase{"DirectMoreDropsThanRetries", false, {20, 30}, 1, false, {0x2800, 0x2800}},
        // blocks cross the page boundaries: the walk goes on with the part of a block in the page
        DropCase{"DirectUnalignedImage", false, {55}, 1, true, {0x3000}, 0x2810},
        // the block at 0x2FD0 was never written: the walk goes back to its page
        DropCase{"DirectUnalignedAtAnErase", false, {41}, 1, true, {0x2800}, 0x2810},
        DropCase{"DirectStopsJustBeforeAPage", false, {43}, 0, false, {0x3000}, 0x2800, 100, false, 150},
        DropCase{"DirectSkippingGaps", false, {50}, 1, true, {0x3000}, 0x2800, 100, true},
        DropCase{"GsmTwiceInOneRun", true, {50, 70}, 2, true, {0x3000, 0x3000}},
        DropCase{"GsmUnalignedAtAnEraseHeardAtOnce", true, {41}, 1, true, {0x2800}, 0x2810, 30000}),
    [](const auto& info) { return std::string(info.param.name); });

// A resume trusts the pages below its point only once the unit shows that they hold the image: it
// reads back the first and the last block of each, every block of the page just below the point
// (every block below it with any read-back asked for) and the block that must always be read back;
// with gaps skipped only the blocks and bytes the file gives. Any difference and the walk starts
// over at the image's start. The image is 96 blocks from 0x2800, the point 0x3800.
TEST_F(UploadTest, ResumeReadsBackThePagesBelowItsPointBeforeTrustingThem) {
    constexpr uint32_t kPoint = 0x3800;
    std::vector<uint32_t> pageBelow;  // 0x3000 .. 0x37C0
    for (uint32_t a = 0x3000; a < kPoint; a += 64) pageBelow.push_back(a);
    auto with = [](std::vector<uint32_t> first, const std::vector<uint32_t>& more) {
        first.insert(first.end(), more.begin(), more.end());
        return first;
    };
    std::vector<uint32_t> everyBlock;
    for (uint32_t a = 0x2800; a < kPoint; a += 64) everyBlock.push_back(a);
    const struct {
        const char* name;
        int32_t heldUpTo;  // the unit holds the image from 0x2800 to here, old firmware beyond
        std::vector<uint32_t> otherBytes;  // where the unit holds another byte than the file
        bool verify = false;  // read-back asked for, every verifyEvery-th block
        uint32_t keptBlock = 0;  // non-zero: ReadBackFrom
        bool gapAtStart = false;  // the file gives nothing in 0x2800..0x283F, nor the byte at 0x2845
        std::vector<uint32_t> reads;  // before the walk's first erase
        bool trusted;
        int verifyEvery = 1;
    } cases[] = {
        {"the same unit", kPoint, {}, false, 0, false, with({0x2800, 0x2FC0}, pageBelow), true},
        {"another unit", 0x2800, {}, false, 0, false, {0x2800}, false},
        {"another last block", kPoint, {0x2FC1}, false, 0, false, {0x2800, 0x2FC0}, false},
        {"another byte in the page below", kPoint, {0x37FF}, false, 0, false, with({0x2800, 0x2FC0}, pageBelow), false},
        {"every block verified", kPoint, {}, true, 0, false, everyBlock, true},
        // an earlier build of the file, a byte changed mid-page, is caught whenever a read-back is asked
        {"an earlier build, every fourth verified", kPoint, {0x2A20}, true, 0, false,
         std::vector<uint32_t>(everyBlock.begin(), everyBlock.begin() + 9), false, 4},
        {"the serial's block", kPoint, {0x2A01}, false, 0x2A00, false, {0x2800, 0x2A00}, false},
        {"gaps never written", kPoint, {0x2805, 0x2845}, false, 0, true, with({0x2840, 0x2FC0}, pageBelow), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StartDevice({.OldFirmware = true});
        // what the unit holds, put there by an upload of its own (as a unit gets it): the image up
        // to heldUpTo and other bytes beyond and at otherBytes
        MakeImage(0x2800, 96 * 64);
        for (int32_t k = c.heldUpTo - 0x2800; k < 96 * 64; ++k) MemoryImage()[k] = static_cast<uint8_t>(~MemoryImage()[k]);
        for (uint32_t at : c.otherBytes) MemoryImage()[at - 0x2800] = static_cast<uint8_t>(~MemoryImage()[at - 0x2800]);
        {
            RecordingView before;
            ASSERT_EQ(Direct(before).Outcome, UploadOutcome::Completed);
        }
        const std::size_t earlier = device->Frames().size();
        MakeImage(0x2800, 96 * 64);
        std::vector<uint8_t> givenBytes(MEMORY_IMAGE_SIZE, 1);
        if (c.gapAtStart) {
            std::fill_n(givenBytes.begin(), 64, 0);
            givenBytes[0x45] = 0;
            given = givenBytes.data();
        }
        RecordingView view;
        view.verify = c.verify;
        UploadRequest req;
        req.PortText = portText;
        req.TimeoutMs = kTimeout;
        req.VerifyEvery = c.verifyEvery;
        req.SkipGaps = c.gapAtStart;
        req.ResumePage = kPoint;
        req.ReadBackFrom = c.keptBlock;
        req.ReadBackTo = c.keptBlock ? c.keptBlock + 4 : 0;
        const UploadResult r = UploadDirect(req, Image(), view);
        given = nullptr;
        EXPECT_EQ(r.Outcome, UploadOutcome::Completed) << r.Reason;
        EXPECT_EQ(r.ResumeRefused, !c.trusted);
        std::vector<uint32_t> reads;
        uint32_t firstErase = 0;
        const auto frames = device->Frames();
        for (auto it = frames.begin() + static_cast<std::ptrdiff_t>(earlier); it != frames.end(); ++it) {
            const auto& f = *it;
            if (f.size() < 7) continue;  // reset and start lines carry no address
            const uint32_t at = f[1] == CMD_ERASE ? f[2] | f[3] << 8 | f[4] << 16 | uint32_t{f[5]} << 24
                                                  : f[3] | f[4] << 8 | f[5] << 16 | uint32_t{f[6]} << 24;
            if (f[1] == CMD_ERASE) {
                firstErase = at;
                break;
            }
            if (f[1] == CMD_READ) reads.push_back(at);
        }
        EXPECT_EQ(reads, c.reads);
        EXPECT_EQ(firstErase, c.trusted ? kPoint : 0x2800u);
        EXPECT_EQ(view.warnings.size(), c.trusted ? 0u : 1u);
        if (!c.trusted) {
            EXPECT_NE(view.warnings[0].find("the pages before 00003800 do not hold this file"), std::string::npos)
                << view.warnings[0];
            ExpectDeviceHoldsImage(96);  // the walk started over
        }
        device->Stop();
    }
}

}  // namespace
}  // namespace qdfu
