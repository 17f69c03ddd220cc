// `quarnelix-dfu-cli hex big.hex --bin out.bin` against `objcopy -I ihex -O binary` on the largest
// image, as whole processes, runs interleaved. Prints both medians and their ratio; target: ours
// at most half of objcopy's.
#include <fcntl.h>
#include <spawn.h>
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

double RunOnce(std::vector<std::string> args) {
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
    if (rc != 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
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
    std::vector<double> ours, theirs;
    for (int i = 0; i < 31; ++i) {
        const double a = RunOnce({QDFU_CLI, "hex", hex, "--bin", dir + "/ours.bin"});
        const double b = RunOnce({"objcopy", "-I", "ihex", "-O", "binary", hex, dir + "/theirs.bin"});
        if (a < 0 || b < 0) {
            std::fprintf(stderr, "a run failed\n");
            return 1;
        }
        if (i == 0) continue;  // the first runs warm the page cache
        ours.push_back(a);
        theirs.push_back(b);
    }
    const int same = std::system(("cmp -s " + dir + "/ours.bin " + dir + "/theirs.bin").c_str());
    std::printf("  quarnelix-dfu-cli median %.2f ms, objcopy median %.2f ms, outputs %s\n", Median(ours),
                Median(theirs), same == 0 ? "equal" : "DIFFER");
    std::printf("  ratio: %.2f (target <= 0.5)\n", Median(ours) / Median(theirs));
    std::system(("rm -rf " + dir).c_str());
    return same == 0 ? 0 : 1;
}
