// A production line made ready around its engine (see line_setup.h).
#include "line_setup.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli_platform.h"
#include "manual_commands.h"
#include "serial.h"
#include "sha256.h"
#include "tcp_address.h"
#include "text_lines.h"

namespace qdfu {

bool ChoosePort(const std::string& given, PortChoice& out, const std::string& device,
                const PortPaths& paths, std::string* why) {
    const auto refuse = [&](const std::string& text) {
        if (why) *why = text;
        return false;
    };
    const std::string notAPort =
        "--port: '" + given + "' is neither COMn, a device path, tcp://HOST:PORT nor usb:SERIAL";
    uint32_t n = 0;
    // usb:SERIAL names the present adapter with that USB serial number, whatever COM number it
    // has; two adapters that give the same one are named, never one of them taken
    std::string arg = given;
    if (device.empty() && arg.rfind("usb:", 0) == 0) {
        const std::string serial = arg.substr(4);
        std::vector<PresentPort> found;
        if (!serial.empty()) found = PortsWithUsbSerial(serial, paths);
        if (found.empty())
            return refuse("--port " + given +
                          ": no present USB adapter has that serial number ('quarnelix-dfu-cli "
                          "ports' lists them)");
        if (found.size() > 1) {
            std::string names;
            for (const PresentPort& p : found)
                names += (names.empty() ? "" : " and ") + p.Name + " (" + p.Device + ")";
            return refuse("--port " + given + ": " + std::to_string(found.size()) +
                          " adapters have that serial number: " + names +
                          "; name one by its COM number or device");
        }
        arg = found.front().Name;
    }
    if (device.empty() && IsTcpPort(arg)) {
        std::string host, tcpPort;
        if (!ParseTcpPort(arg, host, tcpPort)) return refuse(notAPort);
        out = {"COM0", 0, arg, arg};
    } else if (!device.empty()) {
        if (ParseComName(arg, n))
            out = {"COM" + std::to_string(n), n, device, ""};
        else
            out = {"COM0", 0, device, arg};
    } else if (ParseComName(arg, n)) {
        out = {"COM" + std::to_string(n), n, PortDevicePath(n, paths), ""};
    } else if (arg.find('/') != std::string::npos) {
        out = {"COM0", 0, arg, arg};
        const std::string resolved = CanonicalPath(arg);
        const std::string wanted = resolved.empty() ? arg : resolved;
        if (const auto present = ListPresentPorts(paths)) {
            for (const PresentPort& p : *present) {
                const std::string dev = CanonicalPath(PortDevicePath(p.Number, paths));
                if (!dev.empty() && wanted == dev) out = {p.Name, p.Number, arg, ""};
            }
        }
    } else {
        return refuse(notAPort);
    }
    const PortChoice chosen = out;
    SerialSetPortResolver([chosen, paths](uint32_t port) {
        return port == chosen.Number ? chosen.Device : PortDevicePath(port, paths);
    });
    return true;
}

bool CheckLinePorts(std::vector<std::string>& ports, const PortPaths& paths, std::string& why) {
    for (std::string& p : ports) {
        PortChoice check;
        if (!ChoosePort(p, check, {}, paths, &why)) return false;
        if (p.rfind("usb:", 0) == 0) p = check.Text;  // the child opens the adapter found now
    }
    if (const std::string twice = DuplicatePort(ports, paths); !twice.empty()) {
        why = "--port: " + twice + " names a device already given; each device takes one upload";
        return false;
    }
    return true;
}

bool PlaceSerial(HexLoadResult& r, uint32_t at, SerialFormat layout, uint32_t serial, std::string& why) {
    const std::vector<uint8_t> bytes = SerialImage(serial, layout);
    const int64_t end = std::min<int64_t>(r.ImageEnd, PROGRAM_MEMORY_END);
    if (r.ImageStart < 0 || at < static_cast<uint32_t>(r.ImageStart) ||
        int64_t{at} + static_cast<int64_t>(bytes.size()) > end) {
        why = "--serial-at " + HexDigits(at, 8) + ": the serial's " + std::to_string(bytes.size()) +
              " bytes must lie inside the image to upload (" +
              HexDigits(static_cast<uint32_t>(std::max(r.ImageStart, 0)), 8) + " to " +
              HexDigits(static_cast<uint32_t>(std::max<int64_t>(end, 0)), 8) + ")";
        return false;
    }
    const std::size_t offset = at - static_cast<uint32_t>(r.ImageStart);
    std::copy(bytes.begin(), bytes.end(), MemoryImage() + offset);
    std::fill(r.Given.begin() + static_cast<std::ptrdiff_t>(offset),
              r.Given.begin() + static_cast<std::ptrdiff_t>(offset + bytes.size()), 1);
    return true;
}

ProfileProblem CheckProfileSerialPlace(const LineProfile& profile) {
    if (profile.SerialAt.empty()) return {};
    FileText file;
    if (!file.Open(profile.FirmwarePath())) return {};
    HexLoadResult r = LoadHexText(file.Text(), MemoryImage(), false);
    std::string why;
    if (!r.Valid || PlaceSerial(r, profile.SerialAtValue, profile.Format, 0, why)) return {};
    return {ProfileStatus::Invalid, 0, "[serials] at" + why.substr(why.find(' '))};
}

void TakeLineProfile(const LineProfile& p, const std::string& profilePath, LinePlan& plan, ProductionOptions& line) {
    plan.HexPath = p.FirmwarePath();
    plan.ProfilePath = profilePath;
    plan.Sha256 = p.Sha256;
    plan.Ports = p.Ports;
    plan.Station = p.Station;
    plan.LedgerWhere = p.LedgerWhere();
    plan.SerialAt.reset();
    if (!p.SerialAt.empty()) plan.SerialAt = p.SerialAtValue;
    plan.Serials = p.Format;
    plan.SerialFirst = p.SerialFirst;
    plan.FirstOnlyForANewLedger = true;
    line.HexPath = plan.HexPath;
    line.Labels = p.Labels;
    line.Verify = p.Verify;
    line.Retries = p.Retries;
    line.SkipGaps = p.SkipGaps;
    line.GsmNumber = p.Gsm;
    line.Match = p.Match;
}

LineFirmware::~LineFirmware() {
    if (!firmware_.CopyPath.empty()) RemovePrivateTempFile(firmware_.CopyPath);
}

int LineFirmware::Prepare(const LinePlan& plan, std::string& text, std::string& why, std::vector<std::string>& notes) {
    const std::string& path = plan.HexPath;
    HexLoadResult r;
    {
        FileText file;
        if (!file.Open(path)) {
            if (errno == EFBIG) {
                why = path + ": Invalid HEX File (larger than " + std::to_string(kMaxTextFileBytes >> 20) + " MiB)";
                return kExitBadHex;
            }
            why = "cannot read " + path + ": " + std::strerror(errno);
            return kExitNoInput;
        }
        text.assign(file.Text());
    }
    r = LoadHexText(text, MemoryImage(), false);
    if (!r.Valid) {
        why = path + ": Invalid HEX File: " + r.FaultText;
        return kExitBadHex;
    }
    if (Damaged(r)) {
        if (!plan.IgnoreChecksums) {
            why = path + ": " + DamageText(r);
            hint_ = "(a file edited by hand, or known to be whole, loads with --ignore-checksums)";
            return kExitBadHex;
        }
        notes.push_back(path + ": warning: " + DamageText(r) + "; loaded all the same (--ignore-checksums)");
    }
    if (const std::string refusal = UploadRefusal(r); !refusal.empty()) {
        why = path + ": " + refusal;
        return kExitBadHex;
    }
    if (const std::string note = BootAreaNote(r); !note.empty()) notes.push_back(path + ": " + note);
    // the file may have changed since its profile was checked
    if (!plan.Sha256.empty() && Sha256Hex(text) != plan.Sha256) {
        why = plan.ProfilePath + ": the firmware " + path +
              " changed while it was read: its bytes no longer have the profile's SHA-256";
        return kExitBadHex;
    }
    // the serial's place is checked once here; each child places its own
    if (plan.SerialAt && !PlaceSerial(r, *plan.SerialAt, plan.Serials, 0, why)) return kExitUsage;
    firmware_.FullPath = CanonicalPath(path);
    if (firmware_.FullPath.empty()) firmware_.FullPath = path;
    firmware_.Sha256 = Sha256Hex(text);
    RemoveOrphanedPrivateCopies();
    std::string tempFolder;
    firmware_.CopyPath = WritePrivateTempFile(text, tempFolder);
    if (firmware_.CopyPath.empty()) {
        why = "cannot keep a private copy of the firmware in the temporary folder " + tempFolder + ": " +
              std::strerror(errno);
        return kExitCannotCreate;
    }
    return 0;
}

}  // namespace qdfu
