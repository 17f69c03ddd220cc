// The serial driver: a procedural module with process-wide state. It owns the one open port, the
// shared transmit and receive buffers, RxLast and the simulation switch. Callers fill TxBuffer,
// call the operations, and read RxBuffer[0..RxLast]. Every failure is a numbered SerialError.
// Not reentrant; everything runs on the caller's one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "serial_backend.h"

namespace qdfu {

using SerialError = int32_t;

inline constexpr std::size_t SERIAL_BUFFER_SIZE = 1021;
inline constexpr int32_t RX_MAX_INDEX = 255;  // at most 256 bytes are stored per reception
inline constexpr int32_t DEFAULT_TIMEOUT_MS = 3000;
inline constexpr int WRITE_MS_PER_BYTE = 100;

enum : SerialError {
    SERIAL_OK = 0,
    SERIAL_PORT_NOT_OPENED = 1,
    SERIAL_CREATE_HANDLE_ERROR = 2,
    SERIAL_GETDCB_ERROR = 3,
    SERIAL_SETDCB_ERROR = 4,
    SERIAL_SPEED_SET_ERROR = 5,
    SERIAL_PARITY_SET_ERROR = 6,
    SERIAL_DATABITS_SET_ERROR = 7,
    SERIAL_STOPBITS_SET_ERROR = 8,
    SERIAL_TX_ERROR = 9,
    SERIAL_RX_TIMEOUT = 10,
    SERIAL_RX_NAK = 17,
    // The modem said NO CARRIER while an answer was awaited: the call is gone (heard only with
    // SerialSetCallLines on).
    SERIAL_RX_NO_CARRIER = 18,
};

extern std::array<uint8_t, SERIAL_BUFFER_SIZE> TxBuffer;
extern std::array<uint8_t, SERIAL_BUFFER_SIZE> RxBuffer;
extern int32_t RxLast;
extern bool SimulationMode;

void SerialSetSimulation(bool on);
// timeoutMs: longest wait for each single byte read.
SerialError SerialOpen(uint32_t port, int32_t speedIndex, int32_t parity, int32_t dataBitsIndex,
                       int32_t stopBits, int32_t timeoutMs);
void SerialClose();
SerialError SerialWrite(uint16_t count);
// Reads one answer into RxBuffer. It ends at FRAME_END at index expectedLength - 1 (any FRAME_END
// with expectedLength 0), at a carriage return in line mode, or early at a complete refusal (03,
// a status other than FRAME_ACK, the command, their sum, 02: 5 bytes) when a longer answer was
// expected. Outside line mode with call lines on, a "NO CARRIER" line before the answer's start
// ends it with SERIAL_RX_NO_CARRIER.
SerialError SerialRead(int32_t expectedLength, bool lineMode);
// Write and read, twice at most: a refusal gives SERIAL_RX_NAK, a dropped call ends it at once.
SerialError SerialTransact(uint16_t sendCount, int32_t expectedLength);
// On for an exchange through a modem in a call: its NO CARRIER line ends the wait for an answer.
// Off by default; the run that dials sets it and clears it when it closes the port.
void SerialSetCallLines(bool on);
std::string SerialErrorText(int32_t code);
std::string SerialDescribe(uint32_t port, int32_t speedIndex, int32_t parity, int32_t dataBitsIndex,
                           int32_t stopBits);
// 9600 baud, no parity, 8 data bits, 1 stop bit; timeoutMs per byte (3000 in production).
SerialError SerialOpenDefault(uint32_t port, int32_t timeoutMs = DEFAULT_TIMEOUT_MS);
void SerialCloseDefault();
// name, when not empty, stands in place of "COMn" (a device path given by hand).
std::string SerialDescribeDefault(uint32_t port, const std::string& name = {});

bool SerialIsOpen();

// Async-signal-safe, for a process about to _exit: writes lastWords (n bytes, none for null) on
// the open device, waits until they have left, then releases it (its exclusive lock included)
// without touching the driver's state.
// The device that SerialOpen would open for port (the resolver's, else the system's own path).
std::string SerialDeviceFor(uint32_t port);

// Why the open port stopped working, as its backend tells it ("the device server closed the
// connection"); "" while it works or when no port is open.
std::string SerialLineError();

void SerialReleaseForExit(const uint8_t* lastWords = nullptr, std::size_t n = 0);

// Seams. The resolver names the device of a port number ("" for none); by default the port-number
// rule over the production ports directory. The backend factory makes the backend of each open,
// for the device it is to open; by default MakeBackendFor (TCP for tcp://HOST:PORT, else native).
using PortResolver = std::function<std::string(uint32_t)>;
void SerialSetPortResolver(PortResolver resolver);  // empty: back to the default
using BackendFactory = std::function<std::unique_ptr<SerialBackend>(const std::string& device)>;
void SerialSetBackendFactory(BackendFactory factory);  // empty: back to the native backend
// A plain function the driver calls at least every 50 ms while a read or write waits (with the
// milliseconds waited for the current byte and left before its time-out), so that a caller on the
// same thread can keep a window painting or a progress line moving. Empty by default; it must not
// call the driver. The waits, result codes and bytes do not change.
using IdleHook = SerialBackend::IdleHook;
void SerialSetIdleHook(IdleHook hook);
// The device the last SerialOpen tried to open, and the system's reason when it failed.
const std::string& SerialLastDevice();
const std::string& SerialLastSystemError();

}  // namespace qdfu
