// Child processes for the benchmarks.
#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

extern char** environ;

namespace qdfu::bench {

pid_t Spawn(std::vector<std::string> args, int stdoutFd, bool quiet) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    if (quiet) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

Devsim StartDevsim(std::vector<std::string> args) {
    Devsim sim;
    int fds[2];
    if (::pipe(fds) != 0) return sim;
    sim.pid = Spawn(std::move(args), fds[1], true);
    ::close(fds[1]);
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') sim.path += c;
    ::close(fds[0]);
    if (sim.path.empty()) sim.pid = -1;
    return sim;
}

void Stop(Devsim& sim) {
    if (sim.pid > 0) {
        ::kill(sim.pid, SIGTERM);
        ::waitpid(sim.pid, nullptr, 0);
    }
    sim.pid = -1;
}

long TranscriptBytes(const std::string& path) {
    std::ifstream in(path);
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
    return bytes;
}

Timed RunTimed(std::vector<std::string> args) {
    Timed t;
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = Spawn(std::move(args), devNull);
    if (devNull >= 0) ::close(devNull);
    if (pid < 0) return t;
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    t.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    t.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return t;
}

}  // namespace qdfu::bench
