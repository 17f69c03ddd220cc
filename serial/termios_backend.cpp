// POSIX termios backend. Opens like QtSerialPort (O_NOCTTY|O_NONBLOCK, TIOCEXCL, and flock so that
// root cannot open the device twice either), raw mode with CLOCAL|CREAD. Every wait is a poll()
// against a deadline on the monotonic clock, EINTR retried. A device that vanishes (EIO, POLLHUP)
// fails the current call at once and every later one until the port is closed.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "serial_backend.h"

namespace qdfu {
namespace {

using Clock = std::chrono::steady_clock;

speed_t BaudConstant(int baud) {
    switch (baud) {
        case 110: return B110;
        case 300: return B300;
        case 1200: return B1200;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        default: return B0;
    }
}

// The descriptor of the device open now, for a release from a signal handler. One port is open
// at a time in a process.
std::atomic<int> g_openFd{-1};


class TermiosBackend final : public SerialBackend {
public:
    ~TermiosBackend() override { Close(); }

    bool Open(const std::string& device) override {
        fd_ = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) return Fail();
        if (::ioctl(fd_, TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL) return FailClose();
        if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) errno = EBUSY;
            return FailClose();
        }
        g_openFd = fd_;
        return true;
    }

    bool ReadSettings() override {
        if (::tcgetattr(fd_, &saved_) != 0) return Fail();
        return true;
    }

    // Stop bits: 1.5 is set as CSTOPB, which a UART sends as 1.5 stop bits with 5-bit characters
    // and as 2 otherwise; 2 is CSTOPB as well.
    bool ApplySettings(const LineSettings& s) override {
        termios t = saved_;
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        switch (s.DataBits) {
            case 5: t.c_cflag |= CS5; break;
            case 6: t.c_cflag |= CS6; break;
            case 7: t.c_cflag |= CS7; break;
            case 8: t.c_cflag |= CS8; break;
            default: errno = EINVAL; return Fail();  // no 4-bit characters on Linux
        }
        if (s.Parity == 1) t.c_cflag |= PARENB;
        if (s.Parity == 2) t.c_cflag |= PARENB | PARODD;
        if (s.StopBits != 0) t.c_cflag |= CSTOPB;
        t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF | IXANY | PARMRK | ISTRIP);
        t.c_iflag |= IGNBRK;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        const speed_t speed = BaudConstant(s.Baud);
        if (speed == B0 || ::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0) {
            errno = EINVAL;
            return Fail();
        }
        if (::tcsetattr(fd_, TCSANOW, &t) != 0) return Fail();
        int lines = TIOCM_DTR | TIOCM_RTS;
        if (::ioctl(fd_, TIOCMBIC, &lines) != 0 && errno != ENOTTY && errno != EINVAL) return Fail();
        return true;
    }

    // Besides the time-outs, makes input and output byte-transparent (no canonical mode, echo or
    // character translation) while keeping speed, size, parity and stop bits as they are, so that
    // a port whose line settings are left alone still carries binary frames. Failures are ignored.
    void SetTimeouts(int readPerByteMs, int writePerByteMs) override {
        readMs_ = readPerByteMs < 0 ? 0 : readPerByteMs;
        writeMs_ = writePerByteMs < 0 ? 0 : writePerByteMs;
        termios t{};
        if (::tcgetattr(fd_, &t) != 0) return;
        t.c_iflag &= ~static_cast<tcflag_t>(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                            IXOFF | IXANY);
        t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        ::tcsetattr(fd_, TCSANOW, &t);
    }

    void DiscardInput() override {
        have_ = at_ = 0;
        if (!vanished_) ::tcflush(fd_, TCIFLUSH);
    }

    bool Write(const uint8_t* data, std::size_t n, std::size_t& written) override {
        written = 0;
        if (vanished_) return false;
        const auto start = Clock::now();
        const auto deadline = start + std::chrono::milliseconds(int64_t{writeMs_} * int64_t(n));
        while (written < n) {
            const ssize_t w = ::write(fd_, data + written, n - written);
            if (w > 0) {
                written += static_cast<std::size_t>(w);
                continue;
            }
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && errno != EAGAIN) return Vanish();
            pollfd p{fd_, POLLOUT, 0};
            const int left = RemainingMs(deadline);
            if (left == 0) return false;
            const int r = ::poll(&p, 1, Slice(left));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return Fail();
            if (r == 0) Idle(start, deadline);
            if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return Vanish();
        }
        return true;
    }

    // Bytes that came together are read together and handed out one at a time: an adapter
    // delivers an answer in a few chunks, and one system call a chunk costs less than one a byte.
    ReadResult ReadByte(uint8_t& byte) override {
        if (at_ < have_) {
            byte = buf_[at_++];
            return ReadResult::Byte;
        }
        if (vanished_) return ReadResult::Failed;
        const auto start = Clock::now();
        const auto deadline = start + std::chrono::milliseconds(readMs_);
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            const int pr = ::poll(&p, 1, Slice(RemainingMs(deadline)));
            if (pr < 0 && errno == EINTR) continue;
            if (pr < 0) return Fail(), ReadResult::Failed;
            if (pr == 0) {
                if (Clock::now() >= deadline) return ReadResult::Timeout;
                Idle(start, deadline);
                continue;
            }
            if (p.revents & POLLIN) {
                const ssize_t r = ::read(fd_, buf_, sizeof buf_);
                if (r > 0) {
                    have_ = static_cast<std::size_t>(r);
                    at_ = 1;
                    byte = buf_[0];
                    return ReadResult::Byte;
                }
                if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
                if (r == 0) errno = EIO;  // readable but at its end: the line is gone
                return Vanish(), ReadResult::Failed;
            }
            if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return Vanish(), ReadResult::Failed;
        }
    }

    void Close() override {
        if (fd_ >= 0) {
            g_openFd = -1;
            ::ioctl(fd_, TIOCNXCL);  // the lock goes with the descriptor
            ::close(fd_);
        }
        fd_ = -1;
        have_ = at_ = 0;
    }

    std::string LastError() const override { return error_; }
    void SetIdleHook(IdleHook hook) override { idle_ = std::move(hook); }

private:
    // With an idle hook, a wait is cut into slices with the hook called between them.
    int Slice(int ms) const { return idle_ ? std::min(ms, IDLE_SLICE_MS) : ms; }
    void Idle(Clock::time_point start, Clock::time_point deadline) {
        if (!idle_) return;
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        idle_(static_cast<int32_t>(waited.count()), RemainingMs(deadline));
    }
    bool Fail() {
        error_ = std::strerror(errno);
        return false;
    }
    bool FailClose() {
        Fail();
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    bool Vanish() {
        if (errno == 0) errno = EIO;
        Fail();
        vanished_ = true;
        return false;
    }

    int fd_ = -1;
    termios saved_{};
    int readMs_ = 3000;
    int writeMs_ = 100;
    bool vanished_ = false;
    uint8_t buf_[256]{};
    std::size_t have_ = 0, at_ = 0;  // received, handed out
    std::string error_;
    IdleHook idle_;
};

}  // namespace

std::unique_ptr<SerialBackend> MakeNativeBackend() { return std::make_unique<TermiosBackend>(); }

void ReleaseNativeDeviceForExit(const uint8_t* lastWords, std::size_t n) {
    const int fd = g_openFd.exchange(-1);
    if (fd < 0) return;
    for (std::size_t put = 0; lastWords && put < n;) {
        const ssize_t w = ::write(fd, lastWords + put, n - put);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        put += static_cast<std::size_t>(w);
    }
    if (lastWords) ::tcdrain(fd);
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

}  // namespace qdfu
