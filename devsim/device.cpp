// The simulated controller's serving loop, bootloader commands, modem dialogue and faults.
#include "device.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "frames.h"

namespace qdfu::sim {
namespace {

using Clock = std::chrono::steady_clock;

uint32_t Le32(const std::vector<uint8_t>& b, std::size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

// The running firmware's answer to the first reset line: 18 bytes with an xor check.
std::vector<uint8_t> FirmwareAnswer() {
    std::string s = "@63RA0000690000";
    uint8_t x = 0;
    for (char c : s) x ^= static_cast<uint8_t>(c);
    static constexpr char kDigits[] = "0123456789ABCDEF";
    s += kDigits[x >> 4];
    s += kDigits[x & 0xF];
    s += '\r';
    return Bytes(s);
}

}  // namespace

struct Device::Remote {};  // the device runs here

Device::Device(Options options) : opt_(std::move(options)), flash_(kFlashSize, 0xFF) {
    if (opt_.OldFirmware)
        for (uint32_t a = 0; a < kFlashSize; ++a) flash_[a] = OldFirmwarePattern(a);
}

Device::~Device() {
    Stop();
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
    if (listen_ >= 0) ::close(listen_);
    if (transcript_) std::fclose(transcript_);
}

bool Device::OpenTcp() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(opt_.TcpPort));
    socklen_t len = sizeof a;
    if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_, 4) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        error_ = "cannot listen on 127.0.0.1:" + std::to_string(opt_.TcpPort) + ": " + std::strerror(errno);
        return false;
    }
    path_ = "tcp://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    return true;
}

ssize_t Device::Put(const uint8_t* bytes, std::size_t n) {
    if (master_ < 0) return static_cast<ssize_t>(n);  // no one connected: the bytes are lost
    return listen_ >= 0 ? ::send(master_, bytes, n, MSG_NOSIGNAL) : ::write(master_, bytes, n);
}

bool Device::Open() {
    epoch_ = Clock::now();
    if (opt_.TcpPort >= 0) {
        return OpenTcp() && OpenTranscript();
    }
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        error_ = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) {
        error_ = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        error_ = std::string("cannot open ") + path_ + ": " + std::strerror(errno);
        return false;
    }
    termios t{};
    ::tcgetattr(slave_, &t);
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    ::tcsetattr(slave_, TCSANOW, &t);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    return OpenTranscript();
}

bool Device::OpenTranscript() {
    if (opt_.TranscriptPath.empty()) return true;
    transcript_ = std::fopen(opt_.TranscriptPath.c_str(), "w");
    if (!transcript_) error_ = "cannot write " + opt_.TranscriptPath + ": " + std::strerror(errno);
    return transcript_ != nullptr;
}

void Device::Start() {
    stop_ = false;
    thread_ = std::thread([this] { Serve(stop_); });
}

void Device::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void Device::Hangup() {
    cut_ = true;
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
    if (listen_ >= 0) ::close(listen_);
    master_ = slave_ = listen_ = -1;
}

std::vector<uint8_t> Device::Memory() const {
    std::lock_guard lock(mutex_);
    return flash_;
}

void Device::SetMemory(uint32_t address, const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < bytes.size() && address + i < kFlashSize; ++i) flash_[address + i] = bytes[i];
}

int Device::FrameCount() const { return frames_; }
int Device::ResetCount() const { return resets_; }
int Device::FirmwareResetLines() const { return resetLines_; }
bool Device::InBootloader() const { return bootloader_; }
bool Device::Connected() const { return online_; }

std::vector<std::vector<uint8_t>> Device::Frames() const {
    std::lock_guard lock(mutex_);
    return frames_log_;
}

std::chrono::nanoseconds Device::ByteTime() const {
    if (opt_.Baud <= 0) return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(10'000'000'000LL / opt_.Baud);
}

void Device::WaitUntil(Clock::time_point t) {
    while (Clock::now() < t && !stop_) std::this_thread::sleep_until(t);
}

void Device::Transcript(const char* direction, const uint8_t* bytes, std::size_t n) {
    if (!transcript_ || n == 0) return;
    const double t = std::chrono::duration<double>(Clock::now() - epoch_).count();
    std::fprintf(transcript_, "%10.6f %s", t, direction);
    for (std::size_t i = 0; i < n; ++i) std::fprintf(transcript_, " %02X", bytes[i]);
    std::fprintf(transcript_, "\n");
    std::fflush(transcript_);
}

void Device::AnswerDumpRequest() {
    if (opt_.DumpRequestFile.empty() || ::access(opt_.DumpRequestFile.c_str(), F_OK) != 0) return;
    const auto memory = Memory();
    const std::string part = opt_.DumpFile + ".part";
    if (std::FILE* f = std::fopen(part.c_str(), "wb")) {
        const bool written = std::fwrite(memory.data(), 1, memory.size(), f) == memory.size();
        if (std::fclose(f) == 0 && written) std::rename(part.c_str(), opt_.DumpFile.c_str());
    }
    ::unlink(opt_.DumpRequestFile.c_str());
}

void Device::Serve(const std::atomic<bool>& stop) {
    ::prctl(PR_SET_TIMERSLACK, 1UL);  // paced bytes leave within microseconds of their time
    auto lastByte = Clock::now();
    uint8_t buf[512];
    while (!stop && !cut_) {
        if (listen_ >= 0 && master_ < 0) {  // a TCP device waits for its host to connect
            pollfd l{listen_, POLLIN, 0};
            if (::poll(&l, 1, 20) == 1) {
                master_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                const int one = 1;
                if (master_ >= 0) ::setsockopt(master_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            }
            if (!opt_.StopFile.empty() && ::access(opt_.StopFile.c_str(), F_OK) == 0) break;
            continue;
        }
        pollfd p{master_, POLLIN, 0};
        const int r = ::poll(&p, 1, 20);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0 && !opt_.StopFile.empty() && ::access(opt_.StopFile.c_str(), F_OK) == 0) break;
        if (r == 0) AnswerDumpRequest();
        if (r <= 0 || !(p.revents & POLLIN)) {
            if (reader_.InFrame() && Clock::now() - lastByte > std::chrono::seconds(1)) reader_.Resync();
            if (r > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (listen_ >= 0) {  // the host closed the connection: wait for the next one
                ::close(master_);
                master_ = -1;
                reader_.Resync();
                continue;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        const auto now = Clock::now();
        lastByte = now;
        Transcript("host->dev", buf, static_cast<std::size_t>(n));
        for (ssize_t i = 0; i < n && !cut_; ++i) {
            if (opt_.Baud > 0) rxFreeAt_ = std::max(now, rxFreeAt_) + ByteTime();
            ReaderEvent event{ReaderEvent::TextLine, {}};
            if (reader_.Feed(buf[i], event)) {
                if (opt_.Baud > 0) WaitUntil(rxFreeAt_);
                OnEvent(event);
            }
        }
    }
}

void Device::OnEvent(const ReaderEvent& event) {
    if (Clock::now() < cutUntil_) return;  // the line is cut: nothing arrives
    if (event.kind == ReaderEvent::TextLine) {
        OnText(event.bytes);
        return;
    }
    if (opt_.Gsm && !online_) return;  // the modem in command state passes no frames
    OnFrame(event.bytes);
}

void Device::OnText(const std::vector<uint8_t>& line) {
    std::string text(line.begin(), line.end());
    if (opt_.Gsm && !online_) {
        std::string upper;
        for (char c : text)
            if (c != '\n' && c != ' ') upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
        if (upper.rfind("AT", 0) != 0) return;
        if (upper.rfind("ATD", 0) == 0 && !opt_.DialAnswer.empty()) {
            Answer(Bytes("\r\n" + opt_.DialAnswer + "\r\n"));
        } else if (upper.rfind("ATD", 0) == 0) {
            Answer(Bytes("\r\nCONNECT 9600\r"));
            online_ = true;
            Answer(Bytes("AT\r"));  // the far end's link mark
        } else {
            Answer(Bytes("\r\nOK\r\n"));
        }
        return;
    }
    const std::string_view reset1 = TEXT_RESET_1.substr(0, TEXT_RESET_1.size() - 1);
    const std::string_view reset2 = TEXT_RESET_2.substr(0, TEXT_RESET_2.size() - 1);
    if (text == reset1 && !bootloader_) {
        ++resetLines_;
        Answer(FirmwareAnswer());
    } else if (text == reset2) {
        ++resetLines_;
        bootloader_ = true;
    }
}

void Device::OnFrame(const std::vector<uint8_t>& frame) {
    const int next = frames_ + 1;
    if (opt_.Gsm && std::find(opt_.DropCallAfter.begin(), opt_.DropCallAfter.end(), next) != opt_.DropCallAfter.end()) {
        opt_.DropCallAfter.erase(std::find(opt_.DropCallAfter.begin(), opt_.DropCallAfter.end(), next));
        online_ = false;  // the call drops with this frame in flight
        Answer(Bytes("\r\nNO CARRIER\r\n"));
        return;
    }
    if (std::find(opt_.CutLineAt.begin(), opt_.CutLineAt.end(), next) != opt_.CutLineAt.end()) {
        opt_.CutLineAt.erase(std::find(opt_.CutLineAt.begin(), opt_.CutLineAt.end(), next));
        cutUntil_ = Clock::now() + std::chrono::milliseconds(opt_.CutForMs);
        return;
    }
    const int n = ++frames_;
    {
        std::lock_guard lock(mutex_);
        frames_log_.push_back(frame);
    }
    const bool cutAfter = opt_.HangupAfter > 0 && n >= opt_.HangupAfter;
    const uint8_t cmd = frame.size() > 1 ? frame[1] : 0;
    auto reply = [&](uint8_t status, const std::vector<uint8_t>& payload) {
        std::vector<uint8_t> a{FRAME_START, status};
        a.insert(a.end(), payload.begin(), payload.end());
        const bool read = cmd == CMD_READ && status == FRAME_ACK;
        uint8_t check = FrameChecksum(a.data(), a.size());
        if (read && opt_.XorReadCheck) {
            check = 0;
            for (uint8_t b : a) check ^= b;
        }
        a.push_back(check);
        a.push_back(FRAME_END);
        if (read && opt_.GarbleReadEvery > 0 && ++reads_ % opt_.GarbleReadEvery == 0 && payload.size() > 0) {
            const std::size_t at = 2 + static_cast<std::size_t>(reads_) % payload.size();
            a[at] ^= static_cast<uint8_t>(1u << (reads_ % 8));
        }
        Answer(std::move(a));
    };
    auto finish = [&] {
        if (!cutAfter) return;
        // let the host read the last answer before the line goes
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Hangup();
    };

    const bool wellFormed = frame.size() >= 4 && frame.back() == FRAME_END &&
                            FrameChecksum(frame.data(), frame.size() - 2) == frame[frame.size() - 2];
    if (opt_.DropEvery > 0 && n % opt_.DropEvery == 0) return finish();
    if (!wellFormed || (opt_.NakEvery > 0 && n % opt_.NakEvery == 0) || opt_.NakCommand == cmd) {
        reply(kRefusal, {cmd});
        return finish();
    }

    std::vector<uint8_t> payload{cmd};
    bool ok = true;
    switch (cmd) {
        case CMD_START_DFU: bootloader_ = true; break;
        case CMD_RESET:
            ++resets_;
            bootloader_ = false;
            break;
        case CMD_ERASE: {
            const uint32_t address = Le32(frame, 2);
            ok = address < kFlashSize;
            if (ok) {
                std::lock_guard lock(mutex_);
                const uint32_t page = address & ~(kFlashPage - 1);
                std::fill(flash_.begin() + page, flash_.begin() + page + kFlashPage, 0xFF);
            }
            break;
        }
        case CMD_WRITE: {
            const uint32_t length = frame[2];
            const uint32_t address = Le32(frame, 3);
            ok = uint64_t{address} + length <= kFlashSize;
            if (ok) {
                std::lock_guard lock(mutex_);
                if (opt_.OldFirmware) {
                    for (uint32_t i = 0; i < length; ++i) flash_[address + i] &= frame[7 + i];
                } else {
                    std::copy_n(frame.begin() + 7, length, flash_.begin() + address);
                }
            }
            break;
        }
        case CMD_READ: {
            const uint32_t length = frame[2];
            const uint32_t address = Le32(frame, 3);
            ok = uint64_t{address} + length <= kFlashSize;
            if (ok) {
                std::lock_guard lock(mutex_);
                payload.assign(flash_.begin() + address, flash_.begin() + address + length);
                if (opt_.CorruptRead && *opt_.CorruptRead >= address && *opt_.CorruptRead < address + length)
                    payload[*opt_.CorruptRead - address] ^= 0xFF;
            }
            break;
        }
        default: ok = false; break;
    }
    reply(ok ? FRAME_ACK : kRefusal, ok ? payload : std::vector<uint8_t>{cmd});
    finish();
}

void Device::Answer(std::vector<uint8_t> bytes) {
    if (opt_.Silent || cut_) return;
    if (opt_.DelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(opt_.DelayMs));
    if (opt_.Noise) bytes.insert(bytes.begin(), {0x00, 0xFF, 0x55, 0xAA, 0x7E});
    SendRaw(bytes);
}

void Device::SendRaw(const std::vector<uint8_t>& bytes) {
    Transcript("dev->host", bytes.data(), bytes.size());
    if (opt_.Baud <= 0) {
        std::size_t put = 0;
        while (put < bytes.size() && !cut_) {
            const ssize_t w = Put(bytes.data() + put, bytes.size() - put);
            if (w > 0) {
                put += static_cast<std::size_t>(w);
            } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{master_, POLLOUT, 0};
                ::poll(&p, 1, 50);
            } else {
                return;
            }
        }
        return;
    }
    // A device answers as the last byte of the frame arrives: the answer is scheduled from that
    // moment on the simulated line, not from when this thread woke up.
    txFreeAt_ = std::max({rxFreeAt_, txFreeAt_, Clock::now() - ByteTime()});
    for (uint8_t b : bytes) {
        txFreeAt_ += ByteTime();
        WaitUntil(txFreeAt_);
        while (!cut_) {
            const ssize_t w = Put(&b, 1);
            if (w == 1) break;
            if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{master_, POLLOUT, 0};
                ::poll(&p, 1, 50);
                continue;
            }
            return;
        }
    }
}

}  // namespace qdfu::sim
