// TCP backend on POSIX sockets: a non-blocking socket with TCP_NODELAY, every wait a poll()
// against a deadline on the monotonic clock (EINTR retried, cut into idle slices as on a local
// port), received bytes kept in a small buffer and handed out one at a time. A connection the
// server closes is a vanished line: the current call fails at once and every later one too.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "tcp_address.h"

namespace qdfu {
namespace {

using Clock = std::chrono::steady_clock;

class TcpBackend final : public SerialBackend {
public:
    ~TcpBackend() override { Close(); }

    bool Open(const std::string& device) override {
        std::string host, port;
        if (!ParseTcpPort(device, host, port)) return Fail("not a tcp://HOST:PORT address");
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0)
            return Fail("unknown host " + host + ": " + ::gai_strerror(rc));
        std::string why = "no address";
        for (addrinfo* a = found; a && fd_ < 0; a = a->ai_next) {
            if (!Connect(a, why)) {
                if (fd_ >= 0) ::close(fd_);
                fd_ = -1;
            }
        }
        ::freeaddrinfo(found);
        return fd_ >= 0 ? true : Fail(why);
    }

    bool ReadSettings() override { return true; }
    bool ApplySettings(const LineSettings&) override { return true; }  // the device server's
    void SetTimeouts(int readPerByteMs, int writePerByteMs) override {
        readMs_ = std::max(readPerByteMs, 0);
        writeMs_ = std::max(writePerByteMs, 0);
    }

    void DiscardInput() override {
        have_ = at_ = 0;
        uint8_t buf[256];
        while (!vanished_ && ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT) > 0) {
        }
    }

    bool Write(const uint8_t* data, std::size_t n, std::size_t& written) override {
        written = 0;
        if (vanished_) return false;
        const auto start = Clock::now();
        const auto deadline = start + std::chrono::milliseconds(int64_t{writeMs_} * int64_t(n));
        while (written < n) {
            const ssize_t w = ::send(fd_, data + written, n - written, MSG_NOSIGNAL);
            if (w > 0) {
                written += static_cast<std::size_t>(w);
                continue;
            }
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && (errno == EPIPE || errno == ECONNRESET)) return Closed();
            if (w < 0 && errno != EAGAIN) return Vanish();
            const int left = RemainingMs(deadline);
            if (left == 0) return false;
            if (!WaitFor(POLLOUT, left, start, deadline)) return false;
        }
        return true;
    }

    ReadResult ReadByte(uint8_t& byte) override {
        if (at_ < have_) {
            byte = buf_[at_++];
            return ReadResult::Byte;
        }
        if (vanished_) return ReadResult::Failed;
        const auto start = Clock::now();
        const auto deadline = start + std::chrono::milliseconds(readMs_);
        for (;;) {
            const ssize_t r = ::recv(fd_, buf_, sizeof buf_, MSG_DONTWAIT);
            if (r > 0) {
                have_ = static_cast<std::size_t>(r);
                at_ = 1;
                byte = buf_[0];
                return ReadResult::Byte;
            }
            if (r == 0) return Closed(), ReadResult::Failed;  // the server closed the connection
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return Vanish(), ReadResult::Failed;
            if (Clock::now() >= deadline) return ReadResult::Timeout;
            if (!WaitFor(POLLIN, RemainingMs(deadline), start, deadline) && vanished_) return ReadResult::Failed;
        }
    }

    void Close() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    std::string LastError() const override { return error_; }
    void SetIdleHook(IdleHook hook) override { idle_ = std::move(hook); }

private:
    bool Connect(const addrinfo* a, std::string& why) {
        fd_ = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd_ < 0) return why = std::strerror(errno), false;
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::connect(fd_, a->ai_addr, a->ai_addrlen) == 0) return true;
        if (errno != EINPROGRESS) return why = std::strerror(errno), false;
        const auto deadline = Clock::now() + std::chrono::milliseconds(TCP_CONNECT_MS);
        for (;;) {
            pollfd p{fd_, POLLOUT, 0};
            const int r = ::poll(&p, 1, RemainingMs(deadline));
            if (r < 0 && errno == EINTR) continue;
            if (r == 0) return why = "no answer within " + std::to_string(TCP_CONNECT_MS / 1000) + " s", false;
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0) return why = std::strerror(err), false;
            return true;
        }
    }

    // Waits until the socket is ready for events or the deadline passes, calling the idle hook
    // between slices. False when it is not ready (or failed).
    bool WaitFor(short events, int leftMs, Clock::time_point start, Clock::time_point deadline) {
        pollfd p{fd_, events, 0};
        const int r = ::poll(&p, 1, idle_ ? std::min(leftMs, IDLE_SLICE_MS) : leftMs);
        if (r < 0) return errno == EINTR ? false : Vanish();
        if (r == 0) {
            if (idle_) {
                const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
                idle_(static_cast<int32_t>(waited.count()), RemainingMs(deadline));
            }
            return false;
        }
        if ((p.revents & (POLLERR | POLLNVAL)) || ((p.revents & POLLHUP) && !(p.revents & POLLIN))) return Closed();
        return true;
    }
    bool Fail(const std::string& why) {
        error_ = why;
        return false;
    }
    bool Vanish() {
        error_ = std::strerror(errno ? errno : EIO);
        vanished_ = true;
        return false;
    }
    bool Closed() {
        error_ = TCP_CLOSED_TEXT;
        vanished_ = true;
        return false;
    }

    int fd_ = -1;
    int readMs_ = 3000;
    int writeMs_ = 100;
    bool vanished_ = false;
    uint8_t buf_[256]{};
    std::size_t have_ = 0, at_ = 0;
    std::string error_;
    IdleHook idle_;
};

}  // namespace

std::unique_ptr<SerialBackend> MakeTcpBackend() { return std::make_unique<TcpBackend>(); }

std::vector<std::string> TcpEndpoints(const std::string& device) {
    std::string host, port;
    if (!ParseTcpPort(device, host, port)) return {device};
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return {device};
    std::vector<std::string> out;
    for (addrinfo* a = found; a; a = a->ai_next) {
        char name[NI_MAXHOST];
        if (::getnameinfo(a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), name, sizeof name, nullptr, 0,
                          NI_NUMERICHOST) == 0)
            out.push_back(std::string(name) + " " + port);
    }
    ::freeaddrinfo(found);
    if (out.empty()) out.push_back(device);
    return out;
}


}  // namespace qdfu
