// The ledger against real databases: an SQLite file, and a PostgreSQL server these tests start
// themselves (a cluster in a temporary folder on a Unix socket). The serial rules (given once,
// spent or returned, a sequence that only moves forward), the runs kept and listed, and stations
// that reserve at once from processes of their own, some killed on the way.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>

#include <sqlite3.h>

#include "ledger.h"
#include "ledger_query.h"
#include "temp_dir.h"

namespace qdfu::test {
namespace {

// One PostgreSQL server for the whole program, stopped at its end.
class PostgresServer {
public:
    static const std::string& Uri() {
        static PostgresServer server;
        return server.uri_;
    }

private:
    PostgresServer() {
        ::chmod(dir_.Path().c_str(), 0755);  // the server's own user must reach its folder
        std::FILE* p = ::popen((std::string(QDFU_PG_SERVER) + " start " + dir_.File("pg")).c_str(), "r");
        char line[512] = {};
        if (p && std::fgets(line, sizeof line, p)) uri_ = line;
        if (p) ::pclose(p);
        while (!uri_.empty() && (uri_.back() == '\n' || uri_.back() == '\r')) uri_.pop_back();
    }
    ~PostgresServer() { std::system((std::string(QDFU_PG_SERVER) + " stop " + dir_.File("pg")).c_str()); }

    TempDir dir_;
    std::string uri_;
};

// A ledger of each kind, new for every test: a new file, or a new database on the server.
class LedgerTest : public ::testing::TestWithParam<const char*> {
protected:
    std::string Where() {
        if (std::string(GetParam()) == "SQLite") return dir.File("ledger.sqlite");
        const std::string& uri = PostgresServer::Uri();
        EXPECT_FALSE(uri.empty()) << "the PostgreSQL server of the tests did not start";
        static int n = 0;
        const std::string name = "ledger_" + std::to_string(::getpid()) + "_" + std::to_string(++n);
        std::system(("psql -q '" + uri + "' -c 'CREATE DATABASE " + name + "' >/dev/null").c_str());
        std::string db = uri;
        db.replace(db.find("/postgres?"), 10, "/" + name + "?");
        return db;
    }
    std::unique_ptr<Ledger> Open(const std::string& where) {
        std::string why;
        auto ledger = OpenLedger(where, why);
        EXPECT_TRUE(ledger) << why;
        return ledger;
    }
    TempDir dir;
};

TEST_P(LedgerTest, SerialsAreGivenOnceSpentOrReturnedAndTheSequenceOnlyMovesForward) {
    auto ledger = Open(Where());
    ASSERT_TRUE(ledger);
    std::string why;
    uint32_t s = 0;
    ASSERT_TRUE(ledger->Next(s, why)) << why;
    EXPECT_EQ(s, 1u);  // a new ledger starts at 1
    ASSERT_TRUE(ledger->StartSerialsAt(1000, why)) << why;
    uint32_t a = 0, b = 0, c = 0;
    ASSERT_TRUE(ledger->Reserve(a, why) && ledger->Reserve(b, why)) << why;
    EXPECT_EQ(a, 1000u);
    EXPECT_EQ(b, 1001u);
    ASSERT_TRUE(ledger->Return(a, why) && ledger->Spend(b, why)) << why;  // a never touched its device
    // only what this ledger reserved moves: a serial it never gave (another ledger's, on a resume)
    // is not spent here, and a spent one never goes back
    EXPECT_FALSE(ledger->Spend(5000, why));
    EXPECT_FALSE(ledger->Return(b, why));
    EXPECT_TRUE(ledger->Spend(b, why)) << why;  // a resume spends its serial again
    ASSERT_TRUE(ledger->Next(s, why));
    EXPECT_EQ(s, 1000u);
    ASSERT_TRUE(ledger->Reserve(c, why));
    EXPECT_EQ(c, 1000u);  // given to the next device
    EXPECT_FALSE(ledger->StartSerialsAt(5, why));
    EXPECT_NE(why.find("may only move forward"), std::string::npos) << why;
    EXPECT_FALSE(ledger->StartSerialsAt(1001, why));  // the last serial given
    ASSERT_TRUE(ledger->StartSerialsAt(1002, why)) << why;  // the one after it
    ASSERT_TRUE(ledger->StartSerialsAt(2000, why)) << why;
    ASSERT_TRUE(ledger->Reserve(s, why));
    EXPECT_EQ(s, 2000u);
}

TEST_P(LedgerTest, RunsAreKeptAndListedBySerialAndTime) {
    const std::string where = Where();
    {
        auto ledger = Open(where);
        ASSERT_TRUE(ledger);
        std::string why;
        LedgerRun run;
        run.Serial = 7;
        run.Port = "COM3", run.Device = "/dev/ttyUSB0", run.Station = "bench-1", run.Operator = "anna";
        run.HexPath = "/srv/fw \"v3\".hex", run.HexSha256 = std::string(64, 'a'), run.Outcome = "completed";
        run.Blocks = 48, run.Start = "2026-12-08T10:00:00Z", run.End = "2026-12-08T10:00:09Z";
        ASSERT_TRUE(ledger->Record(run, why)) << why;
        run.Serial.reset();
        run.Outcome = "failed", run.Reason = "write at 0x00002840: RX ERROR (NAK)", run.Retries = 2;
        run.Start = "2026-12-08T11:00:00Z";
        ASSERT_TRUE(ledger->Record(run, why)) << why;
    }
    auto ledger = Open(where);  // what was kept outlives the connection
    std::string why;
    std::vector<LedgerRun> runs;
    ASSERT_TRUE(ledger->Runs({}, runs, why)) << why;
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].Serial, 7u);
    EXPECT_EQ(runs[0].HexPath, "/srv/fw \"v3\".hex");
    EXPECT_FALSE(runs[1].Serial);
    EXPECT_EQ(runs[1].Retries, 2u);
    EXPECT_EQ(runs[1].Reason, "write at 0x00002840: RX ERROR (NAK)");
    runs.clear();
    ASSERT_TRUE(ledger->Runs({.Serial = 7}, runs, why));
    EXPECT_EQ(runs.size(), 1u);
    runs.clear();
    ASSERT_TRUE(ledger->Runs({.Since = "2026-12-08T10:30:00Z"}, runs, why));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].Outcome, "failed");
}

// Stations at once, each a process of its own with its own connection: every serial a station
// spends is spent by it alone, whatever else reserves, returns or is killed meanwhile.
TEST_P(LedgerTest, StationsAtOnceNeverGiveASerialTwice) {
    const std::string where = Where();
    constexpr int kStations = 4, kDevices = 60;
    std::vector<pid_t> pids;
    for (int station = 0; station < kStations; ++station) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            std::string why;
            auto ledger = OpenLedger(where, why);
            std::ofstream spent(dir.File("spent-" + std::to_string(station)));
            std::mt19937 rng(static_cast<unsigned>(station + 1));
            for (int device = 0; ledger && device < kDevices; ++device) {
                uint32_t serial = 0;
                if (!ledger->Reserve(serial, why)) ::_exit(3);
                if (rng() % 4 == 0) {
                    if (!ledger->Return(serial, why)) ::_exit(4);  // the device was never touched
                    continue;
                }
                if (!ledger->Spend(serial, why)) ::_exit(5);
                spent << serial << std::endl;
            }
            ::_exit(ledger ? 0 : 2);
        }
        pids.push_back(pid);
    }
    // one station killed on the way: what it reserved stays reserved, never given again
    ::usleep(30000);
    ::kill(pids.back(), SIGKILL);
    for (std::size_t i = 0; i < pids.size(); ++i) {
        int status = 0;
        ::waitpid(pids[i], &status, 0);
        if (i + 1 < pids.size()) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "station " << i << " status " << status;
        }
    }
    std::map<uint32_t, int> spentBy;
    std::size_t spent = 0;
    for (int station = 0; station < kStations; ++station) {
        std::ifstream in(dir.File("spent-" + std::to_string(station)));
        for (uint32_t serial; in >> serial; ++spent) {
            EXPECT_EQ(spentBy.count(serial), 0u) << "serial " << serial << " given twice";
            spentBy[serial] = station;
        }
    }
    EXPECT_GT(spent, static_cast<std::size_t>(kDevices));
}

// The sequence ends at 4294967295 and never wraps to serials given already; a serial returned after
// the end is still given.
TEST_P(LedgerTest, TheSequenceEndsAtTheLastSerial) {
    auto ledger = Open(Where());
    ASSERT_TRUE(ledger);
    std::string why;
    uint32_t s = 0;
    ASSERT_TRUE(ledger->StartSerialsAt(kLastSerial, why)) << why;
    ASSERT_TRUE(ledger->Reserve(s, why)) << why;
    EXPECT_EQ(s, kLastSerial);
    EXPECT_FALSE(ledger->Reserve(s, why));
    EXPECT_EQ(why.rfind(kNoSerialsLeft, 0), 0u) << why;
    why.clear();
    EXPECT_FALSE(ledger->Next(s, why));
    EXPECT_EQ(why.rfind(kNoSerialsLeft, 0), 0u) << why;
    ASSERT_TRUE(ledger->Return(kLastSerial, why)) << why;
    ASSERT_TRUE(ledger->Reserve(s, why)) << why;
    EXPECT_EQ(s, kLastSerial);
}

// The tables as the first version of the ledger made them (no versions, work orders or run keys).
std::string FirstLedgerTables(bool postgres) {
    const std::string integer = postgres ? "BIGINT" : "INTEGER";
    return "CREATE TABLE sequence (id INTEGER PRIMARY KEY CHECK (id = 1), next " + integer +
           " NOT NULL);\n"
           "CREATE TABLE serials (serial " + integer +
           " PRIMARY KEY, state TEXT NOT NULL CHECK (state IN ('reserved', 'spent', 'returned')));\n"
           "CREATE TABLE runs (id " + (postgres ? "BIGSERIAL PRIMARY KEY" : "INTEGER PRIMARY KEY AUTOINCREMENT") +
           ", serial " + integer + ", port TEXT, device TEXT, by_id TEXT, station TEXT, operator TEXT, hex_path TEXT, "
           "hex_sha256 TEXT, outcome TEXT, reason TEXT, blocks " + integer + ", retries " + integer +
           ", start TEXT, \"end\" TEXT);\n";
}

void RunSql(const std::string& where, const std::string& sql) {
    if (where.rfind("postgresql://", 0) == 0) {
        TempDir dir;
        std::ofstream(dir.File("s.sql")) << sql;
        ASSERT_EQ(std::system(("psql -q -v ON_ERROR_STOP=1 '" + where + "' -f " + dir.File("s.sql") + " >/dev/null").c_str()), 0);
        return;
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(where.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

// A ledger of the first version is read as it is (nothing written), brought to this version by the
// first program that writes to it, with its runs and its sequence kept; one of a later version is
// refused and left as it is.
TEST_P(LedgerTest, AnOlderLedgerOpensAndGrowsAndANewerOneIsRefused) {
    const bool postgres = std::string(GetParam()) == "PostgreSQL";
    const std::string where = Where();
    RunSql(where, FirstLedgerTables(postgres) +
                      "INSERT INTO sequence (id, next) VALUES (1, 43);\n"
                      "INSERT INTO serials (serial, state) VALUES (41, 'spent'), (42, 'returned');\n"
                      "INSERT INTO runs (serial, port, station, operator, outcome, reason, blocks, retries, start, \"end\") "
                      "VALUES (41, 'COM3', 'bench-1', 'anna', 'completed', '', 48, 0, '2026-12-08T10:00:00Z', "
                      "'2026-12-08T10:00:09Z');\n");
    std::string why;
    std::vector<LedgerRun> runs;
    {
        auto reading = OpenLedger(where, why, LedgerAccess::Read);
        ASSERT_TRUE(reading) << why;
        ASSERT_TRUE(reading->Runs({}, runs, why)) << why;
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0].Serial, 41u);
        EXPECT_EQ(runs[0].WorkOrder, "");
        runs.clear();
        ASSERT_TRUE(reading->Runs({.WorkOrder = "WO-7"}, runs, why)) << why;
        EXPECT_TRUE(runs.empty());
        EXPECT_FALSE(reading->Record(LedgerRun{}, why));  // read only: never written
    }
    {
        auto writing = OpenLedger(where, why, LedgerAccess::Write);
        ASSERT_TRUE(writing) << why;
        uint32_t next = 0;
        ASSERT_TRUE(writing->Reserve(next, why)) << why;
        EXPECT_EQ(next, 42u);  // the returned one first
        ASSERT_TRUE(writing->Reserve(next, why)) << why;
        EXPECT_EQ(next, 43u);  // then the sequence where it stood
        LedgerRun run;
        run.Serial = 43, run.Outcome = "completed", run.WorkOrder = "WO-7", run.Start = "2026-12-09T08:00:00Z";
        run.Key = "00112233445566778899aabbccddeeff";
        ASSERT_TRUE(writing->Record(run, why)) << why;
        ASSERT_TRUE(writing->Record(run, why)) << why;  // the same run twice is kept once
    }
    auto again = OpenLedger(where, why, LedgerAccess::Read);
    ASSERT_TRUE(again) << why;
    runs.clear();
    ASSERT_TRUE(again->Runs({}, runs, why)) << why;
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].Serial, 41u);
    EXPECT_EQ(runs[1].WorkOrder, "WO-7");
    runs.clear();
    ASSERT_TRUE(again->Runs({.WorkOrder = "WO-7"}, runs, why)) << why;
    EXPECT_EQ(runs.size(), 1u);

    again.reset();  // (a WAL file keeps its mode while another connection holds it)
    RunSql(where, "UPDATE ledger_schema SET version = " + std::to_string(kLedgerSchemaVersion + 1) + ";" +
                      (postgres ? "" : "PRAGMA journal_mode=DELETE;"));
    const auto bytes = [&] {
        std::ifstream in(where, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string before = postgres ? "" : bytes();
    for (const LedgerAccess access : {LedgerAccess::Read, LedgerAccess::Write, LedgerAccess::Create}) {
        why.clear();
        EXPECT_FALSE(OpenLedger(where, why, access));
        EXPECT_NE(why.find(kNewerLedger), std::string::npos) << why;
    }
    if (!postgres) {
        EXPECT_TRUE(bytes() == before);  // not a byte written, its journal's mode neither
    }
}

INSTANTIATE_TEST_SUITE_P(Databases, LedgerTest, ::testing::Values("SQLite", "PostgreSQL"),
                         [](const auto& info) { return std::string(info.param); });

TEST(SerialImageTest, BothLayoutsPutTheNumberWhereTheFirmwareReadsIt) {
    EXPECT_EQ(SerialImage(0x12345678, SerialFormat::Le32), (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(SerialImage(0x12345678, SerialFormat::Prog32),
              (std::vector<uint8_t>{0x78, 0x56, 0x00, 0x00, 0x34, 0x12, 0x00, 0x00}));
}

// Times as ledger show and stats take them, into the ledger's UTC: offsets applied across a day and
// a year, a date alone as its first or (for --until) its last second of the local day, local times
// in and out of daylight saving time, and what is no time at all refused with the text named.
TEST(LedgerTimeTest, TimesBecomeTheLedgersUtcOrAreRefused) {
    const char* const utc = "UTC0";
    const char* const berlin = "CET-1CEST,M3.5.0,M10.5.0/3";
    const struct {
        const char* zone;
        const char* text;
        bool endOfDay;
        const char* expected;  // "" for refused
    } cases[] = {
        {berlin, "2026-12-09T08:00:00Z", false, "2026-12-09T08:00:00Z"},
        {utc, "2026-12-09 08:00:00.750z", false, "2026-12-09T08:00:00Z"},
        {utc, "2026-12-09T08:00:00+01:00", false, "2026-12-09T07:00:00Z"},
        {utc, "2026-12-09T08:00+0130", false, "2026-12-09T06:30:00Z"},
        {utc, "2026-01-01T00:30:00+01", false, "2025-12-31T23:30:00Z"},
        {utc, "2026-12-09T23:30:00-02:00", true, "2026-12-10T01:30:00Z"},
        {utc, "2028-02-29", true, "2028-02-29T23:59:59Z"},
        {berlin, "2026-12-09", false, "2026-12-08T23:00:00Z"},
        {berlin, "2026-12-09", true, "2026-12-09T22:59:59Z"},
        {berlin, "2026-07-01T12:00", false, "2026-07-01T10:00:00Z"},
        {berlin, "2026-03-29T02:30", false, ""},  // the hour the clock skips
        // a day whose midnight the clock skips starts at its first hour
        {"CST5CDT,M3.2.0/0,M11.1.0/1", "2027-03-14", false, "2027-03-14T05:00:00Z"},
        {utc, "2026-02-29", false, ""},
        {utc, "2026-04-31", false, ""},
        {utc, "2026-13-01", false, ""},
        {utc, "2026-12-09T24:00", false, ""},
        {utc, "2026-12-09T08", false, ""},
        {utc, "2026-12-09T08:00:00+01:", false, ""},
        {utc, "2026-12-09T08:00:00+1", false, ""},
        {utc, "2026-12-09T08:00:00Z!", false, ""},
        {utc, "2026-12-09Z", false, ""},
        {utc, "tomorrow", false, ""},
    };
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    for (const auto& c : cases) {
        ::setenv("TZ", c.zone, 1);
        ::tzset();
        std::string got, why;
        const bool read = ParseLedgerTime(c.text, c.endOfDay, got, why);
        if (*c.expected == '\0') {
            EXPECT_FALSE(read) << c.text << " read as " << got;
            EXPECT_NE(why.find(c.text), std::string::npos) << why;
        } else {
            EXPECT_TRUE(read) << c.text << ": " << why;
            EXPECT_EQ(got, c.expected) << c.text << " in " << c.zone;
        }
    }
    ::setenv("TZ", berlin, 1);
    ::tzset();
    EXPECT_EQ(LocalDay("2026-12-08T23:30:00Z"),
              "2026-12-09");  // the day of a shift that began at midnight
    if (old)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

// A CSV cell a spreadsheet would evaluate is kept as text; numbers stay numbers.
TEST(CsvRecordTest, AFormulaIsTextAndANumberStaysANumber) {
    EXPECT_EQ(CsvRecord({"=HYPERLINK(\"x\",\"a,b\")", "+x", "@SUM(A1)", "-", "-12", "0.5", "Anna"}),
              "\"'=HYPERLINK(\"\"x\"\",\"\"a,b\"\")\",'+x,'@SUM(A1),'-,-12,0.5,Anna\r\n");
}

}  // namespace
}  // namespace qdfu::test

