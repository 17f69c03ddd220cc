// read, write, erase, start and reset: the single commands of the window's manual panel, one frame
// each, with the frame sent and the answer printed as the panel shows them.
#include "common.h"
#include "serial.h"
#include "settings.h"
#include "text_lines.h"

namespace qdfu::cli {
namespace {

// The numbers of read, write and erase, checked and written into the panel's fields as the panel
// reads them. False, with the argument at fault named on standard error, for anything else.
bool ManualArguments(const char* command, const std::string& address, const std::string& length,
                     const std::vector<std::string>& bytes, bool bootArea,
                     ManualPanelFields& fields) {
    uint32_t at = 0;
    if (!ParseTypedHex(address, at)) {
        std::fprintf(
            stderr,
            "%s: ADDR '%s' is not a hexadecimal address (with or without 0x, at most FFFFFFFF)\n",
            command, address.c_str());
        return false;
    }
    const std::string where = HexDigits(at, 8);
    if (std::string(command) == "read") {
        uint32_t n = MANUAL_MAX_BYTES;
        if (!length.empty() && (!ParseTypedHex(length, n) || n < 1 || n > MANUAL_MAX_BYTES)) {
            std::fprintf(stderr, "read: LEN '%s' is not a length from 1 to 10 (hexadecimal)\n",
                         length.c_str());
            return false;
        }
        fields.LeggiAddress = where;
        fields.LeggiLen = HexDigits(n, 2);
        return true;
    }
    if (at < BOOT_AREA_END && !bootArea) {
        std::fprintf(
            stderr,
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
            std::fprintf(stderr, "write: BYTE '%s' is not a byte (00 to FF, hexadecimal)\n",
                         b.c_str());
            return false;
        }
        data += (data.empty() ? "" : " ") + HexDigits(v, 2);
    }
    fields.ScriviAddress = where;
    fields.ScriviDati = data;
    return true;
}

class TerminalPanelHooks final : public ManualPanelHooks {
  public:
    void ProcessEvents(const ManualPanelFields&) override {}
    void SetExchangeButtonsEnabled(bool) override {}
    void ShowError(const std::string& text) override { error = text; }
    std::string error;
};

enum class Manual { Read, Write, Erase, Start, Reset };

class ManualCommand final : public Command {
  public:
    explicit ManualCommand(Manual kind) : kind_(kind) {}

    CLI::App* Declare(CLI::App& app) override {
        CLI::App* cmd = nullptr;
        switch (kind_) {
            case Manual::Read:
                cmd = app.add_subcommand("read",
                                         "read LEN (1..10 hex, default 10) bytes at ADDR (hex)");
                cmd->add_option("address", address_, "hex address")->required();
                cmd->add_option("length", length_, "hex length");
                SetFooter(cmd, "0 answered, 1 refused or no answer, 64 bad usage",
                          "quarnelix-dfu-cli read 2A000 10 --port COM3");
                break;
            case Manual::Write:
                cmd =
                    app.add_subcommand("write", "write up to 16 hex BYTEs (00..FF) at ADDR (hex)");
                cmd->add_option("address", address_, "hex address")->required();
                cmd->add_option("bytes", bytes_, "hex bytes");
                cmd->add_flag("--boot-area", bootArea_,
                              "allow an address below 2800, in the bootloader's own area");
                SetFooter(cmd, "0 answered, 1 refused or no answer, 64 bad usage",
                          "quarnelix-dfu-cli write 2A000 12 34 --port COM3");
                break;
            case Manual::Erase:
                cmd = app.add_subcommand("erase", "erase at ADDR (hex)");
                cmd->add_option("address", address_, "hex address")->required();
                cmd->add_flag("--boot-area", bootArea_,
                              "allow an address below 2800, in the bootloader's own area");
                SetFooter(cmd, "0 answered, 1 refused or no answer, 64 bad usage",
                          "quarnelix-dfu-cli erase 2A000 --port COM3");
                break;
            case Manual::Start:
                cmd = app.add_subcommand("start", "start the bootloader");
                SetFooter(cmd, "0 answered, 1 refused or no answer",
                          "quarnelix-dfu-cli start --port COM3");
                break;
            case Manual::Reset:
                cmd = app.add_subcommand("reset", "reset the CPU");
                SetFooter(cmd, "0 answered, 1 refused or no answer",
                          "quarnelix-dfu-cli reset --port COM3");
                break;
        }
        AddPortOptions(cmd, portOpt_);
        return cmd;
    }

    int Run(const std::string&) override {
        // The numbers are checked before anything is opened.
        ManualPanelFields fields;
        const char* command = kind_ == Manual::Read    ? "read"
                              : kind_ == Manual::Write ? "write"
                                                       : "erase";
        if ((kind_ == Manual::Read || kind_ == Manual::Write || kind_ == Manual::Erase) &&
            !ManualArguments(command, address_, length_, bytes_, bootArea_, fields))
            return kExitUsage;
        PortChoice port;
        std::FILE* transcript = nullptr;
        if (const int rc = OpenOnePort(portOpt_, "", -1, port, transcript)) return rc;
        ProcessSettings().ApplyLineSettings = 1;
        TerminalPanelHooks hooks;
        ManualPanel panel(fields, hooks);
        panel.SetPort(port.Number);
        panel.SetTimeoutMs(portOpt_.TimeoutMs);
        SerialError result = SERIAL_OK;
        switch (kind_) {
            case Manual::Read:
                result = panel.Leggi();
                // the data line only for memory that was read
                std::printf("%s\n", fields.LeggiFrame.c_str());
                if (result == SERIAL_OK) std::printf("%s\n", fields.LeggiDati.c_str());
                break;
            case Manual::Write:
                result = panel.Scrivi();
                std::printf("%s\n", fields.ScriviFrame.c_str());
                break;
            case Manual::Erase:
                result = panel.Erase();
                std::printf("%s\n", fields.EraseFrame.c_str());
                break;
            case Manual::Start:
                result = panel.StartDfu();
                std::printf("%s\n", fields.StartFrame.c_str());
                break;
            case Manual::Reset:
                result = panel.Reset();
                std::printf("%s\n", fields.RstFrame.c_str());
                break;
        }
        if (transcript) std::fclose(transcript);
        if (result != SERIAL_OK) {
            std::fprintf(stderr, "%s\n", hooks.error.c_str());
            if (result == SERIAL_CREATE_HANDLE_ERROR) ExplainOpenFailure(port);
            return 1;
        }
        return 0;
    }

  private:
    const Manual kind_;
    std::string address_, length_;
    std::vector<std::string> bytes_;
    bool bootArea_ = false;
    PortOptions portOpt_;
};

}  // namespace

std::unique_ptr<Command> MakeReadCommand() {
    return std::make_unique<ManualCommand>(Manual::Read);
}
std::unique_ptr<Command> MakeWriteCommand() {
    return std::make_unique<ManualCommand>(Manual::Write);
}
std::unique_ptr<Command> MakeEraseCommand() {
    return std::make_unique<ManualCommand>(Manual::Erase);
}
std::unique_ptr<Command> MakeStartCommand() {
    return std::make_unique<ManualCommand>(Manual::Start);
}
std::unique_ptr<Command> MakeResetCommand() {
    return std::make_unique<ManualCommand>(Manual::Reset);
}

}  // namespace qdfu::cli
