// A dropped call that the upload survives: 64 KiB at 9600 baud through quarnelix-devsim's modem,
// once on a clean call and once with the call dropped at half the blocks and --retries 1. Prints
// the bytes on the line of the whole run (both calls) against the clean run's, target at most
// 1.05 times plus one page's frames, and the wall time, target at most 1.10 times plus the redial
// (the modem set-up's two pauses and the dial).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "big_hex.h"
#include "child_process.h"

namespace {

using namespace qdfu::bench;

constexpr int kBlocks = 1024;                      // 64 KiB
constexpr long kPageBytes = 32 * (73 + 1 + 4);     // one page's write frames, modem framing, answers
constexpr double kRedialSeconds = 3.0 + 0.5;       // two pauses of 1.5 s, the dial and its answer

Timed Run(const std::string& hex, const std::string& dir, long& bytes, std::vector<std::string> simArgs,
          std::vector<std::string> extra) {
    simArgs.insert(simArgs.begin(), {QDFU_DEVSIM, "--gsm", "--baud", "9600"});
    Devsim sim = StartDevsim(simArgs);
    const std::string transcript = dir + "/line.txt";
    std::vector<std::string> args = {QDFU_CLI, "upload", hex, "--port", sim.path, "--gsm", "3351234567",
                                     "--transcript", transcript};
    args.insert(args.end(), extra.begin(), extra.end());
    const Timed t = RunTimed(args);
    Stop(sim);
    bytes = TranscriptBytes(transcript);
    return t;
}

}  // namespace

int main() {
    char dirTemplate[] = "/tmp/qdfu-bench-XXXXXX";
    const std::string dir = ::mkdtemp(dirTemplate);
    const std::string hex = dir + "/64k.hex";
    WriteBigHex(hex, kBlocks * 64);
    ::setenv("XDG_STATE_HOME", dir.c_str(), 1);  // the failed run's resume point stays here

    long clean = 0, dropped = 0;
    const Timed a = Run(hex, dir, clean, {}, {});
    // frames: the start, then per page an erase and 32 writes; half the blocks is frame 1 + 16 * 33
    const Timed b = Run(hex, dir, dropped, {"--drop-call-after", std::to_string(1 + kBlocks / 64 * 33)},
                        {"--retries", "1"});
    std::printf("64 KiB through the modem at 9600 baud, the call dropped at half the blocks: exit %d (clean %d)\n",
                b.status, a.status);
    std::printf("  bytes on the line: clean %ld, with the drop %ld: %.4f x clean (target <= 1.05 x + one page, "
                "%.4f)\n",
                clean, dropped, static_cast<double>(dropped) / clean, 1.05 + static_cast<double>(kPageBytes) / clean);
    std::printf("  wall: clean %.1f s, with the drop %.1f s: %.4f x clean (target <= 1.10 x + the redial, %.4f)\n",
                a.wall, b.wall, b.wall / a.wall, 1.10 + kRedialSeconds / a.wall);
    std::system(("rm -rf " + dir).c_str());
    return a.status == 0 && b.status == 0 ? 0 : 1;
}
