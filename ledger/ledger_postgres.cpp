// The ledger in a PostgreSQL database shared by the stations of a factory: every reservation in one
// transaction that holds the serials table, so that no serial is given twice whatever the number
// of stations.
#include <libpq-fe.h>

#include "sql_ledger.h"

namespace qdfu {
namespace {

// libpq's messages end in a newline and may hold a hint on a line of its own: one line.
std::string OneLineMessage(const char* message) {
    std::string text;
    for (const char* c = message; *c; ++c) {
        if (*c != '\n' && *c != '\t') {
            text += *c;
        } else if (!text.empty() && text.back() != ' ') {
            text += ' ';
        }
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

class PostgresLedger final : public SqlLedger {
  public:
    explicit PostgresLedger(PGconn* db) : db_(db) {}
    ~PostgresLedger() override { PQfinish(db_); }

    bool Open(std::string& why) {
        // several stations may create the tables at once: one of them at a time
        return Transaction(why, [&] {
            return Exec("SELECT pg_advisory_xact_lock(7710)", why) &&
                   Exec(LedgerSchema("BIGINT", "BIGSERIAL PRIMARY KEY"), why);
        });
    }

    bool Record(const LedgerRun& r, std::string& why) override {
        const auto values = RunValues(r);
        std::vector<const char*> params;
        for (const auto& value : values) params.push_back(value ? value->c_str() : nullptr);
        std::string sql = std::string("INSERT INTO runs (") + kRunColumns + ") VALUES (";
        for (int k = 1; k <= kRunColumnCount; ++k) {
            sql += '$';
            sql += std::to_string(k);
            sql += k < kRunColumnCount ? ", " : ")";
        }
        PGresult* res = PQexecParams(db_, sql.c_str(), kRunColumnCount, nullptr, params.data(),
                                     nullptr, nullptr, 0);
        return Done(res, PGRES_COMMAND_OK, why);
    }

    bool Runs(std::optional<uint32_t> serial, const std::string& since,
              std::vector<LedgerRun>& runs, std::string& why) override {
        std::string sql = std::string("SELECT ") + kRunColumns + " FROM runs WHERE start >= $1";
        if (serial) sql += " AND serial = " + std::to_string(*serial);
        sql += " ORDER BY id";
        const char* values[] = {since.c_str()};
        PGresult* res = PQexecParams(db_, sql.c_str(), 1, nullptr, values, nullptr, nullptr, 0);
        if (PQresultStatus(res) != PGRES_TUPLES_OK) return Done(res, PGRES_TUPLES_OK, why);
        for (int row = 0; row < PQntuples(res); ++row) {
            runs.push_back(RunFromColumns([&](int c) -> std::optional<std::string> {
                if (PQgetisnull(res, row, c)) return std::nullopt;
                return std::string(PQgetvalue(res, row, c));
            }));
        }
        PQclear(res);
        return true;
    }

  protected:
    bool Exec(const std::string& sql, std::string& why) override {
        PGresult* res = PQexec(db_, sql.c_str());
        const ExecStatusType status = PQresultStatus(res);
        return Done(res, status == PGRES_TUPLES_OK ? PGRES_TUPLES_OK : PGRES_COMMAND_OK, why);
    }
    bool Scalar(const std::string& sql, int64_t& value, std::string& why) override {
        PGresult* res = PQexec(db_, sql.c_str());
        if (PQresultStatus(res) == PGRES_TUPLES_OK && PQntuples(res) > 0 && !PQgetisnull(res, 0, 0))
            value = std::stoll(PQgetvalue(res, 0, 0));
        return Done(res, PGRES_TUPLES_OK, why);
    }
    bool SerialsTransaction(std::string& why, const std::function<bool()>& body) override {
        return Transaction(
            why, [&] { return Exec("LOCK TABLE serials IN EXCLUSIVE MODE", why) && body(); });
    }

  private:
    bool Done(PGresult* res, ExecStatusType wanted, std::string& why) {
        const bool ok = PQresultStatus(res) == wanted;
        if (!ok) why = "ledger: " + OneLineMessage(PQerrorMessage(db_));
        PQclear(res);
        return ok;
    }
    bool Transaction(std::string& why, const std::function<bool()>& body) {
        if (!Exec("BEGIN", why)) return false;
        if (body() && Exec("COMMIT", why)) return true;
        std::string ignored;
        Exec("ROLLBACK", ignored);
        return false;
    }

    PGconn* db_;
};

}  // namespace

std::unique_ptr<Ledger> OpenPostgresLedger(const std::string& uri, std::string& why) {
    PGconn* db = PQconnectdb(uri.c_str());
    if (PQstatus(db) != CONNECTION_OK) {
        why = "--ledger: cannot reach the database: " + OneLineMessage(PQerrorMessage(db));
        PQfinish(db);
        return nullptr;
    }
    PQsetNoticeProcessor(
        db, [](void*, const char*) {}, nullptr);  // "already exists, skipping"
    auto ledger = std::make_unique<PostgresLedger>(db);
    if (!ledger->Open(why)) return nullptr;
    return ledger;
}

}  // namespace qdfu
