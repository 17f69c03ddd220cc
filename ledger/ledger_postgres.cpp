// The ledger in a PostgreSQL database shared by the stations of a factory: every reservation in one
// transaction that holds the serials table, so that no serial is given twice whatever the number
// of stations. A connection lost (the server restarted, the network gone a while) is made again
// for the next statement that runs outside a transaction (a transaction's BEGIN included), so a
// station that runs for days keeps its ledger; a statement inside a transaction is never sent
// again on a new connection.
//
// The URI goes to libpq as it is, so everything libpq takes works as with any libpq program: TLS
// (sslmode, sslrootcert), the password from PGPASSFILE or ~/.pgpass, a service file
// (postgresql:///?service=NAME), a URI without host or user. Only the messages are ours: one
// line, never with the URI's password.
#include <libpq-fe.h>

#include <cstdlib>
#include <vector>

#include "sql_ledger.h"

namespace qdfu {
namespace {

constexpr int kConnectTimeoutS = 10;

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
    PostgresLedger(PGconn* db, std::string uri) : db_(db), uri_(std::move(uri)) {}
    ~PostgresLedger() override { PQfinish(db_); }

    bool Open(bool write, std::string& why) { return Prepare(write, why); }

    bool Record(const LedgerRun& r, std::string& why) override {
        if (!Writable(why)) return false;
        const auto values = RunValues(r);
        std::vector<const char*> params;
        for (const auto& value : values) params.push_back(value ? value->c_str() : nullptr);
        const std::string sql = RecordStatement(Placeholder);
        return Transaction(why, [&] {
            PGresult* res = PQexecParams(db_, sql.c_str(), kRunColumnCount, nullptr, params.data(),
                                         nullptr, nullptr, 0);
            return Done(res, PGRES_COMMAND_OK, why);
        });
    }

    bool Runs(const RunFilter& filter, std::vector<LedgerRun>& runs, std::string& why) override {
        if (Version() == 0) return true;  // no tables yet: no runs
        std::vector<std::string> parameters;
        const std::string sql = RunsStatement(filter, Version(), Placeholder, parameters);
        std::vector<const char*> values;
        for (const std::string& p : parameters) values.push_back(p.c_str());
        PGresult* res = Query(sql, static_cast<int>(values.size()), values.data());
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

    bool Connected(std::string& why) const override {
        if (PQstatus(db_) == CONNECTION_OK) return true;
        why = HidePassword(lost_.empty() ? OneLineMessage(PQerrorMessage(db_)) : lost_, uri_);
        return false;
    }

  protected:
    bool Exec(const std::string& sql, std::string& why) override {
        PGresult* res = Query(sql);
        const ExecStatusType status = PQresultStatus(res);
        return Done(res, status == PGRES_TUPLES_OK ? PGRES_TUPLES_OK : PGRES_COMMAND_OK, why);
    }
    bool ScalarText(const std::string& sql, std::string& value, std::string& why) override {
        PGresult* res = Query(sql);
        if (PQresultStatus(res) == PGRES_TUPLES_OK && PQntuples(res) > 0 && !PQgetisnull(res, 0, 0))
            value = PQgetvalue(res, 0, 0);
        return Done(res, PGRES_TUPLES_OK, why);
    }
    bool Scalar(const std::string& sql, int64_t& value, std::string& why) override {
        PGresult* res = Query(sql);
        if (PQresultStatus(res) == PGRES_TUPLES_OK && PQntuples(res) > 0 && !PQgetisnull(res, 0, 0))
            value = std::stoll(PQgetvalue(res, 0, 0));
        return Done(res, PGRES_TUPLES_OK, why);
    }
    std::string IntegerType() const override { return "BIGINT"; }
    std::string AutoIdType() const override { return "BIGSERIAL PRIMARY KEY"; }
    std::string TableCount(const std::string& name) const override {
        return "SELECT count(*) FROM pg_catalog.pg_tables WHERE schemaname = current_schema() AND tablename = '" +
               name + "'";
    }
    // several stations may make or bring the tables at once: one of them at a time
    bool SchemaTransaction(std::string& why, const std::function<bool()>& body) override {
        return Transaction(why, [&] { return Exec("SELECT pg_advisory_xact_lock(7710)", why) && body(); });
    }
    bool SerialsTransaction(std::string& why, const std::function<bool()>& body) override {
        return Transaction(
            why, [&] { return Exec("LOCK TABLE serials IN EXCLUSIVE MODE", why) && body(); });
    }

  private:
    static std::string Placeholder(int k) {
        std::string text(1, '$');  // (a string built from a literal plus a temporary trips GCC 12's -Wrestrict)
        return text += std::to_string(k);
    }
    bool Done(PGresult* res, ExecStatusType wanted, std::string& why) {
        const bool ok = PQresultStatus(res) == wanted;
        if (!ok)
            why = HidePassword(
                "ledger: " + (res || lost_.empty() ? OneLineMessage(PQerrorMessage(db_)) : lost_),
                uri_);
        PQclear(res);
        return ok;
    }
    // A new connection with the URI's settings; false with lost_ set to libpq's reason.
    bool Reconnect() {
        PQreset(db_);
        if (PQstatus(db_) == CONNECTION_OK) {
            lost_.clear();
            return true;
        }
        lost_ = OneLineMessage(PQerrorMessage(db_));
        return false;
    }
    bool Transaction(std::string& why, const std::function<bool()>& body) {
        if (!Exec("BEGIN", why)) return false;
        inTransaction_ = true;
        bool ok = body() && Exec("COMMIT", why);
        if (!ok) {
            std::string ignored;
            Exec("ROLLBACK", ignored);
        }
        inTransaction_ = false;
        return ok;
    }
    // sql (with its parameters, none for several statements at once); outside a transaction, on a
    // connection made again when it was lost, and sent once more when it was lost on the way
    // (every such statement may run twice: BEGIN, a serial's state, a reading). Null, unsent, when
    // the server cannot be reached (lost_ says why).
    PGresult* Query(const std::string& sql, int count = 0, const char* const* values = nullptr) {
        const auto send = [&] {
            return count == 0 ? PQexec(db_, sql.c_str())
                              : PQexecParams(db_, sql.c_str(), count, nullptr, values, nullptr,
                                             nullptr, 0);
        };
        if (inTransaction_) return send();
        if (PQstatus(db_) != CONNECTION_OK && !Reconnect()) return nullptr;
        PGresult* res = send();
        // libpq says a connection found closed in an error of its own, without the server's
        // SQLSTATE, and marks the connection bad only at the next statement
        const bool lost =
            PQstatus(db_) != CONNECTION_OK || (PQresultStatus(res) == PGRES_FATAL_ERROR &&
                                               !PQresultErrorField(res, PG_DIAG_SQLSTATE));
        if (!lost) return res;
        PQclear(res);
        if (!Reconnect()) return nullptr;
        return send();
    }

    PGconn* db_;
    std::string uri_;  // for the password that no message may hold
    bool inTransaction_ = false;
    std::string lost_;  // libpq's reason when the last connection could not be made again
};

}  // namespace

std::unique_ptr<Ledger> OpenPostgresLedger(const std::string& uri, std::string& why, LedgerAccess access) {
    // A host that dropped off the network would hold every connection (the first, and each one
    // made again for the next device) for as long as the system takes to give up, minutes during
    // which a station answers nothing: unless the URI or PGCONNECT_TIMEOUT says otherwise, a
    // connection is given kConnectTimeoutS. A statement waiting on a host that went (powered off,
    // its cable pulled) is given up as a lost connection after about as long: what it sent
    // unacknowledged for 10 s, or nothing heard for the keep-alive probes' time (5 s, then 3 probes
    // 2 s apart), unless the URI sets these itself.
    const bool ownTimeout = uri.find("connect_timeout=") == std::string::npos && !std::getenv("PGCONNECT_TIMEOUT");
    const std::string timeout = std::to_string(kConnectTimeoutS);
    std::vector<const char*> keywords, values;
    const auto add = [&](const char* keyword, const char* value) {
        if (uri.find(std::string(keyword) + "=") != std::string::npos) return;
        keywords.push_back(keyword);
        values.push_back(value);
    };
    if (ownTimeout) add("connect_timeout", timeout.c_str());
    add("keepalives", "1");
    add("keepalives_idle", "5");
    add("keepalives_interval", "2");
    add("keepalives_count", "3");
    add("tcp_user_timeout", "10000");
    keywords.push_back("dbname");  // the URI last: what it says itself stands
    values.push_back(uri.c_str());
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    PGconn* db = PQconnectdbParams(keywords.data(), values.data(), 1);
    if (PQstatus(db) != CONNECTION_OK) {
        why = HidePassword(
            "--ledger: cannot reach the database: " + OneLineMessage(PQerrorMessage(db)), uri);
        PQfinish(db);
        return nullptr;
    }
    PQsetNoticeProcessor(
        db, [](void*, const char*) {}, nullptr);  // "already exists, skipping"
    auto ledger = std::make_unique<PostgresLedger>(db, uri);
    if (!ledger->Open(access != LedgerAccess::Read, why)) return nullptr;
    return ledger;
}

}  // namespace qdfu
