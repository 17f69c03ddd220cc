// Windows backend: the Win32 communications API on a synchronous (non-overlapped) handle of
// \\.\COMn, opened for reading and writing with no sharing. The line settings keep every field of
// the port's DCB but speed, parity, size, stop bits and the flags word (binary mode only: no flow
// control, DTR and RTS held inactive); the time-outs make every one-byte read wait at most the
// per-byte time-out and a write of n bytes at most n times the write time-out per byte. Reads are
// one ReadFile of one byte each. The system's reason for a failure is kept as FormatMessage
// gives it. With an idle hook, a read waits in slices instead: each ReadFile is given at most
// IDLE_SLICE_MS of what is left of the byte's deadline (a total time-out, no multiplier), and the
// hook runs between them, so the window keeps answering; the deadline, the codes and the bytes stay
// as they are.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>

#include "serial_backend.h"
#include "win32_comm.h"

namespace qdfu {
namespace {

static_assert(sizeof(DCB) == 28, "the DCB's length field is 28");

// The handle open now, for a release from the console's control handler.
std::atomic<HANDLE> g_openHandle{INVALID_HANDLE_VALUE};

std::string SystemText(DWORD code) {
    char buf[512];
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf,
                                     sizeof buf, nullptr);
    std::string text(buf, n);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text.empty() ? "system error " + std::to_string(code) : text;
}

class Win32Backend final : public SerialBackend {
public:
    ~Win32Backend() override { Close(); }

    bool Open(const std::string& device) override {
        handle_ = ::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) return Fail();
        g_openHandle = handle_;
        return true;
    }

    bool ReadSettings() override {
        current_ = DCB{};
        current_.DCBlength = sizeof(DCB);
        return ::GetCommState(handle_, &current_) ? true : Fail();
    }

    bool ApplySettings(const LineSettings& s) override {
        DCB dcb = Win32LineSettings(current_, s);
        return ::SetCommState(handle_, &dcb) ? true : Fail();
    }

    void SetTimeouts(int readPerByteMs, int writePerByteMs) override {
        COMMTIMEOUTS t{};
        ::GetCommTimeouts(handle_, &t);
        t = Win32Timeouts(t, readPerByteMs, writePerByteMs);
        ::SetCommTimeouts(handle_, &t);
        timeouts_ = t;
        sliced_ = false;
        readMs_ = readPerByteMs < 0 ? 0 : readPerByteMs;
    }

    void DiscardInput() override { ::PurgeComm(handle_, PURGE_RXCLEAR); }

    bool Write(const uint8_t* data, std::size_t n, std::size_t& written) override {
        DWORD put = 0;
        const BOOL ok = ::WriteFile(handle_, data, static_cast<DWORD>(n), &put, nullptr);
        written = put;
        return ok ? true : Fail();
    }

    ReadResult ReadByte(uint8_t& byte) override {
        if (!idle_ || readMs_ == 0) {
            if (sliced_ && ::SetCommTimeouts(handle_, &timeouts_)) sliced_ = false;
            return ReadOnce(byte);
        }
        const auto start = std::chrono::steady_clock::now();
        const auto deadline = start + std::chrono::milliseconds(readMs_);
        for (;;) {
            const int left = RemainingMs(deadline);
            if (left == 0) return ReadResult::Timeout;
            COMMTIMEOUTS slice = Win32SliceTimeouts(timeouts_, std::min(left, IDLE_SLICE_MS));
            if (!::SetCommTimeouts(handle_, &slice)) return Fail(), ReadResult::Failed;
            sliced_ = true;
            const ReadResult r = ReadOnce(byte);
            if (r != ReadResult::Timeout) return r;
            const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
            idle_(static_cast<int32_t>(waited.count()), RemainingMs(deadline));
        }
    }

    void SetIdleHook(IdleHook hook) override { idle_ = std::move(hook); }

    void Close() override {
        if (handle_ != INVALID_HANDLE_VALUE) {
            HANDLE expected = handle_;
            if (g_openHandle.compare_exchange_strong(expected, INVALID_HANDLE_VALUE)) ::CloseHandle(handle_);
        }
        handle_ = INVALID_HANDLE_VALUE;
    }

    std::string LastError() const override { return error_; }

private:
    ReadResult ReadOnce(uint8_t& byte) {
        DWORD got = 0;
        if (!::ReadFile(handle_, &byte, 1, &got, nullptr)) return Fail(), ReadResult::Failed;
        return got == 1 ? ReadResult::Byte : ReadResult::Timeout;
    }
    bool Fail() {
        error_ = SystemText(::GetLastError());
        return false;
    }

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    COMMTIMEOUTS timeouts_{};  // as SetTimeouts made them
    bool sliced_ = false;      // the port holds a slice's time-outs now
    int readMs_ = 3000;
    IdleHook idle_;
    DCB current_{};
    std::string error_;
};

}  // namespace

DCB Win32LineSettings(const DCB& current, const LineSettings& s) {
    DCB d = current;
    d.DCBlength = sizeof(DCB);
    d.BaudRate = static_cast<DWORD>(s.Baud);
    d.Parity = s.Parity == 1 ? EVENPARITY : s.Parity == 2 ? ODDPARITY : NOPARITY;
    d.ByteSize = static_cast<BYTE>(s.DataBits);
    d.StopBits = s.StopBits == 1 ? ONE5STOPBITS : s.StopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    // the whole flags word is 1: binary mode and nothing else
    d.fBinary = 1;
    d.fParity = 0;
    d.fOutxCtsFlow = 0;
    d.fOutxDsrFlow = 0;
    d.fDtrControl = DTR_CONTROL_DISABLE;
    d.fDsrSensitivity = 0;
    d.fTXContinueOnXoff = 0;
    d.fOutX = 0;
    d.fInX = 0;
    d.fErrorChar = 0;
    d.fNull = 0;
    d.fRtsControl = RTS_CONTROL_DISABLE;
    d.fAbortOnError = 0;
    d.fDummy2 = 0;
    d.wReserved = 0;  // reserved: must be zero
    return d;
}

COMMTIMEOUTS Win32Timeouts(const COMMTIMEOUTS& current, int readPerByteMs, int writePerByteMs) {
    COMMTIMEOUTS t = current;
    t.ReadTotalTimeoutMultiplier = static_cast<DWORD>(readPerByteMs < 0 ? 0 : readPerByteMs);
    t.ReadTotalTimeoutConstant = 0;
    t.WriteTotalTimeoutMultiplier = static_cast<DWORD>(writePerByteMs < 0 ? 0 : writePerByteMs);
    t.WriteTotalTimeoutConstant = 0;
    // With no read time-out at all ReadFile would wait for ever; a per-byte time-out of 0 means no
    // wait, as on every other platform.
    if (t.ReadTotalTimeoutMultiplier == 0) t.ReadIntervalTimeout = MAXDWORD;
    return t;
}

COMMTIMEOUTS Win32SliceTimeouts(const COMMTIMEOUTS& perByte, int sliceMs) {
    COMMTIMEOUTS t = perByte;
    t.ReadIntervalTimeout = 0;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = static_cast<DWORD>(sliceMs < 1 ? 1 : sliceMs);
    return t;
}

std::unique_ptr<SerialBackend> MakeNativeBackend() { return std::make_unique<Win32Backend>(); }

void ReleaseNativeDeviceForExit(const uint8_t* lastWords, std::size_t n) {
    const HANDLE h = g_openHandle.exchange(INVALID_HANDLE_VALUE);
    if (h == INVALID_HANDLE_VALUE) return;
    if (lastWords && n > 0) {
        DWORD written = 0;
        ::WriteFile(h, lastWords, static_cast<DWORD>(n), &written, nullptr);
        ::FlushFileBuffers(h);
    }
    ::CloseHandle(h);
}

}  // namespace qdfu
