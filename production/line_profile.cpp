// Reading, checking and writing line profiles (see line_profile.h).
#include "line_profile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "manual_commands.h"
#include "sha256.h"
#include "text_lines.h"

namespace qdfu {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// The line without its comment: from a ';' or '#' that starts it or follows a blank.
std::string_view WithoutComment(std::string_view line) {
    for (std::size_t i = 0; i < line.size(); ++i)
        if ((line[i] == ';' || line[i] == '#') && (i == 0 || IsBlank(line[i - 1])))
            return line.substr(0, i);
    return line;
}

// The keys each section takes.
const std::map<std::string, std::vector<std::string>, std::less<>>& Sections() {
    static const std::map<std::string, std::vector<std::string>, std::less<>> sections = {
        {"firmware", {"file", "sha256"}},
        {"line", {"ports", "labels", "station", "match", "verify", "retries", "skip_gaps", "gsm"}},
        {"serials", {"at", "format", "first"}},
        {"ledger", {"where"}},
        {"operator", {"required"}},
    };
    return sections;
}

struct Entry {
    std::string Value;
    int Line = 0;
};
// What a profile gives: section -> key -> value, and the line of each section's header.
struct Given {
    std::map<std::string, std::map<std::string, Entry>> Keys;
    std::map<std::string, int> SectionLine;
    const Entry* Find(const std::string& section, const std::string& key) const {
        const auto s = Keys.find(section);
        if (s == Keys.end()) return nullptr;
        const auto k = s->second.find(key);
        return k == s->second.end() ? nullptr : &k->second;
    }
};

ProfileProblem Invalid(int line, std::string cause) {
    return {ProfileStatus::Invalid, line, std::move(cause)};
}

std::vector<std::string> SplitList(std::string_view value) {
    std::vector<std::string> items;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = value.find(',', start);
        items.emplace_back(
            Trim(value.substr(start, comma == std::string_view::npos ? comma : comma - start)));
        if (comma == std::string_view::npos) return items;
        start = comma + 1;
    }
}

bool ParseBool(const std::string& text, bool& value) {
    if (text == "true") return value = true, true;
    if (text == "false") return value = false, true;
    return false;
}

// Decimal digits only, at most max.
bool ParseDecimal(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text.size() > 10) return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value <= max;
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Splits the text into sections and keys; an unknown or repeated one, or a line that is neither,
// is refused with its line.
ProfileProblem Collect(std::string_view text, Given& given) {
    if (text.size() > kMaxProfileBytes)
        return {ProfileStatus::Unreadable, 0,
                "too large for a profile (" + std::to_string(text.size()) + " bytes; at most " +
                    std::to_string(kMaxProfileBytes) + ")"};
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    std::string section;
    int number = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        for (const char c : line)
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F)
                return {ProfileStatus::Unreadable, number,
                        "a control character: this is no profile"};
        line = Trim(WithoutComment(line));
        if (line.empty()) continue;
        if (line.front() == '[') {
            if (line.back() != ']') return Invalid(number, "a section's name ends with ']'");
            section = std::string(Trim(line.substr(1, line.size() - 2)));
            if (Sections().find(section) == Sections().end())
                return Invalid(number, "unknown section [" + section +
                                           "] (firmware, line, serials, ledger, operator)");
            if (!given.SectionLine.emplace(section, number).second)
                return Invalid(number, "section [" + section + "] given twice");
            given.Keys[section];
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            return Invalid(number,
                           "the line is neither [section] nor key=value");  // (its text may hold a password)
        const std::string key(Trim(line.substr(0, eq)));
        if (section.empty()) return Invalid(number, "key '" + key + "' before any [section]");
        const auto& keys = Sections().find(section)->second;
        if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
            std::string known;
            for (const std::string& k : keys) known += (known.empty() ? "" : ", ") + k;
            return Invalid(number,
                           "unknown key '" + key + "' in [" + section + "] (" + known + ")");
        }
        auto& inSection = given.Keys[section];
        if (const auto before = inSection.find(key); before != inSection.end())
            return Invalid(number, "key '" + key + "' given twice in [" + section +
                                       "] (first on line " + std::to_string(before->second.Line) +
                                       ")");
        inSection[key] = {std::string(Trim(line.substr(eq + 1))), number};
    }
    return {};
}

// A value that ParseLineProfile reads back as it is.
bool Writable(const std::string& name, const std::string& value, bool inList, std::string& why) {
    const auto refuse = [&](const std::string& cause) {
        why = name + " cannot be written in a profile: " + cause;  // (the value may hold a password)
        return false;
    };
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F)
            return refuse("it holds a control character");
        if ((c == ';' || c == '#') && (i == 0 || IsBlank(value[i - 1])))
            return refuse("a ';' or '#' after a blank starts a comment");
        if (inList && c == ',') return refuse("a comma separates the list's items");
    }
    if (Trim(value) != value) return refuse("blanks at either end are dropped");
    if (inList && value.empty()) return refuse("an item of a list is never empty");
    return true;
}

std::string Joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
    return out;
}

}  // namespace

bool IsAbsolutePath(std::string_view path) {
    if (!path.empty() && (path[0] == '/' || path[0] == '\\')) return true;
    return path.size() >= 2 && path[1] == ':' &&
           ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

std::string LineProfile::FirmwarePath() const {
    if (Folder.empty() || IsAbsolutePath(Firmware)) return Firmware;
    return Folder + "/" + Firmware;
}

std::string LineProfile::LedgerWhere() const {
    if (Ledger.empty() || Folder.empty() || IsAbsolutePath(Ledger) ||
        Ledger.rfind("postgresql://", 0) == 0 || Ledger.rfind("postgres://", 0) == 0)
        return Ledger;
    return Folder + "/" + Ledger;
}

ProfileProblem ParseLineProfile(std::string_view text, const std::string& folder,
                                LineProfile& out) {
    Given given;
    if (ProfileProblem p = Collect(text, given); p.Status != ProfileStatus::Ok) return p;
    LineProfile pr;
    pr.Folder = folder;
    const auto sectionLine = [&](const std::string& s) {
        const auto it = given.SectionLine.find(s);
        return it == given.SectionLine.end() ? 0 : it->second;
    };
    const auto missing = [&](const std::string& section, const std::string& key,
                             const std::string& why) {
        return Invalid(sectionLine(section), "[" + section + "] " + key + "= is missing: " + why);
    };

    // [firmware]
    const Entry* file = given.Find("firmware", "file");
    if (!file || file->Value.empty()) return missing("firmware", "file", "the firmware to flash");
    pr.Firmware = file->Value;
    const Entry* sha = given.Find("firmware", "sha256");
    if (!sha || sha->Value.empty())
        return missing("firmware", "sha256", "the SHA-256 the firmware's bytes must have");
    if (sha->Value.size() != 64 || !std::all_of(sha->Value.begin(), sha->Value.end(), IsHexDigit))
        return Invalid(sha->Line, "sha256 '" + sha->Value + "' is not 64 hexadecimal digits");
    pr.Sha256 = sha->Value;
    std::transform(pr.Sha256.begin(), pr.Sha256.end(), pr.Sha256.begin(), [](char c) {
        return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
    });

    // [line]
    const auto boolean = [&](const Entry* e, const char* key, bool& value) -> ProfileProblem {
        if (e && !ParseBool(e->Value, value))
            return Invalid(e->Line,
                           std::string(key) + " '" + e->Value + "' is neither true nor false");
        return {};
    };
    const Entry* ports = given.Find("line", "ports");
    if (ports && ports->Value.empty())
        return Invalid(ports->Line, "ports= is empty: give the fixtures' ports, or station=true");
    if (ports) {
        pr.Ports = SplitList(ports->Value);
        if (std::any_of(pr.Ports.begin(), pr.Ports.end(),
                        [](const std::string& p) { return p.empty(); }))
            return Invalid(ports->Line, "ports '" + ports->Value + "' holds an empty port");
        // COM3 and com3 are one port; a device named twice would take two uploads at once
        std::vector<std::string> seen;
        for (const std::string& port : pr.Ports) {
            std::string key = port;
            if (key.size() > 3 && (key.rfind("COM", 0) == 0 || key.rfind("com", 0) == 0 || key.rfind("Com", 0) == 0))
                std::transform(key.begin(), key.begin() + 3, key.begin(), [](char c) { return static_cast<char>(c & ~0x20); });
            if (std::find(seen.begin(), seen.end(), key) != seen.end())
                return Invalid(ports->Line, "the port " + port + " is given twice: each fixture has its own port");
            seen.push_back(key);
        }
    }
    const Entry* station = given.Find("line", "station");
    if (ProfileProblem p = boolean(station, "station", pr.Station); p.Status != ProfileStatus::Ok)
        return p;
    if (ports && pr.Station)
        return Invalid(ports->Line,
                       "ports and station=true both given: a line has its ports or is a station");
    if (!ports && !pr.Station)
        return Invalid(station ? station->Line : sectionLine("line"),
                       "[line] needs ports= (the fixtures, in bench order) or station=true");
    if (const Entry* labels = given.Find("line", "labels")) {
        pr.Labels = SplitList(labels->Value);
        if (pr.Station) return Invalid(labels->Line, "labels name ports: a station has none");
        if (pr.Labels.size() != pr.Ports.size())
            return Invalid(labels->Line, std::to_string(pr.Labels.size()) + " labels for " +
                                             std::to_string(pr.Ports.size()) +
                                             " ports: give one per port");
        if (std::any_of(pr.Labels.begin(), pr.Labels.end(),
                        [](const std::string& l) { return l.empty(); }))
            return Invalid(labels->Line, "labels '" + labels->Value + "' holds an empty label");
    }
    if (const Entry* match = given.Find("line", "match")) {
        if (!pr.Station)
            return Invalid(match->Line,
                           "match chooses a station's adapters: it needs station=true");
        pr.Match = match->Value;
    }
    if (const Entry* verify = given.Find("line", "verify")) {
        if (verify->Value == "every4")
            pr.Verify = VerifyMode::EveryFourth;
        else if (verify->Value == "all")
            pr.Verify = VerifyMode::All;
        else if (verify->Value == "off")
            pr.Verify = VerifyMode::Off;
        else
            return Invalid(verify->Line,
                           "verify '" + verify->Value + "' is none of every4, all, off");
    }
    if (const Entry* retries = given.Find("line", "retries")) {
        uint64_t n = 0;
        if (!ParseDecimal(retries->Value, kMaxRetries, n))
            return Invalid(retries->Line, "retries '" + retries->Value +
                                              "' is not a whole number from 0 to " +
                                              std::to_string(kMaxRetries));
        pr.Retries = static_cast<int>(n);
    }
    if (ProfileProblem p = boolean(given.Find("line", "skip_gaps"), "skip_gaps", pr.SkipGaps);
        p.Status != ProfileStatus::Ok)
        return p;
    if (const Entry* gsm = given.Find("line", "gsm")) {
        if (pr.Station && !gsm->Value.empty())
            return Invalid(gsm->Line, "gsm dials through the modem on a port: a station has none");
        pr.Gsm = gsm->Value;
    }

    // [ledger]
    if (given.SectionLine.count("ledger")) {
        const Entry* where = given.Find("ledger", "where");
        if (!where || where->Value.empty())
            return missing("ledger", "where", "an SQLite file or postgresql://...");
        pr.Ledger = where->Value;
    }

    // [serials]
    if (given.SectionLine.count("serials")) {
        const Entry* at = given.Find("serials", "at");
        if (!at || at->Value.empty()) return missing("serials", "at", "the serial's address");
        if (at->Value.size() > 10 || !ParseTypedHex(at->Value, pr.SerialAtValue))
            return Invalid(at->Line, "at '" + at->Value + "' is not a hexadecimal address");
        pr.SerialAt = at->Value;
        if (const Entry* format = given.Find("serials", "format")) {
            if (format->Value == "le32")
                pr.Format = SerialFormat::Le32;
            else if (format->Value == "prog32")
                pr.Format = SerialFormat::Prog32;
            else
                return Invalid(format->Line,
                               "format '" + format->Value + "' is neither le32 nor prog32");
        }
        if (pr.Format == SerialFormat::Prog32 && pr.SerialAtValue % 4 != 0)
            return Invalid(at->Line, "at '" + at->Value +
                                         "' is no program word (prog32 needs a multiple of 4)");
        if (const Entry* first = given.Find("serials", "first")) {
            uint64_t n = 0;
            if (!ParseDecimal(first->Value, 0xFFFFFFFFu, n))
                return Invalid(first->Line, "first '" + first->Value +
                                                "' is not a whole number from 0 to 4294967295");
            pr.SerialFirst = static_cast<uint32_t>(n);
        }
        if (pr.Ledger.empty())
            return Invalid(sectionLine("serials"),
                           "[serials] needs [ledger] where=: the serial numbers come from it");
    }

    // [operator]
    if (ProfileProblem p =
            boolean(given.Find("operator", "required"), "required", pr.OperatorRequired);
        p.Status != ProfileStatus::Ok)
        return p;

    out = std::move(pr);
    return {};
}

ProfileProblem ReadLineProfile(const std::string& path, LineProfile& out) {
    // read no more than a profile can hold: a device or a huge file named by mistake is refused
    // after its first bytes, not read to the end
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return {errno == ENOENT ? ProfileStatus::NoSuchFile : ProfileStatus::Unreadable, 0,
                std::strerror(errno)};
    std::string text(kMaxProfileBytes + 1, '\0');
    const std::size_t n = std::fread(text.data(), 1, text.size(), file);
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) return {ProfileStatus::Unreadable, 0, std::strerror(error)};
    if (n > kMaxProfileBytes)
        return {ProfileStatus::Unreadable, 0,
                "larger than " + std::to_string(kMaxProfileBytes / 1024) + " KiB: no line profile"};
    text.resize(n);
    const std::size_t slash = path.find_last_of("/\\");
    return ParseLineProfile(text, slash == std::string::npos ? "" : path.substr(0, slash), out);
}

ProfileProblem CheckProfileFirmware(const LineProfile& profile, std::string* bytes) {
    const std::string path = profile.FirmwarePath();
    FileText file;
    if (!file.Open(path))
        return {ProfileStatus::FirmwareMissing, 0,
                "the firmware " + path + " cannot be read: " + std::strerror(errno)};
    const std::string actual = Sha256Hex(file.Text());
    if (actual != profile.Sha256)
        return {ProfileStatus::FirmwareChanged, 0,
                "the firmware " + path + " has changed: its bytes have SHA-256 " + actual +
                    ", the profile says " + profile.Sha256};
    if (bytes) bytes->assign(file.Text());
    return {};
}

std::string ProfileProblemText(const std::string& path, const ProfileProblem& problem) {
    std::string text = path;
    if (problem.Line > 0) text += ":" + std::to_string(problem.Line);
    text += ": " + problem.Cause;
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

bool WriteLineProfile(const LineProfile& p, std::string& text, std::string& why) {
    if (!Writable("the firmware", p.Firmware, false, why) ||
        !Writable("--match", p.Match, false, why) || !Writable("--gsm", p.Gsm, false, why) ||
        !Writable("--ledger", p.Ledger, false, why))
        return false;
    for (const std::string& port : p.Ports)
        if (!Writable("--port", port, true, why)) return false;
    for (const std::string& label : p.Labels)
        if (!Writable("--label", label, true, why)) return false;
    const char* verify = p.Verify == VerifyMode::All           ? "all"
                         : p.Verify == VerifyMode::EveryFourth ? "every4"
                                                               : "off";
    text =
        "; A production line's profile: quarnelix-dfu-cli upload --profile FILE (or station "
        "--profile FILE)\n";
    text += "[firmware]\nfile=" + p.Firmware + "\nsha256=" + p.Sha256 + "\n";
    // what is given is written, even where it conflicts: reading it back refuses the conflict
    text += "[line]\n";
    if (!p.Ports.empty() || !p.Station) text += "ports=" + Joined(p.Ports) + "\n";
    if (p.Station) text += "station=true\n";
    if (!p.Match.empty()) text += "match=" + p.Match + "\n";
    if (!p.Labels.empty()) text += "labels=" + Joined(p.Labels) + "\n";
    text += std::string("verify=") + verify + "\nretries=" + std::to_string(p.Retries) +
            "\nskip_gaps=" + (p.SkipGaps ? "true" : "false") + "\n";
    if (!p.Station || !p.Gsm.empty()) text += "gsm=" + p.Gsm + "\n";
    if (!p.SerialAt.empty()) {
        text += "[serials]\nat=" + p.SerialAt +
                "\nformat=" + (p.Format == SerialFormat::Prog32 ? "prog32" : "le32") + "\n";
        if (p.SerialFirst) text += "first=" + std::to_string(*p.SerialFirst) + "\n";
    }
    if (!p.Ledger.empty()) text += "[ledger]\nwhere=" + p.Ledger + "\n";
    text += std::string("[operator]\nrequired=") + (p.OperatorRequired ? "true" : "false") + "\n";
    return true;
}

}  // namespace qdfu
