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
    "\"end\"";
inline constexpr int kRunColumnCount = 14;
// The tables; integer is the database's 64-bit integer type, autoId its self-numbering key.
std::string LedgerSchema(const std::string& integer, const std::string& autoId);
// A run's columns as text, in kRunColumns order; nullopt for a null column (only the serial may
// be).
std::vector<std::optional<std::string>> RunValues(const LedgerRun& run);
// A run from its columns as text (column(k) is nullopt for a null column).
LedgerRun RunFromColumns(const std::function<std::optional<std::string>(int)>& column);

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

  protected:
    // A statement without a result that matters; false with why set.
    virtual bool Exec(const std::string& sql, std::string& why) = 0;
    // The first column of the first row; value stays as it is for no row or NULL.
    virtual bool Scalar(const std::string& sql, int64_t& value, std::string& why) = 0;
    // body in one transaction that no other reservation runs beside; rolled back when it fails.
    virtual bool SerialsTransaction(std::string& why, const std::function<bool()>& body) = 0;

  private:
    bool SetState(uint32_t serial, const char* state, std::string& why);
    bool NextOfSequence(int64_t& next, std::string& why);
};

}  // namespace qdfu
