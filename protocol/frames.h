// Boot frames of the controller's resident bootloader: 03, command, payload, 8-bit sum of all
// bytes before it, 02. Builders clear TxBuffer and RxBuffer, write the frame into TxBuffer from
// index 0 and return the length to send; with modem framing a carriage return follows FRAME_END.
// No escaping: payload bytes 02, 03 and 06 travel as they are.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace qdfu {

inline constexpr uint8_t FRAME_START = 0x03;
inline constexpr uint8_t FRAME_END = 0x02;
inline constexpr uint8_t FRAME_ACK = 0x06;
inline constexpr uint8_t MODEM_FRAME_TAIL = 0x0D;

inline constexpr uint8_t CMD_START_DFU = 0x55;
inline constexpr uint8_t CMD_ERASE = 0xA1;
inline constexpr uint8_t CMD_WRITE = 0xA2;
inline constexpr uint8_t CMD_READ = 0xA3;
inline constexpr uint8_t CMD_RESET = 0xA5;

inline constexpr int BLOCK_SIZE = 64;

// One write or read as callers hold it: length, address (little-endian on the wire), 64 data
// bytes. Its first length + 5 bytes are a write frame's payload, its first 5 a read frame's.
struct BlockRecord {
    uint8_t Length = 0;
    uint32_t Address = 0;
    std::array<uint8_t, BLOCK_SIZE> Data{};
};
inline constexpr std::size_t BLOCK_RECORD_SIZE = 69;
using BlockRecordBytes = std::array<uint8_t, BLOCK_RECORD_SIZE>;
// Field-by-field packing: length, address LSB first, data.
BlockRecordBytes PackBlockRecord(const BlockRecord& block);
static_assert(sizeof(BlockRecordBytes) == 1 + 4 + BLOCK_SIZE);

uint8_t FrameChecksum(const uint8_t* bytes, std::size_t count);

int StartDfuFrame(bool modem = false);
int EraseFrame(uint32_t address, bool modem = false);
int WriteFrame(const BlockRecord& block, bool modem = false);
int ReadFrame(uint8_t length, uint32_t address, bool modem = false);
int ResetFrame(bool modem = false);
// The reset frame's bytes (with modem framing, its carriage return) written into out, which holds
// at least 5; the buffers are not touched. For a caller that must send it outside the driver.
std::size_t ResetFrameBytes(uint8_t* out, bool modem = false);

// Each byte as two upper-case hex digits followed by separator.
std::string FrameHexText(const uint8_t* bytes, std::size_t count, std::string_view separator);

// The data bytes of a ReadAnswer in RxBuffer: indices 2 to RxLast - 2, none when RxLast is below 4.
// Returns how many were copied into out (at most outSize).
std::size_t ReadAnswerData(uint8_t* out, std::size_t outSize);

// Plain-text lines sent outside the frame protocol.
inline constexpr std::string_view TEXT_RESET_1 = "@63RE00006900005D\r";
inline constexpr std::string_view TEXT_RESET_2 = "@63RE000070000055\r";
inline constexpr std::string_view MODEM_FCLASS = "AT+FCLASS=0\r";
inline constexpr std::string_view MODEM_CBST = "AT+CBST=7,0,1\r";
inline constexpr int RESET_ANSWER_LENGTH = 18;
std::string ModemDialCommand(std::string_view number);

// Copies text into TxBuffer from index 0 (cut at the buffer's size); returns the count to send.
uint16_t PutText(std::string_view text);

}  // namespace qdfu
