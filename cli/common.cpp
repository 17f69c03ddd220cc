// What the commands of the command line share (see common.h).
#include "common.h"

#include <cerrno>
#include <cstring>

#include "cli_platform.h"
#include "run_books.h"
#include "ports.h"
#include "production_platform.h"
#include "serial.h"
#include "settings.h"
#include "tcp_address.h"
#include "text_lines.h"
#include "transcript_backend.h"

namespace qdfu::cli {

std::atomic<bool> g_active{true};

namespace {

// Opens the transcript and installs it under the driver. Returns false when it cannot be created.
bool StartTranscript(const PortOptions& o, std::FILE*& file, std::string* refusal) {
    if (o.Transcript.empty()) return true;
    file = std::fopen(o.Transcript.c_str(), "w");
    if (!file) {
        const std::string why =
            "--transcript: cannot create " + o.Transcript + ": " + std::strerror(errno);
        std::fprintf(stderr, "%s\n", why.c_str());
        if (refusal) *refusal = why;
        return false;
    }
    SerialSetBackendFactory([file](const std::string& device) {
        return MakeTranscriptBackend(MakeBackendFor(device), file);
    });
    return true;
}

}  // namespace

void SetFooter(CLI::App* command, const char* statuses, const char* example) {
    command->footer(std::string("\nExit status: ") + statuses + ".\nExample: " + example);
}

void ExplainOpenFailure(const PortChoice& port) {
    const std::string& reason = SerialLastSystemError();
    if (reason.empty()) return;
    if (port.Label.empty())
        std::fprintf(stderr, "cannot open %s (%s): %s\n", port.Text.c_str(), port.Device.c_str(),
                     reason.c_str());
    else
        std::fprintf(stderr, "cannot open %s: %s\n", port.Label.c_str(), reason.c_str());
    if (reason == std::strerror(EACCES))
        std::fprintf(stderr,
                     "add yourself to the 'dialout' group (sudo usermod -aG dialout $USER) and log "
                     "in again\n");
    else if (reason == std::strerror(EBUSY) || reason == std::strerror(EWOULDBLOCK))
        std::fprintf(stderr, "another program holds the port; close it and try again\n");
    else if (reason == std::strerror(ENOENT))
        std::fprintf(stderr, "no such device; 'quarnelix-dfu-cli ports' lists the present ports\n");
}

int LoadImage(const std::string& path, HexLoadResult& result, const LoadRules& rules,
              std::string* text, std::string* refusal) {
    auto refuse = [&](int status, const std::string& why, const char* hint = "") {
        std::fprintf(stderr, "%s%s\n", why.c_str(), hint);
        if (refusal) *refusal = why;
        return status;
    };
    FileText file;
    if (!file.Open(path)) {
        if (errno == EFBIG)
            return refuse(kExitBadHex, path + ": Invalid HEX File (larger than " +
                                           std::to_string(kMaxTextFileBytes >> 20) + " MiB)");
        return refuse(kExitNoInput, "cannot read " + path + ": " + std::strerror(errno));
    }
    if (text) text->assign(file.Text());
    result = LoadHexText(file.Text(), MemoryImage(), rules.WithListings);
    if (!result.Valid) return refuse(kExitBadHex, path + ": Invalid HEX File: " + result.FaultText);
    if (Damaged(result)) {
        if (!rules.IgnoreChecksums)
            return refuse(
                kExitBadHex, path + ": " + DamageText(result),
                "\n(a file edited by hand, or known to be whole, loads with --ignore-checksums)");
        std::fprintf(stderr, "%s: warning: %s; loaded all the same (--ignore-checksums)\n",
                     path.c_str(), DamageText(result).c_str());
    }
    if (rules.ForUpload) {
        if (const std::string why = UploadRefusal(result); !why.empty())
            return refuse(kExitBadHex, path + ": " + why);
    }
    if (rules.SayBootArea) {
        if (const std::string note = BootAreaNote(result); !note.empty())
            std::fprintf(stderr, "%s: %s\n", path.c_str(), note.c_str());
    }
    return 0;
}

UploadRequest Request(const PortChoice& port, const std::string& dialNumber, int32_t timeoutMs) {
    UploadRequest req;
    req.PortText = port.Text;
    req.PortLabel = port.Label;
    req.DialNumber = dialNumber;
    req.TimeoutMs = timeoutMs;
    return req;
}

void SayFailure(const char* command, const UploadResult& result) {
    if (result.Outcome == UploadOutcome::Completed) return;
    const std::string why = result.Reason.empty() ? "not done" : result.Reason;
    std::fprintf(stderr, "%s did not complete: %s; %s\n", command, why.c_str(),
                 FailureAdvice(result).c_str());
}

void AddTimeoutOption(CLI::App* cmd, PortOptions& o) {
    cmd->add_option("--timeout", o.TimeoutMs, "per-byte read time-out in ms")
        ->check(CLI::Range(1, 600000))
        ->capture_default_str();
}

void AddPortOptions(CLI::App* cmd, PortOptions& o, bool several) {
    CLI::Option* port =
        cmd->add_option("--port", o.Ports,
                        several ? "COMn or a device path; given several times, one upload per "
                                  "port at the same time (none with --profile)"
                                : "COMn or a device path")
            ->expected(1)
            ->take_all();
    if (!several) port->required();  // upload checks it itself: a profile gives its ports
    cmd->add_option("--transcript", o.Transcript, "write every byte sent and received to FILE");
    AddTimeoutOption(cmd, o);
    cmd->add_option("--ports-dir", o.Paths.PortsDir, "")->group("");  // the port seams, for tests
    cmd->add_option("--dev-root", o.Paths.DevRoot, "")->group("");
    cmd->add_option("--sysfs-root", o.Paths.SysfsRoot, "")->group("");
}

CLI::Option* AddGsmOption(CLI::App* cmd, std::string& number) {
    return cmd->add_option("--gsm", number,
                           "reach the controller through the GSM modem on PORT, dialling NUMBER");
}

void AddIgnoreChecksumsFlag(CLI::App* cmd, bool& ignore) {
    cmd->add_flag("--ignore-checksums", ignore,
                  "load a damaged file: record checksums that do not match (edited by hand) or no "
                  "end-of-file "
                  "record (cut short)");
}

int OpenOnePort(const PortOptions& o, const std::string& device, int statusFd, PortChoice& port,
                std::FILE*& transcript, std::string* refusal) {
    // Every command that talks to a port takes its abort handlers before it opens anything; a
    // production line's child also learns so of its parent's death.
    InstallAbortHandlers(g_active, statusFd >= 0);
    if (statusFd >= 0) proc::TieToParent(statusFd);
    const std::string given = o.Ports.empty() ? std::string() : o.Ports.front();
    std::string why = "--port: this command takes one port";
    if (o.Ports.size() != 1 || !ChoosePort(given, port, device, o.Paths, &why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        if (refusal) *refusal = why;
        return kExitUsage;
    }
    transcript = nullptr;
    return StartTranscript(o, transcript, refusal) ? 0 : kExitCannotCreate;
}

void AddLedgerOptions(CLI::App* cmd, LedgerOptions& o) {
    cmd->add_option("--ledger", o.Where,
                    "record every run in LEDGER: an SQLite file (created when missing) or "
                    "postgresql://... shared by "
                    "every station");
    cmd->add_option("--serial-at", o.SerialAtText,
                    "give every unit the next serial number of the ledger, placed at ADDR "
                    "(hexadecimal) in its image");
    cmd->add_option("--serial-format", o.Format,
                    "le32 (4 bytes, least significant first) or prog32 (two program "
                    "words: low 16 bits at ADDR, high 16 bits at ADDR+4); default le32")
        ->check(CLI::IsMember({"le32", "prog32"}));
    cmd->add_option("--serial-first", o.SerialFirst,
                    "the first serial of a new ledger (decimal); on a ledger that has given "
                    "serials it may only "
                    "move the sequence forward")
        ->check(CLI::Range(int64_t{0}, int64_t{0xFFFFFFFF}));
    cmd->add_option("--operator", o.Operator,
                    "the operator's name, kept with every run in the ledger and the report");
    cmd->add_option("--work-order", o.WorkOrder,
                    "the work order the units are flashed for, kept with every run in the ledger and the report");
}

bool PlaceSerial(HexLoadResult& r, const LedgerOptions& o, uint32_t serial, std::string& why) {
    return qdfu::PlaceSerial(r, o.SerialAt, o.Layout, serial, why);
}

int CheckLedgerOptions(LedgerOptions& o) {
    if (!o.SerialAtText.empty()) {
        if (!ParseTypedHex(o.SerialAtText, o.SerialAt)) {
            std::fprintf(stderr, "--serial-at: '%s' is not a hexadecimal address\n",
                         o.SerialAtText.c_str());
            return kExitUsage;
        }
        o.Layout = o.Format == "prog32" ? SerialFormat::Prog32 : SerialFormat::Le32;
        if (o.Layout == SerialFormat::Prog32 && o.SerialAt % 4 != 0) {
            std::fprintf(stderr,
                         "--serial-at: %s is no program word (prog32 needs a multiple of 4)\n",
                         HexDigits(o.SerialAt, 8).c_str());
            return kExitUsage;
        }
        if (o.Where.empty() && o.Serial < 0) {
            std::fprintf(stderr, "--serial-at needs --ledger: the serial numbers come from it\n");
            return kExitUsage;
        }
    }
    if (o.SerialFirst >= 0 && o.Where.empty()) {
        std::fprintf(stderr, "--serial-first needs --ledger\n");
        return kExitUsage;
    }
    return 0;
}

#if QDFU_WITH_LEDGER
static void SayOnStandardError(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }
bool LedgerExists(const std::string& where) {
    return qdfu::LedgerExists(where);
}
std::string LedgerName(const std::string& where) {
    return qdfu::LedgerName(where);
}
std::unique_ptr<Ledger> OpenRunLedger(const std::string& where, std::string& why, LedgerAccess access) {
    return qdfu::OpenRunLedger(where, why, access, SayOnStandardError);
}
void RecordRunsKeptAside(const std::string& where, Ledger& ledger) {
    qdfu::RecordRunsKeptAside(where, ledger, SayOnStandardError);
}
int OpenLineLedger(const LineLedgerPlan& plan, std::unique_ptr<Ledger>& books, std::string& why) {
    return qdfu::OpenLineLedger(plan, books, why, SayOnStandardError);
}
KeptAsideHooks KeepAsideFor(const std::string& where, Ledger& ledger) {
    return qdfu::KeepAsideFor(where, ledger, SayOnStandardError);
}
#else
// never asked: this program hands every run that keeps a ledger to its companion
bool LedgerExists(const std::string&) {
    return true;
}
std::string LedgerName(const std::string& where) {
    return where;
}
std::unique_ptr<Ledger> OpenRunLedger(const std::string&, std::string& why, LedgerAccess) {
    why = "--ledger: this program was built without the database clients";
    return nullptr;
}
void RecordRunsKeptAside(const std::string&, Ledger&) {}
int OpenLineLedger(const LineLedgerPlan&, std::unique_ptr<Ledger>&, std::string& why) {
    why = "--ledger: this program was built without the database clients";
    return kExitCannotCreate;
}
KeptAsideHooks KeepAsideFor(const std::string&, Ledger&) { return {}; }
#endif

}  // namespace qdfu::cli

#if !QDFU_WITH_LEDGER
namespace qdfu {
// never asked either: a ledger is never opened in this program
bool KeepRunAside(const std::string&, const Ledger&, LedgerRun&, std::string& why) {
    why = "this program was built without the database clients";
    return false;
}
void ForgetRunAside(const std::string&, const Ledger&, const std::string&) {}
}  // namespace qdfu
#endif
