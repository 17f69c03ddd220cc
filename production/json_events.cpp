// The event lines, written with nlohmann-json; a name that is not valid UTF-8 (a file name) has its
// stray bytes replaced rather than the line lost.
#include "json_events.h"

#include <nlohmann/json.hpp>

#include "manual_commands.h"
#include "production.h"

namespace qdfu {
namespace {

using Json = nlohmann::ordered_json;

Json Event(const char* name) { return Json{{"schema", 1}, {"event", name}}; }

}  // namespace

// One line, flushed through to the reader.
static void Emit(std::FILE* out, const Json& event) {
    const std::string line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
}

void JsonEvents::Start(const std::string& port, const std::string& device, const std::string& file,
                       const std::string& sha256, const EventOptions& o) {
    Json e = Event("start");
    e["port"] = port;
    e["device"] = device;
    e["file"] = file;
    e["sha256"] = sha256;
    e["options"] = Json{{"verification", o.Verification}, {"skip_gaps", o.SkipGaps}, {"retries", o.Retries},
                        {"gsm", o.GsmNumber}, {"resume", o.Resume}};
    Emit(out_, e);
}

void JsonEvents::Progress(const std::string& port, int done, int total, uint32_t bytes) {
    const auto now = std::chrono::steady_clock::now();
    const auto last = lastProgress_.find(port);
    if (done < total && last != lastProgress_.end() && now - last->second < std::chrono::milliseconds(250)) return;
    lastProgress_[port] = now;
    Json e = Event("progress");
    e["port"] = port;
    e["blocks_done"] = done;
    e["blocks_total"] = total;
    e["bytes"] = bytes;
    Emit(out_, e);
}

void JsonEvents::Retry(const std::string& port, int n, uint32_t page) {
    Json e = Event("retry");
    e["port"] = port;
    e["retry"] = n;
    e["page"] = "0x" + HexDigits(page, 8);
    Emit(out_, e);
}

void JsonEvents::End(const RunReport& r) {
    Json e = Event("end");
    e["port"] = r.Port;
    e["device"] = r.Device;
    e["by_id"] = r.ById;
    e["hex_file"] = r.HexPath;
    e["hex_sha256"] = r.HexSha256;
    e["start"] = r.Start;
    e["end"] = r.End;
    e["seconds"] = r.Seconds;
    e["outcome"] = r.Outcome;
    e["outcome_text"] = r.OutcomeText;
    e["exit_status"] = r.ExitStatus;
    e["blocks"] = r.Blocks;
    e["bytes_on_line"] = r.BytesOnLine;
    e["exchanges"] = r.Exchanges;
    e["communication_errors"] = r.CommunicationErrors;
    e["last_serial_error"] = r.LastSerialError;
    e["verification"] = r.Verification;
    e["reason"] = r.Reason;
    e["retries"] = r.Retries;
    if (r.Serial) e["serial"] = *r.Serial;
    Emit(out_, e);
}

void JsonEvents::End(const ToolEnd& t) {
    Json e = Event("end");
    e["command"] = t.Command;
    e["port"] = t.Port;
    e["outcome"] = t.Outcome;
    e["reason"] = t.Reason;
    if (t.Command == "verify") {
        e["bytes_compared"] = t.BytesCompared;
        e["differences"] = t.Differences;
    } else {
        e["file"] = t.File;
        e["from"] = "0x" + HexDigits(t.From, 8);
        e["to"] = "0x" + HexDigits(t.To, 8);
        e["bytes"] = t.Bytes;
    }
    Emit(out_, e);
}

std::string LedgerRunLine(const LedgerRun& r) {
    Json line;
    line["serial"] = r.Serial ? Json(*r.Serial) : Json(nullptr);
    line["port"] = r.Port;
    line["device"] = r.Device;
    line["by_id"] = r.ById;
    line["station"] = r.Station;
    line["operator"] = r.Operator;
    line["hex_file"] = r.HexPath;
    line["hex_sha256"] = r.HexSha256;
    line["outcome"] = r.Outcome;
    line["reason"] = r.Reason;
    line["blocks"] = r.Blocks;
    line["retries"] = r.Retries;
    line["start"] = r.Start;
    line["end"] = r.End;
    return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void JsonEvents::Port(const PresentPort& p, const std::optional<UsbIdentity>& usb) {
    Json e = Event("port");
    e["name"] = p.Name;
    e["device"] = p.Device;
    if (usb)
        e["usb"] = Json{{"vendor_id", usb->VendorId}, {"product_id", usb->ProductId}, {"manufacturer", usb->Manufacturer},
                        {"product", usb->Product}, {"serial", usb->Serial}};
    Emit(out_, e);
}

}  // namespace qdfu
