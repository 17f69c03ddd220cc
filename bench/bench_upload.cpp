// An upload of 64 blocks with verification to quarnelix-devsim --baud 9600, through the command
// line as a whole process. Prints the wall time against the wire time of the bytes that crossed
// the line (10 bits per byte at 9600 baud) and the uploading process's CPU time against its wall
// time. Targets: at most 1.02 and under 2 %.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "big_hex.h"
#include "child_process.h"


namespace {

using qdfu::bench::Spawn;


}  // namespace

int main() {
    char dirTemplate[] = "/tmp/qdfu-bench-XXXXXX";
    const std::string dir = ::mkdtemp(dirTemplate);
    const std::string hex = dir + "/64blocks.hex";
    const std::string transcript = dir + "/line.txt";
    qdfu::bench::WriteBigHex(hex, 64 * 64);

    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return 1;
    const pid_t sim = Spawn({QDFU_DEVSIM, "--baud", "9600"}, pipeFds[1]);
    ::close(pipeFds[1]);
    std::string device;
    char c = 0;
    while (::read(pipeFds[0], &c, 1) == 1 && c != '\n') device += c;
    if (sim < 0 || device.empty()) {
        std::fprintf(stderr, "cannot start the simulated device\n");
        return 1;
    }

    const auto t0 = std::chrono::steady_clock::now();
    const int devNull = ::open("/dev/null", O_WRONLY);
    const pid_t cli = Spawn({QDFU_CLI, "upload", hex, "--port", device, "--verify", "--transcript", transcript}, devNull);
    int status = 0;
    rusage usage{};
    ::wait4(cli, &status, 0, &usage);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ::kill(sim, SIGTERM);
    ::waitpid(sim, nullptr, 0);

    std::ifstream in(transcript);
    std::string line;
    long bytes = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string time, direction;
        fields >> time >> direction;
        if (direction != "TX" && direction != "RX") continue;
        std::string byte;
        while (fields >> byte) ++bytes;
    }
    const double wire = bytes * 10.0 / 9600.0;
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("upload of 64 blocks with verification at 9600 baud: exit %d\n", WEXITSTATUS(status));
    std::printf("  bytes on the line: %ld, wire time %.3f s, wall time %.3f s\n", bytes, wire, wall);
    std::printf("  wall / wire: %.4f (target <= 1.02)\n", wall / wire);
    std::printf("  cpu / wall:  %.2f %% (target < 2 %%)\n", 100.0 * cpu / wall);
    std::system(("rm -rf " + dir).c_str());
    return WEXITSTATUS(status) == 0 ? 0 : 1;
}
