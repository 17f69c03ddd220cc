// The production line: one upload per port, all at the same time, each in a child process of its
// own (the serial driver holds one port per process), and a station mode that flashes every
// adapter as it is plugged in. The parent only starts, watches and reports; every byte on a line
// comes from a child running exactly the single-port upload, on the device the parent resolved
// and with the firmware the parent read once at the start.
//
// The engine is the same on every platform; how a child is started, read, interrupted and ended
// is behind the process seam of production_platform.h.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "json_events.h"
#include "ledger.h"
#include "ports.h"
#include "upload.h"

namespace qdfu {

enum class VerifyMode { Off, EveryFourth, All };

// Exit status when a report or log path cannot be written, checked before any device is touched.
inline constexpr int kExitCannotCreate = 73;
// Exit status of a run whose report or log line could not be written later, when every device
// completed (a failed or not done device keeps its own status).
inline constexpr int kExitOutputFailed = 74;

struct ProductionOptions {
    std::string Self;          // this program, started once per port
    std::string HexPath;       // as given
    VerifyMode Verify = VerifyMode::Off;
    std::string GsmNumber;     // "" for a direct line
    bool KeepLineSettings = false;
    bool SkipGaps = false;
    bool IgnoreChecksums = false;
    int Retries = 0;           // --retries, handed to each child
    int32_t TimeoutMs = 3000;  // per byte, handed to each child
    // A child that tells nothing for this long (no progress, no heartbeat) is stopped; <= 0 for
    // the default of twice the time-out and 15 s.
    int32_t StallLimitMs = 0;
    std::string LogDir;        // "" for none: one file per run otherwise
    std::string ReportPath;    // "" for none: one JSON line per run, appended
    std::string Match;         // station: only ports whose device or by-id name holds this
    // The ledger every run is recorded in (null: none), and with SerialAt, the serial number each
    // device gets at that address: reserved before its child starts, spent once the child said it
    // touched the device, returned otherwise.
    qdfu::Ledger* RunLedger = nullptr;
    std::optional<uint32_t> SerialAt;
    SerialFormat Serials = SerialFormat::Le32;
    std::string Operator, Station, WorkOrder;
    // Who runs the line as each unit starts (a station's operator changes between units), given
    // Operator and WorkOrder to change; none: those two for every unit.
    std::function<void(std::string& operatorName, std::string& workOrder)> People;
    // The fixtures' labels, one per port of a several-port run in the ports' order (a line
    // profile's), or none.
    std::vector<std::string> Labels;
    // A run the ledger would not take is handed here to be kept until it can (false with why when
    // it could not be kept either); none: it is lost, and said.
    std::function<bool(LedgerRun&, std::string&)> KeepRun;
    // Forgets the run kept aside under a key, once its own row was recorded.
    std::function<void(const std::string&)> ForgetRun;
    // Called after each run the ledger took: records the runs kept aside before (a station's
    // ledger that is back).
    // The keys of the line's runs still going are handed over: their provisional rows stay aside.
    std::function<void(const std::set<std::string>& running)> RecordKept;
    // The stop requests of a program that takes no process signals for them (the operator
    // window's Esc), counted: when given, the engine reads these in place of the process's abort
    // presses. The first stops every run (each child resets its controller), the second cuts them
    // short, as a terminal's presses do.
    const std::atomic<int>* StopRequests = nullptr;
    // Where the engine's lines for the person at the line go (a ledger connection lost, a run
    // kept aside, a port that could not start), on the engine's thread; none: standard error.
    std::function<void(const std::string&)> Say;
    // --json: standard output carries only these events (no live display, no lines per device).
    JsonEvents* Events = nullptr;
    PortPaths Paths = DefaultPortPaths();
};

// What a production run hands to every child: the firmware read once, its fingerprint and the
// private copy that the children flash.
struct Firmware {
    std::string FullPath;  // the file as given, made absolute
    std::string Sha256;    // of the bytes read at the start
    std::string CopyPath;  // private copy of those bytes; removed at the end
};

class RunOutputs;

// Uploads to every port at once, reporting to outputs (opened by the caller before anything was
// touched). Exit status: 0 when every device completed, else 1 when any failed, else 2;
// kExitOutputFailed when all completed but a report or log line was lost.
int RunMultiPortUpload(const ProductionOptions& options, const Firmware& firmware,
                       const std::vector<std::string>& ports, RunOutputs& outputs);

// Watches the present ports every 500 ms and flashes each one that appears, until the first
// interrupt (which aborts the running uploads as a single upload aborts and waits for them).
// Exit status as above.
int RunStation(const ProductionOptions& options, const Firmware& firmware, RunOutputs& outputs);

// The device a port names for a production run.
struct Target {
    std::string Port;    // as given: COMn or a device path
    std::string Device;  // what the child opens: a device path, never a number to resolve again
    std::string ById;    // its /dev/serial/by-id name, where there is one
    std::string Label;   // the fixture's name on the bench (a line profile's labels), or ""
};
Target ResolveTarget(const std::string& port, const PortPaths& paths);
// The same device named twice (COM7 and COM7, or COM7 and the device it names): the second
// name, or "" when all differ.
std::string DuplicatePort(const std::vector<std::string>& ports, const PortPaths& paths);

// A log folder that must be writable before any device is touched ("" is not checked). False with
// why set ("--log-dir: cannot create logs: Not a directory").
bool CheckLogDir(const std::string& dir, std::string& why);

// One JSON object on one line, with the fields of a production report.
struct RunReport {
    std::string Port, Device, ById, HexPath, HexSha256, Start, End;
    double Seconds = 0;
    std::string Outcome, OutcomeText;  // completed / failed / not_done
    int ExitStatus = 0;
    uint32_t Blocks = 0, BytesOnLine = 0, Exchanges = 0, CommunicationErrors = 0;
    std::string LastSerialError, Verification;
    std::string Reason;  // why it did not complete; "" only for completed
    uint32_t Retries = 0;  // reconnections in the walk (--retries)
    std::optional<uint32_t> Serial;  // the unit's serial number, when one was given
    std::string Operator, WorkOrder;  // --operator, --work-order: in the line when given
    std::string Label;                // the fixture's label (a line profile's): in the line when given
    bool Simulated = false;  // --simulate: nothing was sent; the line says "simulated": true
};
// A ledger's run as one JSON object on one line, with the report's field names.
std::string LedgerRunLine(const LedgerRun& run);
// The ledger's row of a run as its report gives it (text made valid UTF-8 as the report's is).
LedgerRun LedgerRunOf(const RunReport& report, const std::string& station);

std::string OutcomeWord(UploadOutcome outcome);  // completed, failed, not_done
std::string VerificationWord(VerifyMode mode);
std::string IsoTime(std::chrono::system_clock::time_point t);  // 2026-12-08T12:59:08Z

// Where the report and the logs of one production run go. Every failure is said once on standard
// error and remembered.
class RunOutputs {
public:
    // Checks the log folder and opens the report for appending, kept open for the whole run (so a
    // pipe works too); false with why set ("--report: cannot open r.jsonl for appending: ...").
    bool Open(const std::string& reportPath, const std::string& logDir, std::string& why);
    ~RunOutputs();
    // Appends the line, flushed through to the file (or pipe) before this returns.
    void Report(const RunReport& report);
    // DIR/PORT-YYYYMMDDTHHMMSS.mmmZ-outcome.log with the run's log lines (and .err when err holds
    // anything).
    void Log(const std::string& port, std::chrono::system_clock::time_point start, const std::string& outcome,
             const std::string& out, const std::string& err);
    bool Failed() const { return failed_; }

private:
    void Fail(const std::string& what);
    std::FILE* report_ = nullptr;
    std::string reportPath_, logDir_;
    bool failed_ = false;
};

// How long the watchdog waits, after it asked a stalled child to stop, before it kills the child:
// time for the CPU reset's exchange (two tries of one per-byte time-out each) and 2 s more.
inline int32_t WatchdogGraceMs(int32_t timeoutMs) { return 2 * timeoutMs + 2000; }

// The status line a child writes on its status channel for the parent.
struct ChildStatus {
    int BlocksDone = 0;
    int BlocksTotal = 0;
    uint32_t BytesSent = 0;
};

// The child's last status line: "result<TAB>OUTCOME<TAB>BLOCKS<TAB>BYTES<TAB>EXCHANGES<TAB>ERRORS
// <TAB>LAST SERIAL ERROR<TAB>REASON<TAB>RETRIES".
struct ChildResult {
    UploadOutcome Outcome = UploadOutcome::NotDone;
    uint32_t Blocks = 0, Bytes = 0, Exchanges = 0, Errors = 0;
    std::string LastSerialError, Reason;
    uint32_t Retries = 0;
};
std::string ResultLine(const ChildResult& result);
bool ParseResultLine(const std::string& line, ChildResult& result);

// How a child that never told its result ended, as the report gives it.
struct ChildEnd {
    bool Started = true;       // false: it could not be started at all
    bool Signalled = false;    // killed by Code
    int Code = 0;              // exit status or signal number
    bool Stalled = false;      // stopped by the watchdog
    int32_t StallMs = 0;       // how long it had told nothing when the watchdog stopped it
    std::string FirstError;    // its first line on standard error
};
// Outcome (not done or failed) and reason. A child that could not start or refused its arguments
// or file (64, 65, 66, 73) touched no device: not done; any other end without a result: failed.
std::pair<UploadOutcome, std::string> ClassifyChildEnd(const ChildEnd& end);

// Exit status of a whole run: failed ranks above not done above a lost report line.
int RunExitStatus(const std::vector<UploadOutcome>& outcomes, bool outputFailed);

}  // namespace qdfu
