// POSIX process services of the command line: signals, paths, the terminal, whole files.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "cli_platform.h"
#include "json_events.h"
#include "serial.h"

namespace qdfu {
namespace {

std::atomic<bool>* g_active = nullptr;
// What a production line's parent sends its children for the operator's second press.
constexpr int kCutShortSignal = SIGUSR2;
std::atomic<int> g_interrupts{0};
// What a second press sends before the port is let go (SetSecondPressLastWords).
uint8_t g_lastWordsBytes[16];
std::atomic<std::size_t> g_lastWords{0};

// A production line's child: see InstallAbortHandlers.
bool g_child = false;

// The end event a second press writes (SetSecondPressEndEvent): two buffers, so that the one the
// handler may read is never the one being filled.
struct EndEvent {
    char text[4000];
    std::size_t head = 0, tail = 0;
    int64_t startMs = -1;
};
EndEvent g_endEvents[2];
std::atomic<int> g_endEvent{-1};

// Async-signal-safe.
void OnAbortSignal(int sig) {
    if (g_active) *g_active = false;
    if (g_child && sig != kCutShortSignal) return;  // one stop request, however many come
    // SIGTERM and SIGHUP (a service manager, a closed terminal) only ask for the stop; only the
    // operator's second Ctrl-C ends the process at once
    if (!g_child && (sig != SIGINT || g_interrupts.fetch_add(1) == 0)) return;
    static constexpr char kText[] = "quarnelix-dfu-cli: interrupted again; the controller may not have been reset\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, kText, sizeof kText - 1);
    SerialReleaseForExit(g_lastWords.load() ? g_lastWordsBytes : nullptr, g_lastWords.load());
    if (const int k = g_endEvent.load(); k >= 0) {
        const EndEvent& e = g_endEvents[k];
        [[maybe_unused]] ssize_t put = ::write(STDOUT_FILENO, e.text, e.head);
        if (e.startMs >= 0) {
            timespec now{};
            ::clock_gettime(CLOCK_REALTIME, &now);
            char middle[64];
            put = ::write(STDOUT_FILENO, middle,
                          CutShortMiddle(middle, int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000, e.startMs));
        }
        put = ::write(STDOUT_FILENO, e.text + e.head, e.tail);
    }
    ::_exit(kExitInterrupted);
}

}  // namespace

void SetSecondPressLastWords(const uint8_t* bytes, std::size_t n) {
    g_lastWords = 0;
    n = std::min(n, sizeof g_lastWordsBytes);
    std::copy(bytes, bytes + n, g_lastWordsBytes);
    g_lastWords = n;
}

void SetSecondPressEndEvent(const std::string& head, const std::string& tail, int64_t startMs) {
    if (head.empty() || head.size() + tail.size() > sizeof g_endEvents[0].text) {
        g_endEvent = -1;
        return;
    }
    const int k = g_endEvent.load() == 0 ? 1 : 0;
    EndEvent& e = g_endEvents[k];
    std::copy(head.begin(), head.end(), e.text);
    std::copy(tail.begin(), tail.end(), e.text + head.size());
    e.head = head.size();
    e.tail = tail.size();
    e.startMs = startMs;
    g_endEvent = k;
}

void AbortPress() { OnAbortSignal(SIGTERM); }
void CutShort() { OnAbortSignal(kCutShortSignal); }

std::FILE* OpenStatusChannel(int value) { return ::fdopen(value, "w"); }

void InstallAbortHandlers(std::atomic<bool>& active, bool productionChild) {
    g_active = &active;
    g_child = productionChild;
    struct sigaction sa {};
    sa.sa_handler = OnAbortSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
    if (productionChild) ::sigaction(kCutShortSignal, &sa, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
    // A production line starts its children with these held back; a press that came meanwhile is
    // delivered now, to the handler.
    sigset_t held;
    sigemptyset(&held);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, kCutShortSignal}) sigaddset(&held, sig);
    ::sigprocmask(SIG_UNBLOCK, &held, nullptr);
}

std::string LinkTarget(const std::string& path) {
    char link[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), link, sizeof link - 1);
    return n > 0 ? std::string(link, static_cast<std::size_t>(n)) : std::string();
}

bool StandardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

bool TerminalTakesEscapes() { return true; }

std::tm UtcTime(std::time_t t) {
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    return tm;
}

bool SyncFile(std::FILE* file) {
    if (::fsync(::fileno(file)) == 0) return true;
    return errno == EINVAL || errno == EROFS || errno == ENOTSUP;  // a pipe, a tty, a special file
}

std::string CreateTempBeside(const std::string& path) {
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return {};
    ::fchmod(fd, 0644);
    ::close(fd);
    return temp;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool RenameOver(const std::string& from, const std::string& to) { return ::rename(from.c_str(), to.c_str()) == 0; }

namespace {

constexpr char kCopyPrefix[] = "quarnelix-dfu-";

std::string TempFolder() {
    const char* dir = std::getenv("TMPDIR");
    return dir && *dir ? dir : "/tmp";
}

}  // namespace

void RemovePrivateTempFile(const std::string& path) { ::unlink(path.c_str()); }

void RemoveOrphanedPrivateCopies() {
    const std::string folder = TempFolder();
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.rfind(kCopyPrefix, 0) != 0) continue;
        char* end = nullptr;
        const long pid = std::strtol(name.c_str() + sizeof kCopyPrefix - 1, &end, 10);
        if (pid <= 0 || *end != '-' || pid == ::getpid()) continue;
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) ::unlink((folder + "/" + name).c_str());
    }
    ::closedir(dir);
}

std::string WritePrivateTempFile(const std::string& data, std::string& folder) {
    folder = TempFolder();
    std::string path = folder + "/" + kCopyPrefix + std::to_string(::getpid()) + "-XXXXXX";
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) return {};
    std::size_t put = 0;
    while (put < data.size()) {
        const ssize_t w = ::write(fd, data.data() + put, data.size() - put);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        put += static_cast<std::size_t>(w);
    }
    const bool ok = put == data.size() && ::fchmod(fd, 0400) == 0;
    const int saved = errno;
    if (::close(fd) != 0 || !ok) {
        ::unlink(path.c_str());
        errno = ok ? errno : saved;
        return {};
    }
    return path;
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

std::string HostName() {
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
}

bool ExecProgram(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    return false;
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
