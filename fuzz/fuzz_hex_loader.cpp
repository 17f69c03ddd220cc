// The HEX loader on arbitrary file contents: it must never write outside the image, the image-only
// load must agree with the full load on validity, range, every image byte and what it says of the
// file, an invalid file must say why, and a complete load must keep its invariants (a range that
// is a whole number of 256-byte pages, one listing line per input line, one dump line per 64
// bytes).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "hex_loader.h"
#include "text_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    static uint8_t bareImage[qdfu::MEMORY_IMAGE_SIZE];
    const qdfu::HexLoadResult bare = qdfu::LoadHexText(text, bareImage, false);
    const qdfu::HexLoadResult r = qdfu::LoadHexText(text, qdfu::MemoryImage());
    // the image-only load takes its own path through the data bytes: it must agree
    if (bare.Valid != r.Valid || bare.Fault != r.Fault || bare.ImageStart != r.ImageStart || bare.ImageEnd != r.ImageEnd)
        std::abort();
    if (std::memcmp(bareImage, qdfu::MemoryImage(), qdfu::MEMORY_IMAGE_SIZE) != 0) std::abort();
    if (bare.FaultText != r.FaultText || bare.ChecksumText != r.ChecksumText || bare.Given != r.Given) std::abort();
    if (r.Valid != r.FaultText.empty()) std::abort();  // an invalid file says why, a valid one nothing
    if (r.Fault) return 0;
    const auto lines = qdfu::SplitTextLines(text);
    if (r.Listing.size() != lines.size()) std::abort();
    const int64_t span = int64_t{r.ImageEnd} - r.ImageStart;
    if (span < 256 || span % 256 != 0 || span > qdfu::MEMORY_IMAGE_SIZE + 255) std::abort();
    if (static_cast<int64_t>(r.Dump.size()) != span / 64) std::abort();
    return 0;
}
