// A production line's cost: 64 blocks, every one read back, to quarnelix-devsim --baud 9600, first
// to one device, then to 32 at once through one multi-port command. Prints the 32-port wall time
// against the single upload's (target at most 1.05), the whole run's CPU time, parent and
// children, per device against its wall time (target at most 1 %), and the largest resident set
// of one upload process (the memory a device costs).
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "big_hex.h"
#include "child_process.h"


namespace {

using qdfu::bench::Spawn;

constexpr int kDevices = 32;


struct Device {
    pid_t pid = -1;
    std::string path;
};

Device StartDevice() {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    Device d;
    d.pid = Spawn({QDFU_DEVSIM, "--baud", "9600"}, fds[1], true);
    ::close(fds[1]);
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') d.path += c;
    ::close(fds[0]);
    return d;
}

void StopDevices(std::vector<Device>& devices) {
    for (Device& d : devices) ::kill(d.pid, SIGTERM);
    for (Device& d : devices) ::waitpid(d.pid, nullptr, 0);
    devices.clear();
}

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

// Runs the command line over these devices; wall time in seconds, CPU time of it and its children.
double Run(const std::string& hex, const std::vector<Device>& devices, int& status, double& cpu, long& maxRssKiB) {
    std::vector<std::string> args = {QDFU_CLI, "upload", hex, "--verify-all"};
    for (const Device& d : devices) args.insert(args.end(), {"--port", d.path});
    rusage before{};
    ::getrusage(RUSAGE_CHILDREN, &before);
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t cli = Spawn(args, -1);
    ::waitpid(cli, &status, 0);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    rusage after{};
    ::getrusage(RUSAGE_CHILDREN, &after);
    cpu = Seconds(after.ru_utime) + Seconds(after.ru_stime) - Seconds(before.ru_utime) - Seconds(before.ru_stime);
    maxRssKiB = after.ru_maxrss;
    return wall;
}

}  // namespace

int main() {
    char dirTemplate[] = "/tmp/qdfu-bench-XXXXXX";
    const std::string dir = ::mkdtemp(dirTemplate);
    const std::string hex = dir + "/64blocks.hex";
    qdfu::bench::WriteBigHex(hex, 64 * 64);
    const int devNull = ::open("/dev/null", O_WRONLY);  // the uploads' log lines go there
    std::fflush(stdout);
    const int savedOut = ::dup(STDOUT_FILENO);
    ::dup2(devNull, STDOUT_FILENO);

    std::vector<Device> devices = {StartDevice()};
    int singleStatus = 0, lineStatus = 0;
    double singleCpu = 0, lineCpu = 0;
    long singleRss = 0, lineRss = 0;
    const double single = Run(hex, devices, singleStatus, singleCpu, singleRss);
    StopDevices(devices);
    for (int i = 0; i < kDevices; ++i) devices.push_back(StartDevice());
    const double line = Run(hex, devices, lineStatus, lineCpu, lineRss);
    StopDevices(devices);

    ::dup2(savedOut, STDOUT_FILENO);
    std::printf("%d devices, 64 blocks each, every block read back, at 9600 baud: exit %d (single %d)\n", kDevices,
                WEXITSTATUS(lineStatus), WEXITSTATUS(singleStatus));
    std::printf("  single upload %.3f s, %d at once %.3f s\n", single, kDevices, line);
    std::printf("  wall(%d) / wall(1): %.4f (target <= 1.05)\n", kDevices, line / single);
    std::printf("  cpu / wall per device: %.2f %% (target <= 1 %%)\n", 100.0 * lineCpu / kDevices / line);
    std::printf("  memory per device: %ld KiB (the largest upload process's resident set)\n", lineRss);
    std::fflush(stdout);
    std::system(("rm -rf " + dir).c_str());
    return WEXITSTATUS(lineStatus) == 0 && WEXITSTATUS(singleStatus) == 0 ? 0 : 1;
}
