// Start-up with the largest image remembered: from process start to the window shown with all
// three lists filled. `bench_startup prepare DIR` writes the settings file and the HEX file once;
// `bench_startup run DIR` starts the window over them and prints the time. Target: under 300 ms.
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QListWidget>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "big_hex.h"
#include "settings.h"
#include "tform1.h"

namespace {

// Seconds since this process was started, from /proc (10 ms resolution).
double SinceProcessStart() {
    std::ifstream stat("/proc/self/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(content.substr(content.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 22; ++i) fields >> field;  // field 22: start time in clock ticks after boot
    const double started = std::stod(field) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9 - started;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_startup prepare|run DIR\n");
        return 64;
    }
    const std::string mode = argv[1], dir = argv[2];
    if (mode == "prepare") {
        std::filesystem::create_directories(dir + "/ports");
        std::ofstream(dir + "/ttyFake").put('\n');
        std::error_code ec;
        std::filesystem::create_symlink(dir + "/ttyFake", dir + "/ports/com3", ec);
        qdfu::bench::WriteBigHex(dir + "/big.hex");
        qdfu::SettingsRecord r;
        r.HexFilePath = dir + "/big.hex";
        r.PortNumber = 3;
        r.AutoPortSelect = 1;
        r.ApplyLineSettings = 1;
        return qdfu::SaveSettings(dir + "/" + qdfu::kSettingsFileName, r) ? 0 : 1;
    }
    QApplication app(argc, argv);
    qdfu::TForm1Options options;
    options.ExeDir = QString::fromStdString(dir);
    options.Ports.PortsDir = dir + "/ports";
    options.Ports.SysfsRoot = dir + "/no-sysfs";
    qdfu::TForm1 form(options);
    form.show();
    QCoreApplication::processEvents();
    const double seconds = SinceProcessStart();
    const bool filled = form.LBHex->count() > 11000 && form.LBData->count() == form.LBHex->count() &&
                        form.LBBuffer->count() == 2752;
    std::printf("%.1f\n", seconds * 1000.0);
    return filled ? 0 : 1;
}
