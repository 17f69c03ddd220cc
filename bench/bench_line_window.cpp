// The operator window's cost on a line of 16 fixtures: quarnelix-devsim at 9600 baud on each, the
// example firmware with every block read back, started with F5 in the window (offscreen) as an
// operator starts it. Prints the 16-fixture wall time against one fixture's in the same run
// (target at most 1.05), the window's own CPU time while the 16 run against their wall time (its
// event loop's thread: target at most 2 % of one core; the whole process, with the engine's thread
// beside it, is printed too; the uploads run in child processes), and the event loop's worst
// delay in answering during the run (a window
// manager's ping waits that long: target at most 100 ms). Every device's memory is checked.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "hex_loader.h"
#include "line_window.h"
#include "sha256.h"
#include "text_lines.h"

namespace {

using qdfu::bench::Devsim;

constexpr int kFixtures = 16;

struct Measured {
    double wall = 0;          // seconds from F5 to the last tile's result
    double cpu = 0;           // this process's CPU seconds meanwhile
    double guiCpu = 0;        // of which the event loop's thread
    double worstDelayMs = 0;  // the event loop's longest time without answering
    int passed = 0;
};

double ThreadCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    const auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return s(u.ru_utime) + s(u.ru_stime);
}

Measured RunLine(const std::string& folder, const std::string& hex, const std::vector<Devsim>& devices) {
    qdfu::FileText f;
    f.Open(hex);
    std::string ports;
    for (const Devsim& d : devices) ports += (ports.empty() ? "" : ", ") + d.path;
    const std::string profile = folder + "/line" + std::to_string(devices.size()) + ".ini";
    std::ofstream(profile) << "[firmware]\nfile=" << hex << "\nsha256=" << qdfu::Sha256Hex(f.Text())
                           << "\n[line]\nports=" << ports << "\nverify=all\n";
    qdfu::LineWindowOptions o;
    o.ProfilePath = QString::fromStdString(profile);
    o.Cli = QDFU_CLI;
    o.Beep = [] {};
    qdfu::LineWindow window(o);
    window.show();
    QTest::qWait(200);

    Measured m;
    QElapsedTimer sinceTick;
    QTimer ping;  // what a window manager's ping meets: the loop's delay past each 25 ms tick
    ping.setInterval(25);
    QObject::connect(&ping, &QTimer::timeout, [&] {
        m.worstDelayMs = std::max(m.worstDelayMs, static_cast<double>(sinceTick.restart()) - 25.0);
    });
    const double cpu0 = CpuSeconds(), gui0 = ThreadCpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    sinceTick.start();
    ping.start();
    window.StartLine();
    // the event loop as the program runs it, blocked until something comes
    QEventLoop loop;
    QTimer check;
    check.setInterval(200);
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (!window.Running()) loop.quit();
    });
    check.start();
    loop.exec();
    ping.stop();
    m.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    m.cpu = CpuSeconds() - cpu0;
    m.guiCpu = ThreadCpuSeconds() - gui0;
    for (int k = 0; k < window.Tiles(); ++k) m.passed += window.Tile(k)->State() == qdfu::TileState::Pass;
    return m;
}

std::vector<Devsim> StartDevices(int n, const std::string& folder, int round) {
    std::vector<Devsim> out;
    for (int k = 0; k < n; ++k)
        out.push_back(qdfu::bench::StartDevsim({QDFU_DEVSIM, "--baud", "9600", "--dump",
                                                folder + "/dev" + std::to_string(round) + "-" + std::to_string(k) + ".bin"}));
    return out;
}

// Stops the devices; how many do not hold the example's image at 0x2800 in their memory dump.
int StopAndCheck(std::vector<Devsim>& devices, const std::string& folder, int round, const std::string& hex) {
    qdfu::FileText f;
    f.Open(hex);
    const qdfu::HexLoadResult r = qdfu::LoadHexText(f.Text(), qdfu::MemoryImage(), false);
    const std::string image(reinterpret_cast<const char*>(qdfu::MemoryImage()),
                            static_cast<std::size_t>(r.ImageEnd - r.ImageStart));
    int wrong = 0;
    for (std::size_t k = 0; k < devices.size(); ++k) {
        qdfu::bench::Stop(devices[k]);
        std::ifstream in(folder + "/dev" + std::to_string(round) + "-" + std::to_string(k) + ".bin", std::ios::binary);
        const std::string memory((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        wrong += memory.size() < 0x2800 + image.size() || memory.compare(0x2800, image.size(), image) != 0;
    }
    return wrong;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::string folder = std::filesystem::temp_directory_path() / ("bench-line-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string hex = std::string(QDFU_EXAMPLES_DIR) + "/quarnelix_v3_demo.hex";

    auto one = StartDevices(1, folder, 1);
    const Measured single = RunLine(folder, hex, one);
    const int wrongOne = StopAndCheck(one, folder, 1, hex);
    auto many = StartDevices(kFixtures, folder, 2);
    const Measured line = RunLine(folder, hex, many);
    const int wrongMany = StopAndCheck(many, folder, 2, hex);
    std::filesystem::remove_all(folder);

    std::printf("  one fixture: %.2f s; %d fixtures: %.2f s; ratio %.3f (target <= 1.05)\n", single.wall, kFixtures,
                line.wall, line.wall / single.wall);
    std::printf("  the window's own CPU (its event loop's thread) while %d fixtures run: %.2f s of %.2f s, %.2f %% of one core "
                "(target <= 2 %%)\n",
                kFixtures, line.guiCpu, line.wall, 100.0 * line.guiCpu / line.wall);
    std::printf("  with the production engine beside it (the whole window process): %.2f s, %.2f %% of one core\n", line.cpu,
                100.0 * line.cpu / line.wall);
    std::printf("  the event loop's worst delay during the run: %.0f ms (target <= 100 ms)\n", line.worstDelayMs);
    std::printf("  fixtures that passed: %d of %d, and %d of 1\n", line.passed, kFixtures, single.passed);
    std::printf("  devices whose memory differs from the image: %d\n", wrongOne + wrongMany);
    const bool ok = single.passed == 1 && line.passed == kFixtures && wrongOne + wrongMany == 0;
    return ok ? 0 : 1;
}
