// Generator of large HEX files for benchmarks.
#include "big_hex.h"

#include <cstdio>
#include <fstream>

namespace qdfu::bench {
namespace {

std::string Record(unsigned address, unsigned type, const unsigned char* data, unsigned n) {
    char buf[80];
    int p = std::snprintf(buf, sizeof buf, ":%02X%04X%02X", n, address & 0xFFFF, type);
    unsigned sum = n + ((address >> 8) & 0xFF) + (address & 0xFF) + type;
    for (unsigned i = 0; i < n; ++i) {
        p += std::snprintf(buf + p, sizeof buf - static_cast<unsigned>(p), "%02X", data[i]);
        sum += data[i];
    }
    std::snprintf(buf + p, sizeof buf - static_cast<unsigned>(p), "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return buf;
}

}  // namespace

std::vector<std::string> BigHexLines(int bytes) {
    std::vector<std::string> lines;
    unsigned upper = 0xFFFFFFFF;
    unsigned seed = 12345;
    for (int off = 0; off < bytes; off += 16) {
        const unsigned address = 0x2800u + static_cast<unsigned>(off);
        if ((address >> 16) != upper) {
            upper = address >> 16;
            const unsigned char ela[2] = {static_cast<unsigned char>(upper >> 8), static_cast<unsigned char>(upper)};
            lines.push_back(Record(0, 4, ela, 2));
        }
        unsigned char data[16];
        for (int i = 0; i < 16; ++i) {
            seed = seed * 1103515245u + 12345u;
            data[i] = (i % 4 == 3) ? 0 : static_cast<unsigned char>((seed >> 16) | 1);
        }
        lines.push_back(Record(address, 0, data, 16));
    }
    lines.push_back(":00000001FF");
    return lines;
}

bool WriteBigHex(const std::string& path, int bytes) {
    std::ofstream out(path, std::ios::binary);
    for (const auto& l : BigHexLines(bytes)) out << l << "\r\n";
    return static_cast<bool>(out);
}

}  // namespace qdfu::bench
