// ports, hex and ledger: what the command line tells without a controller. ports lists the present
// serial ports (and what a USB adapter tells of itself), hex loads a file and shows its image, and
// ledger prints what a ledger keeps.
#include <cerrno>
#include <cstring>
#include <optional>

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

// The runs of a ledger or their groups, printed as JSON lines, CSV or a table.
class LedgerCommand final : public Command {
  public:
    CLI::App* Declare(CLI::App& app) override {
        auto* ledgerCmd = app.add_subcommand(
            "ledger",
            "what a ledger keeps: its runs, their yield and causes, its next serial number");
        ledgerCmd->require_subcommand(1);
        show_ = ledgerCmd->add_subcommand(
            "show",
            "print the runs, oldest first (runs that started in the same second in the order "
            "they were recorded)");
        stats_ = ledgerCmd->add_subcommand(
            "stats",
            "print the runs grouped one way: runs, completed, failed, not done and the yield "
            "(completed / (completed + failed)) of each group");
        for (CLI::App* cmd : {show_, stats_}) {
            cmd->add_option("--ledger", ledgerWhere, "an SQLite file or postgresql://...")
                ->type_name("LEDGER")
                ->required();
            if (cmd == stats_)
                cmd->add_option(
                       "--by", byText,
                       "day (local), station, operator, work-order, file, or reason (the "
                       "failures' and not done runs' causes, addresses left out, the largest "
                       "first)")
                    ->type_name("GROUPING")
                    ->required();
            AddFilters(cmd);
            cmd->add_option("--format", formatText,
                            std::string("jsonl (JSON lines, the default), csv (a header row, RFC "
                                        "4180) or table (aligned columns") +
                                (cmd == show_ ? "; serial, port, station, operator, work order, "
                                                "outcome, reason, blocks, retries, start)"
                                              : ")"))
                ->type_name("FORMAT");
        }
        const char* statuses =
            "0 done, 1 the ledger would not answer, 64 an option's value is refused, 66 no such "
            "ledger, 73 it cannot be opened";
        SetFooter(show_, statuses,
                  "quarnelix-dfu-cli ledger show --ledger ledger.sqlite --since 2026-12-09T06:00 "
                  "--until 2026-12-09T14:00 --station bench-1 --format table");
        SetFooter(stats_, statuses,
                  "quarnelix-dfu-cli ledger stats --ledger ledger.sqlite --by reason --since "
                  "2026-12-09 --until 2026-12-09 --format csv");
        next_ = ledgerCmd->add_subcommand("next", "print the serial number the next unit gets");
        next_->add_option("--ledger", ledgerWhere, "an SQLite file or postgresql://...")
            ->required();
        SetFooter(next_,
                  "0 done, 1 the ledger would not answer or no serial numbers are left, 66 "
                  "no such ledger, 73 it cannot be opened",
                  "quarnelix-dfu-cli ledger next --ledger ledger.sqlite");
        SetFooter(
            ledgerCmd,
            "0 done, 1 the ledger would not answer (or next: no serial numbers are left), 64 an "
            "option's value is refused, 66 no such ledger, 73 it cannot be opened",
            "quarnelix-dfu-cli ledger stats --ledger ledger.sqlite --by operator --since "
            "2026-12-09");
        return ledgerCmd;
    }
    int Run(const std::string&) override {
        std::string why;
        RunFilter filter;
        std::optional<StatsBy> by;
        if (!next_->parsed()) {
            if (const int rc = ReadFilter(filter)) return rc;
            if (formatText != "jsonl" && formatText != "csv" && formatText != "table")
                return Refuse("--format", formatText, "jsonl, csv or table");
            if (stats_->parsed() && !(by = StatsByFromName(byText)))
                return Refuse("--by", byText, "day, station, operator, work-order, file or reason");
            if (by) filter.Fields = StatsFields(*by);  // over many runs, only what is grouped
        }
        // only read: a mistyped name is said, never made into a new ledger
        if (!LedgerExists(ledgerWhere)) {
            std::fprintf(stderr, "--ledger %s: no such ledger\n", LedgerName(ledgerWhere).c_str());
            return kExitNoInput;
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
        if (!books->Runs(filter, runs, why)) return std::fprintf(stderr, "%s\n", why.c_str()), 1;
        if (by) {
            const std::vector<StatsRow> rows = LedgerStats(runs, *by);
            std::vector<std::vector<std::string>> values;
            for (const StatsRow& row : rows) {
                if (formatText == "jsonl")
                    Print(LedgerStatsLine(row) + "\n");
                else
                    values.push_back(Readable(StatsFieldValues(row)));
            }
            PrintRows(StatsFieldNames(), values);
            return 0;
        }
        // the table keeps to what a shift's report reads; csv and jsonl carry every field
        const std::vector<std::string> names = RunFieldNames();
        std::vector<std::size_t> columns;
        for (std::size_t k = 0; k < names.size(); ++k)
            if (formatText != "table" || TableField(names[k])) columns.push_back(k);
        std::vector<std::string> header;
        for (const std::size_t k : columns) header.push_back(names[k]);
        std::vector<std::vector<std::string>> values;
        for (const LedgerRun& run : runs) {
            if (formatText == "jsonl") {
                Print(LedgerRunLine(run) + "\n");
                continue;
            }
            const std::vector<std::string> all = RunFieldValues(run);
            std::vector<std::string> row;
            for (const std::size_t k : columns) row.push_back(all[k]);
            values.push_back(Readable(row));
        }
        PrintRows(header, values);
        return 0;
    }

  private:
    void AddFilters(CLI::App* cmd) {
        cmd->add_option("--since", sinceText,
                        "only the runs that started at TIME or later: 2026-12-09 (from its first "
                        "second), 2026-12-09T06:00 (local time), 2026-12-09T05:00:00Z or "
                        "2026-12-09T06:00:00+01:00")
            ->type_name("TIME");
        cmd->add_option("--until", untilText,
                        "only the runs that started at TIME or earlier, written as for --since; a "
                        "date takes the whole day (2026-12-09T14:00)")
            ->type_name("TIME");
        cmd->add_option("--serial", serialText, "only the runs of this serial number (100004)")
            ->type_name("N");
        cmd->add_option_function<std::string>(
               "--operator", [this](const std::string& v) { operatorName = v; },
               "only the runs of this operator, as upload's --operator named them (anna)")
            ->type_name("NAME");
        cmd->add_option_function<std::string>(
               "--station", [this](const std::string& v) { station = v; },
               "only the runs of this station, its host name (bench-1)")
            ->type_name("NAME");
        cmd->add_option_function<std::string>(
               "--work-order", [this](const std::string& v) { workOrder = v; },
               "only the runs of this work order (WO-4711; \"\" for the runs without one)")
            ->type_name("TEXT");
        cmd->add_option("--outcome", outcomeText,
                        "only the runs that ended so: completed, failed or not_done (failed)")
            ->type_name("OUTCOME");
    }

    static int Refuse(const char* option, const std::string& value, const char* allowed) {
        std::fprintf(stderr, "%s: '%s' is not %s\n", option, value.c_str(), allowed);
        return kExitUsage;
    }

    // The filter the options give; 0, or kExitUsage once a value was refused.
    int ReadFilter(RunFilter& filter) {
        std::string why;
        if (!sinceText.empty() && !ParseLedgerTime(sinceText, false, filter.Since, why))
            return std::fprintf(stderr, "--since: %s\n", why.c_str()), kExitUsage;
        if (!untilText.empty() && !ParseLedgerTime(untilText, true, filter.Until, why))
            return std::fprintf(stderr, "--until: %s\n", why.c_str()), kExitUsage;
        if (!serialText.empty()) {
            const bool digits = serialText.size() <= 10 &&
                                serialText.find_first_not_of("0123456789") == std::string::npos;
            const unsigned long long n = digits ? std::stoull(serialText) : 0;
            if (!digits || n > kLastSerial)
                return Refuse("--serial", serialText, "a serial number (0 to 4294967295)");
            filter.Serial = static_cast<uint32_t>(n);
        }
        if (!outcomeText.empty() && outcomeText != "completed" && outcomeText != "failed" &&
            outcomeText != "not_done")
            return Refuse("--outcome", outcomeText, "completed, failed or not_done");
        if (!outcomeText.empty()) filter.Outcome = outcomeText;
        filter.Operator = operatorName;
        filter.Station = station;
        filter.WorkOrder = workOrder;
        return 0;
    }

    static bool TableField(const std::string& name) {
        for (const char* kept : {"serial", "station", "operator", "work_order", "port", "outcome",
                                 "reason", "blocks", "retries", "start"})
            if (name == kept) return true;
        return false;
    }

    // Text as the JSON lines give it: a stray byte that is not UTF-8 as the character of its value.
    static std::vector<std::string> Readable(std::vector<std::string> values) {
        for (std::string& v : values) v = ValidUtf8(v);
        return values;
    }

    static void Print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

    // csv or table (jsonl was printed line by line)
    void PrintRows(const std::vector<std::string>& header,
                   const std::vector<std::vector<std::string>>& rows) const {
        if (formatText == "table") {
            Print(TableText(header, rows));
        } else if (formatText == "csv") {
            Print(CsvRecord(header));
            for (const auto& row : rows) Print(CsvRecord(row));
        }
    }

    CLI::App *show_ = nullptr, *stats_ = nullptr, *next_ = nullptr;
    std::string ledgerWhere, sinceText, untilText, serialText, outcomeText, byText;
    std::string formatText = "jsonl";
    std::optional<std::string> operatorName, station, workOrder;
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
