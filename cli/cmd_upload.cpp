// upload and station: flashing a firmware into one controller, into several at once (one child
// process per port, from the production engine), or into every adapter plugged in. Both keep a
// ledger of their runs and give serial numbers when asked.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "cli_platform.h"
#include "common.h"
#include "json_events.h"
#include "line_profile.h"
#include "production_platform.h"
#include "resume_point.h"
#include "serial.h"
#include "settings.h"
#include "sha256.h"
#include "terminal_view.h"
#include "text_lines.h"

namespace qdfu::cli {
namespace {

void AddRetriesOption(CLI::App* cmd, ProductionOptions& o) {
    cmd->add_option("--retries", o.Retries,
                    "when the line goes away during the transfer, connect again and go on from the "
                    "page where it "
                    "stopped, up to N times (default 0)")
        ->check(CLI::Range(0, kMaxRetries));
}

void AddProductionOptions(CLI::App* cmd, ProductionOptions& o) {
    cmd->add_option("--log-dir", o.LogDir,
                    "write each device's log lines to a file of its own in DIR");
    cmd->add_option("--report", o.ReportPath, "append one JSON line per device run to FILE");
}

// The report and the log folder, before any device is touched; false (said on standard error and
// kept in why) when either cannot be written.
bool OpenOutputs(RunOutputs& outputs, const ProductionOptions& line, std::string& why) {
    if (outputs.Open(line.ReportPath, line.LogDir, why)) return true;
    std::fprintf(stderr, "%s\n", why.c_str());
    return false;
}

// What upload and station are given.
struct FlashOptions {
    std::string HexPath;
    PortOptions Port;
    bool Verify = false, VerifyAll = false, IgnoreChecksums = false, SkipGaps = false,
         KeepLine = false;
    bool Json = false;
    ProductionOptions Line;
    LedgerOptions Ledger;
    std::string GsmNumber;
    CLI::Option* Gsm = nullptr;  // given, even as "": the upload goes through the modem
    bool GsmGiven = false;       // Gsm given, or a profile's gsm= a number
    // --profile: the line profile the options come from, and the SHA-256 its firmware must have
    // when it is read to be flashed ("" without a profile)
    std::string ProfilePath, ProfileSha256;
    // upload to one port only
    bool Simulate = false, Resume = false;
    int StatusFd = -1;   // a production line's child reports here
    std::string Device;  // and opens the device its parent resolved
    // --json: every port given ends with one end event, a run refused before it started too
    JsonEvents Events{stdout};
    std::string Refusal;  // why the run was refused, when it was
};

std::string VerificationOf(const FlashOptions& o) {
    return VerificationWord(o.VerifyAll ? VerifyMode::All
                            : o.Verify  ? VerifyMode::EveryFourth
                                        : VerifyMode::Off);
}

// The report's fields that a run knows before it starts (the port given as the report names it,
// the file as read) of a run that has not started yet: not done, at now.
RunReport ReportBefore(const std::string& port, const std::string& device, const PortPaths& paths,
                       const std::string& hexPath, const std::string* text,
                       const std::string& verification, std::chrono::system_clock::time_point now) {
    const Target target = ResolveTarget(port, paths);
    RunReport rep;
    rep.Port = target.Port;
    rep.Device = device.empty() ? target.Device : device;
    rep.ById = target.ById;
    rep.HexPath = CanonicalPath(hexPath).empty() ? hexPath : CanonicalPath(hexPath);
    if (text && !text->empty()) rep.HexSha256 = Sha256Hex(*text);
    rep.Start = rep.End = IsoTime(now);
    rep.Outcome = OutcomeWord(UploadOutcome::NotDone);
    rep.OutcomeText = UploadOutcomeText(UploadOutcome::NotDone);
    rep.Verification = verification;
    return rep;
}

// A run refused with status rc before it started (why: what was said on standard error), as its
// report line and end event give it.
RunReport RefusedRun(const FlashOptions& o, const std::string& port, const std::string* text,
                     int rc, const std::string& why) {
    RunReport rep = ReportBefore(port, "", o.Port.Paths, o.HexPath, text, VerificationOf(o),
                                 std::chrono::system_clock::now());
    rep.ExitStatus = rc;
    rep.Operator = o.Ledger.Operator;
    rep.WorkOrder = o.Ledger.WorkOrder;
    rep.Reason =
        why.empty() ? "the upload refused to start (status " + std::to_string(rc) + ")" : why;
    rep.Simulated = o.Simulate;
    return rep;
}

// The ledger's options checked, and the ledger reached before any device is touched: 0, or the
// exit status with the cause said (73 when it cannot be reached). A missing SQLite file is a new
// ledger only when this run says where its serials start, or gives none (66 otherwise): a mistyped
// name must not start the serials at 1 again.
int OpenLedgerOf(FlashOptions& o, std::unique_ptr<Ledger>& books) {
    if (const int rc = CheckLedgerOptions(o.Ledger)) return rc;
    if (o.Ledger.Where.empty()) return 0;
    LineLedgerPlan plan;
    plan.Where = o.Ledger.Where;
    plan.SerialsGiven = !o.Ledger.SerialAtText.empty();
    if (o.Ledger.SerialFirst >= 0) plan.SerialFirst = static_cast<uint32_t>(o.Ledger.SerialFirst);
    plan.FirstOnlyForANewLedger = o.Ledger.FirstOnlyForANewLedger;
    if (const int rc = OpenLineLedger(plan, books, o.Refusal)) {
        std::fprintf(stderr, "%s\n", o.Refusal.c_str());
        return rc;
    }
    return 0;
}

// With a profile, the firmware's bytes read to be flashed must be those its SHA-256 names (the
// file may have changed since the profile was checked): 0, or 65 with the cause said.
int CheckProfileBytes(FlashOptions& o, const std::string& text) {
    if (o.ProfileSha256.empty() || Sha256Hex(text) == o.ProfileSha256) return 0;
    o.Refusal = o.ProfilePath + ": the firmware " + o.HexPath +
                " changed while it was read: its bytes no longer have the profile's SHA-256";
    std::fprintf(stderr, "%s\n", o.Refusal.c_str());
    return kExitBadHex;
}

// The options a profile gives, taken from the profile at o.ProfilePath in place of those typed:
// 0, or the exit status with the profile's path, line and cause said on one line (64 for a
// profile refused or an option typed beside it, 66 for no such profile, 65 for a firmware missing
// or changed). Nothing is opened but the profile and the firmware.
int TakeProfile(const CLI::App* cmd, FlashOptions& o, bool stationMode) {
    const auto refuse = [&](const std::string& why, int rc) {
        o.Refusal = why;
        std::fprintf(stderr, "%s\n", why.c_str());
        return rc;
    };
    // (and the tests' port seams, never an operator's; a child's own options never)
    static const std::vector<std::string> beside = {"--profile",   "--operator",  "--work-order", "--json",
                                                    "--report",    "--log-dir",   "--ports-dir",  "--dev-root",
                                                    "--sysfs-root"};
    std::string typed;
    for (const CLI::Option* opt : cmd->get_options()) {
        if (opt->count() == 0) continue;
        const std::string name = opt->get_lnames().empty() ? "FILE" : "--" + opt->get_lnames().front();
        if (std::find(beside.begin(), beside.end(), name) != beside.end()) continue;
        typed += (typed.empty() ? "" : ", ") + name;
    }
    const std::string command = stationMode ? "station" : "upload";
    if (!typed.empty())
        return refuse(command + " --profile " + o.ProfilePath + ": " + typed +
                          " cannot be given beside a profile, which gives the firmware and every "
                          "option; only --operator, --work-order, --json, --report and --log-dir can",
                      kExitUsage);
    LineProfile p;
    ProfileProblem problem = ReadLineProfile(o.ProfilePath, p);
    if (problem.Status == ProfileStatus::NoSuchFile) problem.Cause = "no such profile";
    if (problem.Status != ProfileStatus::Ok)
        return refuse(ProfileProblemText(o.ProfilePath, problem),
                      problem.Status == ProfileStatus::NoSuchFile ? kExitNoInput : kExitUsage);
    if (p.Station != stationMode)
        return refuse(o.ProfilePath + ": " +
                          (p.Station ? "a station's profile (station=true) runs with 'station --profile'"
                                     : "a profile with ports runs with 'upload --profile'"),
                      kExitUsage);
    o.Port.Ports = p.Ports;  // a refusal from here on ends each of the profile's ports
    if (p.OperatorRequired &&
        o.Ledger.Operator.find_first_not_of(" \t\r\n") == std::string::npos)
        return refuse(o.ProfilePath + ": [operator] required=true: give --operator NAME", kExitUsage);
    problem = CheckProfileFirmware(p);
    if (problem.Status != ProfileStatus::Ok)
        return refuse(ProfileProblemText(o.ProfilePath, problem), kExitBadHex);
    LinePlan plan;
    TakeLineProfile(p, o.ProfilePath, plan, o.Line);
    o.HexPath = plan.HexPath;
    o.ProfileSha256 = plan.Sha256;
    o.Port.Ports = plan.Ports;
    o.Verify = o.Line.Verify == VerifyMode::EveryFourth;
    o.VerifyAll = o.Line.Verify == VerifyMode::All;
    o.SkipGaps = o.Line.SkipGaps;
    o.GsmNumber = o.Line.GsmNumber;
    o.GsmGiven = !o.GsmNumber.empty();
    o.Ledger.Where = plan.LedgerWhere;
    o.Ledger.SerialAtText = p.SerialAt;
    o.Ledger.Format = plan.Serials == SerialFormat::Prog32 ? "prog32" : "le32";
    o.Ledger.SerialFirst = plan.SerialFirst ? int64_t{*plan.SerialFirst} : -1;
    o.Ledger.FirstOnlyForANewLedger = plan.FirstOnlyForANewLedger;
    return 0;
}

// The options of upload and station: taken from --profile when it is given; FILE otherwise.
int TakeOptions(const CLI::App* cmd, FlashOptions& o, bool stationMode) {
    o.GsmGiven = o.Gsm && o.Gsm->count();
    if (!o.ProfilePath.empty()) return TakeProfile(cmd, o, stationMode);
    if (o.HexPath.empty())
        o.Refusal = std::string(stationMode ? "station" : "upload") +
                    ": FILE is required (the firmware to flash), or --profile";
    else if (!stationMode && o.Port.Ports.empty())
        o.Refusal = "--port is required (or --profile)";
    else
        return 0;
    std::fprintf(stderr, "%s\n", o.Refusal.c_str());
    return kExitUsage;
}

void AddProfileOption(CLI::App* cmd, FlashOptions& o) {
    cmd->add_option("--profile", o.ProfilePath,
                    "run the line profile PROFILE ('profile new' writes one): it gives the "
                    "firmware and every option but --operator, --work-order, --json, --report and "
                    "--log-dir");
}

// Several ports at once, or a station: one child per device, prepared as the operator window
// prepares its line.
int RunLine(FlashOptions& o, bool stationMode, const std::string& self, Ledger* ledger) {
    ProductionOptions& line = o.Line;
    PortOptions& portOpt = o.Port;
    LedgerOptions& ledgerOpt = o.Ledger;
    line.Self = ThisProgram(self.c_str());
    // the children keep no ledger: the quick program without the database clients serves them
    if (const std::size_t cut = line.Self.rfind("-ledger");
        cut != std::string::npos && cut + 7 == line.Self.size())
        if (std::FILE* quick = std::fopen(line.Self.substr(0, cut).c_str(), "rb")) {
            std::fclose(quick);
            line.Self.erase(cut);
        }
    line.HexPath = o.HexPath;
    line.Verify = o.VerifyAll ? VerifyMode::All : o.Verify ? VerifyMode::EveryFourth : VerifyMode::Off;
    line.GsmNumber = o.GsmNumber;
    line.KeepLineSettings = o.KeepLine;
    line.IgnoreChecksums = o.IgnoreChecksums;
    line.SkipGaps = o.SkipGaps;
    line.TimeoutMs = portOpt.TimeoutMs;  // line.Retries is set by --retries
    if (!stationMode) line.Paths = portOpt.Paths;
    const auto refuse = [&](int rc) {
        std::fprintf(stderr, "%s\n", o.Refusal.c_str());
        return rc;
    };
    if (!portOpt.Transcript.empty() || o.Simulate || o.Resume) {
        o.Refusal = "--transcript, --simulate and --resume take a single port";
        return refuse(kExitUsage);
    }
    if (!CheckLinePorts(portOpt.Ports, portOpt.Paths, o.Refusal)) return refuse(kExitUsage);
    RunOutputs outputs;
    if (!OpenOutputs(outputs, line, o.Refusal)) return kExitCannotCreate;
    LinePlan plan;
    plan.HexPath = o.HexPath;
    plan.ProfilePath = o.ProfilePath;
    plan.Sha256 = o.ProfileSha256;
    plan.Ports = portOpt.Ports;
    plan.Station = stationMode;
    plan.IgnoreChecksums = o.IgnoreChecksums;
    if (!ledgerOpt.SerialAtText.empty()) plan.SerialAt = ledgerOpt.SerialAt;
    plan.Serials = ledgerOpt.Layout;
    LineFirmware firmware;
    std::string text;
    std::vector<std::string> notes;
    const int rc = firmware.Prepare(plan, text, o.Refusal, notes);
    for (const std::string& note : notes) std::fprintf(stderr, "%s\n", note.c_str());
    if (rc) {
        refuse(rc);
        if (!firmware.Hint().empty()) std::fprintf(stderr, "%s\n", firmware.Hint().c_str());
        // refused before any device was touched: every port asked for still ends with its line
        if (rc == kExitBadHex || rc == kExitNoInput)
            for (const std::string& p : stationMode ? std::vector<std::string>{} : portOpt.Ports) {
                const RunReport rep = RefusedRun(o, p, &text, rc, o.Refusal);
                outputs.Report(rep);
                if (o.Json) o.Events.End(rep);
            }
        return rc;
    }
    line.SerialAt = plan.SerialAt;
    line.Serials = plan.Serials;
    line.RunLedger = ledger;
    if (o.Json) line.Events = &o.Events;
    line.Operator = ledgerOpt.Operator;
    line.WorkOrder = ledgerOpt.WorkOrder;
    line.Station = HostName();
    if (ledger) {
        KeptAsideHooks hooks = KeepAsideFor(ledgerOpt.Where, *ledger);
        line.KeepRun = std::move(hooks.Keep);
        line.ForgetRun = std::move(hooks.Forget);
        line.RecordKept = std::move(hooks.RecordKept);
    }
    return stationMode ? RunStation(line, firmware.Get(), outputs)
                       : RunMultiPortUpload(line, firmware.Get(), portOpt.Ports, outputs);
}

// One port: the upload in this process, its log on standard output.
int RunOne(FlashOptions& o, Ledger* books) {
    const std::string& hexPath = o.HexPath;
    const PortOptions& portOpt = o.Port;
    const bool verify = o.Verify, verifyAll = o.VerifyAll, ignoreChecksums = o.IgnoreChecksums;
    const bool skipGaps = o.SkipGaps, keepLine = o.KeepLine, simulate = o.Simulate,
               resume = o.Resume;
    const bool json = o.Json;
    const int statusFd = o.StatusFd;
    const std::string& gsmNumber = o.GsmNumber;
    const std::string& deviceArg = o.Device;
    ProductionOptions& line = o.Line;
    LedgerOptions& ledgerOpt = o.Ledger;
    PortChoice port;
    std::FILE* transcript = nullptr;
    if (const int rc = OpenOnePort(portOpt, deviceArg, statusFd, port, transcript, &o.Refusal))
        return rc;
    const std::string portArg = portOpt.Ports.front();
    HexLoadResult r;
    std::string text;
    if (const int rc = LoadImage(
            hexPath, r,
            {.IgnoreChecksums = ignoreChecksums, .ForUpload = true, .SayBootArea = statusFd < 0},
            &text, &o.Refusal))
        return rc;
    if (const int rc = CheckProfileBytes(o, text)) return rc;
    // One port keeps its log on standard output, and takes a report and a log file as well.
    RunOutputs outputs;
    if (!OpenOutputs(outputs, line, o.Refusal)) return kExitCannotCreate;
    int32_t imageStart = r.ImageStart, imageEnd = r.ImageEnd;
    const bool valid = r.Valid;
    UploadRequest req = Request(port, gsmNumber, portOpt.TimeoutMs);
    req.Belvotra = keepLine;
    req.Simulate = simulate;
    req.VerifyEvery = verifyAll ? 1 : VERIFY_EVERY;
    req.SkipGaps = skipGaps;
    req.Retries = line.Retries;
    // A resume point is kept per target for a run of its own (never for a production line's
    // child), and taken only with --resume and when it fits this run, its serial included.
    const std::string resumeFolder = DefaultResumeFolder();
    const std::string canonical = CanonicalPath(port.Device);
    const std::string resumeTarget =
        ResumeTarget(canonical.empty() ? port.Device : canonical, gsmNumber);
    const std::string imageSha = Sha256Hex(text);
    const int verifyEvery = verifyAll ? 1 : verify ? VERIFY_EVERY : 0;
    const bool placesSerial = !ledgerOpt.SerialAtText.empty();
    std::optional<ResumePoint> resumed;
    if (resume) {
        const auto point = LoadResumePoint(resumeFolder, resumeTarget);
        std::string why = point ? ResumeMismatch(*point, imageSha, verifyEvery, skipGaps)
                                : "no interrupted run to " + resumeTarget + " is known";
        if (why.empty())
            why = ResumeSerialMismatch(*point, placesSerial, ledgerOpt.SerialAt, ledgerOpt.Format);
        // nothing below a point in the file's first page could be read back to prove the unit
        if (why.empty() && point->Page <= static_cast<uint32_t>(std::max(r.ImageStart, 0)))
            why = "the interrupted run stopped in the file's first page: there is nothing to go on from";
        if (why.empty()) {
            resumed = point;
            req.ResumePage = point->Page;
            std::fprintf(stderr, "--resume: going on from the page at 0x%s\n",
                         HexDigits(point->Page, 8).c_str());
        } else {
            std::fprintf(stderr, "--resume: %s; uploading from the start\n", why.c_str());
        }
    }
    const auto startWall = std::chrono::system_clock::now();
    // the report's fields known before the run, as the port is named in the log
    RunReport before = ReportBefore(port.Label.empty() ? port.Text : port.Label, deviceArg,
                                    portOpt.Paths, hexPath, nullptr, VerificationOf(o), startWall);
    before.HexSha256 = imageSha;
    before.Simulated = simulate;
    before.Operator = ledgerOpt.Operator;
    before.WorkOrder = ledgerOpt.WorkOrder;
    if (!line.Labels.empty()) before.Label = line.Labels.front();
    // the run's own key: its row, kept aside from the first erase on, and recorded at its end
    const std::string runKey = NewRunKey();
    bool provisional = false;
    // The unit's serial: a production line's child was given it; a resume keeps the one the
    // interrupted run placed (the device may hold it already: it is never returned); a run of its
    // own reserves it, after checking where it goes, before anything is sent, and spends it just
    // before its first erase. A serial that cannot be reserved or spent leaves the device
    // untouched and the run not done.
    std::optional<uint32_t> serial;
    bool serialHeld = false;
    std::string noSerial;
    bool ledgerRefused = false;  // the run ended untouched because of the ledger
    if (ledgerOpt.Serial >= 0) serial = static_cast<uint32_t>(ledgerOpt.Serial);
    if (placesSerial) {
        std::string why;
        if (!PlaceSerial(r, ledgerOpt, 0, why)) {
            o.Refusal = why;
            std::fprintf(stderr, "%s\n", why.c_str());
            return kExitUsage;
        }
        if (!serial && resumed) {
            serial = resumed->Serial;
            serialHeld = true;
        }
        uint32_t reserved = 0;
        if (!serial && books->Reserve(reserved, why)) serial = reserved;
        if (!serial) noSerial = NoSerialReason(why);
        if (serial) PlaceSerial(r, ledgerOpt, *serial, why);
    }
    // a production line's parent keeps its children's
    const bool ownLedger = books && statusFd < 0;
    if (serial) {  // the block that holds it is always read back
        req.ReadBackFrom = ledgerOpt.SerialAt;
        req.ReadBackTo = ledgerOpt.SerialAt + static_cast<uint32_t>(SerialBytes(ledgerOpt.Layout));
        if (ownLedger)
            req.BeforeTouch = [&](bool resuming, std::string& why) {
                // A resume the unit did not bear out starts over, perhaps on another unit, while
                // the interrupted run's serial may be in the first unit's flash: this one gets a
                // serial of its own.
                if (serialHeld && !resuming) {
                    serial.reset();  // not this unit's, whatever happens next
                    serialHeld = false;
                    uint32_t fresh = 0;
                    if (!books->Reserve(fresh, why)) {
                        why = NoSerialReason(why);
                        ledgerRefused = true;
                        return false;
                    }
                    serial = fresh;
                    PlaceSerial(r, ledgerOpt, fresh, why);
                }
                if (books->Spend(*serial, why)) {
                    // Kept aside until the run's own row is recorded: a run cut short from here on
                    // (a second Ctrl-C, a kill, a power cut) still leaves its serial's row.
                    RunReport cut = before;
                    cut.Serial = serial;
                    cut.Outcome = OutcomeWord(UploadOutcome::Failed);
                    cut.Reason = "the run ended before it could say how it went (stopped or cut short)";
                    cut.End = "";  // never ended: the run's own row replaces this one
                    LedgerRun row = LedgerRunOf(cut, HostName());
                    row.Key = runKey;
                    std::string ignored;
                    provisional = KeepRunAside(ledgerOpt.Where, *books, row, ignored);
                    return true;
                }
                why = "serial " + std::to_string(*serial) + " could not be spent: " + why;
                ledgerRefused = true;
                return false;
            };
    }
    ProcessSettings().ApplyLineSettings = keepLine ? 0 : 1;
    std::FILE* status = statusFd >= 0 ? OpenStatusChannel(statusFd) : nullptr;
    cli::TerminalView view(verify || verifyAll, g_active, status);
    std::string logText;
    view.SetCapture(line.LogDir.empty() ? nullptr : &logText);
    JsonEvents& events = o.Events;
    const bool jsonEvents = json && statusFd < 0;
    if (jsonEvents) {
        // every event names the port as the end event and the report do
        view.SetEvents(&events, before.Port);
        const EventOptions options{VerificationOf(o), skipGaps, line.Retries,
                                   gsmNumber,         resume,   simulate};
        events.Start(before.Port, before.Device,
                     CanonicalPath(hexPath).empty() ? hexPath : CanonicalPath(hexPath), imageSha,
                     options);
        // a second press ends the process wherever the run is: it still writes the run's end
        const int64_t startMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(startWall.time_since_epoch())
                .count();
        events.KeepCutShortEnd(before, [startMs](const RunReport* soFar) {
            if (!soFar) return SetSecondPressEndEvent("", "", -1);
            const CutShortLine line = CutShortEnd(*soFar);
            SetSecondPressEndEvent(line.Head, line.Tail, startMs);
        });
    }
    SerialSetIdleHook(
        [&view](int32_t waitedMs, int32_t leftMs) { view.LineWaits(waitedMs, leftMs); });
    const UploadImage image{MemoryImage(), &imageStart, &imageEnd, &valid, r.Given.data()};
    const auto start = std::chrono::steady_clock::now();
    UploadResult result;
    if (!noSerial.empty())
        result.Reason = noSerial;  // not done: nothing was opened or sent
    else
        result =
            o.GsmGiven ? UploadGsm(req, image, view) : UploadDirect(req, image, view);
    // the device may hold the serial: it is the unit's, and never goes back
    const bool holdsSerial = serial && (serialHeld || view.Touched());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    SerialSetIdleHook({});
    if (result.Outcome == UploadOutcome::NotDone) ExplainOpenFailure(port);
    if (statusFd < 0 && !simulate &&
        RecordResumePoint(
            resumeFolder,
            {resumeTarget, imageSha, 0, verifyEvery, skipGaps, holdsSerial ? serial : std::nullopt,
             ledgerOpt.SerialAt, ledgerOpt.Format},
            result))
        std::fprintf(stderr, "a resume point was kept: --resume goes on from the page at 0x%s\n",
                     HexDigits(static_cast<uint32_t>(result.ResumePage), 8).c_str());
    if (statusFd < 0 && (ledgerRefused || !noSerial.empty()))
        std::fprintf(stderr,
                     "upload did not complete: %s; the device was not touched: check the ledger\n",
                     result.Reason.c_str());
    else if (statusFd < 0)
        SayFailure("upload", result);
    if (simulate)
        std::fprintf(stderr,
                     "--simulate: nothing was sent and the port was never opened: this was a "
                     "simulation\n");
    if (transcript) std::fclose(transcript);
    const UploadCounters& c = result.Counters;
    if (status) {
        const ChildResult told{result.Outcome,
                               c.BlocksWritten,
                               c.BytesSent,
                               c.ExchangeCount,
                               result.CommunicationErrors,
                               result.LastSerialError,
                               result.Reason,
                               static_cast<uint32_t>(result.Retries)};
        std::fprintf(status, "%s\n", ResultLine(told).c_str());
        std::fclose(status);
    }
    const int exitStatus = result.Outcome == UploadOutcome::Completed ? 0
                           : result.Outcome == UploadOutcome::Failed  ? 1
                                                                      : 2;
    outputs.Log(portArg, startWall, OutcomeWord(result.Outcome), logText, "");
    bool ledgerLost = false;  // a row or a serial's state the ledger did not keep
    if (!line.ReportPath.empty() || ownLedger || jsonEvents) {
        RunReport rep = before;
        rep.End = IsoTime(std::chrono::system_clock::now());
        rep.Seconds = seconds;
        rep.Outcome = OutcomeWord(result.Outcome);
        rep.OutcomeText = UploadOutcomeText(result.Outcome);
        rep.ExitStatus = exitStatus;
        rep.Blocks = c.BlocksWritten;
        rep.BytesOnLine = c.BytesSent;
        rep.Exchanges = c.ExchangeCount;
        rep.CommunicationErrors = result.CommunicationErrors;
        rep.LastSerialError = result.LastSerialError;
        rep.Reason = result.Reason;
        rep.Retries = static_cast<uint32_t>(result.Retries);
        rep.Serial = holdsSerial ? serial : std::nullopt;  // one gone back is not this device's
        outputs.Report(rep);
        if (ownLedger) {
            std::string why;
            // the serial was spent before the first erase; one that never reached the device
            // goes back
            if (serial && !holdsSerial && !books->Return(*serial, why)) {
                std::fprintf(stderr, "%s\n", why.c_str());
                ledgerLost = true;
            }
            LedgerRun row = LedgerRunOf(rep, HostName());
            row.Key = runKey;
            if (books->Record(row, why)) {
                if (provisional) ForgetRunAside(ledgerOpt.Where, *books, runKey);
            } else {
                std::fprintf(stderr, "%s\n", why.c_str());
                ledgerLost = true;
                if (KeepRunAside(ledgerOpt.Where, *books, row, why))
                    std::fprintf(stderr, "ledger: the run was kept aside; it is recorded the next time the ledger is opened\n");
                else if (provisional)  // what was kept when its serial was spent stays
                    std::fprintf(stderr, "ledger: %s; the ledger will hold this run as cut short\n", why.c_str());
                else
                    std::fprintf(stderr, "ledger: the run is lost: %s\n", why.c_str());
            }
        }
        // the end event says the status the process ends with: a lost report line or ledger row too
        rep.ExitStatus = RunExitStatus({result.Outcome}, outputs.Failed() || ledgerLost);
        if (jsonEvents) events.End(rep);
    }
    return RunExitStatus({result.Outcome}, outputs.Failed() || ledgerLost);
}

class UploadCommand final : public Command {
  public:
    CLI::App* Declare(CLI::App& app) override {
        FlashOptions& o = o_;
        auto* upload = app.add_subcommand(
            "upload", "upload FILE.hex to the controller (erase, write, verify, reset)");
        upload_ = upload;
        upload->add_option("file", o.HexPath, "Intel HEX firmware file (none with --profile)");
        AddProfileOption(upload, o);
        AddPortOptions(upload, o.Port, true);
        upload->add_flag("--verify", o.Verify,
                         "read back every fourth block and compare it (Esegui Verifica)");
        upload->add_flag("--verify-all", o.VerifyAll, "read back every block and compare it");
        AddIgnoreChecksumsFlag(upload, o.IgnoreChecksums);
        upload->add_flag("--skip-gaps", o.SkipGaps,
                         "write only the 64-byte blocks that hold bytes of the file, the bytes it "
                         "does not give as 0xFF");
        AddProductionOptions(upload, o.Line);
        AddRetriesOption(upload, o.Line);
        AddLedgerOptions(upload, o.Ledger);
        upload->add_option("--serial", o.Ledger.Serial, "")
            ->group("");  // a production line's child: its unit's serial
        upload->add_flag("--json", o.Json,
                         "standard output carries only JSON Lines, one event each (start, "
                         "progress, retry, end); the "
                         "log goes to --log-dir when given");
        upload->add_flag("--resume", o.Resume,
                         "go on from the page where the last failed run to this port stopped, when "
                         "the file is the same");
        upload->add_option("--status-fd", o.StatusFd, "")
            ->group("");  // a production line's child reports here
        upload->add_option("--device", o.Device, "")
            ->group("");  // and opens the device its parent resolved
        upload->add_option("--stall-limit-ms", o.Line.StallLimitMs, "")->group("");
        o.Gsm = AddGsmOption(upload, o.GsmNumber);
        upload->add_flag("--simulate", o.Simulate,
                         "go through the whole sequence without opening the port (Simulazione)");
        upload->add_flag(
            "--keep-line-settings", o.KeepLine,
            "leave speed, parity, data and stop bits as the system has them (Belvotra)");
        SetFooter(upload,
                  "0 completed, 1 failed, 2 not done, 64 bad usage or a profile refused (its "
                  "line and cause said), 65 a HEX file refused or a profile's firmware missing or "
                  "changed, 66 a file that cannot be read, no such ledger or no such profile, 73 an output or the ledger that cannot be opened, 74 a "
                  "report line or ledger row lost, "
                  "130 a second interrupt",
                  "quarnelix-dfu-cli upload fw.hex --port COM3 --verify");
        return upload;
    }
    int Run(const std::string& self) override {
        const int rc = RunUpload(self);
        // a run refused before it started ends too, with the status and the cause
        if (o_.Json && o_.StatusFd < 0 && o_.Events.Ends() == 0) {
            std::vector<std::string> ended;
            FileText text;
            std::string read;
            if (text.Open(o_.HexPath)) read = text.Text();
            std::vector<std::string> ports = o_.Port.Ports;
            if (ports.empty()) ports.push_back("");  // refused before a port was known
            for (const std::string& p : ports) {
                if (std::find(ended.begin(), ended.end(), p) != ended.end()) continue;
                ended.push_back(p);
                o_.Events.End(RefusedRun(o_, p, &read, rc, o_.Refusal));
            }
        }
        return rc;
    }

  private:
    int RunUpload(const std::string& self) {
        if (const int rc = TakeOptions(upload_, o_, false)) return rc;
        if (o_.Simulate && !o_.Ledger.Where.empty()) {
            o_.Refusal =
                "--simulate sends nothing, so it has nothing to record: it cannot take --ledger";
            std::fprintf(stderr, "%s\n", o_.Refusal.c_str());
            return kExitUsage;
        }
        std::unique_ptr<Ledger> books;
        if (const int rc = OpenLedgerOf(o_, books)) return rc;
        return o_.Port.Ports.size() > 1 ? RunLine(o_, false, self, books.get())
                                        : RunOne(o_, books.get());
    }

    FlashOptions o_;
    CLI::App* upload_ = nullptr;
};

class StationCommand final : public Command {
  public:
    CLI::App* Declare(CLI::App& app) override {
        FlashOptions& o = o_;
        auto* station = app.add_subcommand(
            "station",
            "flash every serial adapter plugged in from now on, once per plugging, until Ctrl-C");
        station_ = station;
        station->add_option("file", o.HexPath, "Intel HEX firmware file (none with --profile)");
        AddProfileOption(station, o);
        station->add_flag("--verify", o.Verify, "read back every fourth block and compare it");
        station->add_flag("--verify-all", o.VerifyAll, "read back every block and compare it");
        AddIgnoreChecksumsFlag(station, o.IgnoreChecksums);
        station->add_flag("--skip-gaps", o.SkipGaps,
                          "write only the blocks that hold bytes of the file");
        AddRetriesOption(station, o.Line);
        AddLedgerOptions(station, o.Ledger);
        station->add_flag("--json", o.Json,
                          "standard output carries only JSON Lines, one event each");
        station->add_option("--match", o.Line.Match,
                            "only ports whose COM name, device or by-id name (the registry's "
                            "device name on Windows) "
                            "contains TEXT");
        station->add_flag("--keep-line-settings", o.KeepLine,
                          "leave the line settings as the system has them");
        AddProductionOptions(station, o.Line);
        AddTimeoutOption(station, o.Port);
        station->add_option("--stall-limit-ms", o.Line.StallLimitMs, "")->group("");
        station->add_option("--ports-dir", o.Line.Paths.PortsDir, "")
            ->group("");  // the port seams, for tests
        station->add_option("--dev-root", o.Line.Paths.DevRoot, "")->group("");
        station->add_option("--sysfs-root", o.Line.Paths.SysfsRoot, "")->group("");
        SetFooter(
            station,
            "0 every device completed, 1 any failed, 2 any not done, 64 bad usage or a profile "
            "refused, 65 a HEX file refused or a profile's firmware missing or changed, 66 no "
            "such ledger or profile, 73 an "
            "output or the ledger that cannot be opened, 74 a report line or ledger row lost",
            "quarnelix-dfu-cli station fw.hex --verify-all --match FTDI --report flash.jsonl");
        return station;
    }
    int Run(const std::string& self) override {
        if (const int rc = TakeOptions(station_, o_, true)) return rc;
        std::unique_ptr<Ledger> books;
        if (const int rc = OpenLedgerOf(o_, books)) return rc;
        return RunLine(o_, true, self, books.get());
    }

  private:
    FlashOptions o_;
    CLI::App* station_ = nullptr;
};

}  // namespace

std::unique_ptr<Command> MakeUploadCommand() {
    return std::make_unique<UploadCommand>();
}
std::unique_ptr<Command> MakeStationCommand() {
    return std::make_unique<StationCommand>();
}

}  // namespace qdfu::cli
