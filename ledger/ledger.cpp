// Choosing the database of a ledger, and how a serial is laid out in program memory.
#include "ledger.h"

namespace qdfu {

std::unique_ptr<Ledger> OpenLedger(const std::string& where, std::string& why) {
    if (where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0) return OpenPostgresLedger(where, why);
    return OpenSqliteLedger(where, why);
}

std::size_t SerialBytes(SerialFormat format) { return format == SerialFormat::Le32 ? 4 : 8; }

std::vector<uint8_t> SerialImage(uint32_t serial, SerialFormat format) {
    const auto byte = [&](int k) { return static_cast<uint8_t>(serial >> (8 * k)); };
    if (format == SerialFormat::Le32) return {byte(0), byte(1), byte(2), byte(3)};
    return {byte(0), byte(1), 0, 0, byte(2), byte(3), 0, 0};
}

}  // namespace qdfu
