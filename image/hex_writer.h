// Intel HEX output: bytes of program memory written as a file that GNU objcopy and our own loader
// read back to the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qdfu {

// n bytes from address start as HEX text: an extended linear address record (type 04) wherever
// the upper 16 bits of the address change (and first), data records of at most 16 bytes that
// never cross a 64 KiB boundary, each with its checksum, and the end-of-file record. Lines end in
// CR LF, as the Microchip toolchains write them.
std::string HexText(uint32_t start, const uint8_t* data, std::size_t n);

}  // namespace qdfu
