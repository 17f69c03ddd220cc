// The ledger in an SQLite file: WAL mode and a busy time-out so that several processes (the
// stations of one bench, the children of one run) share it, and every reservation in one
// immediate transaction so that no serial is given twice.
#include <sqlite3.h>

#include <chrono>
#include <thread>

#include "ledger.h"

namespace qdfu {
namespace {

constexpr int kBusyMs = 10000;

constexpr const char* kSchema = R"SQL(
CREATE TABLE IF NOT EXISTS sequence (id INTEGER PRIMARY KEY CHECK (id = 1), next INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS serials (serial INTEGER PRIMARY KEY, state TEXT NOT NULL
    CHECK (state IN ('reserved', 'spent', 'returned')));
CREATE TABLE IF NOT EXISTS runs (id INTEGER PRIMARY KEY AUTOINCREMENT, serial INTEGER, port TEXT, device TEXT,
    by_id TEXT, station TEXT, operator TEXT, hex_path TEXT, hex_sha256 TEXT, outcome TEXT, reason TEXT,
    blocks INTEGER, retries INTEGER, start TEXT, "end" TEXT);
)SQL";

class SqliteLedger final : public Ledger {
public:
    explicit SqliteLedger(sqlite3* db) : db_(db) {}
    ~SqliteLedger() override { sqlite3_close(db_); }

    // Several processes may open a new ledger at once: the switch to WAL takes the database for
    // itself, and is tried again while another holds it; the tables are made under the write lock.
    bool Open(std::string& why) {
        sqlite3_busy_timeout(db_, kBusyMs);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyMs);
        while (!Exec("PRAGMA journal_mode=WAL", why)) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return Transaction(why, [&] { return Exec(kSchema, why); });
    }

    bool Reserve(uint32_t& serial, std::string& why) override {
        return Transaction(why, [&] {
            int64_t s = -1;
            if (!Scalar("SELECT MIN(serial) FROM serials WHERE state = 'returned'", s, why)) return false;
            if (s >= 0) {
                serial = static_cast<uint32_t>(s);
                return Exec("UPDATE serials SET state = 'reserved' WHERE serial = " + std::to_string(s), why);
            }
            if (!NextOfSequence(s, why)) return false;
            serial = static_cast<uint32_t>(s);
            return Exec("INSERT INTO serials (serial, state) VALUES (" + std::to_string(s) + ", 'reserved')", why) &&
                   Exec("INSERT INTO sequence (id, next) VALUES (1, " + std::to_string(s + 1) +
                            ") ON CONFLICT (id) DO UPDATE SET next = excluded.next",
                        why);
        });
    }

    bool Spend(uint32_t serial, std::string& why) override { return SetState(serial, "spent", why); }
    bool Return(uint32_t serial, std::string& why) override { return SetState(serial, "returned", why); }

    bool Record(const LedgerRun& r, std::string& why) override {
        sqlite3_stmt* st = nullptr;
        const char* sql =
            "INSERT INTO runs (serial, port, device, by_id, station, operator, hex_path, hex_sha256, outcome, reason, "
            "blocks, retries, start, \"end\") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
        if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) != SQLITE_OK) return Fail(why);
        if (r.Serial)
            sqlite3_bind_int64(st, 1, *r.Serial);
        else
            sqlite3_bind_null(st, 1);
        int k = 2;
        for (const std::string* text : {&r.Port, &r.Device, &r.ById, &r.Station, &r.Operator, &r.HexPath,
                                        &r.HexSha256, &r.Outcome, &r.Reason})
            sqlite3_bind_text(st, k++, text->c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(st, k++, r.Blocks);
        sqlite3_bind_int64(st, k++, r.Retries);
        sqlite3_bind_text(st, k++, r.Start.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, k++, r.End.c_str(), -1, SQLITE_TRANSIENT);
        const bool ok = sqlite3_step(st) == SQLITE_DONE;
        sqlite3_finalize(st);
        return ok || Fail(why);
    }

    bool StartSerialsAt(uint32_t first, std::string& why) override {
        return Transaction(why, [&] {
            int64_t given = 0, next = -1;
            if (!Scalar("SELECT COUNT(*) FROM serials", given, why) || !Scalar("SELECT next FROM sequence", next, why))
                return false;
            if (given > 0 && next >= 0 && first < next) {
                why = "--serial-first " + std::to_string(first) + ": this ledger has given serials up to " +
                      std::to_string(next - 1) + "; the sequence may only move forward";
                return false;
            }
            return Exec("INSERT INTO sequence (id, next) VALUES (1, " + std::to_string(first) +
                            ") ON CONFLICT (id) DO UPDATE SET next = excluded.next",
                        why);
        });
    }

    bool Next(uint32_t& serial, std::string& why) override {
        int64_t s = -1;
        if (!Scalar("SELECT MIN(serial) FROM serials WHERE state = 'returned'", s, why)) return false;
        if (s < 0 && !NextOfSequence(s, why)) return false;
        serial = static_cast<uint32_t>(s);
        return true;
    }

    bool Runs(std::optional<uint32_t> serial, const std::string& since, std::vector<LedgerRun>& runs,
              std::string& why) override {
        std::string sql =
            "SELECT serial, port, device, by_id, station, operator, hex_path, hex_sha256, outcome, reason, blocks, "
            "retries, start, \"end\" FROM runs WHERE start >= ?";
        if (serial) sql += " AND serial = " + std::to_string(*serial);
        sql += " ORDER BY id";
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return Fail(why);
        sqlite3_bind_text(st, 1, since.c_str(), -1, SQLITE_TRANSIENT);
        auto text = [&](int c) {
            const unsigned char* t = sqlite3_column_text(st, c);
            return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
        };
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            LedgerRun r;
            if (sqlite3_column_type(st, 0) != SQLITE_NULL) r.Serial = static_cast<uint32_t>(sqlite3_column_int64(st, 0));
            r.Port = text(1), r.Device = text(2), r.ById = text(3), r.Station = text(4), r.Operator = text(5);
            r.HexPath = text(6), r.HexSha256 = text(7), r.Outcome = text(8), r.Reason = text(9);
            r.Blocks = static_cast<uint32_t>(sqlite3_column_int64(st, 10));
            r.Retries = static_cast<uint32_t>(sqlite3_column_int64(st, 11));
            r.Start = text(12), r.End = text(13);
            runs.push_back(r);
        }
        sqlite3_finalize(st);
        return rc == SQLITE_DONE || Fail(why);
    }

private:
    bool Fail(std::string& why) {
        why = std::string("ledger: ") + sqlite3_errmsg(db_);
        return false;
    }
    bool Exec(const std::string& sql, std::string& why) {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) == SQLITE_OK) return true;
        why = std::string("ledger: ") + (error ? error : "error");
        sqlite3_free(error);
        return false;
    }
    // The first column of the first row; value stays as it is for no row or NULL.
    bool Scalar(const std::string& sql, int64_t& value, std::string& why) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return Fail(why);
        const int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW && sqlite3_column_type(st, 0) != SQLITE_NULL) value = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        return rc == SQLITE_ROW || rc == SQLITE_DONE || Fail(why);
    }
    bool NextOfSequence(int64_t& next, std::string& why) {
        next = 1;  // a new ledger's sequence starts at 1
        return Scalar("SELECT next FROM sequence", next, why);
    }
    bool SetState(uint32_t serial, const char* state, std::string& why) {
        return Exec("UPDATE serials SET state = '" + std::string(state) + "' WHERE serial = " + std::to_string(serial),
                    why);
    }
    template <class Body>
    bool Transaction(std::string& why, Body&& body) {
        if (!Exec("BEGIN IMMEDIATE", why)) return false;
        if (body() && Exec("COMMIT", why)) return true;
        std::string ignored;
        Exec("ROLLBACK", ignored);
        return false;
    }

    sqlite3* db_;
};

}  // namespace

std::unique_ptr<Ledger> OpenSqliteLedger(const std::string& path, std::string& why) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr) !=
        SQLITE_OK) {
        why = "--ledger: cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return nullptr;
    }
    auto ledger = std::make_unique<SqliteLedger>(db);
    if (!ledger->Open(why)) {
        why = "--ledger: " + path + ": " + why;
        return nullptr;
    }
    return ledger;
}

}  // namespace qdfu
