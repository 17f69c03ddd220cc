// Transcript of the serial line.
#include "transcript_backend.h"

#include <chrono>
#include <string>
#include <vector>

namespace qdfu {
namespace {

class TranscriptBackend final : public SerialBackend {
public:
    TranscriptBackend(std::unique_ptr<SerialBackend> inner, std::FILE* out)
        : inner_(std::move(inner)), out_(out), epoch_(std::chrono::steady_clock::now()) {}
    ~TranscriptBackend() override { FlushReceived(); }

    bool Open(const std::string& device) override {
        const bool ok = inner_->Open(device);
        Note(ok ? "open " + device : "open " + device + " failed: " + inner_->LastError());
        return ok;
    }
    bool ReadSettings() override { return inner_->ReadSettings(); }
    bool ApplySettings(const LineSettings& s) override { return inner_->ApplySettings(s); }
    void SetTimeouts(int r, int w) override { inner_->SetTimeouts(r, w); }
    void DiscardInput() override { inner_->DiscardInput(); }
    bool Write(const uint8_t* data, std::size_t n, std::size_t& written) override {
        FlushReceived();
        const bool ok = inner_->Write(data, n, written);
        Line("TX", data, written);
        return ok;
    }
    ReadResult ReadByte(uint8_t& byte) override {
        const ReadResult r = inner_->ReadByte(byte);
        if (r == ReadResult::Byte) {
            if (received_.empty()) firstRx_ = Seconds();
            received_.push_back(byte);
        } else {
            FlushReceived();
            Note(r == ReadResult::Timeout ? "RX time-out" : "RX failed: " + inner_->LastError());
        }
        return r;
    }
    void Close() override {
        FlushReceived();
        inner_->Close();
        Note("close");
    }
    std::string LastError() const override { return inner_->LastError(); }
    void SetIdleHook(IdleHook hook) override { inner_->SetIdleHook(std::move(hook)); }

private:
    double Seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - epoch_).count();
    }
    void Line(const char* dir, const uint8_t* data, std::size_t n, double t = -1) {
        std::fprintf(out_, "%10.6f %s", t < 0 ? Seconds() : t, dir);
        for (std::size_t i = 0; i < n; ++i) std::fprintf(out_, " %02X", data[i]);
        std::fprintf(out_, "\n");
        std::fflush(out_);
    }
    void Note(const std::string& text) {
        std::fprintf(out_, "%10.6f -- %s\n", Seconds(), text.c_str());
        std::fflush(out_);
    }
    void FlushReceived() {
        if (received_.empty()) return;
        Line("RX", received_.data(), received_.size(), firstRx_);
        received_.clear();
    }

    std::unique_ptr<SerialBackend> inner_;
    std::FILE* out_;
    std::chrono::steady_clock::time_point epoch_;
    std::vector<uint8_t> received_;
    double firstRx_ = 0;
};

}  // namespace

std::unique_ptr<SerialBackend> MakeTranscriptBackend(std::unique_ptr<SerialBackend> inner, std::FILE* out) {
    return std::make_unique<TranscriptBackend>(std::move(inner), out);
}

}  // namespace qdfu
