// Pseudo-terminal pairs for tests.
#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace qdfu::test {

PtyPair::PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        throw std::runtime_error("no pseudo-terminal");
    char name[128];
    ::ptsname_r(master_, name, sizeof name);
    path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    ::tcgetattr(slave_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave_, TCSANOW, &t);
}

PtyPair::~PtyPair() {
    CloseMaster();
    if (slave_ >= 0) ::close(slave_);
}

void PtyPair::Send(const std::vector<uint8_t>& bytes) {
    std::size_t put = 0;
    while (put < bytes.size()) {
        const ssize_t w = ::write(master_, bytes.data() + put, bytes.size() - put);
        if (w <= 0) break;
        put += static_cast<std::size_t>(w);
    }
}

void PtyPair::Send(const std::string& text) { Send(std::vector<uint8_t>(text.begin(), text.end())); }

std::vector<uint8_t> PtyPair::Receive(int timeoutMs) {
    std::vector<uint8_t> out;
    pollfd p{master_, POLLIN, 0};
    int wait = timeoutMs;
    while (::poll(&p, 1, wait) > 0 && (p.revents & POLLIN)) {
        uint8_t buf[512];
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
        wait = 20;
    }
    return out;
}

void PtyPair::CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

}  // namespace qdfu::test

namespace qdfu::test {

PtyResponder::PtyResponder(PtyPair& pty, Handler handler) : pty_(pty), handler_(std::move(handler)) {
    thread_ = std::thread([this] {
        while (!stop_) {
            const std::vector<uint8_t> got = pty_.Receive(20);
            if (got.empty()) continue;
            ++chunks_;
            const std::vector<uint8_t> answer = handler_(got);
            if (!answer.empty()) pty_.Send(answer);
        }
    });
}

PtyResponder::~PtyResponder() {
    stop_ = true;
    thread_.join();
}

}  // namespace qdfu::test
