// The ledger in a PostgreSQL database shared by the stations of a factory: every reservation in one
// transaction that holds the serials table, so that no serial is given twice whatever the number
// of stations.
#include <libpq-fe.h>

#include "ledger.h"

namespace qdfu {
namespace {

constexpr const char* kSchema = R"SQL(
CREATE TABLE IF NOT EXISTS sequence (id INTEGER PRIMARY KEY CHECK (id = 1), next BIGINT NOT NULL);
CREATE TABLE IF NOT EXISTS serials (serial BIGINT PRIMARY KEY, state TEXT NOT NULL
    CHECK (state IN ('reserved', 'spent', 'returned')));
CREATE TABLE IF NOT EXISTS runs (id BIGSERIAL PRIMARY KEY, serial BIGINT, port TEXT, device TEXT, by_id TEXT,
    station TEXT, operator TEXT, hex_path TEXT, hex_sha256 TEXT, outcome TEXT, reason TEXT, blocks BIGINT,
    retries BIGINT, start TEXT, "end" TEXT);
)SQL";

class PostgresLedger final : public Ledger {
public:
    explicit PostgresLedger(PGconn* db) : db_(db) {}
    ~PostgresLedger() override { PQfinish(db_); }

    bool Open(std::string& why) {
        // several stations may create the tables at once: one of them at a time
        return Transaction(why, [&] { return Exec("SELECT pg_advisory_xact_lock(7710)", why) && Exec(kSchema, why); });
    }

    bool Reserve(uint32_t& serial, std::string& why) override {
        return Transaction(why, [&] {
            int64_t s = -1;
            if (!Exec("LOCK TABLE serials IN EXCLUSIVE MODE", why) ||
                !Scalar("SELECT MIN(serial) FROM serials WHERE state = 'returned'", s, why))
                return false;
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
        const std::string serial = r.Serial ? std::to_string(*r.Serial) : std::string();
        const std::string blocks = std::to_string(r.Blocks), retries = std::to_string(r.Retries);
        const char* values[] = {r.Serial ? serial.c_str() : nullptr, r.Port.c_str(), r.Device.c_str(),
                                r.ById.c_str(), r.Station.c_str(), r.Operator.c_str(), r.HexPath.c_str(),
                                r.HexSha256.c_str(), r.Outcome.c_str(), r.Reason.c_str(), blocks.c_str(),
                                retries.c_str(), r.Start.c_str(), r.End.c_str()};
        PGresult* res = PQexecParams(
            db_,
            "INSERT INTO runs (serial, port, device, by_id, station, operator, hex_path, hex_sha256, outcome, reason, "
            "blocks, retries, start, \"end\") VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14)",
            14, nullptr, values, nullptr, nullptr, 0);
        return Done(res, PGRES_COMMAND_OK, why);
    }

    bool StartSerialsAt(uint32_t first, std::string& why) override {
        return Transaction(why, [&] {
            int64_t given = 0, next = -1;
            if (!Exec("LOCK TABLE serials IN EXCLUSIVE MODE", why) || !Scalar("SELECT COUNT(*) FROM serials", given, why) ||
                !Scalar("SELECT next FROM sequence", next, why))
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
            "retries, start, \"end\" FROM runs WHERE start >= $1";
        if (serial) sql += " AND serial = " + std::to_string(*serial);
        sql += " ORDER BY id";
        const char* values[] = {since.c_str()};
        PGresult* res = PQexecParams(db_, sql.c_str(), 1, nullptr, values, nullptr, nullptr, 0);
        if (PQresultStatus(res) != PGRES_TUPLES_OK) return Done(res, PGRES_TUPLES_OK, why);
        for (int row = 0; row < PQntuples(res); ++row) {
            auto text = [&](int c) { return std::string(PQgetvalue(res, row, c)); };
            LedgerRun r;
            if (!PQgetisnull(res, row, 0)) r.Serial = static_cast<uint32_t>(std::stoul(text(0)));
            r.Port = text(1), r.Device = text(2), r.ById = text(3), r.Station = text(4), r.Operator = text(5);
            r.HexPath = text(6), r.HexSha256 = text(7), r.Outcome = text(8), r.Reason = text(9);
            r.Blocks = static_cast<uint32_t>(std::stoul(text(10)));
            r.Retries = static_cast<uint32_t>(std::stoul(text(11)));
            r.Start = text(12), r.End = text(13);
            runs.push_back(r);
        }
        PQclear(res);
        return true;
    }

private:
    bool Done(PGresult* res, ExecStatusType wanted, std::string& why) {
        const bool ok = PQresultStatus(res) == wanted;
        if (!ok) why = std::string("ledger: ") + PQerrorMessage(db_);
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
        PQclear(res);
        return ok;
    }
    bool Exec(const std::string& sql, std::string& why) {
        PGresult* res = PQexec(db_, sql.c_str());
        const ExecStatusType status = PQresultStatus(res);
        return Done(res, status == PGRES_TUPLES_OK ? PGRES_TUPLES_OK : PGRES_COMMAND_OK, why);
    }
    bool Scalar(const std::string& sql, int64_t& value, std::string& why) {
        PGresult* res = PQexec(db_, sql.c_str());
        if (PQresultStatus(res) == PGRES_TUPLES_OK && PQntuples(res) > 0 && !PQgetisnull(res, 0, 0))
            value = std::stoll(PQgetvalue(res, 0, 0));
        return Done(res, PGRES_TUPLES_OK, why);
    }
    bool NextOfSequence(int64_t& next, std::string& why) {
        next = 1;
        return Scalar("SELECT next FROM sequence", next, why);
    }
    bool SetState(uint32_t serial, const char* state, std::string& why) {
        return Exec("UPDATE serials SET state = '" + std::string(state) + "' WHERE serial = " + std::to_string(serial),
                    why);
    }
    template <class Body>
    bool Transaction(std::string& why, Body&& body) {
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
        why = std::string("--ledger: cannot reach the database: ") + PQerrorMessage(db);
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
        PQfinish(db);
        return nullptr;
    }
    PQsetNoticeProcessor(db, [](void*, const char*) {}, nullptr);  // "already exists, skipping"
    auto ledger = std::make_unique<PostgresLedger>(db);
    if (!ledger->Open(why)) return nullptr;
    return ledger;
}

}  // namespace qdfu
