// `quarnelix-dfu-cli hex big.hex --bin out.bin` against `objcopy -I ihex -O binary` on the largest
// image, as whole processes, runs interleaved. Prints the medians of both, in CPU time (user +
// system, from the kernel's accounting of each finished child) and in wall time, and the CPU
// ratio; target: ours at most 0.45 of objcopy's, with every check of the loader in place.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "big_hex.h"

extern char** environ;

namespace {

struct Times {
    double cpuMs = -1;
    double wallMs = -1;
};

Times RunOnce(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return {};
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return {ms(usage.ru_utime) + ms(usage.ru_stime),
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count()};
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    char dirTemplate[] = "/tmp/qdfu-bench-XXXXXX";
    const std::string dir = ::mkdtemp(dirTemplate);
    const std::string hex = dir + "/big.hex";
    qdfu::bench::WriteBigHex(hex);
    std::vector<double> oursCpu, theirsCpu, oursWall, theirsWall;
    for (int i = 0; i < 61; ++i) {
        const Times a = RunOnce({QDFU_CLI, "hex", hex, "--bin", dir + "/ours.bin"});
        const Times b = RunOnce({"objcopy", "-I", "ihex", "-O", "binary", hex, dir + "/theirs.bin"});
        if (a.cpuMs < 0 || b.cpuMs < 0) {
            std::fprintf(stderr, "a run failed\n");
            return 1;
        }
        if (i == 0) continue;  // the first runs warm the page cache
        oursCpu.push_back(a.cpuMs);
        theirsCpu.push_back(b.cpuMs);
        oursWall.push_back(a.wallMs);
        theirsWall.push_back(b.wallMs);
    }
    const int same = std::system(("cmp -s " + dir + "/ours.bin " + dir + "/theirs.bin").c_str());
    std::printf("  quarnelix-dfu-cli median %.2f ms CPU (%.2f ms wall), objcopy median %.2f ms CPU (%.2f ms wall), "
                "outputs %s\n",
                Median(oursCpu), Median(oursWall), Median(theirsCpu), Median(theirsWall), same == 0 ? "equal" : "DIFFER");
    std::printf("  CPU ratio: %.2f (target <= 0.45)\n", Median(oursCpu) / Median(theirsCpu));
    std::system(("rm -rf " + dir).c_str());
    return same == 0 ? 0 : 1;
}
