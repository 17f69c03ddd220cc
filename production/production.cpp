// The production line's engine, the same on every platform: resolving ports to devices, starting
// one child per device through the process seam, following each child's status lines, the
// watchdog, the live display, the per-run log files and the JSON report.
#include "production.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <sstream>

#include "cli_platform.h"
#include "json_events.h"
#include "production_platform.h"
#include "settings.h"
#include "tcp_address.h"

namespace qdfu {
namespace {

using Clock = std::chrono::steady_clock;
using Wall = std::chrono::system_clock;

constexpr int kPassMs = 50;  // the shortest time between two passes over the children

// A line for the person at the line: to the caller's Say, or standard error.
void Say(const ProductionOptions& o, const std::string& line) {
    if (o.Say)
        o.Say(line);
    else
        std::fprintf(stderr, "%s\n", line.c_str());
}

std::string FileStamp(Wall::time_point t) {
    const std::tm tm = UtcTime(Wall::to_time_t(t));
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%S", &tm);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
    char frac[8];
    std::snprintf(frac, sizeof frac, ".%03dZ", static_cast<int>(ms));
    return std::string(buf) + frac;
}


std::string OneLine(std::string s) {
    std::replace_if(s.begin(), s.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
    return s;
}

// Fits text into width columns, keeping its end (the distinctive part of a device path).
std::string FitTail(const std::string& text, std::size_t width) {
    return text.size() <= width ? text : "..." + text.substr(text.size() - (width - 3));
}

// One child's run, from its start to its report.
struct Run {
    Target target;
    int id = -1;  // in the process seam; -1 when it never started
    std::string out, err, statusLine;
    ChildStatus progress;
    bool haveResult = false;
    ChildResult result;
    ChildEnd end;
    Wall::time_point startWall;
    Clock::time_point start, lastHeard;
    bool done = false;
    Clock::time_point killAt;  // a stalled child: when the watchdog kills it
    std::optional<uint32_t> serial;  // reserved for this device
    bool spent = false;              // its child said it touched the device
    std::string key = NewRunKey();   // its row's, kept aside from the spend until recorded
    std::string operatorName, workOrder;  // who ran the line when it started
    bool kept = false;               // a row "cut short" is kept aside for it
    bool killed = false;
    UploadOutcome outcome = UploadOutcome::NotDone;
    int exitStatus = 0;
    std::string reason;
    double seconds = 0;
};

class Line {
public:
    Line(const ProductionOptions& o, const Firmware& fw, RunOutputs& outputs)
        : o_(o), fw_(fw), outputs_(outputs), tty_(StandardOutputIsTerminal()) {}

    // Every requested port ends with a report line: a child that cannot be started is a run
    // that was not done. False then, with the reason said on standard error.
    bool Start(const Target& target) {
        auto run = std::make_unique<Run>();
        run->target = target;
        run->startWall = Wall::now();
        run->start = run->lastHeard = Clock::now();
        run->operatorName = o_.Operator;
        run->workOrder = o_.WorkOrder;
        if (o_.People) o_.People(run->operatorName, run->workOrder);
        std::vector<std::string> args = {o_.Self, "upload",    fw_.CopyPath, "--port", target.Port, "--device",
                                         target.Device, "--timeout", std::to_string(o_.TimeoutMs)};
        if (o_.Verify == VerifyMode::EveryFourth) args.push_back("--verify");
        if (o_.Verify == VerifyMode::All) args.push_back("--verify-all");
        if (o_.SkipGaps) args.push_back("--skip-gaps");
        if (o_.IgnoreChecksums) args.push_back("--ignore-checksums");
        if (!o_.GsmNumber.empty()) args.insert(args.end(), {"--gsm", o_.GsmNumber});
        if (o_.KeepLineSettings) args.push_back("--keep-line-settings");
        if (o_.Retries > 0) args.insert(args.end(), {"--retries", std::to_string(o_.Retries)});
        std::string why;
        if (o_.RunLedger && o_.SerialAt) {
            // reserved before anything can touch the device; a ledger that is gone leaves this
            // device untouched and not done
            uint32_t serial = 0;
            const bool reserved = o_.RunLedger->Reserve(serial, why);
            WatchLedger();
            if (!reserved) {
                Run& r = *run;
                runs_.push_back(std::move(run));
                r.end.Started = false;
                r.end.FirstError = NoSerialReason(why);
                Say(o_, target.Port + ": " + r.end.FirstError);
                End(r);
                return false;
            }
            run->serial = serial;
            char at[16];
            std::snprintf(at, sizeof at, "%X", *o_.SerialAt);
            args.insert(args.end(), {"--serial", std::to_string(serial), "--serial-at", at,
                                     "--serial-format", o_.Serials == SerialFormat::Le32 ? "le32" : "prog32"});
        }
        run->id = children_.Start(std::move(args), why);
        if (o_.Events && run->id >= 0) {
            const EventOptions options{VerificationWord(o_.Verify), o_.SkipGaps, o_.Retries, o_.GsmNumber, false};
            o_.Events->Start(target.Port, target.Device, fw_.FullPath, fw_.Sha256, options);
        }
        Run& r = *run;
        runs_.push_back(std::move(run));
        if (r.id >= 0) return true;
        r.end.Started = false;
        r.end.FirstError = "cannot start the upload: " + why;
        Say(o_, target.Port + ": " + r.end.FirstError);
        End(r);
        return false;
    }

    // A run goes on for the port, or for the device it names (two links to one adapter).
    bool Busy(const std::string& port, const std::string& device = {}) const {
        for (const auto& r : runs_)
            if (!r->done && (r->target.Port == port || (!device.empty() && r->target.Device == device))) return true;
        return false;
    }
    bool AnyRunning() const {
        for (const auto& r : runs_)
            if (!r->done) return true;
        return false;
    }

    // Waits up to ms for output, ends what has ended, redraws.
    void Poll(int ms) {
        // One pass at most every kPassMs: the children's lines wait in their pipes meanwhile, so
        // that a bench of busy fixtures costs the parent a few dozen passes a second rather than
        // one per line.
        // (an operator's press cuts the wait short: a second press follows the first at once)
        const auto since = Clock::now() - lastPass_;
        if (since < std::chrono::milliseconds(kPassMs)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::milliseconds(kPassMs) - since);
            if (o_.StopRequests)
                std::this_thread::sleep_for(left);
            else
                proc::Pause(static_cast<int>(left.count()) + 1);
        }
        lastPass_ = Clock::now();
        children_.Wait(ms, sink_);
        const auto now = Clock::now();
        const int32_t limit = o_.StallLimitMs > 0 ? o_.StallLimitMs : 2 * o_.TimeoutMs + 15000;
        for (const auto& r : runs_) {
            if (r->done) continue;
            if (!r->end.Stalled && now - r->lastHeard > std::chrono::milliseconds(limit)) {
                // It stopped telling anything: it ends as a failed device. It is asked to stop
                // first, so that a child that can still act resets the CPU, and killed only when
                // the grace period has passed.
                r->end.Stalled = true;
                r->end.StallMs = static_cast<int32_t>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(now - r->lastHeard).count());
                r->killAt = now + std::chrono::milliseconds(WatchdogGraceMs(o_.TimeoutMs));
                children_.Abort(r->id, 1);
            }
            if (r->end.Stalled && !r->killed && now >= r->killAt) {
                r->killed = true;
                children_.Kill(r->id);
            }
            proc::Exit exit;
            if (!children_.Reap(r->id, exit, sink_)) continue;
            r->end.Signalled = exit.Signalled;
            r->end.Code = exit.Code;
            End(*r);
        }
        Draw(false);
    }

    // The nth abort press for every child that runs.
    void Interrupt(int nth) {
        for (const auto& r : runs_)
            if (!r->done) children_.Abort(r->id, nth);
    }

    // A run's row or a serial's state that the ledger did not keep: the run exits as for a lost
    // report line.
    bool LedgerLost() const { return ledgerLost_; }

    std::vector<UploadOutcome> Outcomes() const {
        std::vector<UploadOutcome> out;
        for (const auto& r : runs_) out.push_back(r->outcome);
        return out;
    }

    void PrintTotals() {
        if (o_.Events) return;  // standard output carries only the events
        Draw(true);
        int completed = 0, failed = 0, notDone = 0;
        for (const auto& r : runs_) {
            if (r->outcome == UploadOutcome::Completed) ++completed;
            else if (r->outcome == UploadOutcome::Failed) ++failed;
            else ++notDone;
        }
        std::printf("devices: %d completed, %d failed, %d not done\n", completed, failed, notDone);
        std::fflush(stdout);
    }

private:
    // Says once on standard error when the connection to the ledger's server is lost, and once
    // when it is made again (each device tries: a station outlives a server's restart).
    void WatchLedger() {
        std::string why;
        const bool up = o_.RunLedger->Connected(why);
        if (up == ledgerUp_) return;
        ledgerUp_ = up;
        if (up)
            Say(o_, "ledger: connected again");
        else
            Say(o_, "ledger: the connection to the database is lost (" + why + "); each device tries again");
    }

    Run* ById(int id) {
        for (const auto& r : runs_)
            if (r->id == id && !r->done) return r.get();
        return nullptr;
    }

    void OnData(int id, proc::Stream stream, const char* data, std::size_t n) {
        Run* r = ById(id);
        if (!r) return;
        if (stream == proc::kOut) r->out.append(data, n);
        if (stream == proc::kErr) r->err.append(data, n);
        if (stream != proc::kStatus) return;
        r->statusLine.append(data, n);
        std::size_t nl;
        while ((nl = r->statusLine.find('\n')) != std::string::npos) {
            const std::string line = r->statusLine.substr(0, nl);
            r->statusLine.erase(0, nl + 1);
            r->lastHeard = Clock::now();  // progress or a heartbeat: the child is alive
            if (line.rfind("progress ", 0) == 0) {
                std::istringstream in(line.substr(9));
                in >> r->progress.BlocksDone >> r->progress.BlocksTotal >> r->progress.BytesSent;
                if (o_.Events)
                    o_.Events->Progress(r->target.Port, r->progress.BlocksDone, r->progress.BlocksTotal,
                                        r->progress.BytesSent);
            } else if (line == "touched") {
                if (r->serial && !r->spent) {
                    std::string why;
                    const bool spent = o_.RunLedger->Spend(*r->serial, why);
                    WatchLedger();
                    if (!spent) {
                        Say(o_, why);
                        ledgerLost_ = true;
                    }
                    // until this run's own row is recorded, a row that says it was cut short (this
                    // process killed, the machine off) is kept aside for the unit that may hold it
                    if (o_.KeepRun) {
                        RunReport cut;
                        cut.Port = r->target.Port, cut.Device = r->target.Device, cut.ById = r->target.ById;
                        cut.HexPath = fw_.FullPath, cut.HexSha256 = fw_.Sha256, cut.Start = IsoTime(r->startWall);
                        cut.Outcome = OutcomeWord(UploadOutcome::Failed);
                        cut.Reason = "the run ended before it could say how it went (stopped or cut short)";
                        cut.Serial = r->serial, cut.Operator = r->operatorName, cut.WorkOrder = r->workOrder;
                        LedgerRun row = LedgerRunOf(cut, o_.Station);
                        row.Key = r->key;
                        std::string ignored;
                        r->kept = o_.KeepRun(row, ignored);
                    }
                }
                r->spent = true;  // a serial the device may hold is never given again
            } else if (line.rfind("retry ", 0) == 0) {
                unsigned n = 0, page = 0;
                std::sscanf(line.c_str() + 6, "%u %u", &n, &page);
                r->result.Retries = n;
                if (o_.Events) o_.Events->Retry(r->target.Port, static_cast<int>(n), page);
            } else if (ParseResultLine(line, r->result)) {
                r->haveResult = true;
                r->progress.BlocksDone = static_cast<int>(r->result.Blocks);
            }
        }
    }

    void End(Run& r) {
        r.done = true;
        r.seconds = std::chrono::duration<double>(Clock::now() - r.start).count();
        r.exitStatus = r.end.Signalled ? 128 + r.end.Code : r.end.Code;
        if (r.haveResult && !r.end.Stalled && !r.end.Signalled) {
            r.outcome = r.result.Outcome;
            r.reason = r.result.Reason;
        } else {
            if (r.end.FirstError.empty() && !r.err.empty()) r.end.FirstError = OneLine(r.err.substr(0, r.err.find('\n')));
            std::tie(r.outcome, r.reason) = ClassifyChildEnd(r.end);
            if (!r.end.Started) r.exitStatus = 2;
            // what the parent last heard of: blocks written before it was stopped
            r.result.Blocks = r.haveResult ? r.result.Blocks : static_cast<uint32_t>(std::max(r.progress.BlocksDone, 0));
            r.result.Bytes = r.haveResult ? r.result.Bytes : r.progress.BytesSent;
        }
        Finish(r);
    }

    void Finish(Run& r) {
        const Wall::time_point end = Wall::now();
        if (r.serial && !r.spent) {  // nothing reached the device: its serial goes to the next one
            std::string why;
            const bool returned = o_.RunLedger->Return(*r.serial, why);
            WatchLedger();
            if (!returned) {
                Say(o_, why);
                ledgerLost_ = true;
            }
        }
        outputs_.Log(r.target.Port, r.startWall, OutcomeWord(r.outcome), r.out, r.err);
        RunReport rep;
        rep.Port = r.target.Port;
        rep.Device = r.target.Device;
        rep.ById = r.target.ById;
        rep.HexPath = fw_.FullPath;
        rep.HexSha256 = fw_.Sha256;
        rep.Start = IsoTime(r.startWall);
        rep.End = IsoTime(end);
        rep.Seconds = r.seconds;
        rep.Outcome = OutcomeWord(r.outcome);
        rep.OutcomeText = UploadOutcomeText(r.outcome);
        rep.ExitStatus = r.exitStatus;
        rep.Blocks = r.result.Blocks;
        rep.BytesOnLine = r.result.Bytes;
        rep.Exchanges = r.result.Exchanges;
        rep.CommunicationErrors = r.result.Errors;
        rep.LastSerialError = r.result.LastSerialError;
        rep.Verification = VerificationWord(o_.Verify);
        rep.Reason = r.outcome == UploadOutcome::Completed ? "" : r.reason.empty() ? "the upload did not complete" : r.reason;
        rep.Retries = r.result.Retries;
        rep.Serial = r.spent ? r.serial : std::nullopt;  // a serial that went back is not this device's
        rep.Operator = r.operatorName;
        rep.WorkOrder = r.workOrder;
        rep.Label = r.target.Label;
        outputs_.Report(rep);
        if (o_.RunLedger) {
            std::string why;
            LedgerRun row = LedgerRunOf(rep, o_.Station);
            row.Key = r.key;  // recorded again after a lost answer, or from aside: one row
            const bool recorded = o_.RunLedger->Record(row, why);
            if (recorded && r.kept && o_.ForgetRun) o_.ForgetRun(r.key);
            WatchLedger();
            if (!recorded) {
                Say(o_, r.target.Port + ": " + why);
                ledgerLost_ = true;
                if (o_.KeepRun && o_.KeepRun(row, why))
                    Say(o_, r.target.Port + ": the run was kept aside; it is recorded the next time the ledger is opened");
                else if (o_.KeepRun)
                    Say(o_, r.target.Port + ": " + why);
            } else if (o_.RecordKept) {
                std::set<std::string> running;
                for (const auto& other : runs_)
                    if (!other->done && other.get() != &r) running.insert(other->key);
                o_.RecordKept(running);
            }
        }
        // once its row is in the ledger (or kept aside): a reader of the events finds it there
        if (o_.Events) o_.Events->End(rep);
        if (!tty_ && !o_.Events) {
            std::printf("%s\t%s\t%s\t%.1f s\t%s\n", r.target.Port.c_str(), r.target.Device.c_str(),
                        UploadOutcomeText(r.outcome).c_str(), r.seconds, rep.Reason.c_str());
            std::fflush(stdout);
        }
    }

    // On a terminal: one live line per running port, then the latest finished ones while they fit
    // in kLiveLines, and a totals line that sums up every run; redrawn in place, each within 80
    // columns. A station that runs for hours never draws more than a screenful.
    void Draw(bool force) {
        if (!tty_ || o_.Events) return;
        const auto now = Clock::now();
        if (!force && now - lastDraw_ < std::chrono::milliseconds(250)) return;
        lastDraw_ = now;
        std::string text;
        if (drawnLines_ > 0) text += "\033[" + std::to_string(drawnLines_) + "F";
        int running = 0, completed = 0, failed = 0, notDone = 0;
        std::vector<const Run*> shown;
        for (const auto& r : runs_)
            if (!r->done && shown.size() < kLiveLines) shown.push_back(r.get());
        for (auto it = runs_.rbegin(); it != runs_.rend() && shown.size() < kLiveLines; ++it)
            if ((*it)->done) shown.push_back(it->get());
        for (const auto& r : runs_) {
            if (!r->done) ++running;
            else if (r->outcome == UploadOutcome::Completed) ++completed;
            else if (r->outcome == UploadOutcome::Failed) ++failed;
            else ++notDone;
        }
        for (const Run* r : shown) {
            const double secs = r->done ? r->seconds : std::chrono::duration<double>(now - r->start).count();
            const double rate = secs > 0 ? r->progress.BytesSent / secs : 0;
            std::string state = !r->done ? "uploading" : r->outcome == UploadOutcome::Completed ? "completed" : r->outcome == UploadOutcome::Failed ? "FAILED" : "not done";
            if (!r->done && r->result.Retries > 0) state = "retry " + std::to_string(r->result.Retries);
            char line[160];
            std::snprintf(line, sizeof line, "\033[K%-8.8s %-26s %4d/%-4d %6.0f B/s %-9s\n",
                          // a fixture is known on the bench by its label, when it has one
                          FitTail(r->target.Label.empty() ? r->target.Port : r->target.Label, 8).c_str(),
                          FitTail(r->target.Device, 26).c_str(),
                          std::min(r->progress.BlocksDone, 9999), std::min(r->progress.BlocksTotal, 9999),
                          std::min(rate, 999999.0), state.c_str());
            text += line;
        }
        char totals[160];
        std::snprintf(totals, sizeof totals, "\033[K%d running, %d completed, %d failed, %d not done\n", running,
                      completed, failed, notDone);
        text += totals;
        text += "\033[J";  // what an earlier, longer drawing left below
        drawnLines_ = static_cast<int>(shown.size()) + 1;
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }

    const ProductionOptions& o_;
    const Firmware& fw_;
    RunOutputs& outputs_;
    bool tty_;
    proc::Children children_;
    proc::Sink sink_ = [this](int id, proc::Stream s, const char* d, std::size_t n) { OnData(id, s, d, n); };
    std::vector<std::unique_ptr<Run>> runs_;
    Clock::time_point lastDraw_{};
    int drawnLines_ = 0;
    bool ledgerLost_ = false;
    bool ledgerUp_ = true;  // as last said by WatchLedger
    Clock::time_point lastPass_{};
    static constexpr std::size_t kLiveLines = 20;  // port lines at most, the totals line besides
};

bool Matches(const PresentPort& p, const Target& t, const std::string& match, const PortPaths& paths) {
    if (match.empty()) return true;
    if (p.Name.find(match) != std::string::npos || p.Device.find(match) != std::string::npos ||
        t.ById.find(match) != std::string::npos || t.Device.find(match) != std::string::npos)
        return true;
    const auto usb = UsbIdentityOf(p.Device, paths);  // a fixture's adapter by its USB serial number
    return usb && usb->Serial == match;
}

// The stop requests so far: the caller's, or the process's abort presses.
int StopRequests(const ProductionOptions& o) {
    return o.StopRequests ? o.StopRequests->load() : proc::Interrupts();
}

// Passes on every stop request that came since the last call, each as one.
void PassOnInterrupts(Line& line, int& passed, const ProductionOptions& o) {
    const int n = StopRequests(o);
    while (passed < n) line.Interrupt(++passed);
}

}  // namespace

LedgerRun LedgerRunOf(const RunReport& r, const std::string& station) {
    // as the report line has them: a byte that is not UTF-8 (a file or operator name) as the
    // character of the same value, which every database takes
    const auto text = [](const std::string& t) { return ValidUtf8(t); };
    LedgerRun run;
    run.Serial = r.Serial;
    run.Port = text(r.Port), run.Device = text(r.Device), run.ById = text(r.ById),
    run.Station = text(station), run.Operator = text(r.Operator), run.WorkOrder = text(r.WorkOrder);
    run.HexPath = text(r.HexPath), run.HexSha256 = r.HexSha256, run.Outcome = r.Outcome,
    run.Reason = text(r.Reason);
    run.Blocks = r.Blocks, run.Retries = r.Retries, run.Start = r.Start, run.End = r.End;
    return run;
}

std::string OutcomeWord(UploadOutcome outcome) {
    return outcome == UploadOutcome::Completed ? "completed" : outcome == UploadOutcome::Failed ? "failed" : "not_done";
}

std::string VerificationWord(VerifyMode mode) {
    return mode == VerifyMode::All ? "all" : mode == VerifyMode::EveryFourth ? "every_fourth" : "off";
}

std::string IsoTime(Wall::time_point t) {
    const std::tm tm = UtcTime(Wall::to_time_t(t));
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string ResultLine(const ChildResult& r) {
    return "result\t" + std::to_string(static_cast<int>(r.Outcome)) + "\t" + std::to_string(r.Blocks) + "\t" + std::to_string(r.Bytes) +
           "\t" + std::to_string(r.Exchanges) + "\t" + std::to_string(r.Errors) + "\t" + OneLine(r.LastSerialError) +
           "\t" + OneLine(r.Reason) + "\t" + std::to_string(r.Retries);
}

bool ParseResultLine(const std::string& line, ChildResult& r) {
    std::vector<std::string> f;
    std::size_t from = 0;
    for (std::size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1)
        f.push_back(line.substr(from, tab - from));
    f.push_back(line.substr(from));
    if (f.size() != 9 || f[0] != "result") return false;
    try {
        const int outcome = std::stoi(f[1]);
        if (outcome < 0 || outcome > 2) return false;
        r.Outcome = static_cast<UploadOutcome>(outcome);
        r.Blocks = static_cast<uint32_t>(std::stoul(f[2]));
        r.Bytes = static_cast<uint32_t>(std::stoul(f[3]));
        r.Exchanges = static_cast<uint32_t>(std::stoul(f[4]));
        r.Errors = static_cast<uint32_t>(std::stoul(f[5]));
        r.Retries = static_cast<uint32_t>(std::stoul(f[8]));
    } catch (const std::exception&) {
        return false;
    }
    r.LastSerialError = f[6];
    r.Reason = f[7];
    return true;
}

std::pair<UploadOutcome, std::string> ClassifyChildEnd(const ChildEnd& e) {
    if (!e.Started) return {UploadOutcome::NotDone, e.FirstError};
    if (e.Stalled) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f", e.StallMs / 1000.0);
        return {UploadOutcome::Failed, std::string("no progress for ") + seconds + " s: stopped"};
    }
    if (e.Signalled) return {UploadOutcome::Failed, "killed by signal " + std::to_string(e.Code)};
    const bool refused = e.Code == 64 || e.Code == 65 || e.Code == 66 || e.Code == 73;
    std::string why = "the upload ended with status " + std::to_string(e.Code) + " before telling its result";
    if (refused) why = "the upload refused to start (status " + std::to_string(e.Code) + ")";
    if (!e.FirstError.empty()) why += ": " + e.FirstError;
    return {refused ? UploadOutcome::NotDone : UploadOutcome::Failed, why};
}

int RunExitStatus(const std::vector<UploadOutcome>& outcomes, bool outputFailed) {
    bool failed = false, notDone = false;
    for (UploadOutcome o : outcomes) {
        failed |= o == UploadOutcome::Failed;
        notDone |= o == UploadOutcome::NotDone;
    }
    return failed ? 1 : notDone ? 2 : outputFailed ? kExitOutputFailed : 0;
}

Target ResolveTarget(const std::string& port, const PortPaths& paths) {
    Target t{port, port, "", ""};
    uint32_t n = 0;
    if (ParseComName(port, n)) {
        t.Port = "COM" + std::to_string(n);
        t.Device = PortDevicePath(n, paths);
    }
    // The by-id name is the first link on the way to the device that lies in /serial/by-id/; the
    // device a child opens is the end of the way, absolute, so that no link text (relative to the
    // link's own folder) is ever resolved again against another working folder.
    std::string step = t.Device;
    for (int hops = 0; hops < 8 && t.ById.empty(); ++hops) {
        if (step.find("/serial/by-id/") != std::string::npos) t.ById = step;
        const std::string next = LinkTarget(step);
        if (next.empty()) break;
        step = next.front() == '/' ? next : step.substr(0, step.rfind('/') + 1) + next;
    }
    if (!LinkTarget(t.Device).empty()) {
        const std::string canonical = CanonicalPath(t.Device);
        if (!canonical.empty()) t.Device = canonical;
    }
    return t;
}

std::string DuplicatePort(const std::vector<std::string>& ports, const PortPaths& paths) {
    // A device is known by its canonical path; a server over TCP by every address its name
    // resolves to (tcp://localhost:N and tcp://127.0.0.1:N are one server).
    std::set<std::string> seen;
    for (const std::string& p : ports) {
        const Target t = ResolveTarget(p, paths);
        std::vector<std::string> keys;
        if (IsTcpPort(t.Device)) {
            keys = TcpEndpoints(t.Device);
        } else {
            const std::string real = CanonicalPath(t.Device);
            keys.push_back(real.empty() ? t.Device : real);
        }
        bool again = false;
        for (const std::string& k : keys) again |= seen.count(k) > 0;
        if (again) return p;
        seen.insert(keys.begin(), keys.end());
    }
    return {};
}

bool CheckLogDir(const std::string& dir, std::string& why) {
    if (dir.empty()) return true;
    if (!MakeDirectories(dir)) {
        why = "--log-dir: cannot create " + dir + ": " + std::strerror(errno);
        return false;
    }
    const std::string probe = dir + "/.quarnelix-dfu-probe";
    std::FILE* f = std::fopen(probe.c_str(), "wb");
    if (!f) {
        why = "--log-dir: cannot write in " + dir + ": " + std::strerror(errno);
        return false;
    }
    std::fclose(f);
    std::remove(probe.c_str());
    return true;
}

bool RunOutputs::Open(const std::string& reportPath, const std::string& logDir, std::string& why) {
    reportPath_ = reportPath;
    logDir_ = logDir;
    if (!CheckLogDir(logDir, why)) return false;
    if (reportPath.empty()) return true;
    report_ = std::fopen(reportPath.c_str(), "ab");
    if (!report_) why = "--report: cannot open " + reportPath + " for appending: " + std::strerror(errno);
    return report_ != nullptr;
}

RunOutputs::~RunOutputs() {
    if (report_ && std::fclose(report_) != 0) Fail("--report: cannot write " + reportPath_);
}

void RunOutputs::Fail(const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", what.c_str(), std::strerror(errno));
    failed_ = true;
}

void RunOutputs::Report(const RunReport& report) {
    if (!report_) return;
    const std::string line = ReportLine(report) + "\n";
    if (std::fwrite(line.data(), 1, line.size(), report_) != line.size() || std::fflush(report_) != 0 ||
        !SyncFile(report_)) {
        Fail("--report: cannot write " + reportPath_);
        std::clearerr(report_);
    }
}

void RunOutputs::Log(const std::string& port, Wall::time_point start, const std::string& outcome,
                     const std::string& out, const std::string& err) {
    if (logDir_.empty()) return;
    std::string name = port;
    std::replace_if(name.begin(), name.end(), [](char c) { return c == '/' || c == '\\' || c == ':'; }, '_');
    const std::string base = logDir_ + "/" + name + "-" + FileStamp(start) + "-" + outcome;
    auto write = [&](const std::string& path, const std::string& text) {
        std::ofstream f(path, std::ios::binary);
        f << text;
        f.close();
        if (!f) Fail("--log-dir: cannot write " + path);
    };
    write(base + ".log", out);
    if (!err.empty()) write(base + ".err", err);
}

int RunMultiPortUpload(const ProductionOptions& options, const Firmware& firmware,
                       const std::vector<std::string>& ports, RunOutputs& outputs) {
    proc::InstallParentHandlers(options.StopRequests == nullptr);
    std::vector<UploadOutcome> outcomes;
    bool ledgerLost = false;
    {
        Line line(options, firmware, outputs);
        for (std::size_t k = 0; k < ports.size(); ++k) {
            Target target = ResolveTarget(ports[k], options.Paths);
            if (k < options.Labels.size()) target.Label = options.Labels[k];
            line.Start(target);
        }
        int passed = 0;
        while (line.AnyRunning()) {
            line.Poll(100);
            PassOnInterrupts(line, passed, options);
        }
        line.PrintTotals();
        outcomes = line.Outcomes();
        ledgerLost = line.LedgerLost();
    }
    return RunExitStatus(outcomes, outputs.Failed() || ledgerLost);
}

int RunStation(const ProductionOptions& options, const Firmware& firmware, RunOutputs& outputs) {
    proc::InstallParentHandlers(options.StopRequests == nullptr);
    std::set<std::string> saidUnkept;
    auto present = [&] {
        std::string unkept;
        auto list = ListPresentPorts(options.Paths, &unkept);
        if (!unkept.empty() && saidUnkept.insert(unkept).second) Say(options, "station: " + unkept);
        return list;
    };
    std::vector<UploadOutcome> outcomes;
    bool ledgerLost = false;
    {
        Line line(options, firmware, outputs);
        std::set<std::string> known;  // present since the start or already flashed, until unplugged
        std::map<std::string, std::string> knownDevices;  // the device each flashed name stands for
        if (const auto ports = present())
            for (const PresentPort& p : *ports) known.insert(p.Name);
        Say(options, "station: watching the serial ports (" + std::to_string(known.size()) + " present now, left alone)" +
                             (options.StopRequests ? "" : "; Ctrl-C ends"));
        auto nextScan = Clock::now();
        int passed = 0;
        while (StopRequests(options) == 0) {
            line.Poll(100);
            if (Clock::now() < nextScan) continue;
            nextScan += std::chrono::milliseconds(500);
            const auto ports = present();
            if (!ports) continue;
            std::set<std::string> now;
            for (const PresentPort& p : *ports) {
                now.insert(p.Name);
                if (known.count(p.Name) || line.Busy(p.Name)) continue;
                // the device that this process's list gave the number (also one it could not keep
                // in a link), so the child opens exactly what was plugged in
                const Target t = ResolveTarget(p.Name, options.Paths);
                if (!Matches(p, t, options.Match, options.Paths)) continue;
                // another name of an adapter flashed in this plugging (two links to one device)
                const bool taken = std::any_of(knownDevices.begin(), knownDevices.end(),
                                               [&](const auto& kd) { return kd.second == t.Device; });
                knownDevices[p.Name] = t.Device;
                if (taken || line.Busy(p.Name, t.Device)) {
                    known.insert(p.Name);
                    continue;
                }
                // a port whose upload could not start is reported, and tried again when it next appears
                known.insert(p.Name);
                line.Start(t);
            }
            for (auto it = known.begin(); it != known.end();) it = now.count(*it) ? std::next(it) : known.erase(it);
            for (auto it = knownDevices.begin(); it != knownDevices.end();)
                it = known.count(it->first) ? std::next(it) : knownDevices.erase(it);
        }
        while (line.AnyRunning()) {
            PassOnInterrupts(line, passed, options);
            line.Poll(100);
        }
        line.PrintTotals();
        outcomes = line.Outcomes();
        ledgerLost = line.LedgerLost();
    }
    return RunExitStatus(outcomes, outputs.Failed() || ledgerLost);
}

}  // namespace qdfu
