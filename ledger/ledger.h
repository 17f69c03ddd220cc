// The ledger of a production line: every run of upload and station (which unit got which
// firmware, when, where, and what became of it) and the serial numbers given to the units. One
// small interface; SQLite (a file, for one station) and PostgreSQL (shared by every station of a
// factory) each in a file of their own. A serial is given to one device only, ever: it is reserved
// before the device is touched, spent once an erase or a write reached the device, and returned
// (given to the next device) when the device was never touched. The sequence ends at 4294967295:
// a serial is 32 bits on the unit, and a number that wrapped would be one given already.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qdfu {

// One run as the ledger keeps it: the production report's fields and the serial.
struct LedgerRun {
    std::optional<uint32_t> Serial;
    std::string Port, Device, ById, Station, Operator, HexPath, HexSha256;
    std::string Outcome, Reason;  // completed / failed / not_done
    uint32_t Blocks = 0, Retries = 0;
    std::string Start, End;  // 2026-12-08T12:59:08Z
    std::string WorkOrder;
    // The run's own name (32 hex digits, NewRunKey): a run recorded twice (a kept row recorded by
    // two programs at once) is kept once. Empty: Record gives it one.
    std::string Key;
};

// A fresh run key: 128 random bits as 32 lowercase hex digits.
std::string NewRunKey();

// The fields of a run, in the order the ledger keeps them.
enum class RunField {
    Serial,
    Port,
    Device,
    ById,
    Station,
    Operator,
    HexPath,
    HexSha256,
    Outcome,
    Reason,
    Blocks,
    Retries,
    Start,
    End,
    WorkOrder,
    Key
};

// Which runs Runs gives; every field given narrows it, and they combine.
struct RunFilter {
    std::optional<uint32_t> Serial;
    // Times as the runs keep them (UTC, 2026-12-08T12:59:08Z; ParseLedgerTime makes them): runs
    // that started at Since or later, and at Until or earlier; "" for no bound.
    std::string Since, Until;
    std::optional<std::string> Operator, Station, WorkOrder, Outcome;
    // The fields Runs reads of each run (a question over many runs that needs few of them); the
    // others are left empty (the serial absent, numbers 0). Empty: every field.
    std::vector<RunField> Fields;
};

// The version of the ledger's tables this program writes. A ledger written before versions
// existed is version 1 (no work orders, no run keys); one of a later version than this is never
// opened (kNewerLedger in why).
inline constexpr int kLedgerSchemaVersion = 2;
inline constexpr const char* kNewerLedger = "written by a newer version of quarnelix-dfu";

// How a ledger is opened: Create makes a missing SQLite file (and the tables of any new ledger);
// Write opens an existing file; both bring an older ledger's tables to this version in one
// transaction. Read writes nothing, ever (a read-only file, an older ledger as it is).
enum class LedgerAccess { Create, Write, Read };

// The last serial of the sequence; Reserve refuses with kNoSerialsLeft once it was given.
inline constexpr uint32_t kLastSerial = 0xFFFFFFFF;
inline constexpr const char* kNoSerialsLeft = "no serial numbers are left";
// Why a device got no serial, from what Reserve said.
inline std::string NoSerialReason(const std::string& why) {
    return why.rfind(kNoSerialsLeft, 0) == 0 ? why : "no serial number: " + why;
}

class Ledger {
public:
    virtual ~Ledger() = default;
    // Each returns false with why set when the database would not do it.

    // The next serial in one transaction: the lowest one returned, else the next of the sequence
    // (false with why starting with kNoSerialsLeft when the sequence has ended).
    virtual bool Reserve(uint32_t& serial, std::string& why) = 0;
    virtual bool Spend(uint32_t serial, std::string& why) = 0;
    virtual bool Return(uint32_t serial, std::string& why) = 0;
    virtual bool Record(const LedgerRun& run, std::string& why) = 0;
    // The serial a new sequence starts at; on a ledger that has given serials it may only move the
    // sequence forward (false with why otherwise).
    virtual bool StartSerialsAt(uint32_t first, std::string& why) = 0;
    // The serial Reserve would give now (false with kNoSerialsLeft as Reserve).
    virtual bool Next(uint32_t& serial, std::string& why) = 0;
    // The runs the filter lets through, added to runs oldest first (by start; runs that started
    // in the same second in the order they were recorded).
    virtual bool Runs(const RunFilter& filter, std::vector<LedgerRun>& runs, std::string& why) = 0;
    // False while the connection to a database server is lost, with why in one line (every call
    // above first tries to connect again); a file is always reached.
    virtual bool Connected(std::string& /*why*/) const { return true; }
    // The ledger's own name, made with its tables (the same whatever path or URI reaches it); ""
    // for a ledger whose tables are older than names, or none.
    virtual std::string Id() const { return ""; }
};

// "postgresql://..." (or "postgres://...") opens a PostgreSQL ledger, anything else an SQLite file
// (made when missing only with LedgerAccess::Create). Null with why set when it cannot be opened
// (why holds kNewerLedger for a ledger of a later version); why never holds the password of a
// PostgreSQL URI (see HidePassword). A PostgreSQL ledger whose connection was lost connects again
// for its next statement outside a transaction.
bool IsPostgresLedger(const std::string& where);
std::unique_ptr<Ledger> OpenLedger(const std::string& where, std::string& why,
                                   LedgerAccess access = LedgerAccess::Create);
std::unique_ptr<Ledger> OpenSqliteLedger(const std::string& path, std::string& why,
                                         LedgerAccess access = LedgerAccess::Create);
std::unique_ptr<Ledger> OpenPostgresLedger(const std::string& uri, std::string& why,
                                           LedgerAccess access = LedgerAccess::Create);
// text with the password of where (a PostgreSQL URI: the one after user: before @, and a
// password=VALUE parameter), as written and percent-decoded, replaced by "***" wherever it occurs.
// text as it is when where holds no password.
std::string HidePassword(const std::string& text, const std::string& where);

// Where a serial goes in the image: its 4 bytes least significant first (le32), or two program
// words as the toolchain lays out a 32-bit constant (prog32: the low 16 bits at ADDR and ADDR+1,
// the high 16 bits at ADDR+4 and ADDR+5, the bytes between and after them zero; ADDR a multiple
// of 4).
// (Inline: a program that places serials needs no database client.)
enum class SerialFormat { Le32, Prog32 };
inline std::size_t SerialBytes(SerialFormat format) { return format == SerialFormat::Le32 ? 4 : 8; }
// The bytes of serial in format, in address order from ADDR.
inline std::vector<uint8_t> SerialImage(uint32_t serial, SerialFormat format) {
    const auto byte = [&](int k) { return static_cast<uint8_t>(serial >> (8 * k)); };
    if (format == SerialFormat::Le32) return {byte(0), byte(1), byte(2), byte(3)};
    return {byte(0), byte(1), 0, 0, byte(2), byte(3), 0, 0};
}

}  // namespace qdfu
