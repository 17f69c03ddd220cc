// The production line as whole processes against simulated devices: several ports at once with
// one device silent, one refusing writes and one unplugged mid-run while the others complete, and
// station mode flashing adapters as they are plugged in, again when plugged in again, and
// aborting the uploads that run at Ctrl-C. Reports are checked by parsing them.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "device.h"
#include "hex_loader.h"
#include "run_cli.h"
#include "sha256.h"
#include "temp_dir.h"
#include "text_lines.h"

namespace qdfu::test {
namespace {

namespace fs = std::filesystem;

std::string Example() { return std::string(QDFU_EXAMPLES_DIR) + "/quarnelix_v3_demo.hex"; }

// The report's lines as field maps (the report writes flat objects of strings and numbers).
std::vector<std::map<std::string, std::string>> ParseReport(const std::string& path) {
    std::vector<std::map<std::string, std::string>> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        EXPECT_EQ(line.front(), '{');
        EXPECT_EQ(line.back(), '}');
        std::map<std::string, std::string> m;
        std::size_t i = 1;
        auto text = [&] {  // a JSON string at i, unescaped
            std::string v;
            for (++i; i < line.size() && line[i] != '"'; ++i) v += line[i] == '\\' ? line[++i] : line[i];
            ++i;
            return v;
        };
        while (i < line.size() && line[i] == '"') {
            const std::string key = text();
            ++i;  // the colon
            std::string value;
            if (line[i] == '"') {
                value = text();
            } else {
                while (i < line.size() && line[i] != ',' && line[i] != '}') value += line[i++];
            }
            m[key] = value;
            ++i;  // the comma or the closing brace
        }
        out.push_back(m);
    }
    return out;
}

// 2026-12-08T12:59:08Z
bool IsUtcTime(const std::string& t) {
    if (t.size() != 20 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' || t[16] != ':' || t[19] != 'Z')
        return false;
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18})
        if (!std::isdigit(static_cast<unsigned char>(t[i]))) return false;
    return true;
}

std::string FileSha256(const std::string& path) {
    FileText f;
    EXPECT_TRUE(f.Open(path));
    return Sha256Hex(f.Text());
}

// The example's image, as a device must hold it from 0x2800.
std::vector<uint8_t> ExampleImage() {
    FileText f;
    EXPECT_TRUE(f.Open(Example()));
    const HexLoadResult r = LoadHexText(f.Text(), MemoryImage(), false);
    return {MemoryImage(), MemoryImage() + (r.ImageEnd - r.ImageStart)};
}

bool HoldsImage(const sim::Device& d) {
    const auto image = ExampleImage();
    const auto mem = d.Memory();
    return std::equal(image.begin(), image.end(), mem.begin() + 0x2800);
}

TEST(Sha256Test, KnownAnswers) {
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

struct DeviceCase {
    const char* name;
    sim::Options options;
    const char* outcome;
    int exitStatus;
    int resets;  // CPU resets the device saw
};

TEST(MultiPortUploadTest, EachDeviceEndsOnItsOwnAndTheReportSaysHow) {
    const DeviceCase cases[] = {
        {"ok1", {}, "completed", 0, 1},
        {"silent", {.Silent = true}, "not_done", 2, 0},
        {"refusing", {.NakCommand = 0xA2}, "failed", 1, 1},
        {"unplugged", {.HangupAfter = 12}, "failed", 1, 0},  // the line went before the reset
        {"ok2", {}, "completed", 0, 1},
    };
    std::vector<std::unique_ptr<sim::Device>> devices;
    std::vector<std::string> args = {"upload", Example(), "--verify-all", "--timeout", "200"};
    for (const DeviceCase& c : cases) {
        devices.push_back(std::make_unique<sim::Device>(c.options));
        ASSERT_TRUE(devices.back()->Open());
        devices.back()->Start();
        args.insert(args.end(), {"--port", devices.back()->Path()});
    }
    TempDir dir;
    args.insert(args.end(), {"--report", dir.File("report.jsonl"), "--log-dir", dir.File("logs")});
    const Outcome o = RunCli(args);
    EXPECT_EQ(o.status, 1) << o.err;  // one failed at least
    EXPECT_NE(o.out.find("devices: 2 completed, 2 failed, 1 not done"), std::string::npos) << o.out;

    const auto report = ParseReport(dir.File("report.jsonl"));
    ASSERT_EQ(report.size(), std::size(cases));
    const std::string sha = FileSha256(Example());
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const DeviceCase& c = cases[i];
        const auto line = std::find_if(report.begin(), report.end(),
                                       [&](const auto& m) { return m.at("device") == devices[i]->Path(); });
        ASSERT_NE(line, report.end()) << c.name;
        EXPECT_EQ(line->at("outcome"), c.outcome) << c.name;
        EXPECT_EQ(line->at("exit_status"), std::to_string(c.exitStatus)) << c.name;
        EXPECT_EQ(line->at("hex_sha256"), sha);
        EXPECT_EQ(line->at("verification"), "all");
        EXPECT_TRUE(IsUtcTime(line->at("start"))) << line->at("start");
        if (c.exitStatus == 0) {
            EXPECT_EQ(line->at("blocks"), "48");
            EXPECT_EQ(line->at("exchanges"), std::to_string(2 + 48 * 2));  // erases, writes, read-backs
            EXPECT_EQ(line->at("communication_errors"), "0");
            EXPECT_TRUE(HoldsImage(*devices[i])) << c.name;
        } else {
            EXPECT_NE(line->at("last_serial_error"), "") << c.name;
        }
        EXPECT_EQ(devices[i]->ResetCount(), c.resets) << c.name;
    }
    // every device's own log, exactly a single upload's lines
    int logs = 0;
    for (const auto& entry : fs::directory_iterator(dir.File("logs"))) {
        ++logs;
        std::ifstream in(entry.path());
        std::string first;
        std::getline(in, first);
        EXPECT_EQ(first.rfind("Parametri di Comunicazione: /dev/pts/", 0), 0u) << entry.path();
    }
    EXPECT_EQ(logs, 5);
    for (auto& d : devices) d->Stop();
}

// Station mode over a ports folder of its own: adapters plugged in are links that appear in it.
class StationTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("XDG_CONFIG_HOME");
        saved_ = old ? std::optional<std::string>(old) : std::nullopt;
        ::setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
        fs::create_directories(PortsDir());
    }
    void TearDown() override {
        if (saved_)
            ::setenv("XDG_CONFIG_HOME", saved_->c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
        for (auto& d : devices) d->Stop();
    }
    std::string PortsDir() const { return config.File("quarnelix-dfu/ports"); }
    sim::Device& Plug(int com, sim::Options opt = {}) {
        devices.push_back(std::make_unique<sim::Device>(opt));
        EXPECT_TRUE(devices.back()->Open());
        devices.back()->Start();
        fs::create_symlink(devices.back()->Path(), PortsDir() + "/com" + std::to_string(com));
        return *devices.back();
    }
    void Unplug(int com) { fs::remove(PortsDir() + "/com" + std::to_string(com)); }

    TempDir config;
    std::vector<std::unique_ptr<sim::Device>> devices;
    std::optional<std::string> saved_;
};

TEST_F(StationTest, FlashesEachPluggingAndAbortsRunningUploadsAtCtrlC) {
    sim::Device& before = Plug(4);  // present at the start: left alone
    TempDir dir;
    sim::Device* first = nullptr;
    sim::Device* second = nullptr;
    sim::Device* slow = nullptr;
    std::thread plugging([&] {
        using std::chrono::milliseconds;
        std::this_thread::sleep_for(milliseconds(800));
        first = &Plug(5);
        std::this_thread::sleep_for(milliseconds(1500));
        second = &Plug(6);
        std::this_thread::sleep_for(milliseconds(1500));
        Unplug(5);
        std::this_thread::sleep_for(milliseconds(1000));
        fs::create_symlink(first->Path(), PortsDir() + "/com5");  // plugged in again
        std::this_thread::sleep_for(milliseconds(1500));
        slow = &Plug(7, {.DelayMs = 100});  // still uploading when Ctrl-C comes
    });
    const Outcome o = RunCli({"station", Example(), "--verify", "--timeout", "500", "--report", dir.File("r.jsonl")},
                             {{7500, SIGINT}});
    plugging.join();
    EXPECT_EQ(o.status, 1) << o.out << o.err;  // the aborted upload failed
    const auto report = ParseReport(dir.File("r.jsonl"));
    std::map<std::string, std::vector<std::string>> byPort;
    for (const auto& line : report) byPort[line.at("port")].push_back(line.at("outcome"));
    EXPECT_EQ(byPort["COM5"], (std::vector<std::string>{"completed", "completed"}));
    EXPECT_EQ(byPort["COM6"], std::vector<std::string>{"completed"});
    EXPECT_EQ(byPort["COM7"], std::vector<std::string>{"failed"});
    EXPECT_EQ(byPort.count("COM4"), 0u);
    EXPECT_EQ(before.FrameCount(), 0);
    EXPECT_TRUE(HoldsImage(*second));
    EXPECT_EQ(first->ResetCount(), 2);
    EXPECT_EQ(slow->ResetCount(), 1);  // the abort press still reset the CPU
    EXPECT_NE(o.out.find("devices: 3 completed, 1 failed, 0 not done"), std::string::npos) << o.out;
}

}  // namespace
}  // namespace qdfu::test
