// The field tools' cost. verify (64 blocks) and backup (32 KiB) through the command line against
// quarnelix-devsim --baud 9600: wall time against the wire time of the bytes that crossed the line
// (10 bits per byte), target at most 1.03. --skip-gaps on a file with the gap pattern of a real
// application (data from 0x10000, a gap of some 14 KB, configuration words in the last page):
// bytes on the line against those the default upload spends on the blocks that hold data, target
// at most 1.1.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "big_hex.h"
#include "child_process.h"

namespace {

using namespace qdfu::bench;

// Data and CRLF as an XC16 file gives them; checksums right.
void WriteGapFile(const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    auto record = [&](uint32_t address, const std::vector<uint8_t>& data, uint8_t type = 0) {
        std::vector<uint8_t> body = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                                     static_cast<uint8_t>(address), type};
        body.insert(body.end(), data.begin(), data.end());
        unsigned sum = 0;
        for (uint8_t b : body) sum += b;
        body.push_back(static_cast<uint8_t>(0x100 - (sum & 0xFF)));
        out << ':';
        char hex[3];
        for (uint8_t b : body) std::snprintf(hex, sizeof hex, "%02X", b), out << hex;
        out << "\r\n";
    };
    record(0, {0x00, 0x01}, 4);
    for (uint32_t a = 0x0000; a < 0x1E5C; a += 16) {
        std::vector<uint8_t> data(std::min<uint32_t>(16, 0x1E5C - a));
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>((a + i) * 29 + 3);
        record(a, data);
    }
    record(0x57F0, {0xFF, 0xFF, 0x7F, 0x00});
    record(0x57F8, {0x5F, 0xFB, 0x7F, 0x00, 0x9F, 0x3F, 0x7F, 0x00});
    out << ":00000001FF\r\n";
}

// One command against a fresh simulated controller (args get --port); bytes on the line too.
Timed Run(std::vector<std::string> args, const std::string& dir, long& bytes, std::vector<std::string> simArgs) {
    simArgs.insert(simArgs.begin(), QDFU_DEVSIM);
    Devsim sim = StartDevsim(simArgs);
    const std::string transcript = dir + "/line.txt";
    args.insert(args.begin(), QDFU_CLI);
    args.insert(args.end(), {"--port", sim.path, "--transcript", transcript});
    const Timed t = RunTimed(args);
    Stop(sim);
    bytes = TranscriptBytes(transcript);
    return t;
}

}  // namespace

int main() {
    char dirTemplate[] = "/tmp/qdfu-bench-XXXXXX";
    const std::string dir = ::mkdtemp(dirTemplate);
    const std::string hex = dir + "/64blocks.hex", gaps = dir + "/gaps.hex";
    WriteBigHex(hex, 64 * 64);
    WriteGapFile(gaps);
    bool ok = true;

    long bytes = 0;
    Timed t = Run({"verify", hex}, dir, bytes, {"--baud", "9600"});
    // the device holds nothing of the file: the comparison still reads every block
    std::printf("verify of 64 blocks at 9600 baud: exit %d (1: they differ, as they should)\n", t.status);
    std::printf("  bytes %ld, wire %.3f s, wall %.3f s, wall / wire %.4f (target <= 1.03)\n", bytes,
                bytes * 10.0 / 9600, t.wall, t.wall / (bytes * 10.0 / 9600));
    ok &= t.status == 1;

    t = Run({"backup", dir + "/backup.hex", "--from", "2800", "--to", "A800"}, dir, bytes, {"--baud", "9600"});
    std::printf("backup of 32 KiB at 9600 baud: exit %d\n", t.status);
    std::printf("  bytes %ld, wire %.3f s, wall %.3f s, wall / wire %.4f (target <= 1.03)\n", bytes,
                bytes * 10.0 / 9600, t.wall, t.wall / (bytes * 10.0 / 9600));
    ok &= t.status == 0;

    long skipped = 0, whole = 0;
    Run({"upload", gaps, "--skip-gaps"}, dir, skipped, {});
    Run({"upload", gaps}, dir, whole, {});
    // blocks holding data: 0x10000..0x11E5B (122 blocks) and the last page's one block
    const long dataBlocks = (0x1E5C + 63) / 64 + 1;
    const long perBlock = (8 + 64) + 4;  // the write frame and its answer
    std::printf("--skip-gaps on a file with a real application's gaps: %ld bytes on the line (the whole range: %ld)\n",
                skipped, whole);
    std::printf("  against the %ld blocks that hold data (%ld bytes): %.4f (target <= 1.1)\n", dataBlocks,
                dataBlocks * perBlock, static_cast<double>(skipped) / static_cast<double>(dataBlocks * perBlock));
    std::system(("rm -rf " + dir).c_str());
    return ok ? 0 : 1;
}
