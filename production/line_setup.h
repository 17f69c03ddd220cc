// A production line made ready around its engine. The command line's upload and station and the
// operator window prepare their lines here and keep only their options and their screens: the
// ports named as a user names them, a line profile's settings taken into the engine's options,
// the firmware read once (checked for upload and, from a profile, against its SHA-256) and copied
// where every child flashes it from, the serial's place checked. Nothing here prints or exits:
// refusals come back as exit statuses with their causes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hex_loader.h"
#include "line_profile.h"
#include "ports.h"
#include "production.h"

namespace qdfu {

// The exit statuses of a run refused before it started (sysexits).
inline constexpr int kExitUsage = 64;
inline constexpr int kExitBadHex = 65;
inline constexpr int kExitNoInput = 66;

struct PortChoice {
    std::string Text;  // "COMn" as the upload reads it
    uint32_t Number = 0;
    std::string Device;
    std::string Label;  // what the log calls the port: "" for COMn, else the device path given
};

// PORT is "COMn" (any case), a device path, tcp://HOST:PORT or usb:SERIAL (the one present adapter
// with that USB serial number); the serial driver then resolves the chosen number to its device in
// paths. With device given (a production line's child), PORT only names the port in the log and
// device is opened as it is: nothing is resolved again. False, with the cause in why when given.
bool ChoosePort(const std::string& given, PortChoice& out, const std::string& device = {},
                const PortPaths& paths = DefaultPortPaths(), std::string* why = nullptr);

// The ports of a several-port line checked as ChoosePort takes them, each usb:SERIAL replaced by
// the adapter it names now (the child opens what was found here), no device named twice. False
// with why.
bool CheckLinePorts(std::vector<std::string>& ports, const PortPaths& paths, std::string& why);

// Puts serial's bytes at `at` in the process image (in place of the file's placeholder) and marks
// them as given, so that even a walk that skips gaps writes them. False with why when they do not
// lie inside the image to upload.
bool PlaceSerial(HexLoadResult& r, uint32_t at, SerialFormat layout, uint32_t serial, std::string& why);

// Whether the profile's serial place lies inside the image its firmware uploads (Ok for a profile
// without serials, or whose firmware cannot be loaded: CheckProfileFirmware says why). Loads the
// firmware into the process image.
ProfileProblem CheckProfileSerialPlace(const LineProfile& profile);

// What a line runs besides the engine's options.
struct LinePlan {
    std::string HexPath;
    std::string ProfilePath;  // the profile it came from ("" for none): named in refusals
    std::string Sha256;       // a profile's: the bytes read must have it ("" for no check)
    std::vector<std::string> Ports;  // in bench order; none for a station
    bool Station = false;
    bool IgnoreChecksums = false;
    // The ledger ("" for none), the serial's place (none: no serials) and the first serial.
    std::string LedgerWhere;
    std::optional<uint32_t> SerialAt;
    SerialFormat Serials = SerialFormat::Le32;
    std::optional<uint32_t> SerialFirst;
    bool FirstOnlyForANewLedger = false;
};

// The profile's settings: into plan and the engine's options (its file, ports or station, labels,
// verification, retries, gaps, modem, serials, ledger). Every later run of the line goes on from
// the ledger: first= only starts a new one.
void TakeLineProfile(const LineProfile& profile, const std::string& profilePath, LinePlan& plan,
                     ProductionOptions& line);

// The firmware of a line, read once: the engine's children flash these very bytes from a private
// copy, whatever happens to the file meanwhile. The copy is removed when this ends.
class LineFirmware {
public:
    LineFirmware() = default;
    ~LineFirmware();
    LineFirmware(const LineFirmware&) = delete;
    LineFirmware& operator=(const LineFirmware&) = delete;

    // Reads and checks plan's file: 0, or 66 (cannot be read), 65 (no HEX file that can be
    // uploaded; bytes that differ from the profile's SHA-256), 64 (the serial's place outside the
    // image), 73 (no private copy) with why. text receives the bytes read, notes what is worth
    // saying that refuses nothing (checksums ignored, bytes below the bootloader's area).
    int Prepare(const LinePlan& plan, std::string& text, std::string& why, std::vector<std::string>& notes);
    const Firmware& Get() const { return firmware_; }
    // What to do about the last refusal, when there is something ("" otherwise).
    const std::string& Hint() const { return hint_; }

private:
    Firmware firmware_;
    std::string hint_;
};

}  // namespace qdfu
