// The largest image the tool takes, written as a toolchain would: 0x2B000 bytes from 0x2800 in
// 16-byte records with extended linear address records, every fourth byte 0x00.
#pragma once

#include <string>
#include <vector>

namespace qdfu::bench {

// bytes: how much program data from 0x2800 on.
std::vector<std::string> BigHexLines(int bytes = 0x2B000);
bool WriteBigHex(const std::string& path, int bytes = 0x2B000);

}  // namespace qdfu::bench
