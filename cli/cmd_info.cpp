// ports, hex and ledger: what the command line tells without a controller. ports lists the present
// serial ports (and what a USB adapter tells of itself), hex loads a file and shows its image, and
// ledger prints what a ledger keeps.
#include <cerrno>
#include <cstring>

#include "cli_platform.h"
#include "common.h"
#include "json_events.h"
#include "ledger_query.h"
#include "ports.h"
#include "text_lines.h"

namespace qdfu::cli {
namespace {

std::string Hex8(int32_t v) {
    return v < 0 ? std::to_string(v) : "0x" + HexDigits(static_cast<uint32_t>(v), 8);
}

// The image from ImageStart to ImageEnd as raw bytes.
bool WriteImage(const std::string& path, const HexLoadResult& r) {
    const std::size_t span =
        r.ImageStart < 0 ? 0 : static_cast<std::size_t>(r.ImageEnd - r.ImageStart);
    return WriteWholeFile(path, MemoryImage(), span);
}

class PortsCommand final : public Command {
  public:
    CLI::App* Declare(CLI::App& app) override {
        auto* ports =
            app.add_subcommand("ports",
                               "list the present serial ports: COMn, a tab, the device (and for a "
                               "USB adapter, a tab and its "
                               "vendor and product id, manufacturer, product and serial number)");
        ports->add_flag("--json", json,
                        "one JSON object per port (event \"port\") instead of the columns");
        ports->add_option("--ports-dir", portsPaths.PortsDir, "")
            ->group("");  // the port seams, for tests
        ports->add_option("--dev-root", portsPaths.DevRoot, "")->group("");
        ports->add_option("--sysfs-root", portsPaths.SysfsRoot, "")->group("");
        SetFooter(ports, "0 listed, 1 no source of ports can be read",
                  "quarnelix-dfu-cli ports --json");
        return ports;
    }
    int Run(const std::string&) override {
        std::string unkept;
        const auto present = ListPresentPorts(portsPaths, &unkept);
        if (!unkept.empty()) std::fprintf(stderr, "%s\n", unkept.c_str());
        if (!present) {
            std::fprintf(stderr,
                         "no source of serial ports can be read (sysfs and the ports directory)\n");
            return 1;
        }
        JsonEvents events(stdout);
        for (const PresentPort& p : *present) {
            const auto usb = UsbIdentityOf(p.Device, portsPaths);
            if (json) {
                events.Port(p, usb);
                continue;
            }
            std::printf("%s\t%s%s\n", p.Name.c_str(), p.Device.c_str(),
                        usb ? ("\t" + UsbIdentityText(*usb)).c_str() : "");
        }
        return 0;
    }

  private:
    bool json = false;
    PortPaths portsPaths = DefaultPortPaths();
};

class HexCommand final : public Command {
  public:
    CLI::App* Declare(CLI::App& app) override {
        auto* hex = app.add_subcommand("hex", "load FILE.hex and print its image summary");
        hex->add_option("file", hexPath, "Intel HEX file")->required();
        hex->add_flag("--listing", listing, "print the interpreted listing");
        hex->add_flag("--dump", dump, "print the 64-byte dump of the image");
        hex->add_option("--bin", binPath,
                        "write the image from ImageStart to ImageEnd as raw bytes to OUT");
        AddIgnoreChecksumsFlag(hex, ignoreChecksums);
        SetFooter(hex, "0 loaded, 65 refused, 66 cannot be read",
                  "quarnelix-dfu-cli hex fw.hex --dump");
        return hex;
    }
    int Run(const std::string&) override {
        HexLoadResult r;
        if (const int rc = LoadImage(
                hexPath, r, {.WithListings = listing || dump, .IgnoreChecksums = ignoreChecksums}))
            return rc;
        if (NothingToUpload(r)) {
            std::printf("valid: yes\nImageStart: none\nImageEnd: none\nblocks: 0\n");
            std::printf("nothing to upload: no byte from 0x2800 up\n");
            r.Dump.clear();
        } else {
            std::printf("valid: yes\nImageStart: %s\nImageEnd: %s\nblocks: %d\n",
                        Hex8(r.ImageStart).c_str(), Hex8(r.ImageEnd).c_str(),
                        BlockCount(r.ImageStart, r.ImageEnd));
            if (const std::string why = UploadRefusal(r); !why.empty())
                std::printf("cannot be uploaded: %s\n", why.c_str());
        }
        if (const std::string note = BootAreaNote(r); !note.empty())
            std::printf("%s\n", note.c_str());
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

  private:
    std::string hexPath, binPath;
    bool listing = false, dump = false, ignoreChecksums = false;
};

class LedgerCommand final : public Command {
  public:
    CLI::App* Declare(CLI::App& app) override {
        auto* ledgerCmd =
            app.add_subcommand("ledger", "what a ledger keeps: its runs, its next serial number");
        ledgerCmd->require_subcommand(1);
        auto* ledgerShow = ledgerCmd->add_subcommand(
            "show", "print the runs as JSON lines (the report's fields), oldest first");
        ledgerShow->add_option("--ledger", ledgerWhere, "an SQLite file or postgresql://...")
            ->required();
        ledgerShow->add_option("--serial", serialFilter, "only the runs of this serial number");
        ledgerShow->add_option(
            "--since", sinceText,
            "only the runs that started at TIME or later (2026-12-08T10:00:00Z)");
        next_ = ledgerCmd->add_subcommand("next", "print the serial number the next unit gets");
        next_->add_option("--ledger", ledgerWhere, "an SQLite file or postgresql://...")
            ->required();
        SetFooter(ledgerCmd,
                  "0 done, 1 the ledger would not answer (or next: no serial numbers are left), 66 "
                  "no such ledger, 73 it cannot be opened",
                  "quarnelix-dfu-cli ledger show --ledger ledger.sqlite --serial 100004");
        return ledgerCmd;
    }
    int Run(const std::string&) override {
        std::string why;
        // only read: a mistyped name is said, never made into a new ledger
        if (!LedgerExists(ledgerWhere)) {
            std::fprintf(stderr, "--ledger %s: no such ledger\n", LedgerName(ledgerWhere).c_str());
            return kExitNoInput;
        }
        RunFilter filter;
        if (serialFilter >= 0) filter.Serial = static_cast<uint32_t>(serialFilter);
        if (!sinceText.empty() && !ParseLedgerTime(sinceText, false, filter.Since, why)) {
            std::fprintf(stderr, "--since: %s\n", why.c_str());
            return kExitUsage;
        }
        const auto books = OpenRunLedger(ledgerWhere, why, LedgerAccess::Read);
        if (!books) {
            std::fprintf(stderr, "%s\n", why.c_str());
            return kExitCannotCreate;
        }
        if (next_->parsed()) {
            uint32_t next = 0;
            if (!books->Next(next, why)) return std::fprintf(stderr, "%s\n", why.c_str()), 1;
            std::printf("%u\n", next);
            return 0;
        }
        std::vector<LedgerRun> runs;
        if (!books->Runs(filter, runs, why))
            return std::fprintf(stderr, "%s\n", why.c_str()), 1;
        for (const LedgerRun& run : runs) std::printf("%s\n", LedgerRunLine(run).c_str());
        return 0;
    }

  private:
    CLI::App* next_ = nullptr;
    std::string ledgerWhere, sinceText;
    int64_t serialFilter = -1;
};

}  // namespace

std::unique_ptr<Command> MakePortsCommand() {
    return std::make_unique<PortsCommand>();
}
std::unique_ptr<Command> MakeHexCommand() {
    return std::make_unique<HexCommand>();
}
std::unique_ptr<Command> MakeLedgerCommand() {
    return std::make_unique<LedgerCommand>();
}

}  // namespace qdfu::cli
