// quarnelix-dfu-cli: the command-line front end. It drives the same upload sequence and manual
// commands as the window, through a terminal view, and never touches the window's settings file.
//
// Exit status: 0 completed, 1 failed, 2 not done (upload); 0/1 for the single commands;
// 64 bad usage, 65 a HEX file the loader rejects, 66 a file that cannot be read, 73 a transcript,
// report or log folder that cannot be created (checked before any port is opened), 74 a report or
// log line lost after every device completed, 130 a second interrupt.
//
// Signals: the first SIGINT, SIGTERM or SIGHUP is the abort press (the run stops at its next check
// and still resets the CPU); a second one ends the process at once. SIGPIPE is ignored, so a log
// line that cannot be written is dropped and the run goes on to its end.
#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

#include "cli_platform.h"
#include "hex_loader.h"
#include "hex_writer.h"
#include "manual_commands.h"
#include "ports.h"
#include "production.h"
#include "production_platform.h"
#include "serial.h"
#include "sha256.h"
#include "settings.h"
#include "tcp_address.h"
#include "terminal_view.h"
#include "text_lines.h"
#include "transcript_backend.h"
#include "json_events.h"
#include "ledger.h"
#include "resume_point.h"
#include "upload.h"

namespace {

using namespace qdfu;

constexpr int kExitUsage = 64;
constexpr int kExitBadHex = 65;
constexpr int kExitNoInput = 66;

std::atomic<bool> g_active{true};

struct PortChoice {
    std::string Text;  // "COMn" as the upload reads it
    uint32_t Number = 0;
    std::string Device;
    std::string Label;  // what the log calls the port: "" for COMn, else the device path given
};

// PORT is "COMn" (any case), a device path or tcp://HOST:PORT. With device given (a production line's child), PORT
// only names the port in the log and device is opened as it is: nothing is resolved again.
bool ChoosePort(const std::string& given, PortChoice& out, const std::string& device = {}) {
    const PortPaths defaults = DefaultPortPaths();
    uint32_t n = 0;
    // usb:SERIAL names the present adapter with that USB serial number, whatever COM number it has
    std::string arg = given;
    if (device.empty() && arg.rfind("usb:", 0) == 0) {
        const std::string serial = arg.substr(4);
        arg.clear();
        if (const auto present = ListPresentPorts(defaults)) {
            for (const PresentPort& p : *present) {
                const auto usb = UsbIdentityOf(p.Device, defaults);
                if (usb && !serial.empty() && usb->Serial == serial) arg = p.Name;
            }
        }
        if (arg.empty()) {
            std::fprintf(stderr, "--port %s: no present USB adapter has that serial number ('quarnelix-dfu-cli ports' "
                                 "lists them)\n",
                         given.c_str());
            return false;
        }
    }
    if (device.empty() && IsTcpPort(arg)) {
        std::string host, tcpPort;
        if (!ParseTcpPort(arg, host, tcpPort)) return false;
        out = {"COM0", 0, arg, arg};
    } else if (!device.empty()) {
        if (ParseComName(arg, n))
            out = {"COM" + std::to_string(n), n, device, ""};
        else
            out = {"COM0", 0, device, arg};
    } else if (ParseComName(arg, n)) {
        out = {"COM" + std::to_string(n), n, PortDevicePath(n, defaults), ""};
    } else if (arg.find('/') != std::string::npos) {
        out = {"COM0", 0, arg, arg};
        const std::string resolved = CanonicalPath(arg);
        const std::string wanted = resolved.empty() ? arg : resolved;
        if (const auto present = ListPresentPorts(defaults)) {
            for (const PresentPort& p : *present) {
                const std::string dev = CanonicalPath(PortDevicePath(p.Number, defaults));
                if (!dev.empty() && wanted == dev) out = {p.Name, p.Number, arg, ""};
            }
        }
    } else {
        return false;
    }
    const PortChoice chosen = out;
    SerialSetPortResolver([chosen, defaults](uint32_t port) {
        return port == chosen.Number ? chosen.Device : PortDevicePath(port, defaults);
    });
    return true;
}

void ExplainOpenFailure(const PortChoice& port) {
    const std::string& reason = SerialLastSystemError();
    if (reason.empty()) return;
    if (port.Label.empty())
        std::fprintf(stderr, "cannot open %s (%s): %s\n", port.Text.c_str(), port.Device.c_str(), reason.c_str());
    else
        std::fprintf(stderr, "cannot open %s: %s\n", port.Label.c_str(), reason.c_str());
    if (reason == std::strerror(EACCES))
        std::fprintf(stderr, "add yourself to the 'dialout' group (sudo usermod -aG dialout $USER) and log in again\n");
    else if (reason == std::strerror(EBUSY) || reason == std::strerror(EWOULDBLOCK))
        std::fprintf(stderr, "another program holds the port; close it and try again\n");
    else if (reason == std::strerror(ENOENT))
        std::fprintf(stderr, "no such device; 'quarnelix-dfu-cli ports' lists the present ports\n");
}

// How a file is loaded for a command.
struct LoadRules {
    bool WithListings = false;
    bool IgnoreChecksums = false;  // a record whose checksum does not match is loaded all the same
    bool ForUpload = false;        // a file that cannot be uploaded (UploadRefusal) is refused
    bool SayBootArea = false;      // bytes below 0x2800, which are not uploaded, are said once
};

// Reads and loads a HEX file into the process image. Returns 0 or the exit status, with the reason
// said on standard error (and kept in refusal, when given). text, when given, receives the file's
// bytes as they were loaded.
int LoadImage(const std::string& path, HexLoadResult& result, const LoadRules& rules = {},
              std::string* text = nullptr, std::string* refusal = nullptr) {
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
            return refuse(kExitBadHex, path + ": " + DamageText(result),
                          "\n(a file edited by hand, or known to be whole, loads with --ignore-checksums)");
        std::fprintf(stderr, "%s: warning: %s; loaded all the same (--ignore-checksums)\n", path.c_str(),
                     DamageText(result).c_str());
    }
    if (rules.ForUpload) {
        if (const std::string why = UploadRefusal(result); !why.empty()) return refuse(kExitBadHex, path + ": " + why);
    }
    if (rules.SayBootArea) {
        if (const std::string note = BootAreaNote(result); !note.empty())
            std::fprintf(stderr, "%s: %s\n", path.c_str(), note.c_str());
    }
    return 0;
}

// The image from ImageStart to ImageEnd as raw bytes.
bool WriteImage(const std::string& path, const HexLoadResult& r) {
    const std::size_t span = r.ImageStart < 0 ? 0 : static_cast<std::size_t>(r.ImageEnd - r.ImageStart);
    return WriteWholeFile(path, MemoryImage(), span);
}

// The report and the log folder, before any device is touched; false (said on standard error) when
// either cannot be written.
bool OpenOutputs(RunOutputs& outputs, const ProductionOptions& line) {
    std::string why;
    if (outputs.Open(line.ReportPath, line.LogDir, why)) return true;
    std::fprintf(stderr, "%s\n", why.c_str());
    return false;
}

UploadRequest Request(const PortChoice& port, const std::string& dialNumber, int32_t timeoutMs) {
    UploadRequest req;
    req.PortText = port.Text;
    req.PortLabel = port.Label;
    req.DialNumber = dialNumber;
    req.TimeoutMs = timeoutMs;
    return req;
}

// The numbers of read, write and erase, checked and written into the panel's fields as the panel
// reads them. False, with the argument at fault named on standard error, for anything else.
bool ManualArguments(const char* command, const std::string& address, const std::string& length,
                     const std::vector<std::string>& bytes, bool bootArea, ManualPanelFields& fields) {
    uint32_t at = 0;
    if (!ParseTypedHex(address, at)) {
        std::fprintf(stderr, "%s: ADDR '%s' is not a hexadecimal address (with or without 0x, at most FFFFFFFF)\n",
                     command, address.c_str());
        return false;
    }
    const std::string where = HexDigits(at, 8);
    if (std::string(command) == "read") {
        uint32_t n = MANUAL_MAX_BYTES;
        if (!length.empty() && (!ParseTypedHex(length, n) || n < 1 || n > MANUAL_MAX_BYTES)) {
            std::fprintf(stderr, "read: LEN '%s' is not a length from 1 to 10 (hexadecimal)\n", length.c_str());
            return false;
        }
        fields.LeggiAddress = where;
        fields.LeggiLen = HexDigits(n, 2);
        return true;
    }
    if (at < BOOT_AREA_END && !bootArea) {
        std::fprintf(stderr,
                     "%s: ADDR %s lies in the bootloader's own area (below 2800); changing it can leave the "
                     "controller unable to start (--boot-area allows it)\n",
                     command, where.c_str());
        return false;
    }
    if (std::string(command) == "erase") {
        fields.EraseAddress = where;
        return true;
    }
    if (bytes.size() > static_cast<std::size_t>(MANUAL_MAX_BYTES)) {
        std::fprintf(stderr, "write: %zu bytes given, at most 16 go in one write\n", bytes.size());
        return false;
    }
    std::string data;
    for (const std::string& b : bytes) {
        uint32_t v = 0;
        if (!ParseTypedHex(b, v) || v > 0xFF) {
            std::fprintf(stderr, "write: BYTE '%s' is not a byte (00 to FF, hexadecimal)\n", b.c_str());
            return false;
        }
        data += (data.empty() ? "" : " ") + HexDigits(v, 2);
    }
    fields.ScriviAddress = where;
    fields.ScriviDati = data;
    return true;
}

// --from and --to of a backup: hexadecimal, --from below --to, within program memory.
bool BackupRange(const std::string& fromText, const std::string& toText, uint32_t& from, uint32_t& to) {
    const char* why = nullptr;
    if (!ParseTypedHex(fromText, from))
        why = "--from is not a hexadecimal address";
    else if (!ParseTypedHex(toText, to))
        why = "--to is not a hexadecimal address";
    else if (to > PROGRAM_MEMORY_END)
        why = "--to lies past the end of program memory (2B000)";
    else if (from >= to)
        why = "--from must lie below --to";
    if (!why) return true;
    std::fprintf(stderr, "backup: %s (given --from %s --to %s; program memory is 0 to 2B000)\n", why,
                 fromText.c_str(), toText.c_str());
    return false;
}

// The backup's output must be a file that can be written before the device is touched: 0, or
// the exit status with the cause said.
int CheckBackupOutput(const std::string& path) {
    if (IsDirectory(path)) {
        std::fprintf(stderr, "backup: %s is a folder; name the file to write\n", path.c_str());
        return kExitCannotCreate;
    }
    const std::string probe = CreateTempBeside(path);
    if (probe.empty()) {
        std::fprintf(stderr, "backup: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
        return kExitCannotCreate;
    }
    std::remove(probe.c_str());
    return 0;
}

// The ledger options of upload and station.
struct LedgerOptions {
    std::string Where;             // --ledger: an SQLite file or postgresql://...
    std::string SerialAtText;      // --serial-at, hexadecimal
    std::string Format = "le32";   // --serial-format
    int64_t SerialFirst = -1;      // --serial-first, decimal
    std::string Operator;          // --operator
    int64_t Serial = -1;           // a production line's child: the serial its parent reserved
    uint32_t SerialAt = 0;
    SerialFormat Layout = SerialFormat::Le32;
};

void AddLedgerOptions(CLI::App* cmd, LedgerOptions& o) {
    cmd->add_option("--ledger", o.Where,
                    "record every run in LEDGER: an SQLite file (created when missing) or postgresql://... shared by "
                    "every station");
    cmd->add_option("--serial-at", o.SerialAtText,
                    "give every unit the next serial number of the ledger, placed at ADDR (hexadecimal) in its image");
    cmd->add_option("--serial-format", o.Format, "le32 (4 bytes, least significant first) or prog32 (two program "
                                                 "words: low 16 bits at ADDR, high 16 bits at ADDR+4); default le32")
        ->check(CLI::IsMember({"le32", "prog32"}));
    cmd->add_option("--serial-first", o.SerialFirst,
                    "the first serial of a new ledger (decimal); on a ledger that has given serials it may only "
                    "move the sequence forward")
        ->check(CLI::Range(int64_t{0}, int64_t{0xFFFFFFFF}));
    cmd->add_option("--operator", o.Operator, "the operator's name, kept in the ledger with every run");
}

// Puts serial's bytes at o.SerialAt in the process image (in place of the file's placeholder) and
// marks them as given, so that even --skip-gaps writes them. False with why when they do not lie
// inside the image to upload.
bool PlaceSerial(HexLoadResult& r, const LedgerOptions& o, uint32_t serial, std::string& why) {
    const std::vector<uint8_t> bytes = SerialImage(serial, o.Layout);
    const int64_t end = std::min<int64_t>(r.ImageEnd, PROGRAM_MEMORY_END);
    if (r.ImageStart < 0 || o.SerialAt < static_cast<uint32_t>(r.ImageStart) ||
        int64_t{o.SerialAt} + static_cast<int64_t>(bytes.size()) > end) {
        why = "--serial-at " + HexDigits(o.SerialAt, 8) + ": the serial's " + std::to_string(bytes.size()) +
              " bytes must lie inside the image to upload (" + HexDigits(static_cast<uint32_t>(std::max(r.ImageStart, 0)), 8) +
              " to " + HexDigits(static_cast<uint32_t>(std::max<int64_t>(end, 0)), 8) + ")";
        return false;
    }
    const std::size_t at = o.SerialAt - static_cast<uint32_t>(r.ImageStart);
    std::copy(bytes.begin(), bytes.end(), MemoryImage() + at);
    std::fill(r.Given.begin() + static_cast<std::ptrdiff_t>(at), r.Given.begin() + static_cast<std::ptrdiff_t>(at + bytes.size()), 1);
    return true;
}

// The checks of the ledger options that need nothing opened; 0 or the usage status with the cause.
int CheckLedgerOptions(LedgerOptions& o) {
    if (!o.SerialAtText.empty()) {
        if (!ParseTypedHex(o.SerialAtText, o.SerialAt)) {
            std::fprintf(stderr, "--serial-at: '%s' is not a hexadecimal address\n", o.SerialAtText.c_str());
            return kExitUsage;
        }
        o.Layout = o.Format == "prog32" ? SerialFormat::Prog32 : SerialFormat::Le32;
        if (o.Layout == SerialFormat::Prog32 && o.SerialAt % 4 != 0) {
            std::fprintf(stderr, "--serial-at: %s is no program word (prog32 needs a multiple of 4)\n",
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

// The last line on standard error of a run that did not complete: why, and what to check.
void SayFailure(const char* command, const UploadResult& result) {
    if (result.Outcome == UploadOutcome::Completed) return;
    const std::string why = result.Reason.empty() ? "not done" : result.Reason;
    std::fprintf(stderr, "%s did not complete: %s; %s\n", command, why.c_str(), FailureAdvice(result).c_str());
}

std::string Hex8(int32_t v) { return v < 0 ? std::to_string(v) : "0x" + HexDigits(static_cast<uint32_t>(v), 8); }

struct PortOptions {
    std::vector<std::string> Ports;  // one, except for a production line's upload
    std::string Transcript;
    int32_t TimeoutMs = DEFAULT_TIMEOUT_MS;
};

void AddTimeoutOption(CLI::App* cmd, PortOptions& o) {
    cmd->add_option("--timeout", o.TimeoutMs, "per-byte read time-out in ms")
        ->check(CLI::Range(1, 600000))
        ->capture_default_str();
}

void AddPortOptions(CLI::App* cmd, PortOptions& o, bool several = false) {
    cmd->add_option("--port", o.Ports,
                    several ? "COMn or a device path; given several times, one upload per port at the same time"
                            : "COMn or a device path")
        ->required()
        ->expected(1)
        ->take_all();
    cmd->add_option("--transcript", o.Transcript, "write every byte sent and received to FILE");
    AddTimeoutOption(cmd, o);
}

void AddGsmOption(CLI::App* cmd, std::string& number) {
    cmd->add_option("--gsm", number, "reach the controller through the GSM modem on PORT, dialling NUMBER");
}

void AddIgnoreChecksumsFlag(CLI::App* cmd, bool& ignore) {
    cmd->add_flag("--ignore-checksums", ignore,
                  "load a damaged file: record checksums that do not match (edited by hand) or no end-of-file "
                  "record (cut short)");
}

void AddRetriesOption(CLI::App* cmd, ProductionOptions& o) {
    cmd->add_option("--retries", o.Retries,
                    "when the line goes away during the transfer, connect again and go on from the page where it "
                    "stopped, up to N times (default 0)")
        ->check(CLI::Range(0, 100));
}

void AddProductionOptions(CLI::App* cmd, ProductionOptions& o) {
    cmd->add_option("--log-dir", o.LogDir, "write each device's log lines to a file of its own in DIR");
    cmd->add_option("--report", o.ReportPath, "append one JSON line per device run to FILE");
}

// Opens the transcript and installs it under the driver. Returns false when it cannot be created.
bool StartTranscript(const PortOptions& o, std::FILE*& file) {
    if (o.Transcript.empty()) return true;
    file = std::fopen(o.Transcript.c_str(), "w");
    if (!file) {
        std::fprintf(stderr, "--transcript: cannot create %s: %s\n", o.Transcript.c_str(), std::strerror(errno));
        return false;
    }
    SerialSetBackendFactory(
        [file](const std::string& device) { return MakeTranscriptBackend(MakeBackendFor(device), file); });
    return true;
}

class TerminalPanelHooks final : public ManualPanelHooks {
public:
    void ProcessEvents(const ManualPanelFields&) override {}
    void SetExchangeButtonsEnabled(bool) override {}
    void ShowError(const std::string& text) override { error = text; }
    std::string error;
};

}  // namespace

// The word of words nearest to word (fewest letters to change, add or drop).
std::string NearestWord(const std::string& word, const std::vector<std::string>& words) {
    std::string best;
    std::size_t bestDistance = SIZE_MAX;
    for (const std::string& w : words) {
        std::vector<std::size_t> row(w.size() + 1);
        for (std::size_t j = 0; j <= w.size(); ++j) row[j] = j;
        for (std::size_t i = 1; i <= word.size(); ++i) {
            std::size_t diagonal = row[0];
            row[0] = i;
            for (std::size_t j = 1; j <= w.size(); ++j) {
                const std::size_t up = row[j];
                row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (word[i - 1] == w[j - 1] ? 0 : 1)});
                diagonal = up;
            }
        }
        if (row[w.size()] < bestDistance) bestDistance = row[w.size()], best = w;
    }
    return best;
}

// A run that keeps a ledger: --ledger given, or the ledger command.
bool WantsLedger(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "ledger") return true;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--ledger" || std::string(argv[i]).rfind("--ledger=", 0) == 0) return true;
    return false;
}

#if QDFU_WITH_LEDGER
std::unique_ptr<Ledger> OpenRunLedger(const std::string& where, std::string& why) { return OpenLedger(where, why); }
#else
std::unique_ptr<Ledger> OpenRunLedger(const std::string&, std::string& why) {
    why = "--ledger: this program was built without the database clients";
    return nullptr;
}
#endif

int main(int argc, char** argv) {
    UseBinaryStandardStreams();
#if !QDFU_WITH_LEDGER
    // This program starts quickly because it carries no database client (a production line starts
    // it for every board); a run that keeps a ledger is handed to its companion that has them.
    if (WantsLedger(argc, argv)) {
        const std::string companion = ThisProgram(argv[0]) + "-ledger";
        ExecProgram(companion, std::vector<std::string>(argv, argv + argc));
        std::fprintf(stderr, "--ledger: cannot start %s: %s\n", companion.c_str(), std::strerror(errno));
        return kExitCannotCreate;
    }
#endif
    CLI::App app{"quarnelix-dfu-cli: upgrade the firmware of a Quarnelix V3 controller through its serial bootloader"};
    app.set_version_flag("--version", std::string("quarnelix-dfu-cli ") + QDFU_VERSION);
    app.require_subcommand(1);
    app.allow_windows_style_options(false);  // a leading '/' is a path (/dev/..., Unix-style paths under Wine)

    std::string hexPath;
    PortOptions portOpt;
    bool verify = false, simulate = false, keepLine = false;
    bool verifyAll = false;
    bool ignoreChecksums = false;
    bool skipGaps = false;
    bool resume = false;
    bool json = false;
    int statusFd = -1;
    ProductionOptions line;
    std::string gsmNumber;
    auto* upload = app.add_subcommand("upload", "upload FILE.hex to the controller (erase, write, verify, reset)");
    upload->add_option("file", hexPath, "Intel HEX firmware file")->required();
    AddPortOptions(upload, portOpt, true);
    upload->add_flag("--verify", verify, "read back every fourth block and compare it (Esegui Verifica)");
    upload->add_flag("--verify-all", verifyAll, "read back every block and compare it");
    AddIgnoreChecksumsFlag(upload, ignoreChecksums);
    upload->add_flag("--skip-gaps", skipGaps,
                     "write only the 64-byte blocks that hold bytes of the file, the bytes it does not give as 0xFF");
    AddProductionOptions(upload, line);
    AddRetriesOption(upload, line);
    LedgerOptions ledgerOpt;
    AddLedgerOptions(upload, ledgerOpt);
    upload->add_option("--serial", ledgerOpt.Serial, "")->group("");  // a production line's child: its unit's serial
    upload->add_flag("--json", json,
                     "standard output carries only JSON Lines, one event each (start, progress, retry, end); the "
                     "log goes to --log-dir when given");
    upload->add_flag("--resume", resume,
                     "go on from the page where the last failed run to this port stopped, when the file is the same");
    std::string deviceArg;
    upload->add_option("--status-fd", statusFd, "")->group("");  // a production line's child reports here
    upload->add_option("--device", deviceArg, "")->group("");    // and opens the device its parent resolved
    upload->add_option("--stall-limit-ms", line.StallLimitMs, "")->group("");
    AddGsmOption(upload, gsmNumber);
    upload->add_flag("--simulate", simulate, "go through the whole sequence without opening the port (Simulazione)");
    upload->add_flag("--keep-line-settings", keepLine, "leave speed, parity, data and stop bits as the system has them (Belvotra)");

    auto* verifyCmd = app.add_subcommand(
        "verify", "compare the controller's memory with FILE.hex (reads only: no erase, no write), then reset the CPU");
    verifyCmd->add_option("file", hexPath, "Intel HEX firmware file")->required();
    verifyCmd->add_flag("--json", json, "standard output carries only JSON Lines (start, progress, end)");
    AddPortOptions(verifyCmd, portOpt);
    AddGsmOption(verifyCmd, gsmNumber);
    AddIgnoreChecksumsFlag(verifyCmd, ignoreChecksums);

    std::string backupPath, fromText = "2800", toText = "2B000";
    auto* backupCmd = app.add_subcommand(
        "backup", "read the controller's program memory into OUT.hex (reads only), then reset the CPU");
    backupCmd->add_option("out", backupPath, "Intel HEX file to write")->required();
    backupCmd->add_flag("--json", json, "standard output carries only JSON Lines (start, progress, end)");
    AddPortOptions(backupCmd, portOpt);
    backupCmd->add_option("--from", fromText, "first address, hexadecimal (default 2800)");
    backupCmd->add_option("--to", toText, "end address, exclusive, hexadecimal (default 2B000)");
    AddGsmOption(backupCmd, gsmNumber);

    auto* ports = app.add_subcommand(
        "ports", "list the present serial ports: COMn, a tab, the device (and for a USB adapter, a tab and its "
                 "vendor and product id, manufacturer, product and serial number)");
    PortPaths portsPaths = DefaultPortPaths();
    ports->add_flag("--json", json, "one JSON object per port (event \"port\") instead of the columns");
    ports->add_option("--ports-dir", portsPaths.PortsDir, "")->group("");  // the port seams, for tests
    ports->add_option("--dev-root", portsPaths.DevRoot, "")->group("");
    ports->add_option("--sysfs-root", portsPaths.SysfsRoot, "")->group("");

    auto* station = app.add_subcommand(
        "station", "flash every serial adapter plugged in from now on, once per plugging, until Ctrl-C");
    station->add_option("file", hexPath, "Intel HEX firmware file")->required();
    station->add_flag("--verify", verify, "read back every fourth block and compare it");
    station->add_flag("--verify-all", verifyAll, "read back every block and compare it");
    AddIgnoreChecksumsFlag(station, ignoreChecksums);
    station->add_flag("--skip-gaps", skipGaps, "write only the blocks that hold bytes of the file");
    AddRetriesOption(station, line);
    AddLedgerOptions(station, ledgerOpt);
    station->add_flag("--json", json, "standard output carries only JSON Lines, one event each");
    station->add_option("--match", line.Match,
                        "only ports whose COM name, device or by-id name (the registry's device name on Windows) contains TEXT");
    station->add_flag("--keep-line-settings", keepLine, "leave the line settings as the system has them");
    AddProductionOptions(station, line);
    AddTimeoutOption(station, portOpt);
    station->add_option("--stall-limit-ms", line.StallLimitMs, "")->group("");
    station->add_option("--ports-dir", line.Paths.PortsDir, "")->group("");  // the port seams, for tests
    station->add_option("--dev-root", line.Paths.DevRoot, "")->group("");
    station->add_option("--sysfs-root", line.Paths.SysfsRoot, "")->group("");

    bool listing = false, dump = false;
    std::string binPath;
    auto* hex = app.add_subcommand("hex", "load FILE.hex and print its image summary");
    hex->add_option("file", hexPath, "Intel HEX file")->required();
    hex->add_flag("--listing", listing, "print the interpreted listing");
    hex->add_flag("--dump", dump, "print the 64-byte dump of the image");
    hex->add_option("--bin", binPath, "write the image from ImageStart to ImageEnd as raw bytes to OUT");
    AddIgnoreChecksumsFlag(hex, ignoreChecksums);

    std::string address, length;
    std::vector<std::string> bytes;
    auto* read = app.add_subcommand("read", "read LEN (1..10 hex, default 10) bytes at ADDR (hex)");
    read->add_option("address", address, "hex address")->required();
    read->add_option("length", length, "hex length");
    AddPortOptions(read, portOpt);
    bool bootArea = false;
    auto* write = app.add_subcommand("write", "write up to 16 hex BYTEs (00..FF) at ADDR (hex)");
    write->add_option("address", address, "hex address")->required();
    write->add_option("bytes", bytes, "hex bytes");
    write->add_flag("--boot-area", bootArea, "allow an address below 2800, in the bootloader's own area");
    AddPortOptions(write, portOpt);
    auto* erase = app.add_subcommand("erase", "erase at ADDR (hex)");
    erase->add_option("address", address, "hex address")->required();
    erase->add_flag("--boot-area", bootArea, "allow an address below 2800, in the bootloader's own area");
    AddPortOptions(erase, portOpt);
    auto* ledgerCmd = app.add_subcommand("ledger", "what a ledger keeps: its runs, its next serial number");
    ledgerCmd->require_subcommand(1);
    std::string ledgerWhere, sinceText;
    int64_t serialFilter = -1;
    auto* ledgerShow = ledgerCmd->add_subcommand("show", "print the runs as JSON lines (the report's fields), oldest first");
    ledgerShow->add_option("--ledger", ledgerWhere, "an SQLite file or postgresql://...")->required();
    ledgerShow->add_option("--serial", serialFilter, "only the runs of this serial number");
    ledgerShow->add_option("--since", sinceText, "only the runs that started at TIME or later (2026-12-08T10:00:00Z)");
    auto* ledgerNext = ledgerCmd->add_subcommand("next", "print the serial number the next unit gets");
    ledgerNext->add_option("--ledger", ledgerWhere, "an SQLite file or postgresql://...")->required();

    auto* start = app.add_subcommand("start", "start the bootloader");
    AddPortOptions(start, portOpt);
    auto* reset = app.add_subcommand("reset", "reset the CPU");
    AddPortOptions(reset, portOpt);

    // Every command's help ends with its exit statuses and one example.
    const struct {
        CLI::App* command;
        const char* statuses;
        const char* example;
    } footers[] = {
        {upload, "0 completed, 1 failed, 2 not done, 64 bad usage, 65 a HEX file refused, 66 a file that cannot be "
                 "read, 73 an output or the ledger that cannot be opened, 74 a report line lost, 130 a second interrupt",
         "quarnelix-dfu-cli upload fw.hex --port COM3 --verify"},
        {verifyCmd, "0 equal, 1 they differ, 2 not done, 64 bad usage, 65 a HEX file refused",
         "quarnelix-dfu-cli verify fw.hex --port COM3"},
        {backupCmd, "0 written, 1 a read failed (nothing written), 2 not done, 64 bad usage, 73 the file cannot be "
                    "created",
         "quarnelix-dfu-cli backup saved.hex --port COM3 --from 2800 --to 2B000"},
        {ports, "0 listed, 1 no source of ports can be read", "quarnelix-dfu-cli ports --json"},
        {station, "0 every device completed, 1 any failed, 2 any not done, 73 an output or the ledger that cannot be "
                  "opened",
         "quarnelix-dfu-cli station fw.hex --verify-all --match FTDI --report flash.jsonl"},
        {hex, "0 loaded, 65 refused, 66 cannot be read", "quarnelix-dfu-cli hex fw.hex --dump"},
        {read, "0 answered, 1 refused or no answer, 64 bad usage", "quarnelix-dfu-cli read 300000 10 --port COM3"},
        {write, "0 answered, 1 refused or no answer, 64 bad usage", "quarnelix-dfu-cli write 300000 12 34 --port COM3"},
        {erase, "0 answered, 1 refused or no answer, 64 bad usage", "quarnelix-dfu-cli erase 300000 --port COM3"},
        {start, "0 answered, 1 refused or no answer", "quarnelix-dfu-cli start --port COM3"},
        {reset, "0 answered, 1 refused or no answer", "quarnelix-dfu-cli reset --port COM3"},
        {ledgerCmd, "0 done, 1 the ledger would not answer, 73 it cannot be opened",
         "quarnelix-dfu-cli ledger show --ledger ledger.sqlite --serial 100004"},
    };
    for (const auto& f : footers)
        f.command->footer(std::string("\nExit status: ") + f.statuses + ".\nExample: " + f.example);

    // A command that is not one, or an option before the command, is said plainly.
    if (argc > 1) {
        const std::string first = argv[1];
        std::vector<std::string> commands;
        for (const CLI::App* sub : app.get_subcommands({})) commands.push_back(sub->get_name());
        const bool isCommand = std::find(commands.begin(), commands.end(), first) != commands.end();
        if (!first.empty() && first[0] != '-' && !isCommand) {
            std::fprintf(stderr, "quarnelix-dfu-cli: '%s' is not a command; did you mean %s?\n", first.c_str(),
                         NearestWord(first, commands).c_str());
            return kExitUsage;
        }
        if (first.rfind("--", 0) == 0 && first != "--help" && first != "--version") {
            for (int i = 2; i < argc; ++i) {
                if (std::find(commands.begin(), commands.end(), std::string(argv[i])) == commands.end()) continue;
                std::fprintf(stderr, "quarnelix-dfu-cli: %s goes after the command: quarnelix-dfu-cli %s ... %s\n",
                             first.c_str(), argv[i], first.c_str());
                return kExitUsage;
            }
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }

    // What the single commands and the backup were given is checked before anything is opened.
    ManualPanelFields fields;
    if (read->parsed() || write->parsed() || erase->parsed()) {
        const char* command = read->parsed() ? "read" : write->parsed() ? "write" : "erase";
        if (!ManualArguments(command, address, length, bytes, bootArea, fields)) return kExitUsage;
    }
    uint32_t from = 0, to = 0;
    if (backupCmd->parsed()) {
        if (!BackupRange(fromText, toText, from, to)) return kExitUsage;
        if (const int rc = CheckBackupOutput(backupPath)) return rc;
    }

    if (ledgerCmd->parsed()) {
        std::string why;
        const auto books = OpenRunLedger(ledgerWhere, why);
        if (!books) {
            std::fprintf(stderr, "%s\n", why.c_str());
            return kExitCannotCreate;
        }
        if (ledgerNext->parsed()) {
            uint32_t next = 0;
            if (!books->Next(next, why)) return std::fprintf(stderr, "%s\n", why.c_str()), 1;
            std::printf("%u\n", next);
            return 0;
        }
        std::vector<LedgerRun> runs;
        const auto only = serialFilter >= 0 ? std::optional<uint32_t>(static_cast<uint32_t>(serialFilter)) : std::nullopt;
        if (!books->Runs(only, sinceText, runs, why)) return std::fprintf(stderr, "%s\n", why.c_str()), 1;
        for (const LedgerRun& run : runs) std::printf("%s\n", LedgerRunLine(run).c_str());
        return 0;
    }
    if (const int rc = CheckLedgerOptions(ledgerOpt)) return rc;
    // The ledger is reached before any device is touched (73 when it cannot be).
    std::unique_ptr<Ledger> books;
    if (!ledgerOpt.Where.empty() && (upload->parsed() || station->parsed())) {
        std::string why;
        books = OpenRunLedger(ledgerOpt.Where, why);
        if (!books) {
            std::fprintf(stderr, "%s\n", why.c_str());
            return kExitCannotCreate;
        }
        if (ledgerOpt.SerialFirst >= 0 && !books->StartSerialsAt(static_cast<uint32_t>(ledgerOpt.SerialFirst), why)) {
            std::fprintf(stderr, "%s\n", why.c_str());
            return kExitUsage;
        }
    }

    if (ports->parsed()) {
        std::string unkept;
        const auto present = ListPresentPorts(portsPaths, &unkept);
        if (!unkept.empty()) std::fprintf(stderr, "%s\n", unkept.c_str());
        if (!present) {
            std::fprintf(stderr, "no source of serial ports can be read (sysfs and the ports directory)\n");
            return 1;
        }
        JsonEvents events(stdout);
        for (const PresentPort& p : *present) {
            const auto usb = UsbIdentityOf(p.Device, portsPaths);
            if (json) {
                events.Port(p, usb);
                continue;
            }
            std::printf("%s\t%s%s\n", p.Name.c_str(), p.Device.c_str(), usb ? ("\t" + UsbIdentityText(*usb)).c_str() : "");
        }
        return 0;
    }

    if (hex->parsed()) {
        HexLoadResult r;
        if (const int rc = LoadImage(hexPath, r, {.WithListings = listing || dump, .IgnoreChecksums = ignoreChecksums}))
            return rc;
        if (NothingToUpload(r)) {
            std::printf("valid: yes\nImageStart: none\nImageEnd: none\nblocks: 0\n");
            std::printf("nothing to upload: no byte from 0x2800 up\n");
            r.Dump.clear();
        } else {
            std::printf("valid: yes\nImageStart: %s\nImageEnd: %s\nblocks: %d\n", Hex8(r.ImageStart).c_str(),
                        Hex8(r.ImageEnd).c_str(), BlockCount(r.ImageStart, r.ImageEnd));
            if (const std::string why = UploadRefusal(r); !why.empty()) std::printf("cannot be uploaded: %s\n", why.c_str());
        }
        if (const std::string note = BootAreaNote(r); !note.empty()) std::printf("%s\n", note.c_str());
        auto print = [](const LineList& lines) {
            for (std::size_t i = 0; i < lines.size(); ++i) {
                std::fwrite(lines[i].data(), 1, lines[i].size(), stdout);
                std::fputc('\n', stdout);
            }
        };
        if (listing) print(r.Listing);
        if (dump) print(r.Dump);
        if (!binPath.empty() && !WriteImage(binPath, r)) {
            std::fprintf(stderr, "cannot write %s: %s\n", binPath.c_str(), std::strerror(errno));
            return 1;
        }
        return 0;
    }

    if (station->parsed() || (upload->parsed() && portOpt.Ports.size() > 1)) {
        line.Self = ThisProgram(argv[0]);
        // the children keep no ledger: the quick program without the database clients serves them
        if (const std::size_t cut = line.Self.rfind("-ledger"); cut != std::string::npos && cut + 7 == line.Self.size())
            if (std::FILE* quick = std::fopen(line.Self.substr(0, cut).c_str(), "rb")) {
                std::fclose(quick);
                line.Self.erase(cut);
            }
        line.HexPath = hexPath;
        line.Verify = verifyAll ? VerifyMode::All : verify ? VerifyMode::EveryFourth : VerifyMode::Off;
        line.GsmNumber = gsmNumber;
        line.KeepLineSettings = keepLine;
        line.IgnoreChecksums = ignoreChecksums;
        line.SkipGaps = skipGaps;
        line.TimeoutMs = portOpt.TimeoutMs;  // line.Retries is set by --retries
        if (!portOpt.Transcript.empty() || simulate || resume) {
            std::fprintf(stderr, "--transcript, --simulate and --resume take a single port\n");
            return kExitUsage;
        }
        for (const std::string& p : portOpt.Ports) {
            PortChoice check;
            if (!ChoosePort(p, check)) {
                std::fprintf(stderr, "--port: '%s' is neither COMn, a device path nor tcp://HOST:PORT\n", p.c_str());
                return kExitUsage;
            }
        }
        if (const std::string twice = DuplicatePort(portOpt.Ports, line.Paths); !twice.empty()) {
            std::fprintf(stderr, "--port: %s names a device already given; each device takes one upload\n",
                         twice.c_str());
            return kExitUsage;
        }
        // The firmware is read once: every child flashes these very bytes from a private copy, and
        // the report's fingerprint is theirs, whatever happens to the file meanwhile.
        Firmware firmware;
        std::string text;
        RunOutputs outputs;
        if (!OpenOutputs(outputs, line)) return kExitCannotCreate;
        {
            // A file that cannot be uploaded is refused before any device is touched; every port
            // asked for still ends with its line in the report.
            HexLoadResult r;
            std::string why;
            if (const int rc = LoadImage(hexPath, r, {.IgnoreChecksums = ignoreChecksums, .ForUpload = true,
                                                      .SayBootArea = true},
                                         &text, &why)) {
                const std::string now = IsoTime(std::chrono::system_clock::now());
                for (const std::string& p : station->parsed() ? std::vector<std::string>{} : portOpt.Ports) {
                    const Target target = ResolveTarget(p, line.Paths);
                    RunReport rep;
                    rep.Port = target.Port;
                    rep.Device = target.Device;
                    rep.ById = target.ById;
                    rep.HexPath = CanonicalPath(hexPath).empty() ? hexPath : CanonicalPath(hexPath);
                    if (!text.empty()) rep.HexSha256 = Sha256Hex(text);
                    rep.Start = rep.End = now;
                    rep.Outcome = OutcomeWord(UploadOutcome::NotDone);
                    rep.OutcomeText = UploadOutcomeText(UploadOutcome::NotDone);
                    rep.ExitStatus = rc;
                    rep.Verification = VerificationWord(line.Verify);
                    rep.Reason = why;
                    outputs.Report(rep);
                }
                return rc;
            }
        }
        if (!ledgerOpt.SerialAtText.empty()) {
            HexLoadResult r;  // the serial's place is checked once here; each child places its own
            std::string why;
            LoadImage(hexPath, r, {.IgnoreChecksums = true});
            if (!PlaceSerial(r, ledgerOpt, 0, why)) {
                std::fprintf(stderr, "%s\n", why.c_str());
                return kExitUsage;
            }
            line.SerialAt = ledgerOpt.SerialAt;
            line.Serials = ledgerOpt.Layout;
        }
        line.RunLedger = books.get();
        JsonEvents lineEvents(stdout);
        if (json) line.Events = &lineEvents;
        line.Operator = ledgerOpt.Operator;
        line.Station = HostName();
        firmware.FullPath = CanonicalPath(hexPath);
        if (firmware.FullPath.empty()) firmware.FullPath = hexPath;
        firmware.Sha256 = Sha256Hex(text);
        RemoveOrphanedPrivateCopies();
        std::string tempFolder;
        firmware.CopyPath = WritePrivateTempFile(text, tempFolder);
        if (firmware.CopyPath.empty()) {
            std::fprintf(stderr, "cannot keep a private copy of the firmware in the temporary folder %s: %s\n",
                         tempFolder.c_str(), std::strerror(errno));
            return kExitCannotCreate;
        }
        const int rc = station->parsed() ? RunStation(line, firmware, outputs)
                                         : RunMultiPortUpload(line, firmware, portOpt.Ports, outputs);
        RemovePrivateTempFile(firmware.CopyPath);
        return rc;
    }

    // Every command that talks to a port takes its abort handlers before it opens anything; a
    // production line's child also learns so of its parent's death.
    InstallAbortHandlers(g_active, statusFd >= 0);
    if (statusFd >= 0) proc::TieToParent(statusFd);

    PortChoice port;
    const std::string portArg = portOpt.Ports.empty() ? std::string() : portOpt.Ports.front();
    if (portOpt.Ports.size() != 1 || !ChoosePort(portArg, port, deviceArg)) {
        std::fprintf(stderr, "--port: '%s' is neither COMn, a device path nor tcp://HOST:PORT\n", portArg.c_str());
        return kExitUsage;
    }
    std::FILE* transcript = nullptr;
    if (!StartTranscript(portOpt, transcript)) return kExitCannotCreate;

    if (upload->parsed()) {
        HexLoadResult r;
        std::string text;
        if (const int rc = LoadImage(hexPath, r, {.IgnoreChecksums = ignoreChecksums, .ForUpload = true, .SayBootArea = statusFd < 0}, &text))
            return rc;
        // One port keeps its log on standard output, and takes a report and a log file as well.
        RunOutputs outputs;
        if (!OpenOutputs(outputs, line)) return kExitCannotCreate;
        // The unit's serial: a production line's child was given it; a run of its own reserves it
        // (after checking where it goes) before anything is sent.
        std::optional<uint32_t> serial;
        if (ledgerOpt.Serial >= 0) serial = static_cast<uint32_t>(ledgerOpt.Serial);
        if (!ledgerOpt.SerialAtText.empty()) {
            std::string why;
            if (!PlaceSerial(r, ledgerOpt, 0, why)) {
                std::fprintf(stderr, "%s\n", why.c_str());
                return kExitUsage;
            }
            uint32_t reserved = 0;
            if (!serial && !books->Reserve(reserved, why)) {
                std::fprintf(stderr, "no serial number: %s\n", why.c_str());
                return kExitCannotCreate;
            }
            if (!serial) serial = reserved;
            PlaceSerial(r, ledgerOpt, *serial, why);
        }
        int32_t imageStart = r.ImageStart, imageEnd = r.ImageEnd;
        const bool valid = r.Valid;
        UploadRequest req = Request(port, gsmNumber, portOpt.TimeoutMs);
        req.Belvotra = keepLine;
        req.Simulate = simulate;
        req.VerifyEvery = verifyAll ? 1 : VERIFY_EVERY;
        req.SkipGaps = skipGaps;
        req.Retries = line.Retries;
        if (serial) {  // the block that holds it is always read back
            req.ReadBackFrom = ledgerOpt.SerialAt;
            req.ReadBackTo = ledgerOpt.SerialAt + static_cast<uint32_t>(SerialBytes(ledgerOpt.Layout));
        }
        // A resume point is kept per target for a run of its own (never for a production line's
        // child), and taken only with --resume and when it fits this run.
        const std::string resumeFolder = DefaultResumeFolder();
        const std::string canonical = CanonicalPath(port.Device);
        const std::string resumeTarget = ResumeTarget(canonical.empty() ? port.Device : canonical, gsmNumber);
        const std::string imageSha = Sha256Hex(text);
        const int verifyEvery = verifyAll ? 1 : verify ? VERIFY_EVERY : 0;
        if (resume) {
            const auto point = LoadResumePoint(resumeFolder, resumeTarget);
            const std::string why = point ? ResumeMismatch(*point, imageSha, verifyEvery, skipGaps)
                                          : "no interrupted run to " + resumeTarget + " is known";
            if (why.empty()) {
                req.ResumePage = point->Page;
                std::fprintf(stderr, "--resume: going on from the page at 0x%s\n", HexDigits(point->Page, 8).c_str());
            } else {
                std::fprintf(stderr, "--resume: %s; uploading from the start\n", why.c_str());
            }
        }
        ProcessSettings().ApplyLineSettings = keepLine ? 0 : 1;
        std::FILE* status = statusFd >= 0 ? OpenStatusChannel(statusFd) : nullptr;
        cli::TerminalView view(verify || verifyAll, g_active, status);
        std::string logText;
        view.SetCapture(line.LogDir.empty() ? nullptr : &logText);
        JsonEvents events(stdout);
        const bool jsonEvents = json && statusFd < 0;
        if (jsonEvents) {
            view.SetEvents(&events, portArg);
            const EventOptions options{VerificationWord(verifyAll ? VerifyMode::All : verify ? VerifyMode::EveryFourth
                                                                                             : VerifyMode::Off),
                                       skipGaps, line.Retries, gsmNumber, resume};
            events.Start(portArg, port.Device, CanonicalPath(hexPath).empty() ? hexPath : CanonicalPath(hexPath),
                         imageSha, options);
        }
        SerialSetIdleHook([&view](int32_t waitedMs, int32_t leftMs) { view.LineWaits(waitedMs, leftMs); });
        const UploadImage image{MemoryImage(), &imageStart, &imageEnd, &valid, r.Given.data()};
        const auto startWall = std::chrono::system_clock::now();
        const auto start = std::chrono::steady_clock::now();
        const UploadResult result = upload->count("--gsm") ? UploadGsm(req, image, view) : UploadDirect(req, image, view);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        SerialSetIdleHook({});
        if (result.Outcome == UploadOutcome::NotDone) ExplainOpenFailure(port);
        if (statusFd < 0 && !simulate &&
            RecordResumePoint(resumeFolder, {resumeTarget, imageSha, 0, verifyEvery, skipGaps}, result))
            std::fprintf(stderr, "a resume point was kept: --resume goes on from the page at 0x%s\n",
                         HexDigits(static_cast<uint32_t>(result.ResumePage), 8).c_str());
        if (statusFd < 0) SayFailure("upload", result);
        if (transcript) std::fclose(transcript);
        const UploadCounters& c = result.Counters;
        if (status) {
            const ChildResult told{result.Outcome, c.BlocksWritten, c.BytesSent, c.ExchangeCount,
                                   result.CommunicationErrors, result.LastSerialError, result.Reason,
                                   static_cast<uint32_t>(result.Retries)};
            std::fprintf(status, "%s\n", ResultLine(told).c_str());
            std::fclose(status);
        }
        const int exitStatus = result.Outcome == UploadOutcome::Completed ? 0
                               : result.Outcome == UploadOutcome::Failed  ? 1
                                                                          : 2;
        outputs.Log(portArg, startWall, OutcomeWord(result.Outcome), logText, "");
        const bool ownLedger = books && statusFd < 0;  // a production line's parent keeps its children's
        if (!line.ReportPath.empty() || ownLedger || jsonEvents) {
            const Target target = ResolveTarget(port.Label.empty() ? port.Text : port.Label, DefaultPortPaths());
            RunReport rep;
            rep.Port = target.Port;
            rep.Device = deviceArg.empty() ? target.Device : deviceArg;
            rep.ById = target.ById;
            rep.HexPath = CanonicalPath(hexPath).empty() ? hexPath : CanonicalPath(hexPath);
            rep.HexSha256 = Sha256Hex(text);
            rep.Start = IsoTime(startWall);
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
            rep.Verification = VerificationWord(verifyAll ? VerifyMode::All : verify ? VerifyMode::EveryFourth : VerifyMode::Off);
            rep.Reason = result.Reason;
            rep.Retries = static_cast<uint32_t>(result.Retries);
            rep.Serial = view.Touched() ? serial : std::nullopt;  // a serial that goes back is not this device's
            outputs.Report(rep);
            if (jsonEvents) events.End(rep);
            if (ownLedger) {
                std::string why;
                // a serial that may have reached the device is spent; one that never did goes back
                if (serial && !(view.Touched() ? books->Spend(*serial, why) : books->Return(*serial, why)))
                    std::fprintf(stderr, "%s\n", why.c_str());
                if (!books->Record(LedgerRunOf(rep, HostName(), ledgerOpt.Operator), why))
                    std::fprintf(stderr, "%s\n", why.c_str());
            }
        }
        return RunExitStatus({result.Outcome}, outputs.Failed());
    }

    if (verifyCmd->parsed() || backupCmd->parsed()) {
        HexLoadResult r;
        if (verifyCmd->parsed()) {
            if (const int rc = LoadImage(hexPath, r, {.IgnoreChecksums = ignoreChecksums, .ForUpload = true}))
                return rc;
        }
        int32_t imageStart = r.ImageStart, imageEnd = r.ImageEnd;
        const bool valid = r.Valid;
        const UploadRequest req = Request(port, gsmNumber, portOpt.TimeoutMs);
        ProcessSettings().ApplyLineSettings = 1;
        cli::TerminalView view(false, g_active);
        SerialSetIdleHook([&view](int32_t waitedMs, int32_t leftMs) { view.LineWaits(waitedMs, leftMs); });
        const char* command = verifyCmd->parsed() ? "verify" : "backup";
        JsonEvents events(stdout);
        ToolEnd end{command, portArg, "", "", 0, 0, backupPath, from, to, 0};
        if (json) {
            view.SetEvents(&events, portArg);
            std::string sha;
            if (FileText bytes; verifyCmd->parsed() && bytes.Open(hexPath)) sha = Sha256Hex(bytes.Text());
            events.Start(portArg, port.Device, verifyCmd->parsed() ? hexPath : backupPath, sha, EventOptions{});
        }
        // These only read: a second press still resets the CPU before the port is let go.
        uint8_t resetFrame[8];
        const std::size_t resetLength = ResetFrameBytes(resetFrame, !gsmNumber.empty());
        SetSecondPressLastWords(resetFrame, resetLength);
        VerifyReport report;
        std::vector<uint8_t> memory;
        const UploadResult result =
            verifyCmd->parsed()
                ? VerifyDevice(req, {MemoryImage(), &imageStart, &imageEnd, &valid, r.Given.data()}, view, report)
                : ReadDeviceMemory(req, from, to, view, memory);
        SerialSetIdleHook({});
        if (transcript) std::fclose(transcript);
        SetSecondPressLastWords(nullptr, 0);
        if (result.Outcome == UploadOutcome::NotDone) ExplainOpenFailure(port);
        end.Outcome = OutcomeWord(result.Outcome);
        end.Reason = result.Reason;
        if (result.Outcome != UploadOutcome::Completed) {
            SayFailure(command, result);
            if (json) events.End(end);
            return verifyCmd->parsed() || result.Outcome == UploadOutcome::NotDone ? 2 : 1;
        }
        if (verifyCmd->parsed() && json) {
            end.BytesCompared = report.BytesCompared;
            end.Differences = report.DifferenceCount;
            events.End(end);
            return report.DifferenceCount == 0 ? 0 : 1;
        }
        if (verifyCmd->parsed()) {
            for (const ByteDifference& d : report.Differences)
                std::printf("%s: device %s, file %s\n", HexDigits(d.Address, 8).c_str(), HexDigits(d.Device, 2).c_str(),
                            HexDigits(d.File, 2).c_str());
            if (report.DifferenceCount > report.Differences.size())
                std::printf("... and %zu more\n", report.DifferenceCount - report.Differences.size());
            if (report.DifferenceCount == 0)
                std::printf("verify: equal (%u bytes compared)\n", report.BytesCompared);
            else
                std::printf("verify: %u of %u bytes differ\n", report.DifferenceCount, report.BytesCompared);
            return report.DifferenceCount == 0 ? 0 : 1;
        }
        // Written aside and renamed: the file appears whole, or not at all.
        const std::string text = HexText(from, memory.data(), memory.size());
        const std::string temp = CreateTempBeside(backupPath);
        if (temp.empty() || !WriteWholeFile(temp, reinterpret_cast<const uint8_t*>(text.data()), text.size()) ||
            !RenameOver(temp, backupPath)) {
            std::fprintf(stderr, "backup: cannot write %s: %s; nothing was saved\n", backupPath.c_str(),
                         std::strerror(errno));
            if (!temp.empty()) std::remove(temp.c_str());
            return kExitCannotCreate;
        }
        if (json) {
            end.Bytes = static_cast<uint32_t>(memory.size());
            events.End(end);
            return 0;
        }
        std::printf("Backup completed: %zu bytes from %s to %s written to %s\n", memory.size(),
                    HexDigits(from, 8).c_str(), HexDigits(to, 8).c_str(), backupPath.c_str());
        return 0;
    }

    ProcessSettings().ApplyLineSettings = 1;
    TerminalPanelHooks hooks;
    ManualPanel panel(fields, hooks);
    panel.SetPort(port.Number);
    panel.SetTimeoutMs(portOpt.TimeoutMs);
    SerialError result = SERIAL_OK;
    if (read->parsed()) {
        result = panel.Leggi();
        std::printf("%s\n%s\n", fields.LeggiFrame.c_str(), fields.LeggiDati.c_str());
    } else if (write->parsed()) {
        result = panel.Scrivi();
        std::printf("%s\n", fields.ScriviFrame.c_str());
    } else if (erase->parsed()) {
        result = panel.Erase();
        std::printf("%s\n", fields.EraseFrame.c_str());
    } else if (start->parsed()) {
        result = panel.StartDfu();
        std::printf("%s\n", fields.StartFrame.c_str());
    } else if (reset->parsed()) {
        result = panel.Reset();
        std::printf("%s\n", fields.RstFrame.c_str());
    }
    if (transcript) std::fclose(transcript);
    if (result != SERIAL_OK) {
        std::fprintf(stderr, "%s\n", hooks.error.c_str());
        if (result == SERIAL_CREATE_HANDLE_ERROR) ExplainOpenFailure(port);
        return 1;
    }
    return 0;
}
