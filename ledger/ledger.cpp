// Choosing the database of a ledger, and keeping a PostgreSQL URI's password out of what is said.
#include "ledger.h"

#include <algorithm>
#include <string_view>

namespace qdfu {
namespace {

// %XY sequences decoded; a bad one stays as it is.
std::string PercentDecoded(const std::string& text) {
    const auto digit = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && digit(text[i + 1]) >= 0 &&
            digit(text[i + 2]) >= 0) {
            out += static_cast<char>(digit(text[i + 1]) * 16 + digit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

void ReplaceAll(std::string& text, const std::string& what, const std::string& with) {
    if (what.empty()) return;
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
}

}  // namespace

bool IsPostgresLedger(const std::string& where) {
    return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Ledger> OpenLedger(const std::string& where, std::string& why, LedgerAccess access) {
    if (IsPostgresLedger(where)) {
        auto ledger = OpenPostgresLedger(where, why, access);
        why = HidePassword(why, where);
        return ledger;
    }
    return OpenSqliteLedger(where, why, access);
}

std::string HidePassword(const std::string& text, const std::string& where) {
    std::vector<std::string> secrets;
    // userinfo ends at the first '@' before any '/', as libpq reads it
    if (const std::size_t scheme = where.find("://"); scheme != std::string::npos) {
        const std::size_t from = scheme + 3, at = where.find_first_of("@/", from);
        if (at != std::string::npos && where[at] == '@') {
            const std::size_t colon = where.find(':', from);
            if (colon != std::string::npos && colon < at)
                secrets.push_back(where.substr(colon + 1, at - colon - 1));
        }
    }
    for (std::size_t p = where.find("password="); p != std::string::npos;
         p = where.find("password=", p + 1)) {
        if (p > 0 && where[p - 1] != '?' && where[p - 1] != '&' && where[p - 1] != ' ') continue;
        const std::size_t from = p + 9, end = where.find_first_of("& ", from);
        secrets.push_back(
            where.substr(from, end == std::string::npos ? std::string::npos : end - from));
    }
    // A password with an unescaped '@', '/' or '&' is read by libpq as part of the host, the port
    // or another parameter, and its pieces come back quoted in libpq's words: everything up to the
    // last '@' is taken for the password, and with any password given, its pieces of three
    // characters or more and every quoted value of a message are hidden too.
    if (const std::size_t scheme = where.find("://"); scheme != std::string::npos) {
        const std::size_t from = scheme + 3, at = where.rfind('@');
        const std::size_t colon = where.find(':', from);
        if (at != std::string::npos && at > from && colon != std::string::npos && colon < at)
            secrets.push_back(where.substr(colon + 1, at - colon - 1));
    }
    if (const std::size_t p = where.find("password="); p != std::string::npos)
        secrets.push_back(where.substr(p + 9));
    std::vector<std::string> pieces;
    for (const std::string& secret : secrets) {
        std::size_t begin = 0;
        for (std::size_t k = 0; k <= secret.size(); ++k) {
            if (k < secret.size() && std::string_view("@/&?:=#").find(secret[k]) == std::string_view::npos) continue;
            if (k - begin >= 3) pieces.push_back(secret.substr(begin, k - begin));
            begin = k + 1;
        }
    }
    std::erase_if(secrets, [](const std::string& secret) { return secret.empty(); });
    // the longest first, so that a piece never leaves part of a longer secret behind
    secrets.insert(secrets.end(), pieces.begin(), pieces.end());
    std::sort(secrets.begin(), secrets.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    std::string out = text;
    for (const std::string& secret : secrets) {
        ReplaceAll(out, secret, "***");
        ReplaceAll(out, PercentDecoded(secret), "***");
    }
    if (!secrets.empty()) {
        std::string masked;
        bool quoted = false;
        for (const char c : out) {
            if (c == '"') {
                masked += quoted ? "***\"" : "\"";
                quoted = !quoted;
            } else if (!quoted) {
                masked += c;
            }
        }
        if (quoted) masked += "***";
        out = masked;
    }
    return out;
}

}  // namespace qdfu
