// The runs kept for a ledger (see pending_runs.h): FOLDER/pending-runs/LEDGER/START-KEY.json, a
// JSON object per file with every field of the run. LEDGER is the ledger's own name, or for a
// ledger older than names "path-" and a 64-bit FNV-1a hash of its absolute path (an SQLite file)
// or its URI (PostgreSQL); each file also holds the ledger's name without its password, for the
// person who looks.
#include "pending_runs.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

namespace qdfu {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

std::string PathText(const fs::path& p) {
    const std::u8string text = p.u8string();
    return std::string(text.begin(), text.end());
}

std::string Identity(const std::string& where) {
    if (IsPostgresLedger(where)) return where;
    std::error_code ec;
    const fs::path full = fs::weakly_canonical(fs::absolute(fs::u8path(where), ec), ec);
    return ec ? where : PathText(full);
}

std::string Hash64(const std::string& text) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (const unsigned char c : text) h = (h ^ c) * 0x100000001b3ull;
    char out[17];
    std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
    return out;
}

// Text as JSON takes it: a byte that is not UTF-8 as the character of the same value.
std::string Utf8(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        int more = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        bool valid = more >= 0 && i + static_cast<std::size_t>(more) < text.size() + (more == 0);
        for (int k = 1; valid && k <= more; ++k)
            valid = i + static_cast<std::size_t>(k) < text.size() &&
                    (static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]) & 0xC0) == 0x80;
        if (valid) {
            out.append(text, i, static_cast<std::size_t>(more) + 1);
            i += static_cast<std::size_t>(more);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

Json RunJson(const std::string& where, const LedgerRun& r) {
    return Json{{"ledger", Utf8(HidePassword(where, where))},
                {"key", r.Key},
                {"serial", r.Serial ? Json(*r.Serial) : Json(nullptr)},
                {"port", Utf8(r.Port)},
                {"device", Utf8(r.Device)},
                {"by_id", Utf8(r.ById)},
                {"station", Utf8(r.Station)},
                {"operator", Utf8(r.Operator)},
                {"work_order", Utf8(r.WorkOrder)},
                {"hex_file", Utf8(r.HexPath)},
                {"hex_sha256", Utf8(r.HexSha256)},
                {"outcome", Utf8(r.Outcome)},
                {"reason", Utf8(r.Reason)},
                {"blocks", r.Blocks},
                {"retries", r.Retries},
                {"start", Utf8(r.Start)},
                {"end", Utf8(r.End)}};
}

bool RunFromJson(const Json& j, LedgerRun& r) {
    if (!j.is_object() || !j.contains("key") || !j["key"].is_string() || j["key"].get<std::string>().empty())
        return false;
    const auto text = [&](const char* name) {
        return j.contains(name) && j[name].is_string() ? j[name].get<std::string>() : std::string();
    };
    const auto number = [&](const char* name) {
        return j.contains(name) && j[name].is_number_unsigned() ? j[name].get<uint32_t>() : 0u;
    };
    r.Key = text("key");
    if (j.contains("serial") && j["serial"].is_number_unsigned()) r.Serial = j["serial"].get<uint32_t>();
    r.Port = text("port"), r.Device = text("device"), r.ById = text("by_id"), r.Station = text("station");
    r.Operator = text("operator"), r.WorkOrder = text("work_order"), r.HexPath = text("hex_file");
    r.HexSha256 = text("hex_sha256"), r.Outcome = text("outcome"), r.Reason = text("reason");
    r.Blocks = number("blocks"), r.Retries = number("retries"), r.Start = text("start"), r.End = text("end");
    return true;
}

// A name of the run's file that sorts by its start: 20261209T080000Z-KEY.json.
std::string FileName(const LedgerRun& r) {
    std::string start;
    for (const char c : r.Start)
        if (std::isalnum(static_cast<unsigned char>(c))) start += c;
    std::string key;
    for (const char c : r.Key)
        if (std::isalnum(static_cast<unsigned char>(c))) key += c;
    return (start.empty() ? "0" : start) + "-" + key + ".json";
}

std::vector<fs::path> KeptFiles(const std::string& folder) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::directory_iterator it(fs::u8path(folder), ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".json") files.push_back(it->path());
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

std::string PendingRuns::LedgerKey(const Ledger& ledger, const std::string& where) {
    const std::string id = ledger.Id();
    std::string safe;
    for (const char c : id)
        if (std::isalnum(static_cast<unsigned char>(c))) safe += c;
    return safe.empty() ? "path-" + Hash64(Identity(where)) : safe;
}

std::string PendingRuns::FolderOf(const std::string& ledgerKey) const {
    return folder_ + "/pending-runs/" + ledgerKey;
}

bool PendingRuns::Keep(const std::string& ledgerKey, const std::string& where, LedgerRun& run,
                       std::string& why) const {
    if (run.Key.empty()) run.Key = NewRunKey();
    const std::string folder = FolderOf(ledgerKey);
    std::error_code ec;
    fs::create_directories(fs::u8path(folder), ec);
    const fs::path file = fs::u8path(folder + "/" + FileName(run));
    const fs::path aside = fs::u8path(folder + "/" + FileName(run) + ".part");
    {
        std::ofstream out(aside, std::ios::binary | std::ios::trunc);
        out << RunJson(where, run).dump() << "\n";
        out.flush();
        if (!out) {
            out.close();
            fs::remove(aside, ec);
            why = "cannot keep the run in " + folder + ": it could not be written";
            return false;
        }
    }
    fs::rename(aside, file, ec);
    if (ec) {
        fs::remove(aside, ec);
        why = "cannot keep the run in " + folder + ": " + ec.message();
        return false;
    }
    return true;
}

void PendingRuns::Forget(const std::string& ledgerKey, const std::string& key) const {
    std::error_code ec;
    for (const fs::path& file : KeptFiles(FolderOf(ledgerKey))) {
        const std::string stem = PathText(file.stem());
        if (stem.size() >= key.size() && stem.compare(stem.size() - key.size(), key.size(), key) == 0)
            fs::remove(file, ec);
    }
}

std::size_t PendingRuns::Count(const std::string& ledgerKey) const { return KeptFiles(FolderOf(ledgerKey)).size(); }

bool PendingRuns::RecordInto(const std::string& ledgerKey, Ledger& ledger, std::size_t& recorded,
                             std::string& why, const std::set<std::string>& skip) const {
    recorded = 0;
    std::vector<std::string> unreadable;
    for (const fs::path& file : KeptFiles(FolderOf(ledgerKey))) {
        std::ifstream in(file, std::ios::binary);
        if (!in) continue;  // recorded and removed by another program meanwhile
        std::stringstream text;
        text << in.rdbuf();
        in.close();  // (Windows removes no file that is open)
        LedgerRun run;
        const Json j = Json::parse(text.str(), nullptr, false);
        if (j.is_discarded() || !RunFromJson(j, run)) {
            unreadable.push_back(PathText(file));
            continue;
        }
        if (skip.count(run.Key)) continue;
        if (!ledger.Record(run, why)) return false;
        std::error_code ec;
        if (fs::remove(file, ec)) ++recorded;  // else another program recorded it too, and removed it first
    }
    if (unreadable.empty()) return true;
    why = "a kept run that cannot be read was left as it is: " + unreadable.front();
    return false;
}

}  // namespace qdfu
