// The ledger in an SQLite file: WAL mode and a busy time-out so that several processes (the
// stations of one bench, the children of one run) share it, and every reservation in one
// immediate transaction so that no serial is given twice. Only a database held by another process
// is waited for (up to kBusyMs); one that cannot be written (a read-only file) is said at once.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "sql_ledger.h"

namespace qdfu {
namespace {

constexpr int kBusyMs = 10000;

class SqliteLedger final : public SqlLedger {
  public:
    explicit SqliteLedger(sqlite3* db) : db_(db) {}
    ~SqliteLedger() override { sqlite3_close(db_); }

    // Several processes may open a new ledger at once: the switch to WAL takes the database for
    // itself, and is tried again while another holds it; the tables are made under the write lock.
    // Opened to read, nothing is written, not even the journal's mode.
    bool Open(bool write, std::string& why) {
        sqlite3_busy_timeout(db_, kBusyMs);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyMs);
        // a ledger of a later version is left exactly as it is, its journal's mode too
        if (write && !CheckNotNewer(why)) return false;
        while (write && !Exec("PRAGMA journal_mode=WAL", why)) {
            const int code = sqlite3_errcode(db_);
            if ((code != SQLITE_BUSY && code != SQLITE_LOCKED) ||
                std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return Prepare(write, why);
    }

    bool Record(const LedgerRun& r, std::string& why) override {
        if (!Writable(why)) return false;
        sqlite3_stmt* st = nullptr;
        const std::string sql = RecordStatement(Placeholder);
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return Fail(why);
        int k = 1;
        for (const auto& value : RunValues(r)) {
            if (value)
                sqlite3_bind_text(st, k++, value->c_str(), -1, SQLITE_TRANSIENT);
            else
                sqlite3_bind_null(st, k++);
        }
        const bool ok = sqlite3_step(st) == SQLITE_DONE;
        sqlite3_finalize(st);
        return ok || Fail(why);
    }

    bool Runs(const RunFilter& filter, std::vector<LedgerRun>& runs, std::string& why) override {
        if (Version() == 0) return true;  // no tables yet: no runs
        std::vector<std::string> parameters;
        const std::string sql = RunsStatement(filter, Version(), Placeholder, parameters);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return Fail(why);
        for (std::size_t k = 0; k < parameters.size(); ++k)
            sqlite3_bind_text(st, static_cast<int>(k + 1), parameters[k].c_str(), -1, SQLITE_TRANSIENT);
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            runs.push_back(RunFromColumns([&](int c) -> std::optional<std::string> {
                const unsigned char* t = sqlite3_column_text(st, c);
                if (!t) return std::nullopt;
                return std::string(reinterpret_cast<const char*>(t));
            }));
        }
        sqlite3_finalize(st);
        return rc == SQLITE_DONE || Fail(why);
    }

  protected:
    bool Exec(const std::string& sql, std::string& why) override {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) == SQLITE_OK) return true;
        why = std::string("ledger: ") + (error ? error : "error");
        sqlite3_free(error);
        return false;
    }
    bool ScalarText(const std::string& sql, std::string& value, std::string& why) override {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return Fail(why);
        const int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW && sqlite3_column_type(st, 0) != SQLITE_NULL)
            value = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
        return rc == SQLITE_ROW || rc == SQLITE_DONE || Fail(why);
    }
    bool Scalar(const std::string& sql, int64_t& value, std::string& why) override {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return Fail(why);
        const int rc = sqlite3_step(st);
        if (rc == SQLITE_ROW && sqlite3_column_type(st, 0) != SQLITE_NULL)
            value = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        return rc == SQLITE_ROW || rc == SQLITE_DONE || Fail(why);
    }
    std::string IntegerType() const override { return "INTEGER"; }
    std::string AutoIdType() const override { return "INTEGER PRIMARY KEY AUTOINCREMENT"; }
    std::string TableCount(const std::string& name) const override {
        return "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = '" + name + "'";
    }
    bool SchemaTransaction(std::string& why, const std::function<bool()>& body) override {
        return SerialsTransaction(why, body);
    }
    // An immediate transaction holds the database's write lock from its start.
    bool SerialsTransaction(std::string& why, const std::function<bool()>& body) override {
        if (!Exec("BEGIN IMMEDIATE", why)) return false;
        if (body() && Exec("COMMIT", why)) return true;
        std::string ignored;
        Exec("ROLLBACK", ignored);
        return false;
    }

  private:
    static std::string Placeholder(int k) {
        std::string text(1, '?');  // (a string built from a literal plus a temporary trips GCC 12's -Wrestrict)
        return text += std::to_string(k);
    }
    bool Fail(std::string& why) {
        why = std::string("ledger: ") + sqlite3_errmsg(db_);
        return false;
    }

    sqlite3* db_;
};

}  // namespace

std::unique_ptr<Ledger> OpenSqliteLedger(const std::string& path, std::string& why, LedgerAccess access) {
    sqlite3* db = nullptr;
    const int mode = access == LedgerAccess::Read     ? SQLITE_OPEN_READONLY
                     : access == LedgerAccess::Create ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                                                      : SQLITE_OPEN_READWRITE;
    if (sqlite3_open_v2(path.c_str(), &db, mode | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
        why = "--ledger: cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return nullptr;
    }
    auto ledger = std::make_unique<SqliteLedger>(db);
    if (!ledger->Open(access != LedgerAccess::Read, why)) {
        // A WAL ledger is read through its shared-memory file, which a reader may not be allowed
        // to make beside it (a folder only its writers may write). With no log waiting to be
        // checkpointed, the file alone holds everything: read it as it stands.
        std::error_code ec;
        const auto logSize = std::filesystem::file_size(std::filesystem::u8path(path + "-wal"), ec);
        if (access == LedgerAccess::Read && (ec || logSize == 0)) {
            std::string uri = "file:";
            if (path.size() > 1 && path[1] == ':') uri += '/';  // C:\... as file:/C:/...
            for (const char c : path) {
                if (c == '\\') uri += '/';
                else if (c == '%' || c == '?' || c == '#') {
                    char hex[4];
                    std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
                    uri += hex;
                } else uri += c;
            }
            uri += "?immutable=1";
            sqlite3* still = nullptr;
            std::string ignored;
            if (sqlite3_open_v2(uri.c_str(), &still, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_FULLMUTEX,
                                nullptr) == SQLITE_OK) {
                auto reader = std::make_unique<SqliteLedger>(still);
                if (reader->Open(false, ignored)) return reader;
            } else {
                sqlite3_close(still);
            }
        }
        why = "--ledger: " + path + ": " + why;
        return nullptr;
    }
    return ledger;
}

}  // namespace qdfu
