// The ledger a run records into, as the command line and the operator window open it: the runs
// kept aside for it (a row it would not take earlier) recorded first, a missing file created only
// when the run may start a new ledger, the first serial of a new ledger set. What becomes of the
// kept runs is handed to a say function; nothing here prints.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "ledger.h"

namespace qdfu {

// One line for the person at the line ("ledger: 2 runs kept aside in ... recorded now").
using LedgerSay = std::function<void(const std::string&)>;

// The ledger at where; null with why when it cannot be opened. A missing SQLite file is created
// only with LedgerAccess::Create. The runs kept aside for it are recorded first (opened to write
// for them, when there are any).
std::unique_ptr<Ledger> OpenRunLedger(const std::string& where, std::string& why, LedgerAccess access,
                                      const LedgerSay& say);
// Records the runs kept aside for where in ledger, but for those whose keys are in skip.
void RecordRunsKeptAside(const std::string& where, Ledger& ledger, const LedgerSay& say,
                         const std::set<std::string>& skip = {});
// A run the ledger at where would not take, kept in this program's state folder until the ledger
// is next opened; run.Key is set. False with why when it could not be kept either.
bool KeepRunAside(const std::string& where, const Ledger& ledger, LedgerRun& run, std::string& why);
// Drops the run kept under key (its own row was recorded after all).
void ForgetRunAside(const std::string& where, const Ledger& ledger, const std::string& key);
// False only for an SQLite ledger whose file does not exist or is empty (a PostgreSQL ledger is
// the server's).
bool LedgerExists(const std::string& where);
// where as a message may quote it: without the password of a PostgreSQL URI.
std::string LedgerName(const std::string& where);

// How a production line's ledger is opened.
struct LineLedgerPlan {
    std::string Where;                   // an SQLite file or postgresql://...
    bool SerialsGiven = false;           // serial numbers are placed in the units
    std::optional<uint32_t> SerialFirst; // where a new ledger's serials start
    bool FirstOnlyForANewLedger = false; // a profile's first=: a ledger that gave serials goes on
};
// Exit statuses of OpenLineLedger (as the command line's).
inline constexpr int kLedgerMissing = 66, kLedgerUnreachable = 73, kLedgerFirstRefused = 64;
// Opens the ledger of a run that records into it, before any device is touched: 0, or one of the
// statuses above with why. A missing SQLite file is a new ledger only when the run says where its
// serials start or gives none: a mistyped name must not start the serials at 1 again.
int OpenLineLedger(const LineLedgerPlan& plan, std::unique_ptr<Ledger>& books, std::string& why,
                   const LedgerSay& say);

// What a production line hands its engine to keep a row its ledger would not take, to forget it
// once recorded, and to record the kept ones after each recorded run.
struct KeptAsideHooks {
    std::function<bool(LedgerRun&, std::string&)> Keep;
    std::function<void(const std::string&)> Forget;
    // (the runs of the line still going are passed over: their provisional rows stay aside until
    // their own rows come)
    std::function<void(const std::set<std::string>& running)> RecordKept;
};
// The hooks for ledger (which outlives them) at where.
KeptAsideHooks KeepAsideFor(const std::string& where, Ledger& ledger, LedgerSay say);

}  // namespace qdfu
