// Intel HEX writer.
#include "hex_writer.h"

#include <algorithm>
#include <vector>

namespace qdfu {
namespace {

void Record(std::string& out, uint8_t type, uint16_t address, const uint8_t* data, std::size_t n) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(n), static_cast<uint8_t>(address >> 8),
                                  static_cast<uint8_t>(address), type};
    bytes.insert(bytes.end(), data, data + n);
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    bytes.push_back(static_cast<uint8_t>(0x100 - (sum & 0xFF)));
    out += ':';
    for (uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0xF];
    }
    out += "\r\n";
}

}  // namespace

std::string HexText(uint32_t start, const uint8_t* data, std::size_t n) {
    std::string out;
    out.reserve(n * 2 + n / 16 * 13 + 64);
    uint64_t upper = UINT64_MAX;
    for (std::size_t off = 0; off < n;) {
        const uint32_t address = start + static_cast<uint32_t>(off);
        if ((address >> 16) != upper) {
            upper = address >> 16;
            const uint8_t field[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
            Record(out, 0x04, 0, field, 2);
        }
        const std::size_t toBoundary = 0x10000 - (address & 0xFFFF);
        const std::size_t count = std::min<std::size_t>({16, n - off, toBoundary});
        Record(out, 0x00, static_cast<uint16_t>(address), data + off, count);
        off += count;
    }
    Record(out, 0x01, 0, nullptr, 0);
    return out;
}

}  // namespace qdfu
