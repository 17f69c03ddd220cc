// A production line's cost: 64 blocks, every one read back, to quarnelix-devsim --baud 9600, first
// to one device, then to 32 at once through one multi-port command. Prints the 32-port wall time
// against the single upload's (target at most 1.05), the whole run's CPU time, parent and
// children, per device against its wall time (target at most 1 %), and the memory a device costs:
// each upload process's peak resident set (sampled from /proc while it runs), the largest and the
// median. Every device's memory is checked against the image afterwards. Then the same 32 with a
// serial number each from an SQLite ledger (target at most 1.05 times one upload's wall time). And
// the ledger on its own, on an SQLite file that holds 100,000 runs of a factory's months: its own
// time per run, reserve, spend and record with a work order (target at most 5 ms), and
// `ledger stats --by reason` over those runs, the whole command (target at most 1 s).
// `bench_production ledger` gives only these two.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "big_hex.h"
#include "child_process.h"
#include "ledger.h"
#include "sql_ledger.h"

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

// A ledger of kLedgerRuns runs at path, as the stations would have recorded them over some fifty days
// (four stations, eight operators, twenty work orders, one run in twenty failed and one in fifty
// not done, the failures' causes at addresses of their own), written in one transaction.
constexpr int kLedgerRuns = 100000;
bool FillLedger(const std::string& path) {
    std::string why;
    if (!qdfu::OpenLedger(path, why)) return false;  // the tables, as a station makes them
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
    sqlite3_stmt* st = nullptr;
    const std::string sql = qdfu::RecordStatement([](int k) { return "?" + std::to_string(k); });
    bool ok = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK;
    const char* causes[] = {"write at 0x%08X: RX ERROR (NAK)", "read at 0x%08X: RX TIMEOUT",
                            "verify mismatch in the block at 0x%08X",
                            "erase at 0x%08X: RX ERROR (NAK)"};
    for (int i = 0; ok && i < kLedgerRuns; ++i) {
        qdfu::LedgerRun run;
        const std::time_t at = 1793491200 + static_cast<std::time_t>(i) * 43;  // 2026-11-01 on
        char text[96];
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&at));
        run.Start = text;
        run.End = text;
        run.Serial = 100000 + i;
        run.Port = "COM" + std::to_string(3 + i % 8);
        run.Device = "/dev/ttyUSB" + std::to_string(i % 8);
        run.ById = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A" + std::to_string(1000 + i % 8) +
                   "-if00-port0";
        run.Station = "bench-" + std::to_string(1 + i % 4);
        run.Operator = "operator-" + std::to_string(1 + i / 7 % 8);
        run.WorkOrder = "WO-" + std::to_string(4700 + i / 5000);
        run.HexPath = "/srv/fw/quarnelix_v3_2." + std::to_string(i / 25000) + ".hex";
        run.HexSha256 = std::string(64, 'c');
        run.Blocks = 2720;
        run.Outcome = "completed";
        if (i % 20 == 0) {
            run.Outcome = "failed";
            std::snprintf(text, sizeof text, causes[i / 20 % 4], 0x2800 + (i % 170) * 0x40);
            run.Reason = text;
        } else if (i % 50 == 1) {
            run.Outcome = "not_done";
            run.Reason = i % 3 ? "aborted by the operator"
                               : "cannot open /dev/ttyUSB3: No such file or directory";
        }
        int k = 1;
        for (const auto& value : qdfu::RunValues(run)) {
            if (value)
                sqlite3_bind_text(st, k++, value->c_str(), -1, SQLITE_TRANSIENT);
            else
                sqlite3_bind_null(st, k++);
        }
        ok = sqlite3_step(st) == SQLITE_DONE && sqlite3_reset(st) == SQLITE_OK;
    }
    sqlite3_finalize(st);
    ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// The ledger's own figures on a ledger of kLedgerRuns runs in dir; printed, and false when a
// command or the ledger failed.
bool LedgerFigures(const std::string& dir) {
    const std::string path = dir + "/full.sqlite";
    if (!FillLedger(path)) {
        std::printf("  the ledger of %d runs could not be written\n", kLedgerRuns);
        return false;
    }
    std::string why;
    auto ledger = qdfu::OpenLedger(path, why);
    constexpr int kRuns = 200;
    int recorded = 0;
    const auto l0 = std::chrono::steady_clock::now();
    for (int i = 0; ledger && i < kRuns; ++i, ++recorded) {
        uint32_t serial = 0;
        qdfu::LedgerRun run;
        run.Port = "COM3", run.Outcome = "completed", run.Start = run.End = "2026-12-08T12:00:00Z";
        run.Station = "bench-1", run.Operator = "anna", run.WorkOrder = "WO-4711";
        if (!ledger->Reserve(serial, why) || !ledger->Spend(serial, why)) break;
        run.Serial = serial;
        if (!ledger->Record(run, why)) break;
    }
    const double perRun =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - l0).count() /
        kRuns;
    ledger.reset();
    std::vector<double> walls;
    int status = 0;
    for (int k = 0; k < 3; ++k) {
        const qdfu::bench::Timed t = qdfu::bench::RunTimed(
            {QDFU_CLI, "ledger", "stats", "--ledger", path, "--by", "reason"});
        status = std::max(status, t.status);
        walls.push_back(t.wall);
    }
    std::sort(walls.begin(), walls.end());
    std::printf(
        "  the ledger's own time per run (reserve, spend, record) on a ledger of %d runs: %.2f ms "
        "(target <= 5 ms)%s\n",
        kLedgerRuns, perRun, recorded == kRuns ? "" : (" (stopped: " + why + ")").c_str());
    std::printf(
        "  ledger stats --by reason over %d runs: exit %d, median of 3 %.3f s (target <= 1 s)\n",
        kLedgerRuns, status, walls[1]);
    return recorded == kRuns && status == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "ledger") {
        char only[] = "/tmp/qdfu-bench-XXXXXX";
        const std::string dir = ::mkdtemp(only);
        std::printf("the ledger on SQLite:\n");
        const bool ok = LedgerFigures(dir);
        std::fflush(stdout);
        std::system(("rm -rf " + dir).c_str());
        return ok ? 0 : 1;
    }
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
    const bool ledgerOk = LedgerFigures(dir);
    std::fflush(stdout);
    std::system(("rm -rf " + dir).c_str());
    return WEXITSTATUS(lineStatus) == 0 && WEXITSTATUS(singleStatus) == 0 && WEXITSTATUS(serialStatus) == 0 &&
                   wrong == 0 && ledgerOk
               ? 0
               : 1;
}
