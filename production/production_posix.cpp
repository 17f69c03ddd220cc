// The production line's process seam on POSIX: children started with posix_spawn in process
// groups of their own (so that only this process gets the terminal's Ctrl-C and passes on each
// press as one), their standard output, standard error and status descriptor read through pipes
// in one poll loop. A child learns of its parent's death through PR_SET_PDEATHSIG on Linux, and
// through its status pipe losing its reader everywhere.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <time.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>

#include "production_platform.h"

extern char** environ;

namespace qdfu::proc {
namespace {

// The operator's presses (SIGINT) are counted each; SIGTERM and SIGHUP (a service manager
// stopping the line, a terminal closing) only ask for the stop, however many come.
std::atomic<int> g_presses{0};
std::atomic<bool> g_stopAsked{false};
void OnInterrupt(int sig) {
    if (sig == SIGINT)
        g_presses.fetch_add(1);
    else
        g_stopAsked.store(true);
}

constexpr int kAbortSignals[] = {SIGINT, SIGTERM, SIGHUP};
// The operator's second press, for a child that takes every abort signal as one stop request.
constexpr int kCutShortSignal = SIGUSR2;

sigset_t AbortSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kAbortSignals) sigaddset(&set, sig);
    return set;
}

}  // namespace

void InstallParentHandlers(bool abortPresses) {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    if (abortPresses)
        for (int sig : kAbortSignals) ::sigaction(sig, &sa, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGCHLD, &dfl, nullptr);  // an inherited SIG_IGN would reap the children for us
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

void Pause(int ms) {
    // one sleep: a press's signal ends it (EINTR), and the press is then passed on at once
    timespec t{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    ::nanosleep(&t, nullptr);
}

int Interrupts() {
    const int presses = g_presses.load();
    return presses > 0 ? presses : g_stopAsked.load() ? 1 : 0;
}

struct Children::Impl {
    struct Child {
        pid_t pid = -1;
        int fds[3] = {-1, -1, -1};  // standard output, standard error, status
        bool exited = false;
        Exit exit;
    };
    std::map<int, Child> children;
    int next = 0;

    // Reads one chunk from stream k of c; closes it at its end.
    void Read(int id, Child& c, int k, const Sink& sink) {
        char buf[4096];
        const ssize_t n = ::read(c.fds[k], buf, sizeof buf);
        if (n > 0) {
            sink(id, static_cast<Stream>(k), buf, static_cast<std::size_t>(n));
            return;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        ::close(c.fds[k]);
        c.fds[k] = -1;
    }
};

Children::Children() : impl_(std::make_unique<Impl>()) {}

Children::~Children() {
    for (auto& [id, c] : impl_->children) {
        if (!c.exited && c.pid > 0) {
            ::kill(-c.pid, SIGKILL);
            ::waitpid(c.pid, nullptr, 0);
        }
        for (int fd : c.fds)
            if (fd >= 0) ::close(fd);
    }
}

int Children::Start(std::vector<std::string> args, std::string& why) {
    int pipes[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
    auto closeAll = [&] {
        for (auto& p : pipes)
            for (int& fd : p)
                if (fd >= 0) ::close(fd), fd = -1;
    };
    for (auto& p : pipes) {
        if (::pipe2(p, O_CLOEXEC) != 0) {
            why = std::string("cannot make a pipe: ") + std::strerror(errno);
            closeAll();
            return -1;
        }
    }
    args.insert(args.end(), {"--status-fd", "3"});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int i = 0; i < 3; ++i) posix_spawn_file_actions_adddup2(&actions, pipes[i][1], i == 2 ? 3 : i + 1);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // The abort signals stay held back in the child until its handlers are in place, so a press
    // that comes first is an abort press like any other, never the default end of the process.
    sigset_t held = AbortSignals();
    sigaddset(&held, kCutShortSignal);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigmask(&attr, &held);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t old;
    ::sigprocmask(SIG_BLOCK, &held, &old);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, args[0].c_str(), &actions, &attr, argv.data(), environ);
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    for (auto& p : pipes) ::close(p[1]), p[1] = -1;
    if (spawned != 0) {
        why = std::strerror(spawned);
        closeAll();
        return -1;
    }
    Impl::Child c;
    c.pid = pid;
    for (int i = 0; i < 3; ++i) c.fds[i] = pipes[i][0];
    const int id = impl_->next++;
    impl_->children[id] = c;
    return id;
}

void Children::Wait(int ms, const Sink& sink) {
    std::vector<pollfd> pfds;
    std::vector<std::pair<int, int>> owners;
    for (auto& [id, c] : impl_->children)
        for (int k = 0; k < 3; ++k)
            if (c.fds[k] >= 0) {
                pfds.push_back({c.fds[k], POLLIN, 0});
                owners.emplace_back(id, k);
            }
    const int n = ::poll(pfds.data(), pfds.size(), ms);
    if (n <= 0) return;
    for (std::size_t i = 0; i < pfds.size(); ++i) {
        if (!(pfds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const auto [id, k] = owners[i];
        impl_->Read(id, impl_->children[id], k, sink);
    }
}

bool Children::Reap(int id, Exit& exit, const Sink& sink) {
    const auto it = impl_->children.find(id);
    if (it == impl_->children.end()) return false;
    Impl::Child& c = it->second;
    if (!c.exited) {
        int status = 0;
        pid_t w;
        while ((w = ::waitpid(c.pid, &status, WNOHANG)) < 0 && errno == EINTR) {
        }
        if (w == 0) return false;
        c.exited = true;
        c.exit = WIFSIGNALED(status) ? Exit{true, WTERMSIG(status)} : Exit{false, WEXITSTATUS(status)};
        if (w < 0) c.exit = Exit{false, 255};
    }
    // what it wrote before it ended; a grandchild that kept a pipe open does not hold us up
    for (int k = 0; k < 3; ++k) {
        for (int rounds = 0; c.fds[k] >= 0 && rounds < 1024; ++rounds) {
            pollfd p{c.fds[k], POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0) {
                ::close(c.fds[k]);
                c.fds[k] = -1;
                break;
            }
            impl_->Read(id, c, k, sink);
        }
    }
    exit = c.exit;
    impl_->children.erase(it);
    return true;
}

void Children::Abort(int id, int nth) {
    const auto it = impl_->children.find(id);
    if (it == impl_->children.end() || it->second.exited) return;
    // The first press is the child's stop request (its reset follows); the operator's second one
    // is a signal of its own, which alone cuts the child short, so that a stop that reaches the
    // child twice (the whole group signalled, the parent's death) never skips the reset.
    ::kill(it->second.pid, nth == 1 ? SIGINT : kCutShortSignal);
}

void Children::Kill(int id) {
    const auto it = impl_->children.find(id);
    if (it != impl_->children.end() && !it->second.exited) ::kill(-it->second.pid, SIGKILL);
}

void TieToParent(int statusFd) {
#ifdef __linux__
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
    // The parent may have died before that: its end of the status pipe is gone then.
    pollfd p{statusFd, POLLOUT, 0};
    if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP))) ::raise(SIGTERM);
}

}  // namespace qdfu::proc
