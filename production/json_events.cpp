// The event lines and the report's lines, written with nlohmann-json; a name that is not valid
// UTF-8 (a file name) has its stray bytes taken as Latin-1 rather than the line lost.
#include "json_events.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "manual_commands.h"
#include "production.h"

namespace qdfu {
namespace {

using Json = nlohmann::ordered_json;

Json Event(const char* name) { return Json{{"schema", 1}, {"event", name}}; }

// The length of the UTF-8 sequence that starts at s[i], or 0 when it is not valid there.
std::size_t Utf8Length(const std::string& s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    std::size_t n = 0;
    uint32_t cp = 0;
    if (c >= 0xC2 && c <= 0xDF) n = 2, cp = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) n = 3, cp = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) n = 4, cp = c & 0x07;
    else return 0;
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    const bool overlong = (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
    if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

Json Text(const std::string& text) { return ValidUtf8(text); }

// A run's fields, in the order the report has always given them.
Json ReportFields(const RunReport& r) {
    Json e;
    e["port"] = Text(r.Port);
    e["device"] = Text(r.Device);
    e["by_id"] = Text(r.ById);
    e["hex_file"] = Text(r.HexPath);
    e["hex_sha256"] = r.HexSha256;
    e["start"] = r.Start;
    e["end"] = r.End;
    e["seconds"] = std::round(r.Seconds * 1000) / 1000;  // to the millisecond
    e["outcome"] = r.Outcome;
    e["outcome_text"] = r.OutcomeText;
    e["exit_status"] = r.ExitStatus;
    e["blocks"] = r.Blocks;
    e["bytes_on_line"] = r.BytesOnLine;
    e["exchanges"] = r.Exchanges;
    e["communication_errors"] = r.CommunicationErrors;
    e["last_serial_error"] = Text(r.LastSerialError);
    e["verification"] = r.Verification;
    e["reason"] = Text(r.Reason);
    e["retries"] = r.Retries;
    if (r.Serial) e["serial"] = *r.Serial;  // a unit whose serial was spent on it
    if (!r.Operator.empty()) e["operator"] = Text(r.Operator);
    if (!r.WorkOrder.empty()) e["work_order"] = Text(r.WorkOrder);
    if (!r.Label.empty()) e["label"] = Text(r.Label);
    if (r.Simulated) e["simulated"] = true;
    return e;
}

Json EndEvent(const RunReport& r) {
    Json e = Event("end");
    const Json fields = ReportFields(r);
    for (const auto& [name, value] : fields.items()) e[name] = value;
    return e;
}

Json ToolEndEvent(const ToolEnd& t) {
    Json e = Event("end");
    e["command"] = t.Command;
    e["port"] = Text(t.Port);
    e["outcome"] = t.Outcome;
    e["reason"] = Text(t.Reason);
    e["exit_status"] = t.ExitStatus;
    if (t.Command == "verify") {
        e["bytes_compared"] = t.BytesCompared;
        e["differences"] = t.Differences;
    } else {
        e["file"] = Text(t.File);
        e["from"] = "0x" + HexDigits(t.From, 8);
        e["to"] = "0x" + HexDigits(t.To, 8);
        e["bytes"] = t.Bytes;
    }
    return e;
}

// Writes the decimal digits of v (at least width of them) at out; their number.
std::size_t Digits(char* out, int64_t v, std::size_t width) {
    char tmp[24];
    std::size_t n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v > 0 || n < width);
    for (std::size_t k = 0; k < n; ++k) out[k] = tmp[n - 1 - k];
    return n;
}

}  // namespace

std::string ValidUtf8(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            out += s[i++];
        } else if (const std::size_t n = Utf8Length(s, i)) {
            out.append(s, i, n);
            i += n;
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
            ++i;
        }
    }
    return out;
}

// Every string has gone through ValidUtf8; the replacing handler only keeps a line that would
// otherwise be lost.
static std::string Line(const Json& object) { return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

std::string ReportLine(const RunReport& report) { return Line(ReportFields(report)); }

JsonEvents::JsonEvents(std::FILE* out)
    : sink_([out](const std::string& text) {
          // one line, flushed through to the reader
          const std::string line = text + "\n";
          std::fwrite(line.data(), 1, line.size(), out);
          std::fflush(out);
      }) {}

void JsonEvents::Emit(const std::string& line) { sink_(line); }

void JsonEvents::Start(const std::string& port, const std::string& device, const std::string& file,
                       const std::string& sha256, const EventOptions& o) {
    Json e = Event("start");
    e["port"] = Text(port);
    e["device"] = Text(device);
    e["file"] = Text(file);
    e["sha256"] = sha256;
    e["options"] = Json{{"verification", o.Verification}, {"skip_gaps", o.SkipGaps}, {"retries", o.Retries},
                        {"gsm", o.GsmNumber}, {"resume", o.Resume}};
    if (o.Simulated) e["simulated"] = true;
    Emit(Line(e));
}

void JsonEvents::Progress(const std::string& port, int done, int total, uint32_t bytes) {
    const auto now = std::chrono::steady_clock::now();
    const auto last = lastProgress_.find(port);
    if (done < total && last != lastProgress_.end() && now - last->second < std::chrono::milliseconds(250)) return;
    lastProgress_[port] = now;
    if (cutShort_) {
        cutShort_->Blocks = static_cast<uint32_t>(done);
        cutShort_->BytesOnLine = bytes;
        keepCutShort_(cutShort_.get());
    }
    Json e = Event("progress");
    e["port"] = Text(port);
    e["blocks_done"] = done;
    e["blocks_total"] = total;
    e["bytes"] = bytes;
    Emit(Line(e));
}

void JsonEvents::Retry(const std::string& port, int n, uint32_t page) {
    Json e = Event("retry");
    e["port"] = Text(port);
    e["retry"] = n;
    e["page"] = "0x" + HexDigits(page, 8);
    Emit(Line(e));
}

void JsonEvents::End(const RunReport& r) {
    ++ended_;
    Emit(Line(EndEvent(r)));
    if (cutShort_) keepCutShort_(nullptr);
    cutShort_.reset();
}

void JsonEvents::End(const ToolEnd& t) {
    ++ended_;
    Emit(Line(ToolEndEvent(t)));
}

std::string ToolEndLine(const ToolEnd& end) { return Line(ToolEndEvent(end)); }

void JsonEvents::KeepCutShortEnd(const RunReport& soFar, std::function<void(const RunReport*)> keep) {
    cutShort_ = std::make_shared<RunReport>(soFar);
    keepCutShort_ = std::move(keep);
    keepCutShort_(cutShort_.get());
}

CutShortLine CutShortEnd(const RunReport& soFar) {
    RunReport r = soFar;
    r.End = "";
    r.Seconds = 0;
    r.Outcome = OutcomeWord(UploadOutcome::Failed);
    r.OutcomeText = UploadOutcomeText(UploadOutcome::Failed);
    r.ExitStatus = 130;
    r.Reason = "interrupted again: the controller may not have been reset";
    const std::string line = Line(EndEvent(r));
    const std::string end = "\"end\":\"", outcome = ",\"outcome\":";
    const std::size_t at = line.find(end) + end.size(), from = line.find(outcome);
    return {line.substr(0, at), line.substr(from + 1) + "\n"};
}

std::size_t CutShortMiddle(char* out, int64_t nowMs, int64_t startMs) {
    // the civil date of a day count (days from 1970-01-01), by Howard Hinnant's method
    const int64_t secs = nowMs / 1000, days = secs / 86400, daySecs = secs % 86400;
    const int64_t z = days + 719468, era = z / 146097, doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1, month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2);
    std::size_t n = 0;
    const auto put = [&](const char* text) {
        while (*text) out[n++] = *text++;
    };
    n += Digits(out + n, year, 4);
    put("-");
    n += Digits(out + n, month, 2);
    put("-");
    n += Digits(out + n, day, 2);
    put("T");
    n += Digits(out + n, daySecs / 3600, 2);
    put(":");
    n += Digits(out + n, daySecs / 60 % 60, 2);
    put(":");
    n += Digits(out + n, daySecs % 60, 2);
    put("Z\",\"seconds\":");
    const int64_t ms = nowMs > startMs ? nowMs - startMs : 0;
    n += Digits(out + n, ms / 1000, 1);
    put(".");
    n += Digits(out + n, ms % 1000, 3);
    put(",");
    return n;
}

std::string LedgerRunLine(const LedgerRun& r) {
    Json line;
    line["serial"] = r.Serial ? Json(*r.Serial) : Json(nullptr);
    line["port"] = Text(r.Port);
    line["device"] = Text(r.Device);
    line["by_id"] = Text(r.ById);
    line["station"] = Text(r.Station);
    line["operator"] = Text(r.Operator);
    line["work_order"] = Text(r.WorkOrder);
    line["hex_file"] = Text(r.HexPath);
    line["hex_sha256"] = r.HexSha256;
    line["outcome"] = r.Outcome;
    line["reason"] = Text(r.Reason);
    line["blocks"] = r.Blocks;
    line["retries"] = r.Retries;
    line["start"] = r.Start;
    line["end"] = r.End;
    return Line(line);
}

std::string LedgerStatsLine(const StatsRow& row) {
    Json line;
    line["group"] = Text(row.Group);
    line["runs"] = row.Runs;
    line["completed"] = row.Completed;
    line["failed"] = row.Failed;
    line["not_done"] = row.NotDone;
    line["yield"] = row.Yield ? Json(*row.Yield) : Json(nullptr);
    return Line(line);
}

void JsonEvents::Port(const PresentPort& p, const std::optional<UsbIdentity>& usb) {
    Json e = Event("port");
    e["name"] = Text(p.Name);
    e["device"] = Text(p.Device);
    if (usb)
        e["usb"] = Json{{"vendor_id", usb->VendorId}, {"product_id", usb->ProductId}, {"manufacturer", Text(usb->Manufacturer)},
                        {"product", Text(usb->Product)}, {"serial", Text(usb->Serial)}};
    Emit(Line(e));
}

}  // namespace qdfu
