// The production line's engine on POSIX: children started with posix_spawn in process groups of
// their own (so that only this process gets the terminal's Ctrl-C and passes on exactly one abort
// press), their standard output, standard error and status descriptor read through pipes in one
// poll loop, a watchdog for a child that stops answering, the live display, the log files and the
// report.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "cli_platform.h"
#include "ports.h"
#include "production.h"
#include "sha256.h"
#include "text_lines.h"

extern char** environ;

namespace qdfu {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> g_interrupts{0};
void OnInterrupt(int) { g_interrupts.fetch_add(1); }

void InstallParentHandlers() {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

std::string IsoTime(std::time_t t) {
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string FileStamp(std::time_t t) {
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &tm);
    return buf;
}

std::string OutcomeWord(int outcome) { return outcome == 1 ? "completed" : outcome == 2 ? "failed" : "not_done"; }

std::string OutcomeText(int outcome) {
    return outcome == 1 ? "Trasferimento Firmware Completato"
           : outcome == 2 ? "Trasferimento Firmware Fallito!!!"
                          : "Trasferimento Firmware Non Effettuato";
}

struct Target {
    std::string Port;    // as given: COMn or a device path
    std::string Device;  // what it opens
    std::string ById;    // its /dev/serial/by-id name, where there is one
};

Target Resolve(const std::string& port) {
    Target t{port, port, ""};
    uint32_t n = 0;
    if (ParseComName(port, n)) {
        t.Port = "COM" + std::to_string(n);
        t.Device = PortDevicePath(n, DefaultPortPaths());
        char link[4096];
        const ssize_t len = ::readlink(t.Device.c_str(), link, sizeof link - 1);
        if (len > 0) t.Device = std::string(link, static_cast<std::size_t>(len));
    }
    if (t.Device.find("/serial/by-id/") != std::string::npos) t.ById = t.Device;
    return t;
}

// One child's run, from its start to its report.
struct Run {
    Target target;
    pid_t pid = -1;
    int fds[3] = {-1, -1, -1};  // standard output, standard error, status
    std::string out, err, statusLine;
    ChildStatus progress;
    bool haveResult = false;
    int outcome = 0;
    uint32_t blocks = 0, bytes = 0, exchanges = 0, errors = 0;
    std::string lastError;
    std::time_t startWall = 0;
    Clock::time_point start, lastHeard;
    bool stalled = false;
    bool done = false;
    int exitStatus = 0;
    double seconds = 0;
};

class Line {
public:
    explicit Line(const ProductionOptions& o) : o_(o), tty_(::isatty(STDOUT_FILENO) == 1) {
        FileText file;
        if (file.Open(o.HexPath)) sha_ = Sha256Hex(file.Text());
        char real[4096];
        hexFull_ = ::realpath(o.HexPath.c_str(), real) ? real : o.HexPath;
    }

    bool Start(const Target& target) {
        auto run = std::make_unique<Run>();
        run->target = target;
        int pipes[3][2];
        for (auto& p : pipes)
            if (::pipe2(p, O_CLOEXEC) != 0) return false;
        std::vector<std::string> args = {o_.Self, "upload", o_.HexPath, "--port", target.Port, "--timeout",
                                         std::to_string(o_.TimeoutMs), "--status-fd", "3"};
        if (o_.Verify == VerifyMode::EveryFourth) args.push_back("--verify");
        if (o_.Verify == VerifyMode::All) args.push_back("--verify-all");
        if (!o_.GsmNumber.empty()) args.insert(args.end(), {"--gsm", o_.GsmNumber});
        if (o_.KeepLineSettings) args.push_back("--keep-line-settings");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (int i = 0; i < 3; ++i) posix_spawn_file_actions_adddup2(&actions, pipes[i][1], i == 2 ? 3 : i + 1);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, 0);
        const int spawned = ::posix_spawn(&run->pid, o_.Self.c_str(), &actions, &attr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        for (int i = 0; i < 3; ++i) {
            ::close(pipes[i][1]);
            run->fds[i] = pipes[i][0];
        }
        run->startWall = std::time(nullptr);
        run->start = run->lastHeard = Clock::now();
        if (spawned != 0) {
            run->pid = -1;
            run->lastError = std::string("cannot start the upload: ") + std::strerror(spawned);
            run->exitStatus = 1;
        }
        runs_.push_back(std::move(run));
        return true;
    }

    bool Busy(const std::string& port) const {
        for (const auto& r : runs_)
            if (!r->done && r->target.Port == port) return true;
        return false;
    }
    bool AnyRunning() const {
        for (const auto& r : runs_)
            if (!r->done) return true;
        return false;
    }

    // Waits up to ms for output, ends what has ended, redraws.
    void Poll(int ms) {
        std::vector<pollfd> pfds;
        std::vector<std::pair<Run*, int>> owners;
        for (const auto& r : runs_)
            for (int i = 0; i < 3; ++i)
                if (r->fds[i] >= 0) {
                    pfds.push_back({r->fds[i], POLLIN, 0});
                    owners.emplace_back(r.get(), i);
                }
        const int n = pfds.empty() ? (::poll(nullptr, 0, ms), 0) : ::poll(pfds.data(), pfds.size(), ms);
        if (n > 0) {
            for (std::size_t k = 0; k < pfds.size(); ++k) {
                if (!(pfds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                Read(*owners[k].first, owners[k].second);
            }
        }
        const auto now = Clock::now();
        const auto silence = std::chrono::milliseconds(2 * int64_t{o_.TimeoutMs} + 15000);
        for (const auto& r : runs_) {
            if (r->done) continue;
            if (r->pid > 0 && !r->stalled && now - r->lastHeard > silence) {
                r->stalled = true;  // it stopped answering: it ends as a failed device
                ::kill(-r->pid, SIGKILL);
            }
            Reap(*r);
        }
        Draw(false);
    }

    void Interrupt() {
        for (const auto& r : runs_)
            if (!r->done && r->pid > 0) ::kill(r->pid, SIGINT);
    }

    int ExitStatus() const {
        bool failed = false, notDone = false;
        for (const auto& r : runs_) {
            failed |= r->outcome == 2;
            notDone |= r->outcome == 0;
        }
        return failed ? 1 : notDone ? 2 : 0;
    }

    void PrintTotals() {
        Draw(true);
        int completed = 0, failed = 0, notDone = 0;
        for (const auto& r : runs_) {
            if (r->outcome == 1) ++completed;
            else if (r->outcome == 2) ++failed;
            else ++notDone;
        }
        std::printf("devices: %d completed, %d failed, %d not done\n", completed, failed, notDone);
        std::fflush(stdout);
    }

private:
    void Read(Run& r, int which) {
        char buf[4096];
        const ssize_t n = ::read(r.fds[which], buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
            ::close(r.fds[which]);
            r.fds[which] = -1;
            return;
        }
        r.lastHeard = Clock::now();
        if (which == 0) r.out.append(buf, static_cast<std::size_t>(n));
        if (which == 1) r.err.append(buf, static_cast<std::size_t>(n));
        if (which != 2) return;
        r.statusLine.append(buf, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = r.statusLine.find('\n')) != std::string::npos) {
            const std::string line = r.statusLine.substr(0, nl);
            r.statusLine.erase(0, nl + 1);
            std::istringstream in(line);
            std::string word;
            in >> word;
            if (word == "progress") {
                in >> r.progress.BlocksDone >> r.progress.BlocksTotal >> r.progress.BytesSent;
            } else if (word == "result") {
                in >> r.outcome >> r.blocks >> r.bytes >> r.exchanges >> r.errors;
                std::getline(in >> std::ws, r.lastError);
                r.progress.BlocksDone = static_cast<int>(r.blocks);
                r.haveResult = true;
            }
        }
    }

    void Reap(Run& r) {
        if (r.pid > 0) {
            int status = 0;
            const pid_t w = ::waitpid(r.pid, &status, WNOHANG);
            if (w == 0) return;
            for (int& fd : r.fds) {
                while (fd >= 0) Read(r, static_cast<int>(&fd - r.fds));
            }
            r.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        r.done = true;
        r.seconds = std::chrono::duration<double>(Clock::now() - r.start).count();
        if (!r.haveResult) {  // crashed, killed or never started: a failed device
            r.outcome = 2;
            if (r.lastError.empty())
                r.lastError = r.stalled ? "the upload stopped answering and was ended"
                                        : "the upload ended with status " + std::to_string(r.exitStatus);
        }
        Finish(r);
    }

    void Finish(Run& r) {
        const std::time_t end = std::time(nullptr);
        if (!o_.LogDir.empty()) {
            std::string name = r.target.Port;
            std::replace(name.begin(), name.end(), '/', '_');
            const std::string base = o_.LogDir + "/" + name + "-" + FileStamp(r.startWall) + "-" + OutcomeWord(r.outcome);
            std::ofstream(base + ".log", std::ios::binary) << r.out;
            if (!r.err.empty()) std::ofstream(base + ".err", std::ios::binary) << r.err;
        }
        if (!o_.ReportPath.empty()) {
            RunReport rep;
            rep.Port = r.target.Port;
            rep.Device = r.target.Device;
            rep.ById = r.target.ById;
            rep.HexPath = hexFull_;
            rep.HexSha256 = sha_;
            rep.Start = IsoTime(r.startWall);
            rep.End = IsoTime(end);
            rep.Seconds = r.seconds;
            rep.Outcome = OutcomeWord(r.outcome);
            rep.OutcomeText = OutcomeText(r.outcome);
            rep.ExitStatus = r.exitStatus;
            rep.Blocks = r.blocks;
            rep.BytesOnLine = r.bytes;
            rep.Exchanges = r.exchanges;
            rep.CommunicationErrors = r.errors;
            rep.LastSerialError = r.lastError;
            rep.Verification = o_.Verify == VerifyMode::All ? "all" : o_.Verify == VerifyMode::EveryFourth ? "every_fourth" : "off";
            if (std::FILE* f = std::fopen(o_.ReportPath.c_str(), "a")) {
                std::fprintf(f, "%s\n", ReportLine(rep).c_str());
                std::fflush(f);
                ::fsync(::fileno(f));
                std::fclose(f);
            }
        }
        if (!tty_) {
            std::printf("%s\t%s\t%s\t%.1f s\n", r.target.Port.c_str(), r.target.Device.c_str(),
                        OutcomeText(r.outcome).c_str(), r.seconds);
            std::fflush(stdout);
        }
    }

    // On a terminal: one live line per port and a totals line, redrawn in place.
    void Draw(bool force) {
        if (!tty_) return;
        const auto now = Clock::now();
        if (!force && now - lastDraw_ < std::chrono::milliseconds(250)) return;
        lastDraw_ = now;
        std::string text;
        if (drawnLines_ > 0) text += "\033[" + std::to_string(drawnLines_) + "F";
        int running = 0, completed = 0, failed = 0, notDone = 0;
        for (const auto& r : runs_) {
            const double secs = r->done ? r->seconds : std::chrono::duration<double>(now - r->start).count();
            const double rate = secs > 0 ? r->progress.BytesSent / secs : 0;
            const char* state = !r->done ? "uploading" : r->outcome == 1 ? "completed" : r->outcome == 2 ? "FAILED" : "not done";
            if (!r->done) ++running;
            else if (r->outcome == 1) ++completed;
            else if (r->outcome == 2) ++failed;
            else ++notDone;
            char line[512];
            std::snprintf(line, sizeof line, "\033[K%-8s %-40s block %4d/%-4d %6.0f B/s  %s\n", r->target.Port.c_str(),
                          r->target.Device.c_str(), r->progress.BlocksDone, r->progress.BlocksTotal, rate, state);
            text += line;
        }
        char totals[160];
        std::snprintf(totals, sizeof totals, "\033[K%d running, %d completed, %d failed, %d not done\n", running,
                      completed, failed, notDone);
        text += totals;
        drawnLines_ = static_cast<int>(runs_.size()) + 1;
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }

    const ProductionOptions& o_;
    bool tty_;
    std::string sha_, hexFull_;
    std::vector<std::unique_ptr<Run>> runs_;
    Clock::time_point lastDraw_{};
    int drawnLines_ = 0;
};

bool Matches(const PresentPort& p, const std::string& match) {
    if (match.empty()) return true;
    const Target t = Resolve(p.Name);
    return p.Device.find(match) != std::string::npos || t.ById.find(match) != std::string::npos ||
           t.Device.find(match) != std::string::npos;
}

}  // namespace

int RunMultiPortUpload(const ProductionOptions& options, const std::vector<std::string>& ports) {
    InstallParentHandlers();
    Line line(options);
    for (const std::string& p : ports) line.Start(Resolve(p));
    int seen = 0;
    while (line.AnyRunning()) {
        line.Poll(100);
        const int n = g_interrupts.load();
        if (n != seen) {
            seen = n;
            line.Interrupt();  // the first is every child's abort press, a second ends them at once
        }
    }
    line.PrintTotals();
    return line.ExitStatus();
}

int RunStation(const ProductionOptions& options) {
    InstallParentHandlers();
    Line line(options);
    std::set<std::string> known;  // present since the start or already flashed, until unplugged
    if (const auto present = ListPresentPorts(DefaultPortPaths()))
        for (const PresentPort& p : *present) known.insert(p.Name);
    std::fprintf(stderr, "station: watching the serial ports (%zu present now, left alone); Ctrl-C ends\n",
                 known.size());
    auto nextScan = Clock::now();
    int seen = 0;
    while (g_interrupts.load() == 0) {
        line.Poll(100);
        if (Clock::now() < nextScan) continue;
        nextScan += std::chrono::milliseconds(500);
        const auto present = ListPresentPorts(DefaultPortPaths());
        if (!present) continue;
        std::set<std::string> now;
        for (const PresentPort& p : *present) {
            now.insert(p.Name);
            if (known.count(p.Name) || line.Busy(p.Name) || !Matches(p, options.Match)) continue;
            known.insert(p.Name);
            line.Start(Resolve(p.Name));
        }
        for (auto it = known.begin(); it != known.end();) it = now.count(*it) ? std::next(it) : known.erase(it);
    }
    while (line.AnyRunning()) {
        const int n = g_interrupts.load();
        if (n != seen) {
            seen = n;
            line.Interrupt();
        }
        line.Poll(100);
    }
    line.PrintTotals();
    return line.ExitStatus();
}

}  // namespace qdfu
