// Production reports: one JSON object per line.
#include "production.h"

#include <cstdio>

namespace qdfu {
namespace {

std::string Json(const std::string& s) {
    std::string out = "\"";
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += ch;
                }
        }
    }
    return out + "\"";
}

}  // namespace

std::string ReportLine(const RunReport& r) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", r.Seconds);
    std::string s = "{";
    auto field = [&](const char* name, const std::string& value) {
        if (s.size() > 1) s += ",";
        s += Json(name) + ":" + value;
    };
    field("port", Json(r.Port));
    field("device", Json(r.Device));
    field("by_id", Json(r.ById));
    field("hex_file", Json(r.HexPath));
    field("hex_sha256", Json(r.HexSha256));
    field("start", Json(r.Start));
    field("end", Json(r.End));
    field("seconds", seconds);
    field("outcome", Json(r.Outcome));
    field("outcome_text", Json(r.OutcomeText));
    field("exit_status", std::to_string(r.ExitStatus));
    field("blocks", std::to_string(r.Blocks));
    field("bytes_on_line", std::to_string(r.BytesOnLine));
    field("exchanges", std::to_string(r.Exchanges));
    field("communication_errors", std::to_string(r.CommunicationErrors));
    field("last_serial_error", Json(r.LastSerialError));
    field("verification", Json(r.Verification));
    return s + "}";
}

}  // namespace qdfu
