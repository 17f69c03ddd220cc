// Frame and line reassembly for the simulated controller.
#include "frame_reader.h"

#include "frames.h"

namespace qdfu::sim {

void FrameReader::Resync() {
    frame_.clear();
    expected_ = 0;
}

bool FrameReader::Feed(uint8_t byte, ReaderEvent& event) {
    if (frame_.empty()) {
        if (byte == FRAME_START) {
            frame_.push_back(byte);
            line_.clear();
            return false;
        }
        if (byte == 0x0D) {
            if (line_.empty()) return false;  // the modem framing's carriage return
            event = {ReaderEvent::TextLine, line_};
            line_.clear();
            return true;
        }
        if (line_.size() < kMaxLine) line_.push_back(byte);
        return false;
    }

    frame_.push_back(byte);
    if (frame_.size() == 2) {
        switch (byte) {
            case CMD_START_DFU:
            case CMD_RESET: expected_ = 4; break;
            case CMD_ERASE: expected_ = 8; break;
            case CMD_READ: expected_ = 9; break;
            case CMD_WRITE: expected_ = 0; break;  // known with the length byte
            default:
                event = {ReaderEvent::BadFrame, frame_};
                Resync();
                return true;
        }
    } else if (frame_.size() == 3 && frame_[1] == CMD_WRITE) {
        expected_ = 9 + static_cast<std::size_t>(byte);
    }
    if (expected_ != 0 && frame_.size() == expected_) {
        const std::size_t k = expected_ - 2;
        const bool ok = frame_.back() == FRAME_END && FrameChecksum(frame_.data(), k) == frame_[k];
        event = {ok ? ReaderEvent::Frame : ReaderEvent::BadFrame, frame_};
        Resync();
        return true;
    }
    return false;
}

}  // namespace qdfu::sim
