// Choosing the database of a ledger.
#include "ledger.h"

namespace qdfu {

std::unique_ptr<Ledger> OpenLedger(const std::string& where, std::string& why) {
    if (where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0) return OpenPostgresLedger(where, why);
    return OpenSqliteLedger(where, why);
}

}  // namespace qdfu
