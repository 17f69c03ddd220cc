// An upload of 64 blocks with verification to quarnelix-devsim --baud 9600, through the command
// line as a whole process. Prints the wall time against the wire time of the bytes that crossed
// the line (10 bits per byte at 9600 baud) and the uploading process's CPU time against its wall
// time. Targets: at most 1.02 and under 2 %.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "big_hex.h"
#include "child_process.h"


int main() {
    char dirTemplate[] = "/tmp/qdfu-bench-XXXXXX";
    const std::string dir = ::mkdtemp(dirTemplate);
    const std::string hex = dir + "/64blocks.hex";
    const std::string transcript = dir + "/line.txt";
    qdfu::bench::WriteBigHex(hex, 64 * 64);

    qdfu::bench::Devsim sim = qdfu::bench::StartDevsim({QDFU_DEVSIM, "--baud", "9600"});
    if (sim.pid < 0) {
        std::fprintf(stderr, "cannot start the simulated device\n");
        return 1;
    }
    const qdfu::bench::Timed run =
        qdfu::bench::RunTimed({QDFU_CLI, "upload", hex, "--port", sim.path, "--verify", "--transcript", transcript});
    qdfu::bench::Stop(sim);
    const long bytes = qdfu::bench::TranscriptBytes(transcript);
    const double wire = bytes * 10.0 / 9600.0;
    std::printf("upload of 64 blocks with verification at 9600 baud: exit %d\n", run.status);
    std::printf("  bytes on the line: %ld, wire time %.3f s, wall time %.3f s\n", bytes, wire, run.wall);
    std::printf("  wall / wire: %.4f (target <= 1.02)\n", run.wall / wire);
    std::printf("  cpu / wall:  %.2f %% (target < 2 %%)\n", 100.0 * run.cpu / run.wall);
    std::system(("rm -rf " + dir).c_str());
    return run.status == 0 ? 0 : 1;
}
