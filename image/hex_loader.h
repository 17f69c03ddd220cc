// Intel HEX loader: turns the lines of a HEX file into the device memory image, its address range,
// the interpreted listing (one line per input line) and the 64-byte dump. Addresses are the byte
// addresses written in the file; nothing is regrouped into device words.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qdfu {

inline constexpr int32_t MEMORY_IMAGE_SIZE = 0x2B000;
inline constexpr int32_t IMAGE_MIN_ADDRESS = 0x2800;
// The controller's program memory ends here: no upload erases, writes or reads at or above it.
inline constexpr uint32_t PROGRAM_MEMORY_END = 0x2B000;
// HEX byte addresses from here on are the configuration space (2 x 0x800000 on a dsPIC33):
// listed, never stored, never sent.
inline constexpr uint32_t CONFIG_SPACE_ADDRESS = 0x1000000;
inline constexpr int32_t DUMP_ROW_BYTES = 64;

// The one image buffer of the process, allocated once. Byte k is the byte for ImageStart + k.
uint8_t* MemoryImage();

// Lines packed into one buffer: a load of the largest image makes some 14,000 of them, and one
// allocation per line would cost more than the interpretation itself.
class LineList {
public:
    std::size_t size() const { return ends_.size(); }
    bool empty() const { return ends_.empty(); }
    std::string_view operator[](std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(text_).substr(begin, ends_[i] - begin);
    }
    void reserve(std::size_t lines, std::size_t chars) {
        ends_.reserve(lines);
        text_.reserve(chars);
    }
    // Appends to the line being built; Finish ends it.
    std::string& Text() { return text_; }
    void Finish() { ends_.push_back(text_.size()); }
    void clear() {
        ends_.clear();
        text_.clear();
    }

private:
    std::string text_;
    std::vector<std::size_t> ends_;
};

struct HexLoadResult {
    bool Valid = true;
    int32_t ImageStart = -1;
    int32_t ImageEnd = -1;
    LineList Listing;  // one line per input line when the load completes
    LineList Dump;     // one line per 64 image bytes, empty after a fault
    bool Fault = false;                // interpretation stopped early at FaultLine
    std::size_t FaultLine = 0;         // 0-based index of the line that stopped it
    // Why the file is invalid, naming the first line at fault, the record's address where it has
    // one, and the cause ("line 635: data at 0x000AAFE0 lies beyond the memory image ..."); "" for
    // a valid file.
    std::string FaultText;
    // Records whose checksum does not match their bytes: the file is damaged (or was edited by
    // hand). They do not make the file invalid; the first is described in ChecksumText ("line 12:
    // checksum 0xAB, the record's bytes give 0xCD: the file is damaged").
    std::size_t ChecksumErrors = 0;
    std::size_t ChecksumLine = 0;  // 0-based
    std::string ChecksumText;
    // Given[k] is 1 when the file gives the byte at ImageStart + k (the image holds 0x00 elsewhere);
    // MEMORY_IMAGE_SIZE entries once a load stored anything.
    std::vector<uint8_t> Given;
    // A file cut short at a line boundary still loads: only its end-of-file record (type 01) is
    // missing. Such a file is damaged, as one with a wrong checksum.
    bool EndOfFile = false;
    // The lowest address at or above PROGRAM_MEMORY_END (and below the configuration space) that
    // the file gives; -1 for none. Such a file cannot be uploaded.
    int64_t FirstPastProgramMemory = -1;
    // Data bytes the file gives below IMAGE_MIN_ADDRESS (the bootloader's area): listed, never sent.
    std::size_t BytesBelowBootArea = 0;
};

// True when a loaded file is damaged: a record whose checksum does not match, or no end-of-file
// record. DamageText says how ("" for an undamaged file), naming the first such record.
bool Damaged(const HexLoadResult& r);
std::string DamageText(const HexLoadResult& r);

// True when the load stored no byte from IMAGE_MIN_ADDRESS up: nothing to upload.
inline bool NothingToUpload(const HexLoadResult& r) { return r.Valid && r.ImageStart < 0; }
// Said when such a file is refused for an upload.
std::string NothingToUploadText();
// Why a valid file cannot be uploaded (or verified): nothing from 0x2800 up, or bytes past the end
// of program memory; "" when it can.
std::string UploadRefusal(const HexLoadResult& r);
// "N bytes below 0x2800 are not uploaded" when the file gives any there; "" otherwise.
std::string BootAreaNote(const HexLoadResult& r);

// Loads lines into image (MEMORY_IMAGE_SIZE bytes, cleared first). Records may come in any order:
// every byte is placed at its address minus the final ImageStart. Bytes from IMAGE_MIN_ADDRESS up
// to the configuration space are stored, decided byte by byte; ImageStart is the lowest of them
// and ImageEnd lies after the highest, zero or not, rounded up to 256 bytes from ImageStart. A field that is not hexadecimal,
// or a program-memory byte whose place is outside the image, stops interpretation at that line and
// makes the file invalid; ImageEnd then keeps the running maximum and the dump stays empty.
HexLoadResult LoadHexImage(const std::vector<std::string>& lines, uint8_t* image);
// The same into an existing result, whose buffers are reused (a window that reloads keeps one).
void LoadHexImage(const std::vector<std::string>& lines, uint8_t* image, HexLoadResult& result);

// The same over a whole file's text, split into lines as the raw view splits them. withListings
// false skips the listing and the dump, for callers that only want the image.
HexLoadResult LoadHexText(std::string_view text, uint8_t* image, bool withListings = true);

// Number of 64-byte blocks between start and end (rounded up); 0 for an empty or reversed range.
int32_t BlockCount(int32_t imageStart, int32_t imageEnd);

// Formats one dump row: the address as 8 upper-case hex digits (two's complement), a blank, then
// 64 bytes of image from offset row*64, each as two digits and a blank.
std::string DumpLine(int32_t imageStart, int32_t row, const uint8_t* image);
void AppendDumpLine(std::string& out, int32_t imageStart, int32_t row, const uint8_t* image);

}  // namespace qdfu
