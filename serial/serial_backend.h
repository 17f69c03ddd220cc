// The platform layer under the serial driver: one open device at a time, opened exclusively,
// read one byte at a time with a per-byte time-out. The driver holds one backend object and can be
// given another at run time (a recording wrapper, a byte source for fuzzing).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qdfu {

struct LineSettings {
    int Baud = 9600;
    int Parity = 0;    // 0 none, 1 even, 2 odd
    int DataBits = 8;  // 4..8; 4 cannot be set on Linux
    int StopBits = 0;  // 0: 1 stop bit, 1: 1.5 (only meaningful with 5 data bits), 2: 2
};

enum class ReadResult { Byte, Timeout, Failed };

class SerialBackend {
public:
    virtual ~SerialBackend() = default;
    // Opens device for reading and writing, exclusively. False on any failure.
    virtual bool Open(const std::string& device) = 0;
    // Reads the current line settings (kept for ApplySettings). False on failure.
    virtual bool ReadSettings() = 0;
    // Applies raw binary mode with the given settings, no flow control, DTR and RTS dropped.
    virtual bool ApplySettings(const LineSettings& settings) = 0;
    // readPerByteMs bounds every single-byte read; a write of n bytes is bounded by n x writePerByteMs.
    virtual void SetTimeouts(int readPerByteMs, int writePerByteMs) = 0;
    // Discards what was received and not yet read.
    virtual void DiscardInput() = 0;
    // Writes up to n bytes; written tells how many went out. False on failure or time-out.
    virtual bool Write(const uint8_t* data, std::size_t n, std::size_t& written) = 0;
    virtual ReadResult ReadByte(uint8_t& byte) = 0;
    virtual void Close() = 0;
    // The system's reason for the last failure, for messages to the user.
    virtual std::string LastError() const { return {}; }
    // Called at least every IDLE_SLICE_MS while a read or write waits (empty: none) with the
    // milliseconds waited so far and left before the wait's deadline, which stays as it is. The
    // hook must not call the driver.
    using IdleHook = std::function<void(int32_t waitedMs, int32_t leftMs)>;
    virtual void SetIdleHook(IdleHook hook) { (void)hook; }
};

inline constexpr int IDLE_SLICE_MS = 40;

// Whole milliseconds from now to deadline, rounded up so that a wait never spins on its last
// fraction; 0 once it has passed.
inline int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// The production backend of this platform: termios on Linux, the Win32 communications API on
// Windows.
std::unique_ptr<SerialBackend> MakeNativeBackend();
// Async-signal-safe: writes lastWords (n bytes) on the device the native backend holds open now,
// if any, waits until they have left, and lets go of it (its exclusive lock included).
void ReleaseNativeDeviceForExit(const uint8_t* lastWords, std::size_t n);

}  // namespace qdfu
