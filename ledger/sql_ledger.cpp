// The serial rules in SQL that SQLite and PostgreSQL take alike (see sql_ledger.h). The sequence's
// next is kept as a 64-bit number: after kLastSerial it holds kLastSerial + 1, which is never
// given.
#include "sql_ledger.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace qdfu {

std::string LedgerSchema(const std::string& integer, const std::string& autoId) {
    return "CREATE TABLE IF NOT EXISTS sequence (id INTEGER PRIMARY KEY CHECK (id = 1), next " +
           integer +
           " NOT NULL);\n"
           "CREATE TABLE IF NOT EXISTS serials (serial " +
           integer +
           " PRIMARY KEY, state TEXT NOT NULL\n"
           "    CHECK (state IN ('reserved', 'spent', 'returned')));\n"
           "CREATE TABLE IF NOT EXISTS runs (id " +
           autoId + ", serial " + integer +
           ", port TEXT, device TEXT, by_id TEXT,\n"
           "    station TEXT, operator TEXT, hex_path TEXT, hex_sha256 TEXT, outcome TEXT, reason "
           "TEXT, blocks " +
           integer + ",\n    retries " + integer +
           ", start TEXT, \"end\" TEXT, work_order TEXT, run_key TEXT);\n"
           "CREATE UNIQUE INDEX IF NOT EXISTS runs_by_key ON runs (run_key);\n"
           "CREATE INDEX IF NOT EXISTS runs_by_start ON runs (start);\n"
           "CREATE TABLE IF NOT EXISTS ledger_schema (version INTEGER NOT NULL, ledger_id TEXT NOT NULL);\n"
           "INSERT INTO ledger_schema (version, ledger_id) VALUES (" +
           std::to_string(kLedgerSchemaVersion) + ", '" + NewRunKey() + "');\n";
}

std::string LedgerMigrationFrom1() {
    return "ALTER TABLE runs ADD COLUMN work_order TEXT;\n"
           "ALTER TABLE runs ADD COLUMN run_key TEXT;\n"
           "CREATE UNIQUE INDEX IF NOT EXISTS runs_by_key ON runs (run_key);\n"
           "CREATE INDEX IF NOT EXISTS runs_by_start ON runs (start);\n"
           "CREATE TABLE IF NOT EXISTS ledger_schema (version INTEGER NOT NULL, ledger_id TEXT NOT NULL);\n"
           "INSERT INTO ledger_schema (version, ledger_id) VALUES (2, '" +
           NewRunKey() + "');\n";
}

std::vector<std::optional<std::string>> RunValues(const LedgerRun& r) {
    return {r.Serial ? std::optional(std::to_string(*r.Serial)) : std::nullopt,
            r.Port,
            r.Device,
            r.ById,
            r.Station,
            r.Operator,
            r.HexPath,
            r.HexSha256,
            r.Outcome,
            r.Reason,
            std::to_string(r.Blocks),
            std::to_string(r.Retries),
            r.Start,
            r.End,
            r.WorkOrder,
            r.Key.empty() ? NewRunKey() : r.Key};
}

LedgerRun RunFromColumns(const std::function<std::optional<std::string>(int)>& column) {
    const auto text = [&](int k) { return column(k).value_or(""); };
    // a column edited by hand into something else reads as 0, never as an exception
    const auto number = [&](int k) { return static_cast<uint32_t>(std::strtoul(text(k).c_str(), nullptr, 10)); };
    LedgerRun r;
    if (column(0)) r.Serial = number(0);
    r.Port = text(1), r.Device = text(2), r.ById = text(3), r.Station = text(4),
    r.Operator = text(5);
    r.HexPath = text(6), r.HexSha256 = text(7), r.Outcome = text(8), r.Reason = text(9);
    r.Blocks = number(10), r.Retries = number(11);
    r.Start = text(12), r.End = text(13);
    r.WorkOrder = text(14), r.Key = text(15);
    return r;
}

std::string RecordStatement(const std::function<std::string(int)>& placeholder) {
    std::string sql = std::string("INSERT INTO runs (") + kRunColumns + ") VALUES (";
    for (int k = 1; k <= kRunColumnCount; ++k) sql += placeholder(k) + (k < kRunColumnCount ? ", " : ")");
    // a run recorded again is kept once, except that a run's end replaces a row kept for it before
    // it ended (End "": a run cut short, or still running when another program recorded its row)
    std::string update;
    for (std::string_view columns = kRunColumns; !columns.empty();) {
        const std::size_t comma = columns.find(',');
        std::string_view column = columns.substr(0, comma);
        while (!column.empty() && column.front() == ' ') column.remove_prefix(1);
        if (column != "run_key") update += (update.empty() ? "" : ", ") + std::string(column) + " = excluded." + std::string(column);
        columns = comma == std::string_view::npos ? std::string_view() : columns.substr(comma + 1);
    }
    return sql + " ON CONFLICT (run_key) DO UPDATE SET " + update +
           " WHERE COALESCE(runs.\"end\", '') = '' AND COALESCE(excluded.\"end\", '') <> ''";
}

std::string RunsStatement(const RunFilter& f, int version, const std::function<std::string(int)>& placeholder,
                          std::vector<std::string>& parameters) {
    // a ledger of version 1 has neither work orders nor keys: read as none; a field not asked
    // for is read as none too, in its place, so that RunFromColumns reads the columns alike
    std::string columns;
    const std::string all = kRunColumns;
    for (std::size_t from = 0, k = 0; from < all.size(); ++k) {
        std::size_t to = all.find(", ", from);
        if (to == std::string::npos) to = all.size();
        const bool asked =
            f.Fields.empty() ||
            std::find(f.Fields.begin(), f.Fields.end(), static_cast<RunField>(k)) != f.Fields.end();
        const bool kept = version >= 2 || static_cast<RunField>(k) < RunField::WorkOrder;
        columns +=
            (columns.empty() ? "" : ", ") + (asked && kept ? all.substr(from, to - from) : "NULL");
        from = to + 2;
    }
    std::string sql = "SELECT " + columns + " FROM runs WHERE 1 = 1";
    const auto where = [&](const char* test, const std::string& value) {
        parameters.push_back(value);
        sql += std::string(" AND ") + test + " " + placeholder(static_cast<int>(parameters.size()));
    };
    if (f.Serial) sql += " AND serial = " + std::to_string(*f.Serial);
    if (!f.Since.empty()) where("start >=", f.Since);
    if (!f.Until.empty()) where("start <=", f.Until);
    if (f.Operator) where("operator =", *f.Operator);
    if (f.Station) where("station =", *f.Station);
    if (f.WorkOrder) {
        if (version < 2 && !f.WorkOrder->empty()) sql += " AND 1 = 0";  // no run has one
        if (version >= 2) where("COALESCE(work_order, '') =", *f.WorkOrder);
    }
    if (f.Outcome) where("outcome =", *f.Outcome);
    return sql + " ORDER BY start, id";
}

bool SqlLedger::FindVersion(int& version, std::string& why) {
    int64_t schema = 0, runs = 0;
    if (!Scalar(TableCount("ledger_schema"), schema, why)) return false;
    if (schema > 0) {
        int64_t v = 0;
        if (!Scalar("SELECT MAX(version) FROM ledger_schema", v, why)) return false;
        version = static_cast<int>(std::min<int64_t>(v, 1000000));
        return version > kLedgerSchemaVersion || ScalarText("SELECT MAX(ledger_id) FROM ledger_schema", id_, why);
    }
    if (!Scalar(TableCount("runs"), runs, why)) return false;
    version = runs > 0 ? 1 : 0;
    return true;
}

bool SqlLedger::CheckNotNewer(std::string& why) {
    int version = 0;
    if (!FindVersion(version, why)) return false;
    if (version <= kLedgerSchemaVersion) return true;
    version_ = version;
    why = "ledger: " + std::string(kNewerLedger) + " (its tables are version " + std::to_string(version) +
          ", this program knows up to " + std::to_string(kLedgerSchemaVersion) + "): not opened, nothing written";
    return false;
}

bool SqlLedger::Prepare(bool write, std::string& why) {
    const auto newer = [&] {
        why = "ledger: " + std::string(kNewerLedger) + " (its tables are version " + std::to_string(version_) +
              ", this program knows up to " + std::to_string(kLedgerSchemaVersion) + "): not opened, nothing written";
        return false;
    };
    if (!FindVersion(version_, why)) return false;
    if (version_ > kLedgerSchemaVersion) return newer();
    writable_ = write;
    if (!write || version_ == kLedgerSchemaVersion) return true;
    // made or brought once, by whichever program comes first
    bool isNewer = false;
    const bool done = SchemaTransaction(why, [&] {
        if (!FindVersion(version_, why)) return false;
        if (version_ > kLedgerSchemaVersion) {
            isNewer = true;
            return false;
        }
        if (version_ == 0 && !Exec(LedgerSchema(IntegerType(), AutoIdType()), why)) return false;
        if (version_ == 1 && !Exec(LedgerMigrationFrom1(), why)) return false;
        version_ = kLedgerSchemaVersion;
        return ScalarText("SELECT MAX(ledger_id) FROM ledger_schema", id_, why);
    });
    if (isNewer) return newer();
    return done;
}

bool SqlLedger::Writable(std::string& why) const {
    if (writable_) return true;
    why = "ledger: opened only to read";
    return false;
}

bool SqlLedger::Reserve(uint32_t& serial, std::string& why) {
    if (!Writable(why)) return false;
    return SerialsTransaction(why, [&] {
        int64_t s = -1;
        if (!Scalar("SELECT MIN(serial) FROM serials WHERE state = 'returned'", s, why))
            return false;
        if (s >= 0) {
            serial = static_cast<uint32_t>(s);
            return Exec("UPDATE serials SET state = 'reserved' WHERE serial = " + std::to_string(s),
                        why);
        }
        if (!NextOfSequence(s, why)) return false;
        serial = static_cast<uint32_t>(s);
        return Exec("INSERT INTO serials (serial, state) VALUES (" + std::to_string(s) +
                        ", 'reserved')",
                    why) &&
               Exec("INSERT INTO sequence (id, next) VALUES (1, " + std::to_string(s + 1) +
                        ") ON CONFLICT (id) DO UPDATE SET next = excluded.next",
                    why);
    });
}

bool SqlLedger::StartSerialsAt(uint32_t first, std::string& why) {
    if (!Writable(why)) return false;
    return SerialsTransaction(why, [&] {
        int64_t given = 0, next = -1;
        if (!Scalar("SELECT COUNT(*) FROM serials", given, why) ||
            !Scalar("SELECT next FROM sequence", next, why))
            return false;
        if (given > 0 && next >= 0 && first < next) {
            why = "--serial-first " + std::to_string(first) +
                  ": this ledger has given serials up to " + std::to_string(next - 1) +
                  "; the sequence may only move forward";
            return false;
        }
        return Exec("INSERT INTO sequence (id, next) VALUES (1, " + std::to_string(first) +
                        ") ON CONFLICT (id) DO UPDATE SET next = excluded.next",
                    why);
    });
}

bool SqlLedger::Next(uint32_t& serial, std::string& why) {
    if (version_ == 0) {  // no tables yet: a new ledger's sequence
        serial = 1;
        return true;
    }
    int64_t s = -1;
    if (!Scalar("SELECT MIN(serial) FROM serials WHERE state = 'returned'", s, why)) return false;
    if (s < 0 && !NextOfSequence(s, why)) return false;
    serial = static_cast<uint32_t>(s);
    return true;
}

bool SqlLedger::SetState(uint32_t serial, const char* state, std::string& why) {
    // A serial moves only from reserved (a spent one may be spent again: a resume's); one this
    // ledger never gave, or gave back, is never taken for given here. Checked and changed in the
    // transaction reservations take, so that no other station's reservation comes between.
    const std::string from = std::string(state) == "spent" ? "'reserved', 'spent'" : "'reserved'";
    const std::string n = std::to_string(serial);
    if (!Writable(why)) return false;
    bool moved = false;
    const bool done = SerialsTransaction(why, [&] {
        int64_t held = 0;
        if (!Scalar("SELECT count(*) FROM serials WHERE serial = " + n + " AND state IN (" + from + ")", held, why))
            return false;
        if (held != 1) return true;
        moved = true;
        return Exec("UPDATE serials SET state = '" + std::string(state) + "' WHERE serial = " + n, why);
    });
    if (!done) return false;
    if (moved) return true;
    why = "ledger: serial " + n + " is not one this ledger has reserved";
    return false;
}

bool SqlLedger::NextOfSequence(int64_t& next, std::string& why) {
    next = 1;  // a new ledger's sequence starts at 1
    if (!Scalar("SELECT next FROM sequence", next, why)) return false;
    if (next <= int64_t{kLastSerial}) return true;
    why = std::string(kNoSerialsLeft) + ": the sequence ends at " + std::to_string(kLastSerial) +
          ", which was given";
    return false;
}

}  // namespace qdfu
