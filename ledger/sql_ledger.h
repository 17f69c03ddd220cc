// What the SQLite and the PostgreSQL ledgers share: the tables, the serial rules written once in
// SQL that both databases take alike, and the columns of a run. Each database gives the few
// primitives below (a statement, a number, a transaction that holds the serials for itself) and
// writes and reads the runs with its own parameter binding.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ledger.h"

namespace qdfu {

// The columns of a run in the runs table, in the order Record binds them and Runs reads them.
inline constexpr const char* kRunColumns =
    "serial, port, device, by_id, station, operator, hex_path, hex_sha256, outcome, reason, "
    "blocks, retries, start, "
    "\"end\", work_order, run_key";
inline constexpr int kRunColumnCount = 16;
// The tables of a new ledger, at kLedgerSchemaVersion; integer is the database's 64-bit integer
// type, autoId its self-numbering key.
std::string LedgerSchema(const std::string& integer, const std::string& autoId);
// A ledger of version 1 brought to kLedgerSchemaVersion (its runs and serials kept as they are).
std::string LedgerMigrationFrom1();
// A run's columns as text, in kRunColumns order; nullopt for a null column (only the serial may
// be). A run without a key is given one.
std::vector<std::optional<std::string>> RunValues(const LedgerRun& run);
// A run from its columns as text (column(k) is nullopt for a null column).
LedgerRun RunFromColumns(const std::function<std::optional<std::string>(int)>& column);
// The statement that records a run (a run whose key is there already is kept once), with the
// database's placeholder for the k-th parameter (from 1).
std::string RecordStatement(const std::function<std::string(int)>& placeholder);
// The statement that reads the runs of filter from a ledger of version, and its parameters in
// placeholder order.
std::string RunsStatement(const RunFilter& filter, int version,
                          const std::function<std::string(int)>& placeholder,
                          std::vector<std::string>& parameters);

class SqlLedger : public Ledger {
  public:
    bool Reserve(uint32_t& serial, std::string& why) override;
    bool Spend(uint32_t serial, std::string& why) override {
        return SetState(serial, "spent", why);
    }
    bool Return(uint32_t serial, std::string& why) override {
        return SetState(serial, "returned", why);
    }
    bool StartSerialsAt(uint32_t first, std::string& why) override;
    bool Next(uint32_t& serial, std::string& why) override;
    std::string Id() const override { return id_; }

  protected:
    // Finds the version of the ledger's tables (0: none yet); with write, makes a new ledger's
    // tables or brings an older ledger's to this version, in one transaction that no other
    // program's making or bringing runs beside. False with why (kNewerLedger) for a ledger of a
    // later version, which is left as it is.
    bool Prepare(bool write, std::string& why);
    // The version Prepare found (or made).
    int Version() const { return version_; }
    // False with why (kNewerLedger) for a ledger of a later version; nothing written.
    bool CheckNotNewer(std::string& why);
    // False with why when the ledger was opened only to read.
    bool Writable(std::string& why) const;

    // The database's 64-bit integer type, and its self-numbering key.
    virtual std::string IntegerType() const = 0;
    virtual std::string AutoIdType() const = 0;
    // A statement that counts the tables named name in the ledger's schema (0 or 1).
    virtual std::string TableCount(const std::string& name) const = 0;
    // body in one transaction that no other program's Prepare runs beside.
    virtual bool SchemaTransaction(std::string& why, const std::function<bool()>& body) = 0;
    // A statement without a result that matters; false with why set.
    virtual bool Exec(const std::string& sql, std::string& why) = 0;
    // The first column of the first row; value stays as it is for no row or NULL.
    virtual bool Scalar(const std::string& sql, int64_t& value, std::string& why) = 0;
    virtual bool ScalarText(const std::string& sql, std::string& value, std::string& why) = 0;
    // body in one transaction that no other reservation runs beside; rolled back when it fails.
    virtual bool SerialsTransaction(std::string& why, const std::function<bool()>& body) = 0;

  private:
    bool SetState(uint32_t serial, const char* state, std::string& why);
    bool NextOfSequence(int64_t& next, std::string& why);
    bool FindVersion(int& version, std::string& why);

    int version_ = 0;
    bool writable_ = false;
    std::string id_;
};

}  // namespace qdfu
