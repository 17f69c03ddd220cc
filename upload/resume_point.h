// Resume points: where an upload that failed after its block walk began can go on, kept in the
// user's state folder so that they outlive the program. One file per target (the device opened, or
// the number dialled), written aside and renamed, removed by a run that completes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qdfu {

struct ResumePoint {
    std::string Target;       // the port's device, or "tel:" and the number dialled
    std::string ImageSha256;  // of the HEX file's bytes
    uint32_t Page = 0;        // the first page not complete
    int VerifyEvery = 0;      // the read-back rule of the run (0: none), which changes the stream
    bool SkipGaps = false;
    // The unit's serial number the run placed at SerialAt in SerialFormat ("le32", "prog32"),
    // kept once it may have reached the device: a resume keeps it, and reserves none. A point
    // written before serials were kept has none.
    std::optional<uint32_t> Serial;
    uint32_t SerialAt = 0;
    std::string SerialFormat;
};

// DefaultStateHome()/quarnelix-dfu.
std::string DefaultResumeFolder();

// The target of a run: the device path, or "tel:" and the number for a run through a modem.
std::string ResumeTarget(const std::string& device, const std::string& dialNumber);

// False when the folder or the file cannot be written (the run's outcome stays what it was).
bool SaveResumePoint(const std::string& folder, const ResumePoint& point);
// The point kept for target; nullopt when there is none, or it cannot be read.
std::optional<ResumePoint> LoadResumePoint(const std::string& folder, const std::string& target);
void RemoveResumePoint(const std::string& folder, const std::string& target);

// Why the point does not fit this run ("" when it does): another image, or options that change
// what goes on the wire.
std::string ResumeMismatch(const ResumePoint& point, const std::string& imageSha256, int verifyEvery, bool skipGaps);
// Why the point's serial does not fit a run that places one at serialAt in format (wantsSerial) or
// places none: a serial on one side only, or another place or format ("" when it fits).
std::string ResumeSerialMismatch(const ResumePoint& point, bool wantsSerial, uint32_t serialAt,
                                 const std::string& format);

// After a run of its own (never a production line's child): a run that completed removes the
// target's point, one that failed after its walk began keeps one at result.ResumePage (the rest of
// run as given). Returns whether a point was kept.
struct UploadResult;
bool RecordResumePoint(const std::string& folder, ResumePoint run, const UploadResult& result);

}  // namespace qdfu
