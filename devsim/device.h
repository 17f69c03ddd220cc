// The simulated Quarnelix controller on the device end of a pseudo-terminal: the running firmware
// (answers the first reset line), the resident bootloader (start, erase, write, read, reset over
// 128 KB of flash erased to 0xFF), an optional GSM data modem in front of it, and faults on demand.
// Tests run it in a thread; quarnelix-devsim runs it in the foreground. In a Windows build under
// Wine the same class drives a quarnelix-devsim process of the host instead (device_win32.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "frame_reader.h"

namespace qdfu::sim {

inline constexpr uint32_t kFlashSize = 0x2B000;  // byte addresses 0 .. 0x2AFFF
inline constexpr uint32_t kFlashPage = 0x800;
inline constexpr uint8_t kRefusal = 0x15;

// What the flash holds at address before anything is erased, with OldFirmware set: no byte of it
// is 0xFF, so an unerased write or a byte never written shows.
inline uint8_t OldFirmwarePattern(uint32_t address) {
    return static_cast<uint8_t>(((address * 0x9Du) ^ (address >> 8)) % 0xFFu);
}

struct Options {
    bool Gsm = false;
    bool Silent = false;
    int NakEvery = 0;   // every Nth frame is refused
    int DropEvery = 0;  // every Nth frame gets no answer
    int NakCommand = -1;  // every frame with this command byte is refused
    std::optional<uint32_t> CorruptRead;  // a read-back differs at this address
    // A noisy line: every Nth read answer arrives with one bit flipped (another bit each time),
    // after its check byte was made.
    int GarbleReadEvery = 0;
    // A bootloader whose read answers carry another check byte (the XOR of the bytes before it).
    bool XorReadCheck = false;
    bool Noise = false;                   // stray bytes before every answer
    int HangupAfter = 0;                  // the line is cut after N frames
    // With Gsm: the call drops at each of these frames (counted from 1, frames the device acted
    // on): the frame is not carried out, the modem says NO CARRIER and is back in command state;
    // the next dial connects again. The memory stays as it is.
    std::vector<int> DropCallAfter;
    // A direct line cut at each of these frames for CutForMs: the frame is not carried out, and
    // nothing is heard or answered until the line is back.
    std::vector<int> CutLineAt;
    int CutForMs = 1000;
    int DelayMs = 0;                      // before every answer
    int Baud = 0;                         // pace both directions at 10 bits per byte
    // Flash that still holds an old firmware: it starts as OldFirmwarePattern(address) and a
    // write clears bits only (new = old AND data), as NOR flash does; only an erase sets 0xFF.
    bool OldFirmware = false;
    // With Gsm: the modem's answer to the dial; empty connects, anything else ("BUSY", "NO
    // CARRIER", ...) is sent as a result line and the modem stays in command state.
    std::string DialAnswer;
    std::string TranscriptPath;
    std::string StopFile;  // serving ends when this file appears (a caller that cannot signal)
    // While serving, whenever DumpRequestFile appears, program memory is written to DumpFile (whole,
    // by a rename) and the request removed: for a caller in another process that looks at the
    // memory between two commands.
    std::string DumpRequestFile;
    std::string DumpFile;
    // >= 0: serve on 127.0.0.1 at this TCP port (0: any free one) instead of a pseudo-terminal, as
    // a serial device server in raw mode does; one connection at a time, the next one accepted
    // when it closes. Path() is then tcp://127.0.0.1:PORT.
    int TcpPort = -1;
};

class Device {
public:
    explicit Device(Options options = {});
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Opens the pseudo-terminal (raw, no echo). False with error() set on failure.
    bool Open();
    const std::string& Path() const { return path_; }
    const std::string& Error() const { return error_; }

    void Start();  // serve in a thread
    void Stop();   // stop the thread (the line stays open)
    // Serves until stop becomes true or the line is cut.
    void Serve(const std::atomic<bool>& stop);
    // Closes the device end: the host sees the line vanish.
    void Hangup();

    std::vector<uint8_t> Memory() const;
    void SetMemory(uint32_t address, const std::vector<uint8_t>& bytes);
    int FrameCount() const;
    int ResetCount() const;
    int FirmwareResetLines() const;
    bool InBootloader() const;
    bool Connected() const;
    std::vector<std::vector<uint8_t>> Frames() const;  // every frame received, in order
    bool LineCut() const { return cut_; }

private:
    void OnEvent(const ReaderEvent& event);
    void OnFrame(const std::vector<uint8_t>& frame);
    void OnText(const std::vector<uint8_t>& line);
    void Answer(std::vector<uint8_t> bytes);
    void SendRaw(const std::vector<uint8_t>& bytes);
    void Transcript(const char* direction, const uint8_t* bytes, std::size_t n);
    void WaitUntil(std::chrono::steady_clock::time_point t);
    std::chrono::nanoseconds ByteTime() const;

    Options opt_;
    int master_ = -1;  // the pty's master end, or the connection of a TCP device (-1: none yet)
    int slave_ = -1;  // held so the line survives the host closing and reopening it
    int listen_ = -1;  // a TCP device's listening socket
    bool OpenTcp();
    bool OpenTranscript();
    void AnswerDumpRequest();
    ssize_t Put(const uint8_t* bytes, std::size_t n);
    std::string path_;
    std::string error_;
    FrameReader reader_;
    mutable std::mutex mutex_;
    std::vector<uint8_t> flash_;
    std::vector<std::vector<uint8_t>> frames_log_;
    std::atomic<int> frames_{0};
    std::atomic<int> resets_{0};
    std::atomic<int> resetLines_{0};
    int reads_ = 0;
    std::atomic<bool> bootloader_{false};
    std::atomic<bool> online_{false};
    std::atomic<bool> cut_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::FILE* transcript_ = nullptr;
    std::chrono::steady_clock::time_point epoch_;
    std::chrono::steady_clock::time_point rxFreeAt_{};
    std::chrono::steady_clock::time_point txFreeAt_{};
    std::chrono::steady_clock::time_point cutUntil_{};  // a cut line comes back then
    // Where the device is a quarnelix-devsim process of the host system (a Windows build under
    // Wine), what is known of it comes from its transcript and memory dump.
    struct Remote;
    std::unique_ptr<Remote> remote_;
    void Refresh() const;
};

}  // namespace qdfu::sim
