// The serial driver's reception on arbitrary line bytes, through a backend that serves the fuzz
// input: the first bytes choose the expected length and line mode, the rest is the line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "serial.h"
#include "settings.h"

namespace {

class ByteSource final : public qdfu::SerialBackend {
public:
    ByteSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Open(const std::string&) override { return true; }
    bool ReadSettings() override { return true; }
    bool ApplySettings(const qdfu::LineSettings&) override { return true; }
    void SetTimeouts(int, int) override {}
    void DiscardInput() override {}
    bool Write(const uint8_t*, std::size_t n, std::size_t& written) override {
        written = n;
        return true;
    }
    qdfu::ReadResult ReadByte(uint8_t& byte) override {
        if (pos_ >= size_) return qdfu::ReadResult::Timeout;
        byte = data_[pos_++];
        return qdfu::ReadResult::Byte;
    }
    void Close() override {}

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const int32_t expected = static_cast<int8_t>(data[0]) * 3;
    const bool lineMode = data[1] & 1;
    const bool transact = data[1] & 2;
    qdfu::SerialSetPortResolver([](uint32_t) { return std::string("fuzz"); });
    qdfu::SerialSetBackendFactory([&](const std::string&) { return std::make_unique<ByteSource>(data + 2, size - 2); });
    qdfu::ProcessSettings().ApplyLineSettings = 1;
    if (qdfu::SerialOpen(1, 5, 0, 4, 0, 1) != qdfu::SERIAL_OK) std::abort();
    const qdfu::SerialError r = transact ? qdfu::SerialTransact(4, expected) : qdfu::SerialRead(expected, lineMode);
    if (r == qdfu::SERIAL_OK && (qdfu::RxLast < 0 || qdfu::RxLast > 255)) std::abort();
    if (qdfu::RxLast < 0 || qdfu::RxLast > 256) std::abort();
    for (size_t i = 256; i < qdfu::RxBuffer.size(); ++i)
        if (qdfu::RxBuffer[i] != 0) std::abort();
    qdfu::SerialClose();
    return 0;
}
