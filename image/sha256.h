// SHA-256 of a byte string, as lower-case hex: the firmware's fingerprint in production reports.
#pragma once

#include <string>
#include <string_view>

namespace qdfu {

std::string Sha256Hex(std::string_view bytes);

}  // namespace qdfu
