// A build without a database client (the Windows build has no SQLite or PostgreSQL client yet): a
// ledger cannot be opened, and says why.
#include "ledger.h"

namespace qdfu {

std::unique_ptr<Ledger> OpenSqliteLedger(const std::string& path, std::string& why, LedgerAccess) {
    why = "--ledger " + path + ": this build has no SQLite ledger";
    return nullptr;
}

std::unique_ptr<Ledger> OpenPostgresLedger(const std::string&, std::string& why, LedgerAccess) {
    why = "--ledger: this build has no PostgreSQL ledger";
    return nullptr;
}

}  // namespace qdfu
