// JSON Lines for scripts and test benches that follow a run (--json): one object per line and per
// event, each with "schema": 1 and "event" ("start", "progress", "retry", "end", "port"). Fields are
// only ever added, never renamed or removed. Every line is flushed as it is written.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "ledger_query.h"
#include "ports.h"

namespace qdfu {

struct RunReport;  // production.h

// The report's line of a run: one JSON object with the end event's fields.
std::string ReportLine(const RunReport& report);
// text with every byte that is not part of valid UTF-8 taken as the code point of the same value
// (U+0080 to U+00FF), so that any file name makes a valid line and keeps every byte readable.
std::string ValidUtf8(const std::string& text);

// One group of `ledger stats` as one JSON object (the line LedgerRunLine's runs are grouped into):
// group, runs, completed, failed, not_done, and yield as a fraction, null when it has none.
std::string LedgerStatsLine(const StatsRow& row);

// The end of verify or backup.
struct ToolEnd {
    std::string Command;  // verify / backup
    std::string Port, Outcome, Reason;  // completed / failed / not_done
    uint32_t BytesCompared = 0, Differences = 0;  // verify
    std::string File;                             // backup: the file written
    uint32_t From = 0, To = 0, Bytes = 0;         // backup
    int ExitStatus = 0;                           // the status the command ends with
};

// The line of a verify or backup end, as End writes it (without its line end).
std::string ToolEndLine(const ToolEnd& end);

// What a run was asked to do, as its start event gives it.
struct EventOptions {
    std::string Verification = "off";  // off / every_fourth / all, as the report spells it
    bool SkipGaps = false;
    int Retries = 0;
    std::string GsmNumber;
    bool Resume = false;
    bool Simulated = false;  // --simulate: the start event says "simulated": true
};

// The end event of a run that a second press cuts short, which has to be written while the
// process ends and cannot be built then: the run's fields so far (failed, exit status 130), as the
// text up to its "end" time (Head) and the text from its "outcome" on, with the line end (Tail).
// CutShortMiddle gives what goes between them.
struct CutShortLine {
    std::string Head, Tail;
};
CutShortLine CutShortEnd(const RunReport& soFar);
// `2026-12-08T23:10:08Z","seconds":3.912,` for a run that started at startMs and ends at nowMs
// (milliseconds since 1970, UTC) into out, which holds at least 64 bytes; its length. Takes no
// lock and allocates nothing: a signal handler calls it.
std::size_t CutShortMiddle(char* out, int64_t nowMs, int64_t startMs);

class JsonEvents {
public:
    // Each line (without its line end) to out, flushed as it is written.
    explicit JsonEvents(std::FILE* out);
    // Each line (without its line end) handed to sink, on the thread that writes the event: the
    // operator window reads the events so.
    explicit JsonEvents(std::function<void(const std::string&)> sink) : sink_(std::move(sink)) {}
    void Start(const std::string& port, const std::string& device, const std::string& file, const std::string& sha256,
               const EventOptions& options);
    // At most 4 a second for one port; the last block (done == total) always comes through.
    void Progress(const std::string& port, int done, int total, uint32_t bytes);
    void Retry(const std::string& port, int n, uint32_t page);
    // The report line's fields.
    void End(const RunReport& report);
    void Port(const PresentPort& port, const std::optional<UsbIdentity>& usb);
    void End(const ToolEnd& end);
    // How many end events were written: each run ends with exactly one.
    int Ends() const { return ended_; }
    // The one run of this process, whose end a second press may have to write: keep gets its
    // fields now and again with every progress event (blocks and bytes so far), and null once its
    // end event is written.
    void KeepCutShortEnd(const RunReport& soFar, std::function<void(const RunReport*)> keep);

private:
    void Emit(const std::string& line);
    std::function<void(const std::string&)> sink_;
    std::map<std::string, std::chrono::steady_clock::time_point> lastProgress_;
    int ended_ = 0;
    std::shared_ptr<RunReport> cutShort_;
    std::function<void(const RunReport*)> keepCutShort_;
};

}  // namespace qdfu
