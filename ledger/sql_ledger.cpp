// The serial rules in SQL that SQLite and PostgreSQL take alike (see sql_ledger.h). The sequence's
// next is kept as a 64-bit number: after kLastSerial it holds kLastSerial + 1, which is never
// given.
#include "sql_ledger.h"

#include <cstdlib>

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
           integer + ",\n    retries " + integer + ", start TEXT, \"end\" TEXT);\n";
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
            r.End};
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
    return r;
}

bool SqlLedger::Reserve(uint32_t& serial, std::string& why) {
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
