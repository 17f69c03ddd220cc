// The command-line front end as a whole process against the simulated device: log lines and exit
// status of complete and failed runs, SIGINT, the single commands, hex output, usage errors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <map>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "device.h"
#include "frames.h"
#include "hex_loader.h"
#include "text_lines.h"
#include "run_cli.h"
#include "temp_dir.h"


namespace qdfu::test {
namespace {

namespace fs = std::filesystem;

std::string Example() { return std::string(QDFU_EXAMPLES_DIR) + "/quarnelix_v3_demo.hex"; }
// What an upload of the example says first on standard error: its reset vectors are not sent.
std::string ExampleNote() { return Example() + ": 256 bytes below 0x2800 are not uploaded\n"; }

class CliTest : public ::testing::Test {
protected:
    void StartDevice(sim::Options opt = {}) {
        device = std::make_unique<sim::Device>(opt);
        ASSERT_TRUE(device->Open()) << device->Error();
        device->Start();
    }
    void TearDown() override {
        if (device) device->Stop();
    }
    std::unique_ptr<sim::Device> device;
};

// A device path given as --port is named as it is.
std::string Completed(const std::string& port, const std::string& settings = ":9600,N,8,1") {
    return "Parametri di Comunicazione: " + port + settings + "\n"
           "Apertura Porta di Comunicazione: OK\n"
           " *** Reset sdPIC *** \n"
           " *** Start BootLoader *** \n"
           " *** Inizio Trasferimento Firmware *** \n"
           " *** Trasferimento Firmware in Corso... *** \n"
           "Reset CPU\n"
           "Trasferimento Firmware Completato\n"
           "Chiusura Porta di Comunicazione\n";
}

TEST_F(CliTest, CompleteUploadPrintsTheLogOnlyAndExitsZero) {
    StartDevice();
    TempDir dir;
    const Outcome o = RunCli({"upload", Example(), "--port", device->Path(), "--verify", "--transcript",
                              dir.File("t.txt"), "--timeout", "500"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, Completed(device->Path()));
    EXPECT_EQ(o.err, ExampleNote());
    const auto mem = device->Memory();
    EXPECT_NE(mem[0x2800], 0xFF);
    const std::string transcript = dir.Read("t.txt");
    EXPECT_NE(transcript.find("TX 03 55 58 02"), std::string::npos);
    EXPECT_NE(transcript.find("RX 03 06"), std::string::npos);
}

TEST_F(CliTest, SilentDeviceIsNotDone) {
    StartDevice({.Silent = true});
    const Outcome o = RunCli({"upload", Example(), "--port", device->Path(), "--timeout", "50"});
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.out.find("RX ERROR (TIMEOUT)\nTrasferimento Firmware Non Effettuato\n"), std::string::npos);
}

TEST_F(CliTest, TwiceRefusedWriteFails) {
    StartDevice({.NakCommand = 0xA2});
    const Outcome o = RunCli({"upload", Example(), "--port", device->Path(), "--timeout", "200"});
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find("RX ERROR (NAK)\nReset CPU\nTrasferimento Firmware Fallito!!!\n"), std::string::npos);
}

TEST_F(CliTest, VerifyMismatchIsReportedOnStandardError) {
    StartDevice({.CorruptRead = 0x28C0});
    const Outcome o = RunCli({"upload", Example(), "--port", device->Path(), "--verify", "--timeout", "200"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err.rfind(ExampleNote() + "Verifica Fallita!!!!\n", 0), 0u) << o.err;
    EXPECT_EQ(o.out.find("Verifica"), std::string::npos);
}

TEST_F(CliTest, InterruptDuringTheTransferFailsAfterTheCpuReset) {
    StartDevice({.DelayMs = 20});
    const Outcome o = RunCli({"upload", Example(), "--port", device->Path(), "--timeout", "500"}, 400);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find("Reset CPU\nTrasferimento Firmware Fallito!!!\n"), std::string::npos);
    EXPECT_EQ(device->ResetCount(), 1);
}

// ---- a run that loses its reader or its terminal, or is told to stop ----

TEST_F(CliTest, ReaderThatGoesAwayDoesNotStopTheRun) {
    StartDevice();
    const Outcome o = RunCli({"upload", Example(), "--port", device->Path(), "--timeout", "500"}, {}, 3);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(device->ResetCount(), 1);
    EXPECT_EQ(device->Memory()[0x33FF], 0x00);  // the last block went out too
}

// SIGTERM and SIGHUP are the abort press, and never the second one, whatever came before.
TEST_F(CliTest, TerminateAndHangupActAsTheAbortPress) {
    const std::vector<std::vector<TimedSignal>> schedules = {
        {{400, SIGTERM}}, {{400, SIGHUP}}, {{400, SIGTERM}, {20, SIGHUP}}, {{400, SIGINT}, {20, SIGTERM}}};
    for (const auto& signals : schedules) {
        const int sig = signals.front().signal * 100 + signals.back().signal;
        StartDevice({.DelayMs = 20});
        const Outcome o = RunCli({"upload", Example(), "--port", device->Path(), "--timeout", "500"}, signals);
        EXPECT_EQ(o.status, 1) << sig;
        EXPECT_NE(o.out.find("Reset CPU\nTrasferimento Firmware Fallito!!!\n"), std::string::npos);
        EXPECT_EQ(o.err.rfind(ExampleNote() + "Interrotto !!!\n", 0), 0u) << o.err;
        EXPECT_EQ(device->ResetCount(), 1);
    }
}

TEST_F(CliTest, SecondInterruptEndsTheProcessAtOnce) {
    StartDevice({.Gsm = true, .Silent = true});  // the link wait would take 15 time-outs
    const auto t0 = std::chrono::steady_clock::now();
    const Outcome o = RunCli({"upload", Example(), "--port", device->Path(), "--gsm", "123", "--timeout", "3000"},
                             {{3300, SIGINT}, {100, SIGINT}});
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(o.status, 130);
    EXPECT_NE(o.err.find("may not have been reset"), std::string::npos) << o.err;
    // the port was let go: it opens again at once
    EXPECT_EQ(RunCli({"reset", "--port", device->Path(), "--timeout", "50"}).err, "RX ERROR (TIMEOUT)\n");
}

TEST_F(CliTest, TranscriptThatCannotBeCreatedIsAUsageError) {
    StartDevice();
    const Outcome o = RunCli({"upload", Example(), "--port", device->Path(), "--transcript", "/nonexistent/dir/t.txt"});
    EXPECT_EQ(o.status, 73);
    EXPECT_NE(o.err.find("/nonexistent/dir/t.txt: No such file or directory"), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(device->FirmwareResetLines(), 0);
}

class CliDialAnswerTest : public CliTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(CliDialAnswerTest, FailedCallEndsTheRunAtOnce) {
    StartDevice({.Gsm = true, .DialAnswer = GetParam()});
    const auto t0 = std::chrono::steady_clock::now();
    const Outcome o = RunCli({"upload", Example(), "--port", device->Path(), "--gsm", "123", "--timeout", "1000"});
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(3000 + 2500));  // two pauses, no long wait
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.out.find(" *** Reset sdPIC *** \n" + std::string(GetParam()) +
                         "\nTrasferimento Firmware Non Effettuato\nChiusura Porta di Comunicazione\n"),
              std::string::npos)
        << o.out;
    EXPECT_EQ(device->FrameCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Modem, CliDialAnswerTest,
                         ::testing::Values("BUSY", "NO CARRIER", "NO ANSWER", "NO DIALTONE", "ERROR"),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::erase(name, ' ');
                             return name;
                         });

TEST_F(CliTest, PortThatCannotBeOpenedIsExplained) {
    const Outcome o = RunCli({"upload", Example(), "--port", "/dev/nonexistent-tty", "--timeout", "50"});
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.out.find("Apertura Porta di Comunicazione: CREATE HANDLE ERROR"), std::string::npos);
    EXPECT_NE(o.err.find("/dev/nonexistent-tty"), std::string::npos);
    EXPECT_NE(o.err.find("No such file"), std::string::npos);
}

TEST_F(CliTest, SingleCommands) {
    StartDevice();
    Outcome o = RunCli({"write", "2800", "12", "34", "--port", device->Path()});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "03A2020028000012341502->0306A2AB02 \n");
    o = RunCli({"read", "2800", "2", "--port", device->Path()});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "03A30200280000D002  -  030612344F02\n12 34 \n");
    o = RunCli({"erase", "2800", "--port", device->Path()});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out.substr(0, 16), "03A100280000CC02");
    o = RunCli({"start", "--port", device->Path()});
    EXPECT_EQ(o.out, "03555802  -  0306555E02\n");
    o = RunCli({"reset", "--port", device->Path()});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(device->ResetCount(), 1);
}

TEST_F(CliTest, SingleCommandFailureGivesTheSerialText) {
    StartDevice({.Silent = true});
    const Outcome o = RunCli({"start", "--port", device->Path(), "--timeout", "50"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "RX ERROR (TIMEOUT)\n");
}

TEST_F(CliTest, PortsListsLinkedDevicesAndComNamesOpenThem) {
    StartDevice();
    TempDir config;
    std::filesystem::create_directories(config.File("quarnelix-dfu/ports"));
    std::filesystem::create_symlink(device->Path(), config.File("quarnelix-dfu/ports/com7"));
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old ? old : "";
    ::setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
    const Outcome ports = RunCli({"ports"});
    const Outcome start = RunCli({"start", "--port", "com7"});
    if (old) {
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
    EXPECT_EQ(ports.status, 0);
    EXPECT_NE(ports.out.find("COM7\t" + device->Path() + "\n"), std::string::npos);
    EXPECT_EQ(start.status, 0) << start.err;
    EXPECT_EQ(device->FrameCount(), 1);
}

TEST(CliHexTest, SummaryListingAndBinaryEqualToObjcopy) {
    TempDir dir;
    Outcome o = RunCli({"hex", Example()});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "valid: yes\nImageStart: 0x00002800\nImageEnd: 0x00003400\nblocks: 48\n"
                     "256 bytes below 0x2800 are not uploaded\n");
    o = RunCli({"hex", Example(), "--listing"});
    EXPECT_NE(o.out.find("*** SET EXTENDED LINEAR ADDRESS [01F0] ***"), std::string::npos);
    o = RunCli({"hex", Example(), "--bin", dir.File("ours.bin")});
    ASSERT_EQ(o.status, 0);
    // objcopy over the program range only: drop the vectors and the configuration words
    std::ifstream in(Example());
    std::ofstream program(dir.File("program.hex"));
    std::string line;
    std::string upper = "0000";
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind(":02000004", 0) == 0) upper = line.substr(9, 4);
        const bool data = line.substr(7, 2) == "00";
        if (data && upper == "0000" && std::stoul(line.substr(3, 4), nullptr, 16) >= 0x2800) program << line << "\n";
    }
    program << ":00000001FF\n";
    program.close();
    const std::string cmd = "objcopy -I ihex -O binary " + dir.File("program.hex") + " " + dir.File("theirs.bin");
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    const std::string ours = dir.Read("ours.bin"), theirs = dir.Read("theirs.bin");
    ASSERT_GE(ours.size(), theirs.size());
    EXPECT_EQ(ours.substr(0, theirs.size()), theirs);
}

// Each refusal on standard error names the line, the record's address and the cause; a damaged
// file (a wrong checksum, no end-of-file record) loads only with --ignore-checksums; a file that
// cannot be uploaded is summed up by hex and refused by upload, verify and a production run before
// any port is opened.
TEST(CliHexTest, RefusalsNameTheirCause) {
    TempDir dir;
    sim::Device device;
    ASSERT_TRUE(device.Open());
    device.Start();
    const std::string eof = ":00000001FF\n";
    const std::string pastTop = ":0128000001D6\n:020000040002F8\n:01C00000013E\n" + eof;
    const struct {
        const char* name;
        std::string text;
        std::vector<std::string> extra;
        int hexStatus, uploadStatus;
        const char* err;
    } cases[] = {
        {"beyond", ":0128000001D6\n:02000004000AF0\n:01AFE000016F\n" + eof, {}, 65, 65,
         "line 3: data at 0x000AAFE0: the controller's program memory ends at 0x2B000 (is this file built for "
         "another device?)"},
        {"digit", ":01280000G1D6\n" + eof, {}, 65, 65, "line 1: data at 0x00002800: byte 1 'G1' is not hexadecimal"},
        {"short", ":0428000001\n" + eof, {}, 65, 65, "line 1: data at 0x00002800: the line ends before its 4 data bytes"},
        {"colon", "0128000001D6\n" + eof, {}, 65, 65, "line 1: the line does not start with ':'"},
        {"damaged", ":0128000001D5\n" + eof, {}, 65, 65,
         "line 1: checksum 0xD5, the record's bytes give 0xD6: the file is damaged"},
        {"damaged, ignored", ":0128000001D5\n" + eof, {"--ignore-checksums"}, 0, 0, "warning: line 1: checksum 0xD5"},
        {"cut at a line", ":0128000001D6\n", {}, 65, 65, "the file has no end-of-file record (type 01)"},
        {"cut at a line, ignored", ":0128000001D6\n", {"--ignore-checksums"}, 0, 0,
         "warning: the file has no end-of-file record"},
        {"cut type 04", ":0128000001D6\n:02000004\n:0100000001FE\n" + eof, {}, 65, 65,
         "line 2: record type 04: the line ends before its 2 data bytes"},
        {"type 02", ":0128000001D6\n:020000021000EC\n" + eof, {}, 65, 65,
         "line 2: extended segment address 1000 (record type 02): segment addresses are not applied"},
        {"nothing from 0x2800", ":0110000001EE\n" + eof, {}, 0, 65,
         "nothing to upload: the file gives no byte from 0x2800 up"},
        {"past the top", pastTop, {}, 0, 65,
         "data at 0x0002C000: the controller's program memory ends at 0x2B000"},
    };
    for (const auto& c : cases) {
        dir.Write("f.hex", c.text);
        std::vector<std::string> hex = {"hex", dir.File("f.hex")}, upload = {"upload", dir.File("f.hex"), "--port",
                                                                             device.Path(), "--timeout", "300"};
        hex.insert(hex.end(), c.extra.begin(), c.extra.end());
        upload.insert(upload.end(), c.extra.begin(), c.extra.end());
        const int before = device.FrameCount() + device.FirmwareResetLines();
        const Outcome h = RunCli(hex), u = RunCli(upload);
        EXPECT_EQ(h.status, c.hexStatus) << c.name << h.err;
        EXPECT_EQ(u.status, c.uploadStatus) << c.name << u.err;
        EXPECT_NE(u.err.find(c.err), std::string::npos) << c.name << ": " << u.err;
        if (c.uploadStatus == 65) {
            EXPECT_EQ(u.out, "") << c.name;  // nothing logged, nothing opened
            EXPECT_EQ(device.FrameCount() + device.FirmwareResetLines(), before) << c.name;
        }
        if (std::string(c.name) == "nothing from 0x2800") {
            EXPECT_EQ(h.out, "valid: yes\nImageStart: none\nImageEnd: none\nblocks: 0\n"
                             "nothing to upload: no byte from 0x2800 up\n1 byte below 0x2800 is not uploaded\n");
        }
        if (std::string(c.name) == "past the top") {
            EXPECT_NE(h.out.find("cannot be uploaded: data at 0x0002C000"), std::string::npos) << h.out;
        }
    }
    EXPECT_EQ(device.ResetCount(), 2);  // the two uploads that went ahead
    // verify and a production run refuse the file past the top as upload does: every port asked for
    // has its not_done line, and no byte reaches either device
    dir.Write("top.hex", pastTop);
    sim::Device other;
    ASSERT_TRUE(other.Open());
    other.Start();
    const int before = device.FrameCount() + device.FirmwareResetLines();
    EXPECT_EQ(RunCli({"verify", dir.File("top.hex"), "--port", device.Path()}).status, 65);
    const Outcome line = RunCli({"upload", dir.File("top.hex"), "--port", device.Path(), "--port", other.Path(),
                                 "--report", dir.File("r.jsonl")});
    EXPECT_EQ(line.status, 65);
    const std::string report = dir.Read("r.jsonl");
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 2) << report;
    EXPECT_EQ(report.find("\"completed\""), std::string::npos);
    for (const std::string& port : {device.Path(), other.Path()})
        EXPECT_NE(report.find("\"port\":\"" + port + "\""), std::string::npos) << report;
    EXPECT_NE(report.find("program memory ends at 0x2B000"), std::string::npos) << report;
    EXPECT_EQ(device.FrameCount() + device.FirmwareResetLines(), before);
    EXPECT_EQ(other.FrameCount() + other.FirmwareResetLines(), 0);
    device.Stop();
    other.Stop();
}

TEST(CliHexTest, RejectedAndUnreadableFilesAndUsage) {
    TempDir dir;
    dir.Write("bad.hex", ":00000001FF\n\n");
    EXPECT_EQ(RunCli({"hex", dir.File("bad.hex")}).status, 65);
    EXPECT_EQ(RunCli({"upload", dir.File("bad.hex"), "--port", "COM1"}).status, 65);
    EXPECT_EQ(RunCli({"hex", dir.File("missing.hex")}).status, 66);
    EXPECT_EQ(RunCli({}).status, 64);
    EXPECT_EQ(RunCli({"upload", Example()}).status, 64);  // --port is required
    EXPECT_EQ(RunCli({"upload", Example(), "--port", "ttyS0"}).status, 64);
    EXPECT_EQ(RunCli({"read", "10", "--port", "COM1", "--timeout", "0"}).status, 64);
    EXPECT_EQ(RunCli({"frobnicate"}).status, 64);
    // a slip of a command is named with it; a word that is far from every command is not
    const struct {
        std::vector<std::string> args;
        const char* err;
    } slips[] = {
        {{"uplaod", Example(), "--port", "COM1"}, "quarnelix-dfu-cli: 'uplaod' is not a command; did you mean upload?\n"},
        {{"verfy", Example()}, "quarnelix-dfu-cli: 'verfy' is not a command; did you mean verify?\n"},
        {{"/dev/ttyUSB0", "upload"}, "quarnelix-dfu-cli: '/dev/ttyUSB0' is not a command (--help lists them)\n"},
        {{"fw.hex"}, "quarnelix-dfu-cli: 'fw.hex' is not a command (--help lists them)\n"},
        {{"ledger", "shwo", "--ledger", "x"}, "quarnelix-dfu-cli: 'shwo' is not a ledger command; did you mean show?\n"},
        {{"ledger", "everything"}, "quarnelix-dfu-cli: 'everything' is not a ledger command (--help lists them)\n"},
    };
    for (const auto& c : slips) {
        const Outcome o = RunCli(c.args);
        EXPECT_EQ(o.status, 64) << c.err;
        EXPECT_EQ(o.err, c.err);
    }
    const Outcome typo = RunCli({"--port", "COM1", "upload", Example()});
    EXPECT_EQ(typo.status, 64);
    EXPECT_NE(typo.err.find("--port goes after the command"), std::string::npos) << typo.err;
    const Outcome help = RunCli({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("upload"), std::string::npos);
    EXPECT_EQ(RunCli({"--version"}).status, 0);
}


// The example's image as a device holds it after an upload.
std::vector<uint8_t> ExampleImage() {
    FileText f;
    EXPECT_TRUE(f.Open(Example()));
    const HexLoadResult r = LoadHexText(f.Text(), MemoryImage(), false);
    return {MemoryImage(), MemoryImage() + (r.ImageEnd - r.ImageStart)};
}

int FramesWith(const sim::Device& d, uint8_t command) {
    int n = 0;
    for (const auto& f : d.Frames()) n += f.size() > 1 && f[1] == command;
    return n;
}

// verify reads only, compares only the bytes the file gives, lists each difference and ends with
// the CPU reset.
TEST(CliVerifyTest, EqualDifferentAndSilentDevices) {
    const std::vector<uint8_t> image = ExampleImage();
    const struct {
        const char* name;
        sim::Options options;
        int flip;  // an image byte the device holds inverted, or -1
        int status;
        const char* line;
        int resets;
    } cases[] = {
        {"equal", {}, -1, 0, "verify: equal (3072 bytes compared)", 1},
        {"one byte differs", {}, 0x45, 1, "00002845: device ", 1},
        {"silent", {.Silent = true}, -1, 2, "", 0},
    };
    for (const auto& c : cases) {
        sim::Device d(c.options);
        ASSERT_TRUE(d.Open());
        std::vector<uint8_t> held = image;
        if (c.flip >= 0) held[static_cast<std::size_t>(c.flip)] ^= 0xFF;
        d.SetMemory(0x2800, held);
        d.Start();
        const Outcome o = RunCli({"verify", Example(), "--port", d.Path(), "--timeout", "200"});
        EXPECT_EQ(o.status, c.status) << c.name << o.err;
        EXPECT_NE(o.out.find(c.line), std::string::npos) << c.name << o.out;
        if (c.flip >= 0) {
            char expected[64];
            std::snprintf(expected, sizeof expected, "00002845: device %02X, file %02X\nverify: 1 of 3072 bytes differ\n",
                          held[0x45], image[0x45]);
            EXPECT_NE(o.out.find(expected), std::string::npos) << o.out;
        }
        EXPECT_EQ(FramesWith(d, 0xA1) + FramesWith(d, 0xA2), 0) << c.name;  // no erase, no write
        EXPECT_EQ(d.ResetCount(), c.resets) << c.name;
        d.Stop();
    }
}

// A backup is a HEX file that our loader and objcopy read back to the device's bytes; uploaded to
// another controller, it gives that controller the same memory over the range.
TEST(CliBackupTest, RoundTripThroughTheLoaderObjcopyAndAnotherController) {
    TempDir dir;
    sim::Device source, target({.OldFirmware = true});
    ASSERT_TRUE(source.Open() && target.Open());
    std::vector<uint8_t> held(0x2B000 - 0x2800);
    for (std::size_t i = 0; i < held.size(); ++i) held[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    source.SetMemory(0x2800, held);
    source.Start();
    target.Start();
    Outcome o = RunCli({"backup", dir.File("b.hex"), "--port", source.Path(), "--timeout", "300"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(FramesWith(source, 0xA1) + FramesWith(source, 0xA2), 0);
    EXPECT_EQ(source.ResetCount(), 1);
    FileText f;
    ASSERT_TRUE(f.Open(dir.File("b.hex")));
    const HexLoadResult r = LoadHexText(f.Text(), MemoryImage(), false);
    ASSERT_TRUE(r.Valid);
    EXPECT_EQ(r.ChecksumErrors, 0u);
    EXPECT_EQ(r.ImageStart, 0x2800);
    EXPECT_TRUE(std::equal(held.begin(), held.end(), MemoryImage()));
    ASSERT_EQ(std::system(("objcopy -I ihex -O binary " + dir.File("b.hex") + " " + dir.File("b.bin")).c_str()), 0);
    EXPECT_EQ(dir.Read("b.bin"), std::string(held.begin(), held.end()));
    o = RunCli({"upload", dir.File("b.hex"), "--port", target.Path(), "--timeout", "300"});
    ASSERT_EQ(o.status, 0) << o.err;
    const auto mem = target.Memory();
    EXPECT_TRUE(std::equal(held.begin(), held.end(), mem.begin() + 0x2800));
    // a part of it, and a range that is no range
    o = RunCli({"backup", dir.File("part.hex"), "--port", source.Path(), "--from", "0x2840", "--to", "2851"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(dir.Read("part.hex"), ":020000040000FA\r\n" + std::string(":10284000") + [&] {
        std::string hex;
        char b[4];
        unsigned sum = 0x10 + 0x28 + 0x40;
        for (int i = 0; i < 16; ++i) {
            std::snprintf(b, sizeof b, "%02X", held[0x40 + static_cast<std::size_t>(i)]);
            hex += b;
            sum += held[0x40 + static_cast<std::size_t>(i)];
        }
        std::snprintf(b, sizeof b, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
        return hex + b;
    }() + "\r\n:01285000" + [&] {
        char b[8];
        std::snprintf(b, sizeof b, "%02X%02X", held[0x50], (0x100 - ((0x01 + 0x28 + 0x50 + held[0x50]) & 0xFF)) & 0xFF);
        return std::string(b);
    }() + "\r\n:00000001FF\r\n");
    EXPECT_EQ(RunCli({"backup", dir.File("x.hex"), "--port", source.Path(), "--from", "2900", "--to", "2800"}).status, 64);
    source.Stop();
    target.Stop();
}

// Typed numbers of the single commands are checked before the port is opened: hexadecimal with or
// without 0x, a read length of 1 to 10, at most 16 bytes of 00 to FF, and erase or write below 0x2800
// only with --boot-area.
TEST_F(CliTest, SingleCommandArgumentsAreCheckedBeforeAnythingIsSent) {
    StartDevice();
    const struct {
        std::vector<std::string> args;
        int status;
        const char* text;  // on standard error for a refusal, at the start of standard output otherwise
    } cases[] = {
        {{"erase", "zz"}, 64, "erase: ADDR 'zz' is not a hexadecimal address"},
        {{"read", "0x2800", "2"}, 0, "03A30200280000D002  -  "},
        {{"read", "2800", "0"}, 64, "read: LEN '0' is not a length from 1 to 10"},
        {{"read", "2800", "11"}, 64, "read: LEN '11'"},
        {{"read", "2800", "10"}, 0, "03A31000280000DE02  -  "},
        {{"write", "2800", "GG"}, 64, "write: BYTE 'GG' is not a byte"},
        {{"write", "2800", "100"}, 64, "write: BYTE '100'"},
        {{"write", "2800", "1", "2", "3", "4", "5", "6", "7", "8", "9", "A", "B", "C", "D", "E", "F", "10", "11"},
         64, "write: 17 bytes given, at most 16"},
        {{"write", "2800", "1", "2", "3", "4", "5", "6", "7", "8", "9", "A", "B", "C", "D", "E", "F", "10"},
         0, "03A210002800000102030405060708090A0B0C0D0E0F106502->"},
        {{"write", "0x2800", "0x12"}, 0, "03A2010028000012E002->"},
        {{"erase", "0"}, 64, "erase: ADDR 00000000 lies in the bootloader's own area"},
        {{"write", "27FF", "1"}, 64, "write: ADDR 000027FF lies in the bootloader's own area"},
        {{"erase", "0", "--boot-area"}, 0, "03A100000000A402  -  "},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--port", device->Path(), "--timeout", "300"});
        const int before = device->FrameCount();
        const Outcome o = RunCli(args);
        EXPECT_EQ(o.status, c.status) << c.args[0] << " " << c.args[1] << ": " << o.err;
        if (c.status == 64) {
            EXPECT_NE(o.err.find(c.text), std::string::npos) << o.err;
            EXPECT_EQ(device->FrameCount(), before) << c.text;
        } else {
            EXPECT_EQ(o.out.rfind(c.text, 0), 0u) << o.out;
            EXPECT_EQ(device->FrameCount(), before + 1) << c.text;
        }
    }
}

// A refusal of a read is recognised as soon as it is complete, even with a time-out of 30 s, and
// said as one ("RX ERROR (NAK)"); no memory is made of its bytes: read prints no data line, backup
// writes no file.
TEST(CliRefusedReadTest, IsSaidAtOnceAndGivesNoData) {
    TempDir dir;
    const struct {
        std::vector<std::string> args;
        sim::Options device;
        int status;
        const char* err;
    } cases[] = {
        {{"read", "300000", "10"}, {}, 1, "RX ERROR (NAK)\n"},
        {{"verify", Example()}, {.NakCommand = 0xA3}, 2, "verify did not complete: read at 0x00002800: RX ERROR (NAK)"},
        {{"backup", dir.File("b.hex")}, {.NakCommand = 0xA3}, 1,
         "backup did not complete: read at 0x00002800: RX ERROR (NAK)"},
    };
    for (const auto& c : cases) {
        sim::Device d(c.device);
        ASSERT_TRUE(d.Open());
        d.Start();
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--port", d.Path(), "--timeout", "30000"});
        const Outcome o = RunCli(args);
        d.Stop();
        EXPECT_EQ(o.status, c.status) << c.args[0] << ": " << o.err;
        EXPECT_NE(o.err.find(c.err), std::string::npos) << o.err;
        if (c.args[0] == "read") {
            EXPECT_EQ(o.out, "03A31000003000E602  -  0315A3BB02\n");
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir.File("b.hex")));
}

// A run that does not complete ends standard error with one line: the reason and what to check.
TEST(CliFailureTest, EveryFailedRunSaysWhyAndWhatToCheck) {
    TempDir dir;
    const struct {
        const char* name;
        sim::Options device;
        std::vector<std::string> args;  // after the command and the port
        const char* command;
        int status;
        const char* line;
    } cases[] = {
        {"no answer", {.Silent = true}, {}, "upload", 2,
         "upload did not complete: the bootloader did not start after 4 attempts: RX ERROR (TIMEOUT); no answer from "
         "the controller: check its power, the cable"},
        {"not a serial port", {}, {}, "upload", 2, "; this device is not a serial port"},
        {"refused erase", {.NakCommand = 0xA1}, {}, "upload", 1,
         "upload did not complete: erase at 0x00002800: RX ERROR (NAK); the controller refused to erase"},
        {"modem", {.Gsm = true, .DialAnswer = "BUSY"}, {"--gsm", "123"}, "upload", 2,
         "upload did not complete: the modem answered the dial with BUSY; the modem could not reach the controller"},
        {"call dropped", {.Gsm = true, .DropCallAfter = {5}}, {"--gsm", "123"}, "upload", 1,
         "upload did not complete: write at 0x00002880: the call dropped (the modem said NO CARRIER); the call "
         "dropped: check the signal"},
        {"verify, no answer", {.Silent = true}, {}, "verify", 2, "verify did not complete: the bootloader did not start"},
        {"backup, no answer", {.Silent = true}, {}, "backup", 2, "backup did not complete: the bootloader did not start"},
    };
    for (const auto& c : cases) {
        sim::Device d(c.device);
        ASSERT_TRUE(d.Open());
        d.Start();
        const std::string first = std::string(c.command) == "backup" ? dir.File("b.hex") : Example();
        const std::string port = std::string(c.name) == "not a serial port" ? "/dev/null" : d.Path();
        std::vector<std::string> args = {c.command, first, "--port", port, "--timeout", "50"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome o = RunCli(args);
        d.Stop();
        EXPECT_EQ(o.status, c.status) << c.name << o.err;
        ASSERT_FALSE(o.err.empty()) << c.name;
        const std::string last = o.err.substr(o.err.rfind('\n', o.err.size() - 2) + 1);
        EXPECT_NE(last.find(c.line), std::string::npos) << c.name << ": " << o.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.File("b.hex")));
}

// Backup and verify trust a read answer whose check byte is the sum of the bytes before it, read a
// garbled block again, take two equal answers from a device with another check, and fail on a line
// that never agrees, writing nothing.
TEST(CliBackupTest, GarbledAnswersAreReadAgainNeverSaved) {
    TempDir dir;
    const std::vector<uint8_t> image = ExampleImage();
    const struct {
        const char* name;
        sim::Options options;
        int backupStatus, verifyStatus;
        int minReads, maxReads;  // of the backup's 48 blocks
    } cases[] = {
        {"clean", {}, 0, 0, 48, 48},
        {"every third answer garbled", {.GarbleReadEvery = 3}, 0, 0, 49, 96},
        // read twice, but for the rare block whose XOR happens to equal its sum
        {"another check byte", {.XorReadCheck = true}, 0, 0, 90, 96},
        {"every answer garbled", {.GarbleReadEvery = 1}, 1, 2, 4, 4},
    };
    for (const auto& c : cases) {
        sim::Device d(c.options);
        ASSERT_TRUE(d.Open());
        d.SetMemory(0x2800, image);
        d.Start();
        std::filesystem::remove(dir.File("b.hex"));
        const Outcome b = RunCli({"backup", dir.File("b.hex"), "--port", d.Path(), "--to", "3400", "--timeout", "300"});
        const int reads = FramesWith(d, 0xA3);
        const Outcome v = RunCli({"verify", Example(), "--port", d.Path(), "--timeout", "300"});
        d.Stop();
        EXPECT_EQ(b.status, c.backupStatus) << c.name << b.err;
        EXPECT_EQ(v.status, c.verifyStatus) << c.name << v.err;
        EXPECT_GE(reads, c.minReads) << c.name;
        EXPECT_LE(reads, c.maxReads) << c.name;
        if (c.backupStatus != 0) {
            EXPECT_FALSE(std::filesystem::exists(dir.File("b.hex"))) << c.name;
            EXPECT_NE(b.err.find("read at 0x00002800: the line garbles the answers"), std::string::npos) << b.err;
            continue;
        }
        EXPECT_NE(b.out.find("Backup completed: 3072 bytes"), std::string::npos) << b.out;
        FileText f;
        ASSERT_TRUE(f.Open(dir.File("b.hex")));
        const HexLoadResult r = LoadHexText(f.Text(), MemoryImage(), false);
        ASSERT_TRUE(r.Valid);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), MemoryImage())) << c.name;
    }
}

// A second Ctrl-C during a backup ends it at once, yet the controller gets its CPU reset and no
// file, whole or empty, is left behind.
TEST(CliBackupTest, SecondInterruptStillResetsAndLeavesNoFile) {
    TempDir dir;
    sim::Device d({.DelayMs = 30});
    ASSERT_TRUE(d.Open());
    d.Start();
    const Outcome o = RunCli({"backup", dir.File("b.hex"), "--port", d.Path(), "--timeout", "300"},
                             {{800, SIGINT}, {5, SIGINT}});
    EXPECT_EQ(o.status, 130) << o.err;
    for (int i = 0; i < 100 && d.ResetCount() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(d.ResetCount(), 1);
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
    d.Stop();
}

// A one-port upload with --skip-gaps writes only the blocks that hold bytes of the file.
TEST_F(CliTest, SkipGapsOnOnePortWritesOnlyTheBlocksOfTheFile) {
    StartDevice();
    TempDir dir;
    dir.Write("gaps.hex", ":0128000001D6\n:0130000001CE\n:00000001FF\n");
    const Outcome o = RunCli({"upload", dir.File("gaps.hex"), "--port", device->Path(), "--skip-gaps"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(FramesWith(*device, 0xA2), 2);
    EXPECT_EQ(device->Memory()[0x3000], 0x01);
}

// A run that fails in its walk keeps a resume point that a later process takes with --resume: it
// goes on from the page where the first stopped, and a completed run removes the point. A changed
// file, or another unit on the port, is uploaded from the start, with the reason said.
TEST_F(CliTest, ResumePointOutlivesTheProcessAndFitsOnlyTheSameFile) {
    StartDevice({.CutLineAt = {50}, .CutForMs = 400});  // frame 50 writes in the page at 0x3000
    TempDir dir;
    const auto state = std::filesystem::path(StateFolder()) / "quarnelix-dfu";
    Outcome o = RunCli({"upload", Example(), "--port", device->Path(), "--verify", "--timeout", "100"});
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("a resume point was kept: --resume goes on from the page at 0x00003000"), std::string::npos)
        << o.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the line is back
    dir.Write("other.hex", ":0128000001D6\n:00000001FF\n");
    o = RunCli({"upload", dir.File("other.hex"), "--port", device->Path(), "--verify", "--resume", "--timeout", "100"});
    EXPECT_NE(o.err.find("--resume: the file is not the one the interrupted run uploaded; uploading from the start"),
              std::string::npos)
        << o.err;
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(std::filesystem::is_empty(state));  // completed: the stale point is gone
    // once more to a failing run, then the resume across processes
    device->Stop();
    device.reset();
    StartDevice({.CutLineAt = {50}, .CutForMs = 400});
    EXPECT_EQ(RunCli({"upload", Example(), "--port", device->Path(), "--verify", "--timeout", "100"}).status, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::size_t firstRun = device->Frames().size();
    o = RunCli({"upload", Example(), "--port", device->Path(), "--verify", "--resume", "--timeout", "100"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find("--resume: going on from the page at 0x00003000"), std::string::npos) << o.err;
    const auto frames = device->Frames();
    ASSERT_GT(frames.size(), firstRun + 34);
    EXPECT_EQ(frames[firstRun][1], CMD_START_DFU);
    for (std::size_t k = 1; k <= 32; ++k) EXPECT_EQ(frames[firstRun + k][1], CMD_READ);  // the page below 0x3000
    EXPECT_EQ(frames[firstRun + 33], (std::vector<uint8_t>{0x03, 0xA1, 0x00, 0x30, 0x00, 0x00, 0xD4, 0x02}));
    for (std::size_t k = firstRun; k < frames.size(); ++k) {
        if (frames[k][1] == CMD_WRITE) {
            EXPECT_GE(frames[k][4] << 8 | frames[k][3], 0x3000);
        }
    }
    const auto image = ExampleImage();
    auto mem = device->Memory();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), mem.begin() + 0x2800));
    EXPECT_TRUE(std::filesystem::is_empty(state));
    // the run stops there again, and another unit, whose first page holds other bytes, takes the
    // place of the first on the port
    device->Stop();
    device.reset();
    StartDevice({.CutLineAt = {50}, .CutForMs = 400});
    EXPECT_EQ(RunCli({"upload", Example(), "--port", device->Path(), "--verify", "--timeout", "100"}).status, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    device->SetMemory(0x2800, std::vector<uint8_t>(0x800, 0x00));
    const std::size_t secondRun = device->Frames().size();
    o = RunCli({"upload", Example(), "--port", device->Path(), "--verify", "--resume", "--timeout", "100"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find("resume: the pages before 00003000 do not hold this file (the byte at 0x00002800: device 00"),
              std::string::npos)
        << o.err;
    const auto again = device->Frames();
    const auto firstErase = std::find_if(again.begin() + static_cast<std::ptrdiff_t>(secondRun), again.end(),
                                         [](const auto& f) { return f[1] == CMD_ERASE; });
    ASSERT_NE(firstErase, again.end());
    EXPECT_EQ(*firstErase, (std::vector<uint8_t>{0x03, 0xA1, 0x00, 0x28, 0x00, 0x00, 0xCC, 0x02}));
    mem = device->Memory();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), mem.begin() + 0x2800));
}

// --json: standard output holds nothing but JSON Lines, each with schema 1 and its event: the start,
// progress, the end with the report's fields; for one port and for several, completed and failed.
TEST(CliJsonTest, EventsAreTheOnlyOutputAndSayHowEachRunEnded) {
    sim::Device good, refusing({.NakCommand = 0xA2});
    ASSERT_TRUE(good.Open() && refusing.Open());
    good.Start();
    refusing.Start();
    auto events = [](const std::string& out) {
        std::vector<nlohmann::json> list;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);) {
            list.push_back(nlohmann::json::parse(line));  // throws on anything that is not JSON
            EXPECT_EQ(list.back().at("schema"), 1);
        }
        return list;
    };
    const struct {
        const char* name;
        std::vector<std::string> ports;
        std::map<std::string, std::string> outcomes;  // by port
    } cases[] = {
        {"completed", {good.Path()}, {{good.Path(), "completed"}}},
        {"failed", {refusing.Path()}, {{refusing.Path(), "failed"}}},
        {"production", {good.Path(), refusing.Path()}, {{good.Path(), "completed"}, {refusing.Path(), "failed"}}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"upload", Example(), "--json", "--timeout", "200"};
        for (const std::string& p : c.ports) args.insert(args.end(), {"--port", p});
        const Outcome o = RunCli(args);
        std::vector<nlohmann::json> list;
        ASSERT_NO_THROW(list = events(o.out)) << c.name << ": " << o.out;
        std::map<std::string, std::vector<std::string>> byPort;
        for (const auto& e : list) byPort[e.at("port")].push_back(e.at("event"));
        ASSERT_EQ(byPort.size(), c.ports.size()) << c.name;
        for (const auto& [port, seen] : byPort) {
            EXPECT_EQ(seen.front(), "start") << c.name;
            EXPECT_EQ(seen.back(), "end") << c.name;
            EXPECT_NE(std::find(seen.begin(), seen.end(), "progress"), seen.end()) << c.name;
        }
        for (const auto& e : list) {
            if (e.at("event") != "end") continue;
            EXPECT_EQ(e.at("outcome"), c.outcomes.at(e.at("port"))) << c.name;
            EXPECT_TRUE(e.contains("hex_sha256") && e.contains("blocks") && e.contains("reason")) << e.dump();
        }
    }
    // verify and backup end with what they found and wrote
    TempDir dir;
    const Outcome v = RunCli({"verify", Example(), "--port", good.Path(), "--json", "--timeout", "200"});
    const Outcome b = RunCli({"backup", dir.File("b.hex"), "--port", good.Path(), "--to", "3400", "--json"});
    std::vector<nlohmann::json> ends;
    for (const Outcome* o : {&v, &b}) {
        std::vector<nlohmann::json> list;
        ASSERT_NO_THROW(list = events(o->out)) << o->out;
        ASSERT_GE(list.size(), 2u);
        EXPECT_EQ(list.front().at("event"), "start");
        ends.push_back(list.back());
    }
    EXPECT_EQ(ends[0].at("command"), "verify");
    EXPECT_EQ(ends[0].at("differences"), 0);
    EXPECT_EQ(ends[0].at("bytes_compared"), 3072);
    EXPECT_EQ(ends[1].at("command"), "backup");
    EXPECT_EQ(ends[1].at("bytes"), 0x3400 - 0x2800);
    EXPECT_EQ(ends[1].at("outcome"), "completed");
    good.Stop();
    refusing.Stop();
}


// With --json every port given ends with exactly one end event, whichever way the run ends: refused
// before it started, cut short by a second Ctrl-C, a backup that read everything but could not
// write its file, a device that is silent or garbles every answer.
TEST(CliJsonTest, EveryRunEndsWithOneEndEvent) {
    TempDir dir;
    dir.Write("bad.hex", ":00000001FF\n");
    fs::create_directories(dir.File("vanishing"));
    sim::Device good({.DelayMs = 10}), other, silent({.Silent = true}), garbling({.GarbleReadEvery = 1}),
        modem({.Gsm = true, .Silent = true}), oldFirmware({.OldFirmware = true});
    for (sim::Device* d : {&good, &other, &silent, &garbling, &modem, &oldFirmware}) {
        ASSERT_TRUE(d->Open());
        d->Start();
    }
    const std::string ledger = dir.File("ledger.sqlite");
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::vector<TimedSignal> signals;
        int status;
        std::vector<std::string> ports;  // each with one end event
        const char* outcome;
        const char* reason;  // a part of it
    } cases[] = {
        {"a refused file", {"upload", dir.File("bad.hex"), "--port", good.Path()}, {}, 65, {good.Path()}, "not_done",
         "nothing to upload"},
        {"a refused file, two ports", {"upload", dir.File("bad.hex"), "--port", good.Path(), "--port", other.Path()}, {},
         65, {good.Path(), other.Path()}, "not_done", "nothing to upload"},
        {"a port that names nothing", {"upload", Example(), "--port", "ttyS0"}, {}, 64, {"ttyS0"}, "not_done",
         "is neither COMn"},
        {"a report that cannot be opened", {"upload", Example(), "--port", good.Path(), "--report", dir.File("no/r.jsonl")},
         {}, 73, {good.Path()}, "not_done", "--report: cannot open"},
        {"--simulate with --ledger", {"upload", Example(), "--port", good.Path(), "--simulate", "--ledger", ledger}, {},
         64, {good.Path()}, "not_done", "cannot take --ledger"},
        {"a second Ctrl-C", {"upload", Example(), "--port", modem.Path(), "--gsm", "123", "--timeout", "3000"},
         {{3300, SIGINT}, {100, SIGINT}}, 130, {modem.Path()}, "failed", "interrupted again"},
        {"verify, a refused file", {"verify", dir.File("bad.hex"), "--port", good.Path()}, {}, 65, {good.Path()},
         "not_done", "nothing to upload"},
        {"verify, a silent device", {"verify", Example(), "--port", silent.Path(), "--timeout", "50"}, {}, 2,
         {silent.Path()}, "not_done", "TIMEOUT"},
        {"verify, every answer garbled", {"verify", Example(), "--port", garbling.Path(), "--timeout", "200"}, {}, 2,
         {garbling.Path()}, "failed", "garbles"},
        {"verify, other bytes on the device", {"verify", Example(), "--port", oldFirmware.Path()}, {}, 1,
         {oldFirmware.Path()}, "failed", "bytes differ"},
        {"upload, an option refused", {"upload", Example(), "--port", other.Path(), "--retries", "500"}, {}, 64,
         {other.Path()}, "not_done", "--retries"},
        {"verify, an option refused", {"verify", Example(), "--port", other.Path(), "--verfy"}, {}, 64,
         {other.Path()}, "not_done", "--verfy"},
        {"backup, a range refused", {"backup", dir.File("b.hex"), "--port", good.Path(), "--from", "3000", "--to", "2800"},
         {}, 64, {good.Path()}, "not_done", "--from must lie below --to"},
        {"backup, a silent device", {"backup", dir.File("b.hex"), "--port", silent.Path(), "--timeout", "50"}, {}, 2,
         {silent.Path()}, "not_done", "TIMEOUT"},
        {"backup, every answer garbled", {"backup", dir.File("b.hex"), "--port", garbling.Path(), "--to", "2C00"}, {}, 1,
         {garbling.Path()}, "failed", "garbles"},
        {"backup, its folder gone", {"backup", dir.File("vanishing/b.hex"), "--port", good.Path(), "--to", "4000"},
         {}, 73, {good.Path()}, "failed", "cannot write"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        const bool vanish = std::string(c.name) == "backup, its folder gone";
        const int framesBefore = good.FrameCount();
        const Outcome o = vanish ? RunCliDuring(args,
                                                [&](int) {
                                                    // gone while the backup reads, however slow the machine
                                                    for (int i = 0; i < 500 && good.FrameCount() < framesBefore + 4; ++i)
                                                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                                                    fs::remove_all(dir.File("vanishing"));
                                                })
                                 : RunCli(args, c.signals);
        EXPECT_EQ(o.status, c.status) << o.err;
        std::vector<nlohmann::json> list;
        ASSERT_NO_THROW(list = JsonLines(o.out)) << o.out;
        std::map<std::string, int> ends;
        for (const auto& e : list) {
            EXPECT_EQ(e.at("schema"), 1);
            // a verify that could not read everything (status 2) never shows all its blocks done
            if (e.at("event") == "progress" && c.args[0] == "verify" && c.status == 2) {
                EXPECT_LT(e.at("blocks_done"), e.at("blocks_total")) << e.dump();
            }
            if (e.at("event") == "start" && e.at("options").contains("verification")) {
                EXPECT_EQ(e.at("options").at("verification"), "off") << e.dump();
            }
            if (e.at("event") != "end") continue;
            ++ends[e.at("port")];
            EXPECT_EQ(e.at("outcome"), c.outcome) << e.dump();
            EXPECT_NE(e.at("reason").get<std::string>().find(c.reason), std::string::npos) << e.dump();
            EXPECT_EQ(e.at("exit_status"), c.status) << e.dump();  // the process's own
            if (e.contains("verification")) {
                EXPECT_EQ(e.at("verification"), "off") << e.dump();
            }
        }
        for (const std::string& port : c.ports) EXPECT_EQ(ends[port], 1) << port << "\n" << o.out;
        EXPECT_EQ(ends.size(), c.ports.size()) << o.out;
    }
    EXPECT_FALSE(fs::exists(ledger));  // --simulate and --ledger opened nothing
    EXPECT_EQ(other.FrameCount() + other.FirmwareResetLines(), 0);
    for (sim::Device* d : {&good, &other, &silent, &garbling, &modem, &oldFirmware}) d->Stop();
}

// usb:SERIAL names one adapter: a serial number that none gives, or that two give, is refused in
// one line that says so (both adapters named), before anything is opened.
TEST(CliUsbPortTest, ASerialNumberThatNamesNoneOrTwoAdaptersIsRefused) {
    TempDir tree;
    for (const std::string tty : {"ttyUSB0", "ttyUSB1"}) {
        const std::string usb = tree.File("sys/devices/usb1/" + tty);
        fs::create_directories(usb + "/if0");
        for (const auto& [name, value] : std::map<std::string, std::string>{
                 {"idVendor", "0403"}, {"idProduct", "6001"}, {"serial", "TWIN"}})
            std::ofstream(usb + "/" + name) << value << "\n";
        fs::create_directories(tree.File("sys/class/tty/" + tty));
        fs::create_directory_symlink(usb + "/if0", tree.File("sys/class/tty/" + tty + "/device"));
        fs::create_directories(tree.File("dev"));
        tree.Write("dev/" + tty, "");
    }
    const std::vector<std::string> seams = {"--ports-dir", tree.File("ports"), "--dev-root", tree.File("dev"),
                                            "--sysfs-root", tree.File("sys")};
    const std::string dev = tree.File("dev");
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"upload", Example(), "--port", "usb:TWIN"},
         "--port usb:TWIN: 2 adapters have that serial number: COM3 (" + dev + "/ttyUSB0) and COM4 (" + dev +
             "/ttyUSB1); name one by its COM number or device\n"},
        {{"verify", Example(), "--port", "usb:NONE"},
         "--port usb:NONE: no present USB adapter has that serial number ('quarnelix-dfu-cli ports' lists them)\n"},
        {{"upload", Example(), "--port", "usb:TWIN", "--port", "COM1"},
         "--port usb:TWIN: 2 adapters have that serial number: COM3 (" + dev + "/ttyUSB0) and COM4 (" + dev +
             "/ttyUSB1); name one by its COM number or device\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), seams.begin(), seams.end());
        const Outcome o = RunCli(args);
        EXPECT_EQ(o.status, 64) << c.err;
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(o.out, "");
    }
}

// --simulate sends nothing and says so: the log is a run's, standard error ends saying it was a
// simulation, the report and the events say "simulated": true.
TEST(CliSimulateTest, SaysItWasASimulation) {
    sim::Device d;
    ASSERT_TRUE(d.Open());
    d.Start();
    TempDir dir;
    const Outcome o = RunCli({"upload", Example(), "--port", d.Path(), "--simulate", "--report", dir.File("r.jsonl")});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("Trasferimento Firmware Completato\n"), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("nothing was sent and the port was never opened: this was a simulation\n"), std::string::npos)
        << o.err;
    const auto report = nlohmann::json::parse(dir.Read("r.jsonl"));
    EXPECT_EQ(report.at("simulated"), true);
    const Outcome j = RunCli({"upload", Example(), "--port", d.Path(), "--simulate", "--json"});
    std::vector<nlohmann::json> list;
    ASSERT_NO_THROW(list = JsonLines(j.out)) << j.out;
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(list.front().at("simulated"), true);
    EXPECT_EQ(list.back().at("event"), "end");
    EXPECT_EQ(list.back().at("simulated"), true);
    EXPECT_EQ(d.FrameCount() + d.FirmwareResetLines(), 0);
    // a real run's lines say nothing of it
    const Outcome real = RunCli({"upload", Example(), "--port", d.Path(), "--json", "--timeout", "300"});
    EXPECT_EQ(real.status, 0) << real.err;
    EXPECT_EQ(real.out.find("simulated"), std::string::npos) << real.out;
    EXPECT_EQ(real.err.find("simulation"), std::string::npos) << real.err;
    d.Stop();
}

// The man pages list every command and every option that --help shows, so that they cannot fall
// behind the programs again.
TEST(ManPageTest, EveryCommandAndOptionOfTheHelpIsInTheManPage) {
    auto manPage = [](const std::string& name) {
        std::ifstream in(std::string(QDFU_MAN_DIR) + "/" + name + ".1");
        // roff's \- read as -, copied rather than replaced in place (GCC 12 at -O3 warns falsely
        // of an overlapping copy in string::replace)
        std::string text;
        for (std::istreambuf_iterator<char> c(in), end; c != end; ++c)
            if (*c != '-' || text.empty() || text.back() != '\\') text += *c;
            else text.back() = '-';
        return text;
    };
    // Every "--word" of a help text (scanned by hand: std::regex trips a false maybe-uninitialized
    // warning in the sanitizer build).
    auto options = [](const std::string& help) {
        std::set<std::string> found;
        for (std::size_t at = help.find("--"); at != std::string::npos; at = help.find("--", at + 2)) {
            std::size_t end = at + 2;
            if (end >= help.size() || help[end] < 'a' || help[end] > 'z') continue;
            while (end < help.size() && ((help[end] >= 'a' && help[end] <= 'z') || help[end] == '-')) ++end;
            found.insert(help.substr(at, end - at));
        }
        found.erase("--help");
        return found;
    };
    const std::string cli = manPage("quarnelix-dfu-cli");
    const std::vector<std::string> commands = {"upload", "verify", "backup", "ports", "station", "hex", "read",
                                               "write", "erase", "start", "reset", "ledger", "profile"};
    for (const std::string& command : commands) {
        EXPECT_NE(cli.find(command), std::string::npos) << command;
        for (const std::string& option : options(RunCli({command, "--help"}).out))
            EXPECT_NE(cli.find(option), std::string::npos) << command << " " << option << " is not in the man page";
    }
    for (const auto& [command, sub] : std::vector<std::pair<std::string, std::string>>{
             {"ledger", "show"}, {"ledger", "stats"}, {"ledger", "next"}, {"profile", "new"}, {"profile", "check"}}) {
        EXPECT_NE(cli.find(command + " " + sub), std::string::npos) << sub;
        for (const std::string& option : options(RunCli({command, sub, "--help"}).out))
            EXPECT_NE(cli.find(option), std::string::npos) << command << " " << sub << " " << option << " is not in the man page";
    }
    // The programs beside the command line, each with its --help run as a whole process (the line
    // window's on the offscreen platform; "" when the build has no windows).
    for (const auto& [page, program] : std::vector<std::pair<std::string, std::string>>{
             {"quarnelix-devsim", QDFU_DEVSIM}, {"quarnelix-dfu-line", QDFU_LINE}}) {
        if (program.empty()) continue;
        const std::string text = manPage(page);
        std::string help;
        if (std::FILE* p = ::popen(("QT_QPA_PLATFORM=offscreen " + program + " --help").c_str(), "r")) {
            char buf[4096];
            for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) help.append(buf, n);
            ::pclose(p);
        }
        EXPECT_FALSE(options(help).empty()) << page << " --help said: " << help;  // it ran
        for (const std::string& option : options(help))
            EXPECT_NE(text.find(option), std::string::npos) << page << " " << option << " is not in the man page";
    }
}

// A port reached over TCP (a serial device server) carries the same upload, claims no line
// settings and is named in any case; a server that refuses the connection is a port that cannot be
// opened, one that ends it is said as such; two names of one server are one port; port 0 is no port.
TEST(CliTcpTest, UploadThroughASerialDeviceServerAndItsRefusals) {
    sim::Device server({.TcpPort = 0});
    ASSERT_TRUE(server.Open()) << server.Error();
    server.Start();
    ASSERT_EQ(server.Path().rfind("tcp://127.0.0.1:", 0), 0u);
    const std::string number = server.Path().substr(server.Path().rfind(':') + 1);
    Outcome o = RunCli({"upload", Example(), "--port", server.Path(), "--verify", "--timeout", "300"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, Completed(server.Path(), " (TCP: line settings kept by the device server)"));
    const auto image = ExampleImage();
    const auto mem = server.Memory();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), mem.begin() + 0x2800));
    EXPECT_EQ(RunCli({"verify", Example(), "--port", "TCP://127.0.0.1:" + number, "--timeout", "300"}).status, 0);
    const int frames = server.FrameCount();
    o = RunCli({"upload", Example(), "--port", "tcp://localhost:" + number, "--port", "tcp://127.0.0.1:" + number});
    EXPECT_EQ(o.status, 64) << o.err;
    EXPECT_NE(o.err.find("names a device already given"), std::string::npos) << o.err;
    EXPECT_EQ(server.FrameCount(), frames);
    server.Stop();
    o = RunCli({"upload", Example(), "--port", "tcp://127.0.0.1:1", "--timeout", "300"});
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("cannot open tcp://127.0.0.1:1: Connection refused"), std::string::npos) << o.err;
    EXPECT_EQ(RunCli({"upload", Example(), "--port", "tcp://127.0.0.1"}).status, 64);  // no port number
    EXPECT_EQ(RunCli({"upload", Example(), "--port", "tcp://127.0.0.1:0"}).status, 64);

    sim::Device closing({.HangupAfter = 5, .TcpPort = 0});
    ASSERT_TRUE(closing.Open()) << closing.Error();
    closing.Start();
    o = RunCli({"upload", Example(), "--port", closing.Path(), "--timeout", "300"});
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("the device server closed the connection"), std::string::npos) << o.err;
    closing.Stop();
}
}  // namespace
}  // namespace qdfu::test
