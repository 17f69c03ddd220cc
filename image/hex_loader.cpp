// Intel HEX loader. Interpretation runs in two passes: the first reads every line, builds the
// listing and finds the lowest stored address; the second places the data bytes relative to that
// final ImageStart, so the order of the records never changes the image.
#include "hex_loader.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace qdfu {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

struct HexTable {
    int8_t value[256];
    constexpr HexTable() : value{} {
        for (int c = 0; c < 256; ++c) value[c] = -1;
        for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<int8_t>(c - '0');
        for (int c = 'A'; c <= 'F'; ++c) value[c] = static_cast<int8_t>(c - 'A' + 10);
        for (int c = 'a'; c <= 'f'; ++c) value[c] = static_cast<int8_t>(c - 'a' + 10);
    }
};
constexpr HexTable kHex;

inline int HexValue(char c) { return kHex.value[static_cast<unsigned char>(c)]; }

// A non-empty run of at most 8 hexadecimal digits.
bool ParseHex(std::string_view s, uint32_t& value) {
    if (s.empty() || s.size() > 8) return false;
    uint32_t v = 0;
    for (char c : s) {
        const int d = HexValue(c);
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    value = v;
    return true;
}

// Characters [pos, pos + len) of a line, clamped to its end (positions are 0-based here).
std::string_view Field(std::string_view line, std::size_t pos, std::size_t len) {
    if (pos >= line.size()) return {};
    return line.substr(pos, len);
}

struct StoredRecord {
    uint32_t address;
    uint32_t line;
    uint32_t count;
};

bool IsStoredAddress(uint64_t address) {
    return address >= static_cast<uint64_t>(IMAGE_MIN_ADDRESS) && address < CONFIG_SPACE_ADDRESS;
}

}  // namespace

uint8_t* MemoryImage() {
    static const std::unique_ptr<uint8_t[]> image(new uint8_t[MEMORY_IMAGE_SIZE]());
    return image.get();
}

int32_t BlockCount(int32_t imageStart, int32_t imageEnd) {
    const int64_t span = static_cast<int64_t>(imageEnd) - imageStart;
    if (span <= 0) return 0;
    return static_cast<int32_t>((span + DUMP_ROW_BYTES - 1) / DUMP_ROW_BYTES);
}

std::string DumpLine(int32_t imageStart, int32_t row, const uint8_t* image) {
    std::string out;
    AppendDumpLine(out, imageStart, row, image);
    return out;
}

void AppendDumpLine(std::string& text, int32_t imageStart, int32_t row, const uint8_t* image) {
    const std::size_t at = text.size();
    text.resize(at + 9 + DUMP_ROW_BYTES * 3);
    char* out = text.data() + at;
    const uint32_t address = static_cast<uint32_t>(imageStart) + static_cast<uint32_t>(row) * 64u;
    for (int i = 0; i < 8; ++i) out[i] = kHexDigits[(address >> (28 - 4 * i)) & 0xF];
    out[8] = ' ';
    const uint8_t* bytes = image + static_cast<std::size_t>(row) * DUMP_ROW_BYTES;
    char* p = out + 9;
    for (int j = 0; j < DUMP_ROW_BYTES; ++j) {
        *p++ = kHexDigits[bytes[j] >> 4];
        *p++ = kHexDigits[bytes[j] & 0xF];
        *p++ = ' ';
    }
}

HexLoadResult LoadHexImage(const std::vector<std::string>& lines, uint8_t* image, bool withListings) {
    HexLoadResult result;
    std::memset(image, 0, MEMORY_IMAGE_SIZE);
    if (withListings) result.Listing.reserve(lines.size(), lines.size() * 60);
    std::string& listing = result.Listing.Text();
    std::size_t lineStart = 0;  // where the line being interpreted begins in the listing

    std::vector<StoredRecord> stored;
    std::string upper;  // data field of the last extended linear address record
    int64_t imageStart = -1;
    int64_t runningEnd = -1;

    auto fault = [&](std::size_t lineIndex) {
        result.Valid = false;
        result.Fault = true;
        result.FaultLine = lineIndex;
    };

    for (std::size_t li = 0; li < lines.size() && !result.Fault; ++li) {
        const std::string_view line = lines[li];
        lineStart = listing.size();
        if (line.empty() || line[0] != ':') result.Valid = false;

        uint32_t count = 0;
        uint32_t type = 0;
        if (!ParseHex(Field(line, 1, 2), count) || !ParseHex(Field(line, 7, 2), type)) {
            fault(li);
            break;
        }
        switch (type) {
            case 0x01:
                listing += "*** EOF ***";
                break;
            case 0x02:
                listing += "*** SET EXTENDED SEGMENT ADDRESS [";
                listing += Field(line, 9, 4);
                listing += "] ***";
                break;
            case 0x04:
                upper = std::string(Field(line, 9, 4));
                listing += "*** SET EXTENDED LINEAR ADDRESS [";
                listing += upper;
                listing += "] ***";
                break;
            default:
                break;
        }
        if (type == 0x00) {
            listing += upper;
            listing += Field(line, 3, 4);
            uint32_t address = 0;
            if (!ParseHex(std::string_view(listing).substr(lineStart), address)) {
                fault(li);
                break;
            }
            const bool store = IsStoredAddress(address);
            if (store) {
                if (imageStart == -1 || imageStart > address) imageStart = address;
                runningEnd = std::max<int64_t>(runningEnd, int64_t{address} + count);
            }
            listing += ' ';
            for (uint32_t n = 0; n < count; ++n) {
                const std::string_view pair = Field(line, 9 + 2 * n, 2);
                if (store) {
                    uint32_t byte = 0;
                    if (pair.size() != 2 || !ParseHex(pair, byte)) {
                        fault(li);
                        break;
                    }
                }
                listing += pair;
                listing += ' ';
            }
            if (result.Fault) break;
            if (store) stored.push_back({address, static_cast<uint32_t>(li), count});
        }
        if (withListings) {
            result.Listing.Finish();
        } else {
            listing.clear();
        }
    }
    if (result.Fault) listing.resize(lineStart);  // the unfinished line is not listed

    result.ImageStart = static_cast<int32_t>(imageStart);

    // Place what was read (up to a fault, the image is as far as the load got).
    bool placeFault = false;
    int64_t placedEnd = -1;
    for (const StoredRecord& rec : stored) {
        const int64_t place = int64_t{rec.address} - imageStart;
        if (place + rec.count > MEMORY_IMAGE_SIZE) {
            if (!result.Fault) fault(rec.line);
            placeFault = true;
            break;
        }
        const std::string_view line = lines[rec.line];
        uint8_t* dst = image + place;
        for (uint32_t n = 0; n < rec.count; ++n) {
            dst[n] = static_cast<uint8_t>((HexValue(line[9 + 2 * n]) << 4) | HexValue(line[10 + 2 * n]));
        }
        placedEnd = std::max<int64_t>(placedEnd, int64_t{rec.address} + rec.count);
    }

    if (result.Fault) {
        result.ImageEnd = static_cast<int32_t>(placeFault ? placedEnd : runningEnd);
        return result;
    }

    int32_t last = MEMORY_IMAGE_SIZE - 1;
    while (last > 0 && image[last] == 0) --last;
    if (image[last] == 0) last = 0;
    result.ImageEnd = result.ImageStart + 256 * (last / 256 + 1);

    if (!withListings) return result;
    const int32_t rows = (result.ImageEnd - result.ImageStart) / DUMP_ROW_BYTES;
    result.Dump.reserve(static_cast<std::size_t>(rows), static_cast<std::size_t>(rows) * (9 + DUMP_ROW_BYTES * 3));
    for (int32_t r = 0; r < rows; ++r) {
        AppendDumpLine(result.Dump.Text(), result.ImageStart, r, image);
        result.Dump.Finish();
    }
    return result;
}

}  // namespace qdfu
