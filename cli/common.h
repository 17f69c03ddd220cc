// What the commands of the command line share: exit statuses, choosing and opening a port, loading
// a HEX file, the options that several commands take, and the ledger's options. Everything said
// here goes to standard error; the caller decides the exit status.
#pragma once

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "hex_loader.h"
#include "ledger.h"
#include "manual_commands.h"
#include "line_setup.h"
#include "production.h"
#include "run_books.h"
#include "upload.h"

namespace qdfu::cli {

// kExitUsage, kExitBadHex and kExitNoInput are the line's (line_setup.h).

// Cleared by the first interrupt (the abort press).
extern std::atomic<bool> g_active;

// A command of the command line: it declares its subcommand and options on the program's parser,
// and runs when it is the command given. A new command is one more of these, in a file of its own.
class Command {
  public:
    virtual ~Command() = default;
    // The subcommand declared on app.
    virtual CLI::App* Declare(CLI::App& app) = 0;
    // The exit status; self is the program's own path (argv[0]).
    virtual int Run(const std::string& self) = 0;
};
std::unique_ptr<Command> MakeUploadCommand();  // cmd_upload.cpp
std::unique_ptr<Command> MakeStationCommand();
std::unique_ptr<Command> MakeProfileCommand();  // cmd_profile.cpp
std::unique_ptr<Command> MakeVerifyCommand();  // cmd_field.cpp
std::unique_ptr<Command> MakeBackupCommand();
std::unique_ptr<Command> MakePortsCommand();  // cmd_info.cpp
std::unique_ptr<Command> MakeHexCommand();
std::unique_ptr<Command> MakeLedgerCommand();
std::unique_ptr<Command> MakeReadCommand();  // cmd_manual.cpp
std::unique_ptr<Command> MakeWriteCommand();
std::unique_ptr<Command> MakeEraseCommand();
std::unique_ptr<Command> MakeStartCommand();
std::unique_ptr<Command> MakeResetCommand();

// Every command's help ends with its exit statuses and one example.
void SetFooter(CLI::App* command, const char* statuses, const char* example);

// Why the port could not be opened, and what to do about it.
void ExplainOpenFailure(const PortChoice& port);

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
              std::string* text = nullptr, std::string* refusal = nullptr);

UploadRequest Request(const PortChoice& port, const std::string& dialNumber, int32_t timeoutMs);
// The last line on standard error of a run that did not complete: why, and what to check.
void SayFailure(const char* command, const UploadResult& result);

struct PortOptions {
    std::vector<std::string> Ports;  // one, except for a production line's upload
    std::string Transcript;
    int32_t TimeoutMs = DEFAULT_TIMEOUT_MS;
    PortPaths Paths = DefaultPortPaths();  // where COMn and usb:SERIAL are looked up
};
void AddTimeoutOption(CLI::App* cmd, PortOptions& o);
// --port is required unless several are taken (upload, whose --profile gives them).
void AddPortOptions(CLI::App* cmd, PortOptions& o, bool several = false);
CLI::Option* AddGsmOption(CLI::App* cmd, std::string& number);
void AddIgnoreChecksumsFlag(CLI::App* cmd, bool& ignore);

// A command that talks to one port: the abort handlers taken (and, for a production line's child
// whose status goes to statusFd, its parent's death watched), the port chosen and the transcript
// started. 0, or the exit status with the cause said (and kept in refusal, when given). transcript
// is null without --transcript.
int OpenOnePort(const PortOptions& o, const std::string& device, int statusFd, PortChoice& port,
                std::FILE*& transcript, std::string* refusal = nullptr);

// The ledger options of upload and station.
struct LedgerOptions {
    std::string Where;            // --ledger: an SQLite file or postgresql://...
    std::string SerialAtText;     // --serial-at, hexadecimal
    std::string Format = "le32";  // --serial-format
    int64_t SerialFirst = -1;     // --serial-first, decimal
    bool FirstOnlyForANewLedger = false;  // a line profile's first=: a ledger that gave serials goes on
    std::string Operator;         // --operator
    std::string WorkOrder;        // --work-order
    int64_t Serial = -1;          // a production line's child: the serial its parent reserved
    uint32_t SerialAt = 0;
    SerialFormat Layout = SerialFormat::Le32;
};
void AddLedgerOptions(CLI::App* cmd, LedgerOptions& o);
// The checks of the ledger options that need nothing opened; 0 or the usage status with the cause.
int CheckLedgerOptions(LedgerOptions& o);
// Puts serial's bytes at o.SerialAt in the process image (in place of the file's placeholder) and
// marks them as given, so that even --skip-gaps writes them. False with why when they do not lie
// inside the image to upload.
bool PlaceSerial(HexLoadResult& r, const LedgerOptions& o, uint32_t serial, std::string& why);
// The ledger at where; null with why when it cannot be opened (or this program has no client). A
// missing SQLite file is created only with LedgerAccess::Create. The runs kept aside for it are
// recorded first (opened to write for them, when there are any), and what became of them is said
// on standard error.
std::unique_ptr<Ledger> OpenRunLedger(const std::string& where, std::string& why,
                                      LedgerAccess access = LedgerAccess::Create);
// KeepRunAside and ForgetRunAside are the ledger's (run_books.h).
// Records the runs kept aside for where in ledger, and says on standard error what became of them.
void RecordRunsKeptAside(const std::string& where, Ledger& ledger);
// False only for an SQLite ledger whose file does not exist (a PostgreSQL ledger is the server's).
bool LedgerExists(const std::string& where);
// where as a message may quote it: without the password of a PostgreSQL URI.
std::string LedgerName(const std::string& where);
// A line's ledger opened as OpenLineLedger opens it (run_books.h), what became of its kept runs
// said on standard error; and the engine's hooks for the runs it would not take.
int OpenLineLedger(const LineLedgerPlan& plan, std::unique_ptr<Ledger>& books, std::string& why);
KeptAsideHooks KeepAsideFor(const std::string& where, Ledger& ledger);

}  // namespace qdfu::cli
