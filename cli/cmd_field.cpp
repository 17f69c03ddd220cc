// verify and backup: the field tools that only read the controller's memory (never an erase or a
// write), then reset its CPU. verify compares it with a HEX file; backup saves it as one.
#include <cerrno>
#include <cstring>

#include "cli_platform.h"
#include "common.h"
#include "hex_writer.h"
#include "json_events.h"
#include "serial.h"
#include "settings.h"
#include "sha256.h"
#include "terminal_view.h"
#include "text_lines.h"

namespace qdfu::cli {
namespace {

// --from and --to of a backup: hexadecimal, --from below --to, within program memory. False with
// the cause said on standard error and kept in refusal.
bool BackupRange(const std::string& fromText, const std::string& toText, uint32_t& from,
                 uint32_t& to, std::string& refusal) {
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
    refusal = std::string("backup: ") + why + " (given --from " + fromText + " --to " + toText +
              "; program memory is 0 to 2B000)";
    std::fprintf(stderr, "%s\n", refusal.c_str());
    return false;
}

// The backup's output must be a file that can be written before the device is touched: 0, or
// the exit status with the cause said (and kept in refusal).
int CheckBackupOutput(const std::string& path, std::string& refusal) {
    if (IsDirectory(path)) refusal = "backup: " + path + " is a folder; name the file to write";
    const std::string probe = refusal.empty() ? CreateTempBeside(path) : std::string();
    if (refusal.empty() && probe.empty())
        refusal = "backup: cannot create " + path + ": " + std::strerror(errno);
    if (!refusal.empty()) {
        std::fprintf(stderr, "%s\n", refusal.c_str());
        return kExitCannotCreate;
    }
    std::remove(probe.c_str());
    return 0;
}

class FieldCommand final : public Command {
  public:
    explicit FieldCommand(bool verify) : verify_(verify) {}

    CLI::App* Declare(CLI::App& app) override {
        CLI::App* cmd = nullptr;
        if (verify_) {
            cmd = app.add_subcommand(
                "verify",
                "compare the controller's memory with FILE.hex (reads only: no erase, no "
                "write), then reset the CPU");
            cmd->add_option("file", hexPath, "Intel HEX firmware file")->required();
            cmd->add_flag("--json", json,
                          "standard output carries only JSON Lines (start, progress, end)");
            AddPortOptions(cmd, portOpt);
            AddGsmOption(cmd, gsmNumber);
            AddIgnoreChecksumsFlag(cmd, ignoreChecksums);
            SetFooter(cmd,
                      "0 equal, 1 they differ, 2 not done, 64 bad usage, 65 a HEX file refused",
                      "quarnelix-dfu-cli verify fw.hex --port COM3");
        } else {
            cmd = app.add_subcommand(
                "backup",
                "read the controller's program memory into OUT.hex (reads only), then "
                "reset the CPU");
            cmd->add_option("out", backupPath, "Intel HEX file to write")->required();
            cmd->add_flag("--json", json,
                          "standard output carries only JSON Lines (start, progress, end)");
            AddPortOptions(cmd, portOpt);
            cmd->add_option("--from", fromText, "first address, hexadecimal (default 2800)");
            cmd->add_option("--to", toText, "end address, exclusive, hexadecimal (default 2B000)");
            AddGsmOption(cmd, gsmNumber);
            SetFooter(cmd,
                      "0 written, 1 a read failed (nothing written), 2 not done, 64 bad usage, 73 "
                      "the file cannot be "
                      "created",
                      "quarnelix-dfu-cli backup saved.hex --port COM3 --from 2800 --to 2B000");
        }
        return cmd;
    }

    int Run(const std::string&) override {
        const int rc = RunField();
        // with --json every run ends with its end event, a run refused before it started too
        if (json && events.Ends() == 0)
            events.End(ToolEnd{
                verify_ ? "verify" : "backup", portOpt.Ports.empty() ? "" : portOpt.Ports.front(),
                OutcomeWord(UploadOutcome::NotDone),
                refusal.empty() ? "refused (status " + std::to_string(rc) + ")" : refusal, 0, 0,
                verify_ ? "" : backupPath, 0, 0, 0, rc});
        return rc;
    }

  private:
    int RunField() {
        // What the backup was given is checked before anything is opened.
        uint32_t from = 0, to = 0;
        if (!verify_) {
            if (!BackupRange(fromText, toText, from, to, refusal)) return kExitUsage;
            if (const int rc = CheckBackupOutput(backupPath, refusal)) return rc;
        }
        PortChoice port;
        std::FILE* transcript = nullptr;
        if (const int rc = OpenOnePort(portOpt, "", -1, port, transcript, &refusal)) return rc;
        const std::string portArg = portOpt.Ports.front();
        HexLoadResult r;
        if (verify_) {
            if (const int rc =
                    LoadImage(hexPath, r, {.IgnoreChecksums = ignoreChecksums, .ForUpload = true},
                              nullptr, &refusal))
                return rc;
        }
        int32_t imageStart = r.ImageStart, imageEnd = r.ImageEnd;
        const bool valid = r.Valid;
        const UploadRequest req = Request(port, gsmNumber, portOpt.TimeoutMs);
        ProcessSettings().ApplyLineSettings = 1;
        cli::TerminalView view(false, g_active);
        SerialSetIdleHook(
            [&view](int32_t waitedMs, int32_t leftMs) { view.LineWaits(waitedMs, leftMs); });
        const char* command = verify_ ? "verify" : "backup";
        ToolEnd end{command, portArg, "", "", 0, 0, backupPath, from, to, 0};
        if (json) {
            view.SetEvents(&events, portArg);
            std::string sha;
            if (FileText bytes; verify_ && bytes.Open(hexPath)) sha = Sha256Hex(bytes.Text());
            EventOptions options;
            options.GsmNumber = gsmNumber;
            events.Start(portArg, port.Device, verify_ ? hexPath : backupPath, sha, options);
            // what a second press writes as the process ends
            ToolEnd cut = end;
            cut.Outcome = OutcomeWord(UploadOutcome::Failed);
            cut.Reason = "interrupted again";
            cut.ExitStatus = 130;
            SetSecondPressEndEvent(ToolEndLine(cut) + "\n", "", -1);
        }
        // These only read: a second press still resets the CPU before the port is let go.
        uint8_t resetFrame[8];
        const std::size_t resetLength = ResetFrameBytes(resetFrame, !gsmNumber.empty());
        SetSecondPressLastWords(resetFrame, resetLength);
        VerifyReport report;
        std::vector<uint8_t> memory;
        const UploadResult result =
            verify_
                ? VerifyDevice(req, {MemoryImage(), &imageStart, &imageEnd, &valid, r.Given.data()},
                               view, report)
                : ReadDeviceMemory(req, from, to, view, memory);
        SerialSetIdleHook({});
        if (transcript) std::fclose(transcript);
        SetSecondPressLastWords(nullptr, 0);
        SetSecondPressEndEvent("", "", -1);
        if (result.Outcome == UploadOutcome::NotDone) ExplainOpenFailure(port);
        end.Outcome = OutcomeWord(result.Outcome);
        end.Reason = result.Reason;
        if (verify_) {  // what was compared before a failure too
            end.BytesCompared = report.BytesCompared;
            end.Differences = report.DifferenceCount;
        }
        if (result.Outcome != UploadOutcome::Completed) {
            SayFailure(command, result);
            end.ExitStatus = verify_ || result.Outcome == UploadOutcome::NotDone ? 2 : 1;
            if (json) events.End(end);
            return end.ExitStatus;
        }
        if (verify_ && json) {
            // a device that holds other bytes than the file is no success
            end.ExitStatus = report.DifferenceCount == 0 ? 0 : 1;
            if (report.DifferenceCount > 0) {
                end.Outcome = OutcomeWord(UploadOutcome::Failed);
                end.Reason = std::to_string(report.DifferenceCount) + " of " +
                             std::to_string(report.BytesCompared) + " bytes differ";
            }
            events.End(end);
            return end.ExitStatus;
        }
        if (verify_) {
            for (const ByteDifference& d : report.Differences)
                std::printf("%s: device %s, file %s\n", HexDigits(d.Address, 8).c_str(),
                            HexDigits(d.Device, 2).c_str(), HexDigits(d.File, 2).c_str());
            if (report.DifferenceCount > report.Differences.size())
                std::printf("... and %zu more\n",
                            report.DifferenceCount - report.Differences.size());
            if (report.DifferenceCount == 0)
                std::printf("verify: equal (%u bytes compared)\n", report.BytesCompared);
            else
                std::printf("verify: %u of %u bytes differ\n", report.DifferenceCount,
                            report.BytesCompared);
            return report.DifferenceCount == 0 ? 0 : 1;
        }
        // Written aside and renamed: the file appears whole, or not at all.
        const std::string text = HexText(from, memory.data(), memory.size());
        const std::string temp = CreateTempBeside(backupPath);
        if (temp.empty() ||
            !WriteWholeFile(temp, reinterpret_cast<const uint8_t*>(text.data()), text.size()) ||
            !RenameOver(temp, backupPath)) {
            const std::string why = "backup: cannot write " + backupPath + ": " +
                                    std::strerror(errno) + "; nothing was saved";
            std::fprintf(stderr, "%s\n", why.c_str());
            if (!temp.empty()) std::remove(temp.c_str());
            if (json) {  // read whole, but not kept
                end.Outcome = OutcomeWord(UploadOutcome::Failed);
                end.Reason = why.substr(8);
                end.ExitStatus = kExitCannotCreate;
                events.End(end);
            }
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

    const bool verify_;
    std::string hexPath, backupPath, fromText = "2800", toText = "2B000", gsmNumber;
    PortOptions portOpt;
    bool json = false, ignoreChecksums = false;
    JsonEvents events{stdout};
    std::string refusal;  // why the run was refused before it started
};

}  // namespace

std::unique_ptr<Command> MakeVerifyCommand() {
    return std::make_unique<FieldCommand>(true);
}
std::unique_ptr<Command> MakeBackupCommand() {
    return std::make_unique<FieldCommand>(false);
}

}  // namespace qdfu::cli
