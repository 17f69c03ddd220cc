// Resume points as small text files: one "key value" line per field; a key that is not there keeps
// its default, so a point written before the serial's lines existed reads as one without a serial.
#include "resume_point.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "settings.h"
#include "sha256.h"
#include "upload.h"

namespace qdfu {
namespace {

constexpr char kHeader[] = "quarnelix-dfu resume point 1";

// The file of a target: its name made safe for a file name, and a fingerprint that keeps two
// targets whose safe names agree apart.
std::string FileFor(const std::string& folder, const std::string& target) {
    std::string safe;
    for (char c : target) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '-';
        safe += plain ? c : '_';
    }
    if (safe.size() > 64) safe.erase(0, safe.size() - 64);
    return folder + "/resume-" + safe + "-" + Sha256Hex(target).substr(0, 8) + ".txt";
}

}  // namespace

std::string DefaultResumeFolder() { return DefaultStateHome() + "/quarnelix-dfu"; }

std::string ResumeTarget(const std::string& device, const std::string& dialNumber) {
    return dialNumber.empty() ? device : "tel:" + dialNumber;
}

bool SaveResumePoint(const std::string& folder, const ResumePoint& p) {
    if (!MakeDirectories(folder)) return false;
    const std::string path = FileFor(folder, p.Target), part = path + ".part";
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        out << kHeader << "\n"
            << "target " << p.Target << "\n"
            << "image_sha256 " << p.ImageSha256 << "\n"
            << "page " << p.Page << "\n"
            << "verify_every " << p.VerifyEvery << "\n"
            << "skip_gaps " << (p.SkipGaps ? 1 : 0) << "\n";
        if (p.Serial)
            out << "serial " << *p.Serial << "\n"
                << "serial_at " << p.SerialAt << "\n"
                << "serial_format " << p.SerialFormat << "\n";
        out.close();
        if (!out) {
            std::remove(part.c_str());
            return false;
        }
    }
    if (MoveIntoPlace(part, path)) return true;
    std::remove(part.c_str());
    return false;
}

std::optional<ResumePoint> LoadResumePoint(const std::string& folder, const std::string& target) {
    std::ifstream in(FileFor(folder, target), std::ios::binary);
    std::string line;
    if (!std::getline(in, line) || line != kHeader) return std::nullopt;
    ResumePoint p;
    bool page = false;
    while (std::getline(in, line)) {
        const std::size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        const std::string key = line.substr(0, space), value = line.substr(space + 1);
        try {
            if (key == "target") p.Target = value;
            if (key == "image_sha256") p.ImageSha256 = value;
            if (key == "page") p.Page = static_cast<uint32_t>(std::stoul(value)), page = true;
            if (key == "verify_every") p.VerifyEvery = std::stoi(value);
            if (key == "skip_gaps") p.SkipGaps = value == "1";
            if (key == "serial") p.Serial = static_cast<uint32_t>(std::stoul(value));
            if (key == "serial_at") p.SerialAt = static_cast<uint32_t>(std::stoul(value));
            if (key == "serial_format") p.SerialFormat = value;
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    // a page that is not one (a file edited by hand) would leave the bytes below it in its page unwritten
    if (!page || p.Page % ERASE_PAGE != 0 || p.Target != target || p.ImageSha256.size() != 64) return std::nullopt;
    return p;
}

void RemoveResumePoint(const std::string& folder, const std::string& target) {
    std::remove(FileFor(folder, target).c_str());
}

std::string ResumeMismatch(const ResumePoint& p, const std::string& imageSha256, int verifyEvery, bool skipGaps) {
    if (p.ImageSha256 != imageSha256) return "the file is not the one the interrupted run uploaded";
    if (p.VerifyEvery != verifyEvery) return "the read-back options differ from the interrupted run's";
    if (p.SkipGaps != skipGaps) return "--skip-gaps differs from the interrupted run's";
    return {};
}

std::string ResumeSerialMismatch(const ResumePoint& p, bool wantsSerial, uint32_t serialAt,
                                 const std::string& format) {
    if (p.Serial && !wantsSerial)
        return "the interrupted run placed serial " + std::to_string(*p.Serial) +
               " and this run places none";
    if (!p.Serial && wantsSerial)
        return "this run places a serial and the interrupted run placed none";
    if (p.Serial && (p.SerialAt != serialAt || p.SerialFormat != format))
        return "--serial-at or --serial-format differs from the interrupted run's";
    return {};
}

bool RecordResumePoint(const std::string& folder, ResumePoint run, const UploadResult& result) {
    if (result.Outcome == UploadOutcome::Completed) {
        RemoveResumePoint(folder, run.Target);
        return false;
    }
    if (result.ResumePage < 0) return false;
    run.Page = static_cast<uint32_t>(result.ResumePage);
    return SaveResumePoint(folder, run);
}

}  // namespace qdfu
