// Boot frame builders.
#include "frames.h"

#include <algorithm>

#include "serial.h"

namespace qdfu {
namespace {

void ClearBuffers() {
    TxBuffer.fill(0);
    RxBuffer.fill(0);
}

int Finish(std::size_t k, bool modem) {
    TxBuffer[k] = FrameChecksum(TxBuffer.data(), k);
    TxBuffer[k + 1] = FRAME_END;
    if (!modem) return static_cast<int>(k + 2);
    TxBuffer[k + 2] = MODEM_FRAME_TAIL;
    return static_cast<int>(k + 3);
}

void PutAddress(std::size_t at, uint32_t address) {
    for (std::size_t i = 0; i < 4; ++i) TxBuffer[at + i] = static_cast<uint8_t>(address >> (8 * i));
}

}  // namespace

BlockRecordBytes PackBlockRecord(const BlockRecord& block) {
    BlockRecordBytes b{};
    b[0] = block.Length;
    for (std::size_t i = 0; i < 4; ++i) b[1 + i] = static_cast<uint8_t>(block.Address >> (8 * i));
    std::copy(block.Data.begin(), block.Data.end(), b.begin() + 5);
    return b;
}

uint8_t FrameChecksum(const uint8_t* bytes, std::size_t count) {
    uint8_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    return sum;
}

int StartDfuFrame(bool modem) {
    ClearBuffers();
    TxBuffer[0] = FRAME_START;
    TxBuffer[1] = CMD_START_DFU;
    return Finish(2, modem);
}

int EraseFrame(uint32_t address, bool modem) {
    ClearBuffers();
    TxBuffer[0] = FRAME_START;
    TxBuffer[1] = CMD_ERASE;
    PutAddress(2, address);
    return Finish(6, modem);
}

int WriteFrame(const BlockRecord& block, bool modem) {
    ClearBuffers();
    TxBuffer[0] = FRAME_START;
    TxBuffer[1] = CMD_WRITE;
    const BlockRecordBytes packed = PackBlockRecord(block);
    const std::size_t length = std::min<std::size_t>(block.Length, BLOCK_SIZE);
    std::copy_n(packed.begin(), length + 5, TxBuffer.begin() + 2);
    TxBuffer[2] = static_cast<uint8_t>(length);  // the length byte says what the frame carries
    return Finish(2 + length + 5, modem);
}

int ReadFrame(uint8_t length, uint32_t address, bool modem) {
    ClearBuffers();
    TxBuffer[0] = FRAME_START;
    TxBuffer[1] = CMD_READ;
    TxBuffer[2] = length;
    PutAddress(3, address);
    return Finish(7, modem);
}

int ResetFrame(bool modem) {
    ClearBuffers();
    TxBuffer[0] = FRAME_START;
    TxBuffer[1] = CMD_RESET;
    return Finish(2, modem);
}

std::size_t ResetFrameBytes(uint8_t* out, bool modem) {
    out[0] = FRAME_START;
    out[1] = CMD_RESET;
    out[2] = FrameChecksum(out, 2);
    out[3] = FRAME_END;
    if (!modem) return 4;
    out[4] = 0x0D;
    return 5;
}

std::string FrameHexText(const uint8_t* bytes, std::size_t count, std::string_view separator) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(count * (2 + separator.size()));
    for (std::size_t i = 0; i < count; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0xF];
        out += separator;
    }
    return out;
}

std::size_t ReadAnswerData(uint8_t* out, std::size_t outSize) {
    if (RxLast < 4) return 0;
    const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(RxLast - 3), outSize);
    std::copy_n(RxBuffer.begin() + 2, count, out);
    return count;
}

std::string ModemDialCommand(std::string_view number) {
    std::string s = "ATD";
    s += number;
    s += '\r';
    return s;
}

uint16_t PutText(std::string_view text) {
    const std::size_t n = std::min(text.size(), TxBuffer.size());
    std::copy_n(text.begin(), n, TxBuffer.begin());
    return static_cast<uint16_t>(n);
}

}  // namespace qdfu
