// The simulated controller for a Windows build under Wine: a quarnelix-devsim process of the host
// system, started through Wine (which runs host programs), listed as a COM port by a link in the
// Wine prefix's device folder. What the tests ask of it comes from its transcript, read as it
// grows, and its memory from the dumps it writes when asked and when told to stop by its stop file.
//
// The host program and a host folder to work in come from QDFU_WINE_DEVSIM and QDFU_WINE_WORK;
// the caller's XDG_CONFIG_HOME makes quarnelix-devsim's ports folder the prefix's dosdevices.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "device.h"
#include "frames.h"

namespace qdfu::sim {
namespace {

std::string WindowsPath(const std::string& hostPath) {
    std::string p = "Z:" + hostPath;
    for (char& c : p)
        if (c == '/') c = '\\';
    return p;
}

int NextComNumber() {
    static int next = 20;
    return next++;
}

}  // namespace

struct Device::Remote {
    PROCESS_INFORMATION process{};
    bool running = false;
    std::string dir;  // host path
    std::streamoff read = 0;
    bool memoryRead = false;
};

Device::Device(Options options) : opt_(std::move(options)), flash_(kFlashSize, 0xFF), remote_(std::make_unique<Remote>()) {}

Device::~Device() { Stop(); }

bool Device::Open() {
    const char* program = std::getenv("QDFU_WINE_DEVSIM");
    const char* work = std::getenv("QDFU_WINE_WORK");
    if (!program || !work) {
        error_ = "QDFU_WINE_DEVSIM and QDFU_WINE_WORK name the host's quarnelix-devsim and a folder";
        return false;
    }
    const int com = NextComNumber();
    remote_->dir = std::string(work) + "/dev" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(com);
    ::CreateDirectoryA(WindowsPath(remote_->dir).c_str(), nullptr);
    std::ostringstream cmd;
    cmd << program << " --com " << com << " --transcript " << remote_->dir << "/transcript --dump " << remote_->dir
        << "/dump --stop-file " << remote_->dir << "/stop --dump-request " << remote_->dir << "/dump-request";
    if (opt_.Gsm) cmd << " --gsm";
    if (!opt_.DialAnswer.empty()) cmd << " --dial-answer '" << opt_.DialAnswer << "'";
    if (opt_.Silent) cmd << " --silent";
    if (opt_.NakEvery) cmd << " --nak-every " << opt_.NakEvery;
    if (opt_.DropEvery) cmd << " --drop-every " << opt_.DropEvery;
    if (opt_.NakCommand >= 0) cmd << " --nak-command " << opt_.NakCommand;
    if (opt_.CorruptRead) cmd << " --corrupt-read " << *opt_.CorruptRead;
    if (opt_.Noise) cmd << " --noise";
    if (opt_.GarbleReadEvery) cmd << " --garble-reads " << opt_.GarbleReadEvery;
    if (opt_.XorReadCheck) cmd << " --xor-read-check";
    if (opt_.HangupAfter) cmd << " --hangup-after " << opt_.HangupAfter;
    for (int n : opt_.DropCallAfter) cmd << " --drop-call-after " << n;
    for (int n : opt_.CutLineAt) cmd << " --cut-line-at " << n;
    if (!opt_.CutLineAt.empty()) cmd << " --cut-for " << opt_.CutForMs;
    if (opt_.DelayMs) cmd << " --delay " << opt_.DelayMs;
    if (opt_.Baud) cmd << " --baud " << opt_.Baud;
    if (opt_.OldFirmware) cmd << " --old-firmware";
    std::string line = cmd.str();
    // Its pty's name and closing counts are of no interest here.
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE nul = ::CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                     OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = si.hStdOutput = si.hStdError = nul;
    const BOOL started =
        ::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &remote_->process);
    ::CloseHandle(nul);
    if (!started) {
        error_ = "cannot start " + std::string(program);
        return false;
    }
    remote_->running = true;
    path_ = "\\\\.\\COM" + std::to_string(com);
    for (int i = 0; i < 500; ++i) {  // until its link is there
        const HANDLE h = ::CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            ::CloseHandle(h);
            return true;
        }
        ::Sleep(10);
    }
    error_ = "the simulated device did not appear as " + path_;
    return false;
}

void Device::Start() {}

void Device::Stop() {
    if (!remote_ || !remote_->running) return;
    std::ofstream(WindowsPath(remote_->dir + "/stop")) << "stop\n";
    // Wine starts a host program with no process handle to give back, and what stands in the
    // thread handle then is no handle of ours (closing it once closed standard output): both are
    // closed only for a real Windows process.
    if (remote_->process.hProcess) {
        if (::WaitForSingleObject(remote_->process.hProcess, 5000) != WAIT_OBJECT_0)
            ::TerminateProcess(remote_->process.hProcess, 1);
        ::CloseHandle(remote_->process.hProcess);
        ::CloseHandle(remote_->process.hThread);
    }
    remote_->process = PROCESS_INFORMATION{};
    remote_->running = false;
}

void Device::Hangup() { Stop(); }

void Device::Serve(const std::atomic<bool>&) {}

// Reads what the transcript gained since the last look: frames and text lines from the host, the
// modem's answers from the device, as the device itself counts them.
void Device::Refresh() const {
    auto* self = const_cast<Device*>(this);
    std::ifstream in(WindowsPath(remote_->dir + "/transcript"), std::ios::binary);
    if (!in) return;
    in.seekg(remote_->read);
    std::string line;
    while (std::getline(in, line)) {
        if (in.eof()) break;  // a line still being written
        remote_->read = in.tellg();
        std::istringstream fields(line);
        std::string time, direction;
        fields >> time >> direction;
        std::vector<uint8_t> bytes;
        for (std::string b; fields >> b;) bytes.push_back(static_cast<uint8_t>(std::stoul(b, nullptr, 16)));
        if (direction == "dev->host") {
            const std::string text(bytes.begin(), bytes.end());
            if (text.find("CONNECT") != std::string::npos) self->online_ = true;
            continue;
        }
        if (direction != "host->dev") continue;
        for (uint8_t b : bytes) {
            ReaderEvent event{ReaderEvent::TextLine, {}};
            if (!self->reader_.Feed(b, event)) continue;
            if (event.kind == ReaderEvent::TextLine) {
                const std::string text(event.bytes.begin(), event.bytes.end());
                if (text == TEXT_RESET_1.substr(0, TEXT_RESET_1.size() - 1) && !bootloader_) ++self->resetLines_;
                if (text == TEXT_RESET_2.substr(0, TEXT_RESET_2.size() - 1)) {
                    ++self->resetLines_;
                    self->bootloader_ = true;
                }
                continue;
            }
            if (opt_.Gsm && !online_) continue;
            ++self->frames_;
            self->frames_log_.push_back(event.bytes);
            if (event.kind == ReaderEvent::Frame && event.bytes[1] == CMD_RESET) {
                ++self->resets_;
                self->bootloader_ = false;
            }
            if (event.kind == ReaderEvent::Frame && event.bytes[1] == CMD_START_DFU) self->bootloader_ = true;
        }
    }
}

// While the device serves, its memory is asked for and read from the dump it then writes (it
// answers when its line is idle, so after every frame sent so far); after it stopped, from the
// dump it wrote at its end.
std::vector<uint8_t> Device::Memory() const {
    const std::string dumpPath = WindowsPath(remote_->dir + "/dump");
    if (remote_->running && ::WaitForSingleObject(remote_->process.hProcess, 0) == WAIT_OBJECT_0)
        const_cast<Device*>(this)->Stop();  // it ended by itself, the line cut
    if (remote_->running) {
        const std::string request = WindowsPath(remote_->dir + "/dump-request");
        std::ofstream(request) << "dump\n";
        for (int i = 0; i < 500 && ::GetFileAttributesA(request.c_str()) != INVALID_FILE_ATTRIBUTES; ++i) ::Sleep(10);
    } else if (!remote_->memoryRead) {
        // Wine may report the host process ended before its dump is complete: wait for all of it.
        for (int i = 0; i < 500; ++i) {
            WIN32_FILE_ATTRIBUTE_DATA a{};
            if (::GetFileAttributesExA(dumpPath.c_str(), GetFileExInfoStandard, &a) && a.nFileSizeLow == kFlashSize) break;
            ::Sleep(10);
        }
        ::Sleep(20);
    } else {
        return flash_;
    }
    std::ifstream in(dumpPath, std::ios::binary);
    std::vector<uint8_t> dump(kFlashSize, 0xFF);
    in.read(reinterpret_cast<char*>(dump.data()), static_cast<std::streamsize>(dump.size()));
    const_cast<Device*>(this)->flash_ = dump;
    remote_->memoryRead = !remote_->running;
    return flash_;
}

void Device::SetMemory(uint32_t, const std::vector<uint8_t>&) {}

int Device::FrameCount() const { return Refresh(), frames_.load(); }
int Device::ResetCount() const { return Refresh(), resets_.load(); }
int Device::FirmwareResetLines() const { return Refresh(), resetLines_.load(); }
bool Device::InBootloader() const { return Refresh(), bootloader_.load(); }
bool Device::Connected() const { return Refresh(), online_.load(); }

std::vector<std::vector<uint8_t>> Device::Frames() const {
    Refresh();
    return frames_log_;
}

}  // namespace qdfu::sim
