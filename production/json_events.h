// JSON Lines for scripts and test benches that follow a run (--json): one object per line and per
// event, each with "schema": 1 and "event" ("start", "progress", "retry", "end", "port"). Fields are
// only ever added, never renamed or removed. Every line is flushed as it is written.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>

#include "ports.h"

namespace qdfu {

struct RunReport;

// The report's line of a run: one JSON object with the end event's fields.
std::string ReportLine(const RunReport& report);
// text with every byte that is not part of valid UTF-8 taken as the code point of the same value
// (U+0080 to U+00FF), so that any file name makes a valid line and keeps every byte readable.
std::string ValidUtf8(const std::string& text);

// The end of verify or backup.
struct ToolEnd {
    std::string Command;  // verify / backup
    std::string Port, Outcome, Reason;  // completed / failed / not_done
    uint32_t BytesCompared = 0, Differences = 0;  // verify
    std::string File;                             // backup: the file written
    uint32_t From = 0, To = 0, Bytes = 0;         // backup
};

// What a run was asked to do, as its start event gives it.
struct EventOptions {
    std::string Verification = "none";  // none / every_fourth / all
    bool SkipGaps = false;
    int Retries = 0;
    std::string GsmNumber;
    bool Resume = false;
};

class JsonEvents {
public:
    explicit JsonEvents(std::FILE* out) : out_(out) {}
    void Start(const std::string& port, const std::string& device, const std::string& file, const std::string& sha256,
               const EventOptions& options);
    // At most 4 a second for one port; the last block (done == total) always comes through.
    void Progress(const std::string& port, int done, int total, uint32_t bytes);
    void Retry(const std::string& port, int n, uint32_t page);
    // The report line's fields.
    void End(const RunReport& report);
    void Port(const PresentPort& port, const std::optional<UsbIdentity>& usb);
    void End(const ToolEnd& end);

private:
    std::FILE* out_;
    std::map<std::string, std::chrono::steady_clock::time_point> lastProgress_;
};

}  // namespace qdfu
