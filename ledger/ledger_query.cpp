// Times, groups, yields and the text forms of the ledger's runs (see ledger_query.h). Local times
// go through the C library's mktime and localtime, which every platform has.
#include "ledger_query.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <random>
#include <string_view>

namespace qdfu {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
}

bool LeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysIn(int y, unsigned m) {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && LeapYear(y) ? 29 : days[m - 1];
}

std::string UtcText(int64_t seconds) {
    const int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    const int64_t rest = seconds - days * 86400;
    int y = 0;
    unsigned m = 0, d = 0;
    CivilFromDays(days, y, m, d);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", y, m, d, static_cast<int>(rest / 3600),
                  static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
    return text;
}

// Reads exactly n digits at p (advanced past them).
bool Digits(const std::string& s, std::size_t& p, int n, int& value) {
    value = 0;
    for (int k = 0; k < n; ++k, ++p) {
        if (p >= s.size() || !std::isdigit(static_cast<unsigned char>(s[p]))) return false;
        value = value * 10 + (s[p] - '0');
    }
    return true;
}

std::mutex& LocalTimeLock() {  // mktime and localtime share the C library's state
    static std::mutex lock;
    return lock;
}

// Seconds since the epoch of a local wall time (as mktime takes it, daylight saving time guessed
// where the clock shows the time twice). False for a time the local clock skips (the hour a change
// to daylight saving time leaves out), which mktime would move rather than refuse.
bool LocalSeconds(int y, int mo, int d, int h, int mi, int s, int64_t& seconds) {
    std::tm t{};
    t.tm_year = y - 1900, t.tm_mon = mo - 1, t.tm_mday = d, t.tm_hour = h, t.tm_min = mi, t.tm_sec = s;
    t.tm_isdst = -1;
    const std::lock_guard<std::mutex> hold(LocalTimeLock());
    const std::time_t at = std::mktime(&t);
    if (at == static_cast<std::time_t>(-1)) return false;
    if (t.tm_mday != d || t.tm_hour != h || t.tm_min != mi) return false;
    seconds = static_cast<int64_t>(at);
    return true;
}

}  // namespace

bool ParseLedgerTime(const std::string& text, bool endOfDay, std::string& utc, std::string& why) {
    const auto refuse = [&] {
        why = "'" + text +
              "' is not a date or time (2026-12-09, 2026-12-09T08:00:00Z, 2026-12-09T08:00:00+01:00)";
        return false;
    };
    std::size_t p = 0;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (!Digits(text, p, 4, y) || p >= text.size() || text[p++] != '-' || !Digits(text, p, 2, mo) ||
        p >= text.size() || text[p++] != '-' || !Digits(text, p, 2, d))
        return refuse();
    if (mo < 1 || mo > 12 || d < 1 || static_cast<unsigned>(d) > DaysIn(y, static_cast<unsigned>(mo)))
        return refuse();
    const bool dateOnly = p == text.size();
    if (dateOnly && endOfDay) h = 23, mi = 59, s = 59;
    if (!dateOnly) {
        if (text[p] != 'T' && text[p] != 't' && text[p] != ' ') return refuse();
        ++p;
        if (!Digits(text, p, 2, h) || p >= text.size() || text[p++] != ':' || !Digits(text, p, 2, mi)) return refuse();
        if (p < text.size() && text[p] == ':') {
            ++p;
            if (!Digits(text, p, 2, s)) return refuse();
            if (p < text.size() && (text[p] == '.' || text[p] == ',')) {
                ++p;
                const std::size_t from = p;
                while (p < text.size() && std::isdigit(static_cast<unsigned char>(text[p]))) ++p;
                if (p == from) return refuse();
            }
        }
        if (h > 23 || mi > 59 || s > 59) return refuse();
    }
    int64_t seconds = 0;
    if (p == text.size()) {  // no zone: the local time
        // a day whose midnight the clock skips (daylight saving time at 00:00) starts at its first
        // hour that exists; one whose last second it skips ends at its last
        if (dateOnly)
            while (!LocalSeconds(y, mo, d, h, mi, s, seconds) && (endOfDay ? h-- > 0 : ++h < 24)) {
            }
        if (!LocalSeconds(y, mo, d, h, mi, s, seconds)) {
            why = "'" + text + "' is no time of the local clock (a change to daylight saving time skips it)";
            return false;
        }
    } else {
        int offset = 0;
        if (text[p] == 'Z' || text[p] == 'z') {
            ++p;
        } else if (text[p] == '+' || text[p] == '-') {
            const int sign = text[p++] == '-' ? -1 : 1;
            int oh = 0, om = 0;
            if (!Digits(text, p, 2, oh)) return refuse();
            // +01, +0100 or +01:00 (a colon is followed by the minutes)
            if (p < text.size() && text[p] == ':' && (++p, !Digits(text, p, 2, om))) return refuse();
            if (p < text.size() && !Digits(text, p, 2, om)) return refuse();
            if (oh > 23 || om > 59) return refuse();
            offset = sign * (oh * 3600 + om * 60);
        } else {
            return refuse();
        }
        if (p != text.size()) return refuse();
        seconds = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 + h * 3600 + mi * 60 + s -
                  offset;
    }
    utc = UtcText(seconds);
    return true;
}

std::string LocalDay(const std::string& utc) {
    std::size_t p = 0;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (!Digits(utc, p, 4, y) || ++p > utc.size() || !Digits(utc, p, 2, mo) || ++p > utc.size() ||
        !Digits(utc, p, 2, d) || ++p > utc.size() || !Digits(utc, p, 2, h) || ++p > utc.size() ||
        !Digits(utc, p, 2, mi) || ++p > utc.size() || !Digits(utc, p, 2, s) || mo < 1 || mo > 12 || d < 1 || d > 31)
        return "";
    const std::time_t at = static_cast<std::time_t>(
        DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 + h * 3600 + mi * 60 + s);
    const std::lock_guard<std::mutex> hold(LocalTimeLock());
    const std::tm* local = std::localtime(&at);
    if (!local) return "";
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", local->tm_year + 1900, local->tm_mon + 1, local->tm_mday);
    return text;
}

std::string ReasonCause(const std::string& reason) {
    std::string out;
    for (std::size_t i = 0; i < reason.size();) {
        const bool hex = reason.compare(i, 2, "0x") == 0 && i + 2 < reason.size() &&
                         std::isxdigit(static_cast<unsigned char>(reason[i + 2]));
        if (!hex) {
            out += reason[i++];
            continue;
        }
        i += 2;
        while (i < reason.size() && std::isxdigit(static_cast<unsigned char>(reason[i]))) ++i;
        // "write at 0x…: …" reads as "write: …"
        while (!out.empty() && out.back() == ' ') out.pop_back();
        if (out.size() >= 3 && out.compare(out.size() - 3, 3, " at") == 0) out.resize(out.size() - 3);
        else if (out == "at") out.clear();
    }
    return out;
}

std::string NewRunKey() {
    static std::mutex lock;
    static std::mt19937_64 bits{[] {
        std::random_device seed;
        std::seed_seq seq{seed(), seed(), seed(), seed(),
                          static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count())};
        return std::mt19937_64(seq);
    }()};
    const std::lock_guard<std::mutex> hold(lock);
    char text[33];
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(bits()),
                  static_cast<unsigned long long>(bits()));
    return text;
}

std::optional<StatsBy> StatsByFromName(const std::string& name) {
    static const std::pair<const char*, StatsBy> names[] = {
        {"day", StatsBy::Day},           {"station", StatsBy::Station}, {"operator", StatsBy::Operator},
        {"work-order", StatsBy::WorkOrder}, {"file", StatsBy::File},     {"reason", StatsBy::Reason}};
    for (const auto& [text, by] : names)
        if (name == text) return by;
    return std::nullopt;
}

std::vector<StatsRow> LedgerStats(const std::vector<LedgerRun>& runs, StatsBy by) {
    std::map<std::string, StatsRow> groups;
    for (const LedgerRun& r : runs) {
        std::string group;
        switch (by) {
        case StatsBy::Day: group = LocalDay(r.Start); break;
        case StatsBy::Station: group = r.Station; break;
        case StatsBy::Operator: group = r.Operator; break;
        case StatsBy::WorkOrder: group = r.WorkOrder; break;
        case StatsBy::File: group = r.HexPath; break;
        case StatsBy::Reason:
            if (r.Reason.empty()) continue;
            group = ReasonCause(r.Reason);
            break;
        }
        StatsRow& row = groups[group];
        row.Group = group;
        ++row.Runs;
        if (r.Outcome == "completed") ++row.Completed;
        else if (r.Outcome == "failed") ++row.Failed;
        else ++row.NotDone;
    }
    std::vector<StatsRow> rows;
    for (auto& [group, row] : groups) {
        if (row.Completed + row.Failed > 0)
            row.Yield = static_cast<double>(row.Completed) / static_cast<double>(row.Completed + row.Failed);
        rows.push_back(row);
    }
    if (by == StatsBy::Reason)
        std::stable_sort(rows.begin(), rows.end(), [](const StatsRow& a, const StatsRow& b) { return a.Runs > b.Runs; });
    return rows;
}

std::vector<RunField> StatsFields(StatsBy by) {
    switch (by) {
        case StatsBy::Day:
            return {RunField::Outcome, RunField::Start};
        case StatsBy::Station:
            return {RunField::Outcome, RunField::Station};
        case StatsBy::Operator:
            return {RunField::Outcome, RunField::Operator};
        case StatsBy::WorkOrder:
            return {RunField::Outcome, RunField::WorkOrder};
        case StatsBy::File:
            return {RunField::Outcome, RunField::HexPath};
        case StatsBy::Reason:
            break;
    }
    return {RunField::Outcome, RunField::Reason};
}

std::vector<std::string> RunFieldNames() {
    return {"serial", "port",    "device", "by_id",   "station", "operator", "work_order", "hex_file",
            "hex_sha256", "outcome", "reason", "blocks", "retries", "start",    "end"};
}

std::vector<std::string> RunFieldValues(const LedgerRun& r) {
    return {r.Serial ? std::to_string(*r.Serial) : "",
            r.Port,
            r.Device,
            r.ById,
            r.Station,
            r.Operator,
            r.WorkOrder,
            r.HexPath,
            r.HexSha256,
            r.Outcome,
            r.Reason,
            std::to_string(r.Blocks),
            std::to_string(r.Retries),
            r.Start,
            r.End};
}

std::vector<std::string> StatsFieldNames() { return {"group", "runs", "completed", "failed", "not_done", "yield"}; }

std::vector<std::string> StatsFieldValues(const StatsRow& row) {
    std::string yield;
    if (row.Yield) {
        char text[32];
        std::snprintf(text, sizeof text, "%.4f", *row.Yield);
        yield = text;
    }
    return {row.Group, std::to_string(row.Runs), std::to_string(row.Completed), std::to_string(row.Failed),
            std::to_string(row.NotDone), yield};
}

std::string CsvRecord(const std::vector<std::string>& fields) {
    std::string out;
    for (std::size_t k = 0; k < fields.size(); ++k) {
        // A spreadsheet takes a cell that starts with = + - @ (or a tab or CR) for a formula: text
        // such as an operator's scan is kept as text by a leading apostrophe. Numbers stay numbers.
        std::string f = fields[k];
        const bool number = !f.empty() && f.find_first_not_of("0123456789.-") == std::string::npos &&
                            f.find_first_of("0123456789") != std::string::npos;
        if (!f.empty() && std::string_view("=+-@\t\r").find(f[0]) != std::string_view::npos && !number)
            f.insert(0, 1, '\'');
        if (k > 0) out += ',';
        if (f.find_first_of(",\"\r\n") == std::string::npos) {
            out += f;
            continue;
        }
        out += '"';
        for (const char c : f) {
            if (c == '"') out += '"';
            out += c;
        }
        out += '"';
    }
    return out + "\r\n";
}

std::string TableText(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows) {
    // characters as a terminal counts them: UTF-8 continuation bytes take no column
    const auto width = [](const std::string& s) {
        std::size_t n = 0;
        for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        return n;
    };
    // C0 controls, DEL and the C1 controls (U+0080 to U+009F, which a stray byte read as Latin-1
    // becomes, and some of which a terminal obeys) each shown as one space
    const auto clean = [](const std::string& s) {
        std::string out;
        for (std::size_t i = 0; i < s.size(); ++i) {
            const auto c = static_cast<unsigned char>(s[i]);
            if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
                static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
                out += ' ';
                ++i;
            } else {
                out += c < 0x20 || c == 0x7F ? ' ' : s[i];
            }
        }
        return out;
    };
    std::vector<std::size_t> widths(header.size(), 0);
    const auto measure = [&](const std::vector<std::string>& row) {
        for (std::size_t k = 0; k < row.size() && k < widths.size(); ++k)
            widths[k] = std::max(widths[k], width(clean(row[k])));
    };
    measure(header);
    for (const auto& row : rows) measure(row);
    std::string out;
    const auto line = [&](const std::vector<std::string>& row) {
        std::string text;
        for (std::size_t k = 0; k < widths.size(); ++k) {
            const std::string cell = k < row.size() ? clean(row[k]) : "";
            text += cell;
            if (k + 1 < widths.size()) text += std::string(widths[k] - width(cell) + 2, ' ');
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out += text + "\n";
    };
    line(header);
    for (const auto& row : rows) line(row);
    return out;
}

}  // namespace qdfu
