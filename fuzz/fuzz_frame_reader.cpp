// The simulated controller's frame reader on arbitrary host bytes: events must be well formed
// (frames of the length their command says, lines within their bound).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "frame_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qdfu::sim::FrameReader reader;
    qdfu::sim::ReaderEvent event{qdfu::sim::ReaderEvent::TextLine, {}};
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF && i % 7 == 0) reader.Resync();
        if (!reader.Feed(data[i], event)) continue;
        if (event.kind == qdfu::sim::ReaderEvent::TextLine && event.bytes.size() > qdfu::sim::FrameReader::kMaxLine)
            std::abort();
        if (event.kind == qdfu::sim::ReaderEvent::Frame && (event.bytes.size() < 4 || event.bytes.size() > 264))
            std::abort();
    }
    return 0;
}
