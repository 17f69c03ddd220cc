// Intel HEX loader. Interpretation runs in one pass: each stored byte is placed relative to the
// lowest stored address seen so far, and a record that lowers it moves the placed bytes up, so the
// order of the records never changes the image.
#include "hex_loader.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "image_platform.h"

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

// The byte that two hex digits give, indexed by the first digit's character and the second's
// (first + 256 * second, the order in which they lie in memory); -1 when either is not a digit.
struct HexPairTable {
    int16_t value[65536];
    constexpr HexPairTable() : value{} {
        for (int hi = 0; hi < 256; ++hi) {
            for (int lo = 0; lo < 256; ++lo) {
                const int h = kHex.value[hi], l = kHex.value[lo];
                value[hi + 256 * lo] = static_cast<int16_t>(h < 0 || l < 0 ? -1 : h * 16 + l);
            }
        }
    }
};
constexpr HexPairTable kHexPair;

// Decodes n bytes from 2n hex digits at p into out, adding them to sum. False (out and sum then
// undefined) when any character is not a hex digit. A large file is mostly data: one look-up a
// byte.
inline int HexPair(const char* p) {
    const unsigned index = static_cast<unsigned char>(p[0]) | static_cast<unsigned>(static_cast<unsigned char>(p[1])) << 8;
    return kHexPair.value[index];
}

bool DecodeHexBytes(const char* p, uint32_t n, uint8_t* out, unsigned& sum) {
    int bad = 0;
#pragma GCC unroll 4
    for (uint32_t i = 0; i < n; ++i) {
        const int v = HexPair(p + 2 * i);
        bad |= v;  // negative once any pair is not two digits
        out[i] = static_cast<uint8_t>(v);
        sum += static_cast<uint8_t>(v);
    }
    return bad >= 0;
}

constexpr int kNoChecksum = -1;      // the line ends after the data
constexpr int kChecksumNotHex = -2;  // two characters that are not hex digits

std::string Hex(uint32_t value, int digits) {
    std::string out(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4) out[static_cast<std::size_t>(i)] = kHexDigits[value & 0xF];
    return out;
}

std::string LineNo(std::size_t index) { return "line " + std::to_string(index + 1) + ": "; }

// The record's checksum against its bytes: false with given (-1 when the line holds no checksum
// field) and computed set when they differ. A record with a character that is not a digit is not
// judged here.
bool ChecksumMatches(std::string_view line, uint32_t count, int& given, int& computed) {
    const std::size_t end = 9 + 2 * std::size_t{count};
    if (line.size() < end) return true;
    unsigned sum = 0;
    for (std::size_t i = 1; i < end; i += 2) {
        const int hi = HexValue(line[i]);
        const int lo = HexValue(line[i + 1]);
        if (hi < 0 || lo < 0) return true;
        sum += static_cast<unsigned>((hi << 4) | lo);
    }
    computed = static_cast<int>((0x100 - (sum & 0xFF)) & 0xFF);
    given = kNoChecksum;
    if (line.size() >= end + 2) {
        const int hi = HexValue(line[end]);
        const int lo = HexValue(line[end + 1]);
        given = hi >= 0 && lo >= 0 ? (hi << 4) | lo : kChecksumNotHex;
    }
    return given == computed;
}

// What a checksum that does not match is said as.
std::string ChecksumFault(std::string_view line, uint32_t count, int given, int computed) {
    std::string text;
    if (given == kNoChecksum) {
        text = "no checksum after the data";
    } else if (given == kChecksumNotHex) {
        text = "the checksum '" + std::string(line.substr(9 + 2 * std::size_t{count}, 2)) + "' is not hexadecimal";
    } else {
        text = "checksum 0x" + Hex(static_cast<uint32_t>(given), 2);
    }
    return text + ", the record's bytes give 0x" + Hex(static_cast<uint32_t>(computed), 2) + ": the file is damaged";
}

// A record other than data must hold its whole data field, in hex digits: a cut extended address
// record would silently move every byte after it. "" when it does.
std::string RecordFieldFault(std::string_view line, uint32_t count, uint32_t type) {
    const std::string kind = "record type " + Hex(type, 2);
    if ((type == 0x02 || type == 0x04) && count != 2)
        return kind + " carries 2 data bytes, this one " + std::to_string(count);
    if (line.size() < 9 + 2 * std::size_t{count})
        return kind + ": the line ends before its " + std::to_string(count) + " data bytes";
    for (uint32_t n = 0; n < count; ++n) {
        const std::size_t at = 9 + 2 * std::size_t{n};
        if (HexValue(line[at]) < 0 || HexValue(line[at + 1]) < 0)
            return kind + ": byte " + std::to_string(n + 1) + " '" + std::string(line.substr(at, 2)) +
                   "' is not hexadecimal";
    }
    if (type == 0x02 && line.substr(9, 4) != "0000")
        return "extended segment address " + std::string(line.substr(9, 4)) +
               " (record type 02): segment addresses are not applied, so the data after it would land at the "
               "wrong address";
    return {};
}

// Characters [pos, pos + len) of a line, clamped to its end (positions are 0-based here).
std::string_view Field(std::string_view line, std::size_t pos, std::size_t len) {
    if (pos >= line.size()) return {};
    return line.substr(pos, len);
}

}  // namespace

namespace {

// Zero pages from the system, touched only when something is written; the first load need not
// clear them again.
bool g_imagePristine = true;

}  // namespace

uint8_t* MemoryImage() {
    static uint8_t* const image = AllocateZeroedImage(MEMORY_IMAGE_SIZE);
    return image;
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

namespace {

// next(line) yields the lines in order and returns false after the last one.
template <class NextLine>
void Load(NextLine&& next, std::size_t lineHint, uint8_t* image, bool withListings, HexLoadResult& result) {
    result.Valid = true;
    result.ImageStart = result.ImageEnd = -1;
    result.Fault = false;
    result.FaultLine = 0;
    result.FaultText.clear();
    result.ChecksumErrors = 0;
    result.ChecksumLine = 0;
    result.ChecksumText.clear();
    result.EndOfFile = false;
    result.FirstPastProgramMemory = -1;
    result.BytesBelowBootArea = 0;
    result.Given.assign(MEMORY_IMAGE_SIZE, 0);
    uint8_t* given = result.Given.data();
    result.Listing.clear();
    result.Dump.clear();
    if (image != MemoryImage() || !g_imagePristine) std::memset(image, 0, MEMORY_IMAGE_SIZE);
    if (image == MemoryImage()) g_imagePristine = false;
    if (withListings) result.Listing.reserve(lineHint, lineHint * 60);
    std::string& listing = result.Listing.Text();
    std::size_t lineStart = 0;  // where the line being interpreted begins in the listing

    std::string upper;  // data field of the last extended linear address record
    uint32_t upperValue = 0;  // its value
    int64_t imageStart = -1;  // the lowest stored address so far: where image[0] belongs
    int64_t runningEnd = -1;  // the highest address + count so far

    auto fault = [&](std::size_t lineIndex, const std::string& why) {
        result.Valid = false;
        result.Fault = true;
        result.FaultLine = lineIndex;
        if (result.FaultText.empty()) result.FaultText = LineNo(lineIndex) + why;
    };
    auto beyond = [&](std::size_t lineIndex, uint32_t address, int64_t start) {
        if (address >= PROGRAM_MEMORY_END)
            return fault(lineIndex, "data at 0x" + Hex(address, 8) +
                                        ": the controller's program memory ends at 0x2B000 (is this file built for "
                                        "another device?)");
        fault(lineIndex, "data at 0x" + Hex(address, 8) + " lies beyond the memory image (0x" +
                             Hex(MEMORY_IMAGE_SIZE, 5) + " bytes from 0x" + Hex(static_cast<uint32_t>(start), 8) +
                             "): is this file built for another device?");
    };

    std::string_view line;
    for (std::size_t li = 0; !result.Fault && next(line); ++li) {
        lineStart = listing.size();
        if (line.empty() || line[0] != ':') {
            result.Valid = false;
            if (result.FaultText.empty())
                result.FaultText = LineNo(li) + (line.empty() ? "the line is empty" : "the line does not start with ':'");
        }

        const int countField = line.size() >= 9 ? HexPair(line.data() + 1) : -1;
        const int typeField = line.size() >= 9 ? HexPair(line.data() + 7) : -1;
        const uint32_t count = static_cast<uint32_t>(countField);
        const uint32_t type = static_cast<uint32_t>(typeField);
        if (countField < 0 || typeField < 0) {
            fault(li, line.size() < 9 ? "the line is too short for a record (" + std::to_string(line.size()) +
                                            " characters)"
                                      : "the byte count '" + std::string(Field(line, 1, 2)) + "' or the record type '" +
                                            std::string(Field(line, 7, 2)) + "' is not hexadecimal");
            break;
        }
        if (type != 0x00) {
            if (const std::string why = RecordFieldFault(line, count, type); !why.empty()) {
                fault(li, why);
                break;
            }
        }
        // The sum of the record's bytes when the data path below has already added them up (-1:
        // not yet); the checksum is judged once the record was interpreted.
        int recordSum = -1;
        switch (type) {
            case 0x01:
                result.EndOfFile = true;
                listing += "*** EOF ***";
                break;
            case 0x02:
                listing += "*** SET EXTENDED SEGMENT ADDRESS [";
                listing += Field(line, 9, 4);
                listing += "] ***";
                break;
            case 0x04:  // its whole field was checked above
                upper = std::string(Field(line, 9, 4));
                upperValue = static_cast<uint32_t>(HexPair(line.data() + 9) << 8 | HexPair(line.data() + 11));
                listing += "*** SET EXTENDED LINEAR ADDRESS [";
                listing += upper;
                listing += "] ***";
                break;
            default:
                break;
        }
        if (type == 0x00) {
            // The address is the hex value of the upper text followed by the four address
            // characters, both parsed as written.
            const std::string_view low = Field(line, 3, 4);
            const int lowHigh = HexPair(line.data() + 3), lowLow = HexPair(line.data() + 5);
            if ((lowHigh | lowLow) < 0) {
                fault(li, "the address '" + std::string(low) + "' is not hexadecimal");
                break;
            }
            const uint32_t lowValue = static_cast<uint32_t>(lowHigh << 8 | lowLow);
            const uint32_t address = (upperValue << 16) | lowValue;
            if (withListings) {
                listing += upper;
                listing += low;
            }
            // Stored bytes are decided one by one: a record may start below the program memory
            // or run into the configuration space, and only its bytes in between are stored.
            const uint64_t storeFrom = std::max<uint64_t>(address, IMAGE_MIN_ADDRESS);
            const uint64_t storeTo = std::min<uint64_t>(uint64_t{address} + count, CONFIG_SPACE_ADDRESS);
            const bool store = storeFrom < storeTo;
            if (address < static_cast<uint32_t>(IMAGE_MIN_ADDRESS))
                result.BytesBelowBootArea += std::min<uint64_t>(uint64_t{address} + count, IMAGE_MIN_ADDRESS) - address;
            if (store && storeTo > PROGRAM_MEMORY_END) {
                const int64_t past = static_cast<int64_t>(std::max<uint64_t>(storeFrom, PROGRAM_MEMORY_END));
                if (result.FirstPastProgramMemory < 0 || past < result.FirstPastProgramMemory)
                    result.FirstPastProgramMemory = past;
            }
            const uint32_t first = store ? static_cast<uint32_t>(storeFrom - address) : 0;  // in the record
            const uint32_t stored = store ? static_cast<uint32_t>(storeTo - storeFrom) : 0;
            if (store) {
                // A record below everything placed so far moves the placed bytes up, so that every
                // byte ends at its address minus the final ImageStart whatever the record order.
                const int64_t from = static_cast<int64_t>(storeFrom);
                if (imageStart != -1 && from < imageStart) {
                    const int64_t shift = imageStart - from;
                    const int64_t used = runningEnd - imageStart;
                    if (used + shift > MEMORY_IMAGE_SIZE) {
                        beyond(li, address, from);
                        break;
                    }
                    std::memmove(image + shift, image, static_cast<std::size_t>(used));
                    std::memset(image, 0, static_cast<std::size_t>(shift));
                    std::memmove(given + shift, given, static_cast<std::size_t>(used));
                    std::memset(given, 0, static_cast<std::size_t>(shift));
                }
                if (imageStart == -1 || imageStart > from) imageStart = from;
                if (static_cast<int64_t>(storeTo) - imageStart > MEMORY_IMAGE_SIZE) {
                    beyond(li, address, imageStart);
                    break;
                }
                runningEnd = std::max<int64_t>(runningEnd, static_cast<int64_t>(storeTo));
            }
            if (withListings) listing += ' ';
            uint8_t* dst = store ? image + (static_cast<int64_t>(storeFrom) - imageStart) : nullptr;
            const bool whole = line.size() >= 9 + 2 * std::size_t{count};
            bool placed = false;
            if (store && whole && !withListings) {  // the common case, without the listing
                // Decoded aside and placed only when every digit is good, so a faulty record
                // leaves the image exactly as the byte-by-byte path below leaves it.
                uint8_t bytes[256];
                unsigned sum = 0;
                if (DecodeHexBytes(line.data() + 9 + 2 * std::size_t{first}, stored, bytes, sum)) {
                    std::memcpy(dst, bytes, stored);
                    std::memset(given + (dst - image), 1, stored);
                    placed = true;
                    if (stored == count)  // every byte of the record: its sum is known
                        recordSum = static_cast<int>((sum + count + (lowValue >> 8) + (lowValue & 0xFF)) & 0xFF);
                }
            }
            if (!placed && (store || withListings)) {
                for (uint32_t n = 0; n < count; ++n) {
                    const std::string_view pair = Field(line, 9 + 2 * n, 2);
                    if (n >= first && n - first < stored) {
                        const int hi = pair.size() == 2 ? HexValue(pair[0]) : -1;
                        const int lo = pair.size() == 2 ? HexValue(pair[1]) : -1;
                        if (hi < 0 || lo < 0) {
                            fault(li, "data at 0x" + Hex(address, 8) +
                                          (pair.size() == 2 ? ": byte " + std::to_string(n + 1) + " '" + std::string(pair) +
                                                                  "' is not hexadecimal"
                                                            : ": the line ends before its " + std::to_string(count) +
                                                                  " data bytes"));
                            break;
                        }
                        dst[n - first] = static_cast<uint8_t>((hi << 4) | lo);
                        given[dst - image + (n - first)] = 1;
                    } else if (!withListings) {
                        continue;
                    }
                    if (withListings) {
                        listing += pair;
                        listing += ' ';
                    }
                }
            }
            if (result.Fault) break;
        }
        {
            int givenSum = 0, computedSum = 0;
            bool matches;
            if (recordSum >= 0) {
                const std::size_t end = 9 + 2 * std::size_t{count};
                const int hi = line.size() >= end + 2 ? HexValue(line[end]) : -1;
                const int lo = line.size() >= end + 2 ? HexValue(line[end + 1]) : -1;
                givenSum = line.size() < end + 2 ? kNoChecksum : (hi | lo) < 0 ? kChecksumNotHex : (hi << 4) | lo;
                computedSum = (0x100 - recordSum) & 0xFF;
                matches = givenSum == computedSum;
            } else {
                matches = ChecksumMatches(line, count, givenSum, computedSum);
            }
            if (!matches && result.ChecksumErrors++ == 0) {
                result.ChecksumLine = li;
                result.ChecksumText = LineNo(li) + ChecksumFault(line, count, givenSum, computedSum);
            }
        }
        if (withListings) {
            result.Listing.Finish();
        } else {
            listing.clear();
        }
    }
    if (result.Fault) listing.resize(lineStart);  // the unfinished line is not listed

    result.ImageStart = static_cast<int32_t>(imageStart);

    if (result.Fault) {
        result.ImageEnd = static_cast<int32_t>(runningEnd);
        return;
    }

    // The range ends after the last byte the file gives, zero or not, rounded up to 256 bytes.
    const int32_t last = imageStart == -1 ? 0 : static_cast<int32_t>(runningEnd - 1 - imageStart);
    result.ImageEnd = result.ImageStart + 256 * (last / 256 + 1);

    if (!withListings) return;
    const int32_t rows = (result.ImageEnd - result.ImageStart) / DUMP_ROW_BYTES;
    result.Dump.reserve(static_cast<std::size_t>(rows), static_cast<std::size_t>(rows) * (9 + DUMP_ROW_BYTES * 3));
    for (int32_t r = 0; r < rows; ++r) {
        AppendDumpLine(result.Dump.Text(), result.ImageStart, r, image);
        result.Dump.Finish();
    }
}

}  // namespace

void LoadHexImage(const std::vector<std::string>& lines, uint8_t* image, HexLoadResult& result) {
    std::size_t i = 0;
    Load(
        [&](std::string_view& line) {
            if (i == lines.size()) return false;
            line = lines[i++];
            return true;
        },
        lines.size(), image, true, result);
}

HexLoadResult LoadHexImage(const std::vector<std::string>& lines, uint8_t* image) {
    HexLoadResult result;
    LoadHexImage(lines, image, result);
    return result;
}

std::string NothingToUploadText() {
    return "nothing to upload: the file gives no byte from 0x2800 up, where the application lives "
           "(is it a bootloader's own file, or an application linked for another bootloader?)";
}

bool Damaged(const HexLoadResult& r) { return r.ChecksumErrors > 0 || !r.EndOfFile; }

std::string DamageText(const HexLoadResult& r) {
    std::string text;
    if (r.ChecksumErrors > 0) {
        text = r.ChecksumText;
        if (r.ChecksumErrors > 1) text += " (" + std::to_string(r.ChecksumErrors) + " records in all)";
    }
    if (!r.EndOfFile) {
        if (!text.empty()) text += "; ";
        text += "the file has no end-of-file record (type 01): it was cut short, perhaps by a failed download";
    }
    return text;
}

std::string UploadRefusal(const HexLoadResult& r) {
    if (NothingToUpload(r)) return NothingToUploadText();
    if (r.FirstPastProgramMemory >= 0)
        return "data at 0x" + Hex(static_cast<uint32_t>(r.FirstPastProgramMemory), 8) +
               ": the controller's program memory ends at 0x2B000 (is this file built for another device?)";
    return {};
}

std::string BootAreaNote(const HexLoadResult& r) {
    if (r.BytesBelowBootArea == 0) return {};
    return r.BytesBelowBootArea == 1 ? "1 byte below 0x2800 is not uploaded"
                                      : std::to_string(r.BytesBelowBootArea) + " bytes below 0x2800 are not uploaded";
}

HexLoadResult LoadHexText(std::string_view text, uint8_t* image, bool withListings) {
    HexLoadResult result;
    std::size_t pos = 0;
    Load(
        [&](std::string_view& line) {
            if (pos >= text.size()) return false;
            // A line ends at CR, LF or CR LF: the first LF bounds the search for a CR.
            const char* begin = text.data() + pos;
            std::size_t length = text.size() - pos;
            if (const void* lf = std::memchr(begin, '\n', length)) length = static_cast<const char*>(lf) - begin;
            if (const void* cr = std::memchr(begin, '\r', length)) length = static_cast<const char*>(cr) - begin;
            const std::size_t end = pos + length;
            line = text.substr(pos, length);
            pos = end;
            if (pos < text.size()) pos += (text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n') ? 2 : 1;
            return true;
        },
        withListings ? static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1 : 0, image,
        withListings, result);
    return result;
}

}  // namespace qdfu
