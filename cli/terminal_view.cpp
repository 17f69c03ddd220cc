// Terminal view of an upload.
#include "terminal_view.h"

#include <cstdio>
#include <cstdlib>

#include "cli_platform.h"

namespace qdfu::cli {

TerminalView::TerminalView(bool verify, const std::atomic<bool>& active, std::FILE* status)
    : verify_(verify), active_(active), tty_(StandardErrorIsTerminal()),
      clear_(tty_ && !TerminalTakesEscapes() ? "\r" + std::string(79, ' ') + "\r" : "\r\033[K"),
      start_(std::chrono::steady_clock::now()), status_(status) {}

TerminalView::~TerminalView() { ClearProgress(); }

// A line that cannot be written (a reader that went away) is dropped; the run goes on.
void TerminalView::Log(const std::string& line) {
    ClearProgress();
    if (capture_) *capture_ += line + "\n";
    if (events_) return;
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
    std::clearerr(stdout);
}

void TerminalView::SetStat(StatField field, const std::string& text) {
    if (field == StatField::STTot2) bytesSent_ = text;
    if (field == StatField::STEsito && text == UploadOutcomeText(UploadOutcome::Completed) && maximum_ > 0) {
        position_ = maximum_;  // the progress line ends at N/N
        if (events_) events_->Progress(eventPort_, position_, maximum_, static_cast<uint32_t>(std::strtoul(bytesSent_.c_str(), nullptr, 10)));
        DrawProgress(true);
    }
    if (field == StatField::STEsito && text == "Interrotto !!!") {
        ClearProgress();
        std::fprintf(stderr, "%s\n", text.c_str());
    }
}

void TerminalView::SetProgress(int position, int maximum) {
    position_ = position;
    maximum_ = maximum;
    if (events_)
        events_->Progress(eventPort_, position, maximum, static_cast<uint32_t>(std::strtoul(bytesSent_.c_str(), nullptr, 10)));
    if (status_) {
        std::fprintf(status_, "progress %d %d %s\n", position, maximum, bytesSent_.c_str());
        std::fflush(status_);
    }
    DrawProgress(false);
}

void TerminalView::ShowOperation(Operation op) {
    if (touched_ || (op != Operation::Erasing && op != Operation::Writing)) return;
    touched_ = true;
    if (status_) {
        std::fputs("touched\n", status_);
        std::fflush(status_);
    }
}

void TerminalView::Retrying(int n, uint32_t page) {
    retries_ = n;
    if (events_) events_->Retry(eventPort_, n, page);
    if (status_) {
        std::fprintf(status_, "retry %d %u\n", n, page);
        std::fflush(status_);
    }
}

void TerminalView::ShowMessage(const std::string& text) {
    ClearProgress();
    std::fprintf(stderr, "%s\n", text.c_str());
}

void TerminalView::ProcessEvents() {
    waitedMs_ = 0;
    DrawProgress(false);
}

void TerminalView::LineWaits(int32_t waitedMs, int32_t leftMs) {
    const auto now = std::chrono::steady_clock::now();
    if (status_ && now - lastAlive_ >= std::chrono::seconds(1)) {
        lastAlive_ = now;
        std::fputs("alive\n", status_);
        std::fflush(status_);
    }
    const bool wasWaiting = waitedMs_ >= 1000;
    waitedMs_ = waitedMs;
    leftMs_ = leftMs;
    DrawProgress(!wasWaiting && waitedMs_ >= 1000);
}

void TerminalView::DrawProgress(bool force) {
    const bool waiting = waitedMs_ >= 1000;
    if (!tty_ || (maximum_ <= 0 && !waiting)) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && drawn_ && now - lastDraw_ < std::chrono::milliseconds(200)) return;
    lastDraw_ = now;
    std::fputs(clear_.c_str(), stderr);
    if (maximum_ > 0) {
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        const double bytes = std::strtod(bytesSent_.c_str(), nullptr);
        const double rate = elapsed > 0 ? bytes / elapsed : 0;
        const double left = position_ > 0 ? elapsed * (maximum_ - position_) / position_ : 0;
        std::fprintf(stderr, "block %d/%d (%d%%)  %.0f bytes  %.0f B/s  %.0f s left", position_, maximum_,
                     100 * position_ / maximum_, bytes, rate, left);
        if (retries_ > 0) std::fprintf(stderr, "  retry %d", retries_);
    }
    if (waiting)
        std::fprintf(stderr, "%swaiting for the controller: %.1f s, time-out in %.1f s", maximum_ > 0 ? "  " : "",
                     waitedMs_ / 1000.0, leftMs_ / 1000.0);
    std::fflush(stderr);
    drawn_ = true;
}

void TerminalView::ClearProgress() {
    if (!drawn_) return;
    std::fputs(clear_.c_str(), stderr);
    std::fflush(stderr);
    drawn_ = false;
}

}  // namespace qdfu::cli
