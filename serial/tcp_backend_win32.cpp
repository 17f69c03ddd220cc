// TCP backend on Winsock: a non-blocking socket with TCP_NODELAY, every wait a select() against a
// deadline on the monotonic clock, cut into idle slices as on a local port, received bytes kept in
// a small buffer and handed out one at a time. A connection the server closes is a vanished line.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <mutex>

#include "tcp_address.h"

namespace qdfu {
namespace {

using Clock = std::chrono::steady_clock;


std::string SocketText(int code) {
    char buf[512];
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                     static_cast<DWORD>(code), 0, buf, sizeof buf, nullptr);
    std::string text(buf, n);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text.empty() ? "socket error " + std::to_string(code) : text;
}

class TcpBackend final : public SerialBackend {
public:
    TcpBackend() {
        static std::once_flag started;
        std::call_once(started, [] {
            WSADATA data;
            ::WSAStartup(MAKEWORD(2, 2), &data);
        });
    }
    ~TcpBackend() override { Close(); }

    bool Open(const std::string& device) override {
        std::string host, port;
        if (!ParseTcpPort(device, host, port)) return Fail("not a tcp://HOST:PORT address");
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0)
            return Fail("unknown host " + host + ": " + SocketText(rc));
        std::string why = "no address";
        for (addrinfo* a = found; a && sock_ == INVALID_SOCKET; a = a->ai_next) {
            if (!Connect(a, why)) Close();
        }
        ::freeaddrinfo(found);
        return sock_ != INVALID_SOCKET ? true : Fail(why);
    }

    bool ReadSettings() override { return true; }
    bool ApplySettings(const LineSettings&) override { return true; }  // the device server's
    void SetTimeouts(int readPerByteMs, int writePerByteMs) override {
        readMs_ = std::max(readPerByteMs, 0);
        writeMs_ = std::max(writePerByteMs, 0);
    }

    void DiscardInput() override {
        have_ = at_ = 0;
        char buf[256];
        while (!vanished_ && ::recv(sock_, buf, sizeof buf, 0) > 0) {
        }
    }

    bool Write(const uint8_t* data, std::size_t n, std::size_t& written) override {
        written = 0;
        if (vanished_) return false;
        const auto start = Clock::now();
        const auto deadline = start + std::chrono::milliseconds(int64_t{writeMs_} * int64_t(n));
        while (written < n) {
            const int w = ::send(sock_, reinterpret_cast<const char*>(data + written), static_cast<int>(n - written), 0);
            if (w > 0) {
                written += static_cast<std::size_t>(w);
                continue;
            }
            if (w == SOCKET_ERROR && ::WSAGetLastError() != WSAEWOULDBLOCK) return Vanish(::WSAGetLastError());
            const int left = RemainingMs(deadline);
            if (left == 0) return false;
            if (!WaitFor(true, left, start, deadline) && vanished_) return false;
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
            const int r = ::recv(sock_, reinterpret_cast<char*>(buf_), sizeof buf_, 0);
            if (r > 0) {
                have_ = static_cast<std::size_t>(r);
                at_ = 1;
                byte = buf_[0];
                return ReadResult::Byte;
            }
            if (r == 0) return Vanish(WSAECONNRESET), ReadResult::Failed;
            if (::WSAGetLastError() != WSAEWOULDBLOCK) return Vanish(::WSAGetLastError()), ReadResult::Failed;
            if (Clock::now() >= deadline) return ReadResult::Timeout;
            if (!WaitFor(false, RemainingMs(deadline), start, deadline) && vanished_) return ReadResult::Failed;
        }
    }

    void Close() override {
        if (sock_ != INVALID_SOCKET) ::closesocket(sock_);
        sock_ = INVALID_SOCKET;
    }

    std::string LastError() const override { return error_; }
    void SetIdleHook(IdleHook hook) override { idle_ = std::move(hook); }

private:
    bool Connect(const addrinfo* a, std::string& why) {
        sock_ = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (sock_ == INVALID_SOCKET) return why = SocketText(::WSAGetLastError()), false;
        u_long nonBlocking = 1;
        ::ioctlsocket(sock_, FIONBIO, &nonBlocking);
        const BOOL one = TRUE;
        ::setsockopt(sock_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
        if (::connect(sock_, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) return true;
        if (::WSAGetLastError() != WSAEWOULDBLOCK) return why = SocketText(::WSAGetLastError()), false;
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(sock_, &writable);
        FD_SET(sock_, &failed);
        timeval tv{TCP_CONNECT_MS / 1000, 0};
        if (::select(0, nullptr, &writable, &failed, &tv) <= 0)
            return why = "no answer within " + std::to_string(TCP_CONNECT_MS / 1000) + " s", false;
        int err = 0;
        int len = sizeof err;
        ::getsockopt(sock_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len);
        if (FD_ISSET(sock_, &failed) || err != 0) return why = SocketText(err ? err : WSAECONNREFUSED), false;
        return true;
    }

    // Waits until the socket is ready or the deadline passes, calling the idle hook between
    // slices. False when it is not ready (vanished_ set when the connection failed).
    bool WaitFor(bool write, int leftMs, Clock::time_point start, Clock::time_point deadline) {
        const int ms = idle_ ? std::min(leftMs, IDLE_SLICE_MS) : leftMs;
        fd_set set, failed;
        FD_ZERO(&set);
        FD_ZERO(&failed);
        FD_SET(sock_, &set);
        FD_SET(sock_, &failed);
        timeval tv{ms / 1000, (ms % 1000) * 1000};
        const int r = ::select(0, write ? nullptr : &set, write ? &set : nullptr, &failed, &tv);
        if (r == SOCKET_ERROR || FD_ISSET(sock_, &failed)) return Vanish(WSAECONNRESET);
        if (r == 0) {
            if (idle_) {
                const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
                idle_(static_cast<int32_t>(waited.count()), RemainingMs(deadline));
            }
            return false;
        }
        return true;
    }
    bool Fail(const std::string& why) {
        error_ = why;
        return false;
    }
    bool Vanish(int code) {
        // a reset or an orderly close: the server ended the connection
        error_ = code == WSAECONNRESET || code == WSAECONNABORTED ? std::string(TCP_CLOSED_TEXT) : SocketText(code);
        vanished_ = true;
        return false;
    }

    SOCKET sock_ = INVALID_SOCKET;
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
    TcpBackend started;  // Winsock is ready
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
