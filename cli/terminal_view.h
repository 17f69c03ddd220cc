// The upload's view on a terminal: log lines on standard output, nothing else there; a live
// progress line on standard error when it is a terminal; the verify message and "Interrotto !!!"
// on standard error. The abort flag is cleared by the first interrupt.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>

#include "json_events.h"
#include "upload.h"

namespace qdfu::cli {

class TerminalView final : public UploadView {
public:
    // status, when given, receives a line for a production line's parent at every block
    // ("progress DONE TOTAL BYTES") and about once a second while the line waits ("alive").
    TerminalView(bool verify, const std::atomic<bool>& active, std::FILE* status = nullptr);
    ~TerminalView() override;

    void ClearLog() override {}
    void Log(const std::string& line) override;
    void SetStat(StatField field, const std::string& text) override;
    // The first erase or write marks the device as touched (said as "touched" on the status
    // channel before that frame leaves): from then on a serial number given to it is spent.
    void ShowOperation(Operation op) override;
    bool Touched() const { return touched_; }
    void SetProgress(int position, int maximum) override;
    // Said on the status channel ("retry N") and counted on the progress line.
    void Retrying(int n, uint32_t page) override;
    void SelectDumpRow(int) override {}
    void ShowMessage(const std::string& text) override;
    // On standard error, as the message is.
    void Warn(const std::string& text) override { ShowMessage(text); }
    void ProcessEvents() override;
    bool UploadActive() override { return active_; }
    bool VerifyChecked() override { return verify_; }
    // The driver's idle hook: the line keeps counting while a byte is awaited, and after 1 s says
    // that it waits for the controller and how long the time-out has left.
    void LineWaits(int32_t waitedMs, int32_t leftMs);
    // Every log line is also appended to capture (a production run's log file), when given.
    void SetCapture(std::string* capture) { capture_ = capture; }
    // --json: standard output carries only the events, for port; the log lines go to the capture.
    void SetEvents(JsonEvents* events, std::string port) {
        events_ = events;
        eventPort_ = std::move(port);
    }

private:
    void DrawProgress(bool force);
    void ClearProgress();

    bool verify_;
    const std::atomic<bool>& active_;
    bool tty_;
    std::string clear_;  // what wipes the progress line
    bool drawn_ = false;
    int position_ = 0;
    int retries_ = 0;
    bool touched_ = false;
    JsonEvents* events_ = nullptr;
    std::string eventPort_;
    int32_t waitedMs_ = 0;  // of the byte awaited now; 0 once the line moved again
    int32_t leftMs_ = 0;
    int maximum_ = 0;
    std::string bytesSent_ = "0";
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_{};
    std::FILE* status_;
    std::string* capture_ = nullptr;
    std::chrono::steady_clock::time_point lastAlive_{};
};

}  // namespace qdfu::cli
