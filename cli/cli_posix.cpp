// POSIX process services of the command line: signals, paths, the terminal, whole files.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "cli_platform.h"
#include "serial.h"

namespace qdfu {
namespace {

std::atomic<bool>* g_active = nullptr;
std::atomic<int> g_interrupts{0};

// Async-signal-safe.
void OnAbortSignal(int) {
    if (g_active) *g_active = false;
    if (g_interrupts.fetch_add(1) == 0) return;
    static constexpr char kText[] = "quarnelix-dfu-cli: interrupted again; the controller may not have been reset\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, kText, sizeof kText - 1);
    SerialReleaseForExit();
    ::_exit(kExitInterrupted);
}

}  // namespace

void InstallAbortHandlers(std::atomic<bool>& active) {
    g_active = &active;
    struct sigaction sa {};
    sa.sa_handler = OnAbortSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

std::string CanonicalPath(const std::string& path) {
    char real[PATH_MAX];
    return ::realpath(path.c_str(), real) ? std::string(real) : std::string();
}

std::string ThisProgram(const char* argv0) {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string(argv0);
}

bool StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void UseBinaryStandardStreams() {}

bool WriteWholeFile(const std::string& path, const uint8_t* data, std::size_t n) {
    // Written over and then cut to size: cheaper than truncating an existing file to nothing first.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::size_t put = 0;
    while (put < n) {
        const ssize_t w = ::write(fd, data + put, n - put);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        put += static_cast<std::size_t>(w);
    }
    const bool cut = put == n && ::ftruncate(fd, static_cast<off_t>(n)) == 0;
    const int saved = errno;
    const bool ok = ::close(fd) == 0 && cut;
    errno = saved;
    return ok;
}

}  // namespace qdfu
