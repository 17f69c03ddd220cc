// A production line's cost: 64 blocks, every one read back, to quarnelix-devsim --baud 9600, first
// to one device, then to 32 at once through one multi-port command. Prints the 32-port wall time
// against the single upload's (target at most 1.05), the whole run's CPU time, parent and
// children, per device against its wall time (target at most 1 %), and the memory a device costs:
// each upload process's peak resident set (sampled from /proc while it runs), the largest and the
// median. Every device's memory is checked against the image afterwards. Then the same 32 with a
// serial number each from an SQLite ledger (target at most 1.05 times one upload's wall time), and
// the ledger's own time per run, reserve, spend and record (target at most 5 ms).
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "big_hex.h"
#include "ledger.h"
#include "child_process.h"


namespace {

using qdfu::bench::Spawn;

constexpr int kDevices = 32;


struct Device {
    pid_t pid = -1;
    std::string path;
    std::string dump;  // its memory, written when it stops
};

Device StartDevice(const std::string& dump) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    Device d;
    d.dump = dump;
    d.pid = Spawn({QDFU_DEVSIM, "--baud", "9600", "--dump", dump}, fds[1], true);
    ::close(fds[1]);
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') d.path += c;
    ::close(fds[0]);
    return d;
}

// Stops the devices; the number of them whose memory does not hold image at 0x2800.
int StopDevices(std::vector<Device>& devices, const std::string& image) {
    for (Device& d : devices) ::kill(d.pid, SIGTERM);
    int wrong = 0;
    for (Device& d : devices) {
        ::waitpid(d.pid, nullptr, 0);
        std::ifstream in(d.dump, std::ios::binary);
        const std::string memory((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        wrong += memory.size() < 0x2800 + image.size() || memory.compare(0x2800, image.size(), image) != 0;
    }
    devices.clear();
    return wrong;
}

// The peak resident set (VmHWM, KiB) of every process whose parent is pid, sampled until pid ends:
// the last sample of each is its peak but for its last 50 ms.
class ChildMemory {
public:
    void Sample(pid_t parent) {
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            const std::string name = entry.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            std::ifstream status(entry.path() / "status");
            long ppid = -1, hwm = -1;
            for (std::string line; std::getline(status, line);) {
                if (line.rfind("PPid:", 0) == 0) ppid = std::atol(line.c_str() + 5);
                if (line.rfind("VmHWM:", 0) == 0) hwm = std::atol(line.c_str() + 6);
            }
            if (ppid == parent && hwm > 0) peak_[name] = std::max(peak_[name], hwm);
        }
    }
    std::vector<long> Peaks() const {
        std::vector<long> out;
        for (const auto& [pid, kib] : peak_) out.push_back(kib);
        std::sort(out.begin(), out.end());
        return out;
    }

private:
    std::map<std::string, long> peak_;
};

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

// Runs the command line over these devices; wall time in seconds, CPU time of it and its children.
double Run(const std::string& hex, const std::vector<Device>& devices, int& status, double& cpu, ChildMemory& memory,
           const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {QDFU_CLI, "upload", hex, "--verify-all"};
    args.insert(args.end(), extra.begin(), extra.end());
    for (const Device& d : devices) args.insert(args.end(), {"--port", d.path});
    rusage before{};
    ::getrusage(RUSAGE_CHILDREN, &before);
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t cli = Spawn(args, -1);
    while (::waitpid(cli, &status, WNOHANG) == 0) {
        memory.Sample(cli);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    rusage after{};
    ::getrusage(RUSAGE_CHILDREN, &after);
    cpu = Seconds(after.ru_utime) + Seconds(after.ru_stime) - Seconds(before.ru_utime) - Seconds(before.ru_stime);
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

    // the image the devices must hold: the generator's bytes from 0x2800 on
    std::string image;
    for (const std::string& record : qdfu::bench::BigHexLines(64 * 64)) {
        if (record.size() < 11 || record.compare(7, 2, "00") != 0) continue;
        for (std::size_t i = 9; i + 2 < record.size(); i += 2)
            image += static_cast<char>(std::stoi(record.substr(i, 2), nullptr, 16));
    }
    std::vector<Device> devices = {StartDevice(dir + "/single.bin")};
    int singleStatus = 0, lineStatus = 0;
    double singleCpu = 0, lineCpu = 0;
    ChildMemory singleMemory, lineMemory;
    const double single = Run(hex, devices, singleStatus, singleCpu, singleMemory);
    int wrong = StopDevices(devices, image);
    for (int i = 0; i < kDevices; ++i) devices.push_back(StartDevice(dir + "/d" + std::to_string(i) + ".bin"));
    const double line = Run(hex, devices, lineStatus, lineCpu, lineMemory);
    wrong += StopDevices(devices, image);
    // the same with serial numbers from a ledger: the image differs by the serial, not checked
    int serialStatus = 0;
    double serialCpu = 0;
    ChildMemory serialMemory;
    for (int i = 0; i < kDevices; ++i) devices.push_back(StartDevice(dir + "/s" + std::to_string(i) + ".bin"));
    const double serials = Run(hex, devices, serialStatus, serialCpu, serialMemory,
                               {"--ledger", dir + "/ledger.sqlite", "--serial-at", "2804"});
    StopDevices(devices, std::string());
    // the ledger's own cost per run, on a file of its own
    std::string why;
    auto ledger = qdfu::OpenLedger(dir + "/timing.sqlite", why);
    const auto l0 = std::chrono::steady_clock::now();
    constexpr int kRuns = 200;
    for (int i = 0; ledger && i < kRuns; ++i) {
        uint32_t serial = 0;
        qdfu::LedgerRun run;
        run.Port = "COM3", run.Outcome = "completed", run.Start = run.End = "2026-12-08T12:00:00Z";
        if (!ledger->Reserve(serial, why) || !ledger->Spend(serial, why)) break;
        run.Serial = serial;
        ledger->Record(run, why);
    }
    const double perRun = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - l0).count() / kRuns;

    ::dup2(savedOut, STDOUT_FILENO);
    const std::vector<long> peaks = lineMemory.Peaks();
    std::printf("%d devices, 64 blocks each, every block read back, at 9600 baud: exit %d (single %d)\n", kDevices,
                WEXITSTATUS(lineStatus), WEXITSTATUS(singleStatus));
    std::printf("  single upload %.3f s, %d at once %.3f s\n", single, kDevices, line);
    std::printf("  wall(%d) / wall(1): %.4f (target <= 1.05)\n", kDevices, line / single);
    std::printf("  cpu / wall per device: %.2f %% (target <= 1 %%)\n", 100.0 * lineCpu / kDevices / line);
    if (!peaks.empty())
        std::printf("  memory per device (peak resident set of each of %zu upload processes): largest %ld KiB, "
                    "median %ld KiB\n",
                    peaks.size(), peaks.back(), peaks[peaks.size() / 2]);
    std::printf("  devices whose memory is not the image: %d of %d\n", wrong, kDevices + 1);
    std::printf("  with a serial each from an SQLite ledger: exit %d, %.3f s, wall / wall(1): %.4f (target <= 1.05)\n",
                WEXITSTATUS(serialStatus), serials, serials / single);
    std::printf("  the ledger's own time per run (reserve, spend, record): %.2f ms (target <= 5 ms)%s\n", perRun,
                ledger ? "" : " (the ledger could not be opened)");
    std::fflush(stdout);
    std::system(("rm -rf " + dir).c_str());
    return WEXITSTATUS(lineStatus) == 0 && WEXITSTATUS(singleStatus) == 0 && WEXITSTATUS(serialStatus) == 0 &&
                   wrong == 0
               ? 0
               : 1;
}
