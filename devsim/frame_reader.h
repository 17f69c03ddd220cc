// The simulated controller's reader of the host's byte stream: boot frames (03 ... sum 02, length
// known from the command), and outside frames the plain-text lines ending in a carriage return.
// Pure and bounded: it never holds more than one frame (at most 264 bytes) or one 256-byte line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qdfu::sim {

struct ReaderEvent {
    enum Kind { Frame, BadFrame, TextLine } kind;
    std::vector<uint8_t> bytes;  // the whole frame, or the line without its carriage return
};

class FrameReader {
public:
    // Feeds one byte; returns true and fills event when it completes something.
    bool Feed(uint8_t byte, ReaderEvent& event);
    // Drops a partial frame (the host went quiet in the middle of one).
    void Resync();
    bool InFrame() const { return !frame_.empty(); }

    static constexpr std::size_t kMaxLine = 256;

private:
    std::vector<uint8_t> frame_;
    std::size_t expected_ = 0;  // total frame length once known
    std::vector<uint8_t> line_;
};

}  // namespace qdfu::sim
