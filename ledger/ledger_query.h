// What an engineer asks of a ledger after a shift, apart from any database: the times a question
// is bounded by, the yield and the failure causes of a set of runs grouped one way, and the runs or
// the groups as CSV (RFC 4180) or as a table for a terminal. The command line's `ledger show` and
// `ledger stats` and the operator window's history use these alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ledger.h"

namespace qdfu {

// An ISO 8601 date (2026-12-09) or date and time (2026-12-09T08:00, 2026-12-09T08:00:00, seconds'
// fractions dropped), then Z, an offset (+01:00, +0100, +01) or nothing (the local time), as the
// ledger keeps times (UTC, 2026-12-09T07:00:00Z) in utc. A date alone is its first second, or
// with endOfDay its last (the bound of an --until that takes the whole day). False with why, which
// names text, for anything else (a date that does not exist included).
bool ParseLedgerTime(const std::string& text, bool endOfDay, std::string& utc, std::string& why);

// The local calendar day (2026-12-09) of a time as the ledger keeps it; "" for one it cannot read.
std::string LocalDay(const std::string& utc);

// A failure's reason with its addresses taken out, so that the same cause at two addresses is
// one cause: "write at 0x00003940: RX ERROR (NAK)" and "write at 0x00002800: RX ERROR (NAK)" both
// become "write: RX ERROR (NAK)".
std::string ReasonCause(const std::string& reason);

enum class StatsBy { Day, Station, Operator, WorkOrder, File, Reason };
// "day", "station", "operator", "work-order", "file", "reason".
std::optional<StatsBy> StatsByFromName(const std::string& name);

// One group of runs: how many ended each way, and the yield: completed / (completed + failed),
// none when both are zero (runs that were not done say nothing of the units).
struct StatsRow {
    std::string Group;
    uint64_t Runs = 0, Completed = 0, Failed = 0, NotDone = 0;
    std::optional<double> Yield;
};

// The runs grouped by: days in order, stations, operators, work orders and files by name; by
// reason, only the runs that have one (those that failed or were not done), the largest group
// first (a Pareto of the causes; groups as large in the order of their names). A run whose field
// is empty forms the group "".
std::vector<StatsRow> LedgerStats(const std::vector<LedgerRun>& runs, StatsBy by);
// The fields of a run that LedgerStats reads to group by (RunFilter::Fields).
std::vector<RunField> StatsFields(StatsBy by);

// The field names of a run and a stats row (as the JSON lines name them) and their values as text
// (an absent serial, a yield of none: "").
std::vector<std::string> RunFieldNames();
std::vector<std::string> RunFieldValues(const LedgerRun& run);
std::vector<std::string> StatsFieldNames();
std::vector<std::string> StatsFieldValues(const StatsRow& row);

// One CSV record, ended by CRLF: a field with a comma, a quote, a CR or an LF in quotes, its quotes
// doubled; a field that is no number and starts with = + - @, a tab or a CR after an apostrophe,
// so that a spreadsheet shows it rather than evaluating it.
std::string CsvRecord(const std::vector<std::string>& fields);
// Rows under a header in columns as wide as their widest value (in characters, UTF-8 counted as a
// terminal shows it), two spaces between, a line each; control characters shown as spaces.
std::string TableText(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows);

}  // namespace qdfu
