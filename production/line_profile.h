// Line profiles: one INI file that holds everything a production line needs (the firmware and its
// SHA-256, the ports or station mode, verification, retries, serials, ledger, whether an operator
// must be named), so that nobody types an option at the line. The command line and the window read
// them through this code; it only reads, checks and writes text, and never prints or exits.
//
// The format: [section] lines, key=value lines, blank lines and comments. A comment starts with ';'
// or '#' at the start of a line (after blanks) or after a blank inside a value ("a ;b" is "a",
// "a;b" stays). Blanks around keys, '=' and values are dropped; CR LF line ends and a UTF-8 byte
// order mark are taken. Every key is known and given at most once; anything else is refused with
// its line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ledger.h"
#include "production.h"

namespace qdfu {

// The most reconnections --retries and a profile's retries take.
inline constexpr int kMaxRetries = 100;
// A profile is a few hundred bytes; a larger file is no profile.
inline constexpr std::size_t kMaxProfileBytes = 64 * 1024;

struct LineProfile {
    std::string Folder;  // the profile's folder ("" for the current one): relative paths start here
    std::string Firmware;             // [firmware] file, as written
    std::string Sha256;               // [firmware] sha256, 64 lower-case hex digits
    std::vector<std::string> Ports;   // [line] ports, in bench order; empty for a station
    std::vector<std::string> Labels;  // [line] labels: none, or one per port
    bool Station = false;
    std::string Match;  // station only
    VerifyMode Verify = VerifyMode::Off;
    int Retries = 0;
    bool SkipGaps = false;
    std::string Gsm;  // "" for a direct line
    // [serials]: the serial's address as written ("" without the section), its layout, and the
    // first serial of a new ledger
    std::string SerialAt;
    uint32_t SerialAtValue = 0;
    SerialFormat Format = SerialFormat::Le32;
    std::optional<uint32_t> SerialFirst;
    std::string Ledger;  // [ledger] where, as written ("" for none)
    bool OperatorRequired = false;

    // The firmware file and the ledger as this process opens them: a relative file is taken from
    // the profile's folder, a PostgreSQL URI as it is.
    std::string FirmwarePath() const;
    std::string LedgerWhere() const;
};

enum class ProfileStatus {
    Ok,
    NoSuchFile,       // the profile does not exist
    Unreadable,       // it exists but cannot be read, or is no text
    Invalid,          // an unknown section or key, a key given twice, a bad or missing value
    FirmwareMissing,  // the firmware file cannot be read
    FirmwareChanged,  // its bytes do not have the profile's SHA-256
};

// Why a profile was refused: Line is 1-based, 0 when the cause is no one line's.
struct ProfileProblem {
    ProfileStatus Status = ProfileStatus::Ok;
    int Line = 0;
    std::string Cause;
};

// Reads a profile's text; folder becomes the profile's Folder. Ok, or the first problem met.
ProfileProblem ParseLineProfile(std::string_view text, const std::string& folder, LineProfile& out);
// Reads the profile file at path (its folder is path's).
ProfileProblem ReadLineProfile(const std::string& path, LineProfile& out);
// Reads the profile's firmware and checks its bytes against the SHA-256; bytes, when given,
// receives them.
ProfileProblem CheckProfileFirmware(const LineProfile& profile, std::string* bytes = nullptr);
// "PATH:LINE: CAUSE" (or "PATH: CAUSE" without a line), on one line.
std::string ProfileProblemText(const std::string& path, const ProfileProblem& problem);

// The profile's text, which ParseLineProfile reads back to the same profile. False with why when a
// value cannot be written so (a line end, a comment sign after a blank, blanks at either end, a
// comma in a port or label).
bool WriteLineProfile(const LineProfile& profile, std::string& text, std::string& why);

// A path that does not depend on the current folder: /..., \..., or a drive letter's.
bool IsAbsolutePath(std::string_view path);

}  // namespace qdfu
