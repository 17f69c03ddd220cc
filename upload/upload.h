// The firmware upload sequences, over a direct line and through a GSM data modem. They run
// synchronously on the caller's thread, one exchange after another, and speak to their caller
// only through UploadView: the log, the statistics fields, the operation display, the progress,
// the dump row, one message box, event processing at fixed points, and the abort flag.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "serial.h"

namespace qdfu {

enum class UploadOutcome { NotDone = 0, Completed = 1, Failed = 2 };

enum class StatField { STTot1, STTot2, STTot3, STTot4, STTot5, STFrame2, STFrame3, STEsito };

// What STFrame5 shows: "-" (None), "Erasing....." red, "Writing....." green,
// "Reading....." yellow, "Reset CPU" on the button-face colour.
enum class Operation { None, Erasing, Writing, Reading, ResetCpu };

inline constexpr int ERASE_PAGE = 0x800;
inline constexpr int START_ATTEMPTS = 4;
inline constexpr int VERIFY_EVERY = 4;
inline constexpr int DIAL_WAIT_READS = 15;
inline constexpr int WINDOW_GROWTH = 60;
// Reads of one block that verify and backup make at most before they give up on a line that
// garbles the answers.
inline constexpr int READ_AGREEMENT_ATTEMPTS = 4;

class UploadView {
public:
    virtual ~UploadView() = default;
    virtual void ClearLog() = 0;
    virtual void Log(const std::string& line) = 0;
    virtual void SetStat(StatField field, const std::string& text) = 0;
    virtual void ShowOperation(Operation op) = 0;
    virtual void SetProgress(int position, int maximum) = 0;
    virtual void SelectDumpRow(int row) = 0;
    virtual void ShowMessage(const std::string& text) = 0;  // modal, caption "DFU"
    virtual void ProcessEvents() = 0;
    virtual bool UploadActive() = 0;   // false once the user asked to stop
    virtual bool VerifyChecked() = 0;  // "Esegui Verifica", read at each verify step
    // The run lost its line in the block walk and starts retry n (from 1) from the page at page.
    virtual void Retrying(int n, uint32_t page) {
        (void)n;
        (void)page;
    }
    // Something the operator must hear although the run goes on (besides the log): a resume point
    // whose earlier pages do not hold the image. The command line says it on standard error.
    virtual void Warn(const std::string& text) { (void)text; }
};

// The loaded image as the window or the command line holds it. Read at every block, so a reload
// during the run is seen.
struct UploadImage {
    const uint8_t* Memory = nullptr;  // MEMORY_IMAGE_SIZE bytes
    const int32_t* ImageStart = nullptr;
    const int32_t* ImageEnd = nullptr;
    const bool* Valid = nullptr;
    // Given[k] is non-zero when the file gives the byte at ImageStart + k (MEMORY_IMAGE_SIZE
    // entries); null: every byte counts as given. Read by SkipGaps and by VerifyDevice.
    const uint8_t* Given = nullptr;
};

struct UploadRequest {
    std::string PortText;  // the chosen port-list entry, "COM" followed by a number; "" for none
    bool AutoPortSelect = false;
    bool Belvotra = false;  // leave the port's line settings alone
    bool Simulate = false;
    std::string PortLabel;   // the log's name for the port in place of "COMn"; "" for COMn
    std::string DialNumber;  // GSM only
    int32_t TimeoutMs = DEFAULT_TIMEOUT_MS;
    // With verification on, every VerifyEvery-th written block is read back: VERIFY_EVERY in the
    // window, 1 for a production line's full verification.
    int VerifyEvery = VERIFY_EVERY;
    // A 64-byte block that holds no byte the file gives is neither written nor read back, and in a
    // written block the bytes the file does not give go out as 0xFF (erased flash). Every page of
    // the range is still erased once, before its first block. Off: the stream of the window.
    bool SkipGaps = false;
    // When an exchange of the block walk fails (no answer, a refusal, a read-back that differs, a
    // dropped call), the run closes the port, goes through its start again (reset lines, or the
    // modem set-up and the dial), starts the bootloader, erases again the page that holds the
    // failed block and goes on from that page's first byte, up to Retries times. 0: the run ends
    // at the first failure, as the window's does.
    int Retries = 0;
    // A block that holds any byte from ReadBackFrom to ReadBackTo (exclusive; none when equal) is
    // read back and compared whatever the verify rule: a unit's serial number.
    uint32_t ReadBackFrom = 0;
    uint32_t ReadBackTo = 0;
    // Non-zero: the walk starts at this page (a multiple of ERASE_PAGE), nothing before it is erased
    // or written: the resume point of an earlier run that failed there. Before it trusts the pages
    // below the point, the run reads back the first and the last block of each of them, every block
    // of the page just below the point, and the ReadBackFrom block when it lies below (every block
    // when verification is on, whatever VerifyEvery); with SkipGaps only the blocks that hold bytes
    // of the file and only those bytes. Any difference: a warning, and the walk starts over at the
    // image's start.
    uint32_t ResumePage = 0;
    // Called once per run, before its first erase (the first frame that changes the device) goes
    // out: false, with why set, ends the run NotDone with why as its reason, nothing erased or
    // written. resuming is whether the walk goes on from ResumePage (false when there is none, or
    // the unit did not bear it out and the walk starts over). The image may be changed here (a
    // unit's serial placed anew). Empty: nothing is asked. (A unit's serial is spent here.)
    std::function<bool(bool resuming, std::string& why)> BeforeTouch;
    // Direct upload: writes the settings record after PortNumber, AutoPortSelect,
    // ApplyLineSettings and VerifyAfterWrite were stored in it. Empty: the record is not saved.
    std::function<void()> SaveSettings;
};

struct UploadCounters {
    uint32_t BytesSent = 0;
    uint32_t FirmwareBytesSent = 0;
    uint32_t ExchangeCount = 0;
    uint32_t BlocksWritten = 0;  // blocks of the image written, each once however often retried
};

struct UploadResult {
    UploadOutcome Outcome = UploadOutcome::NotDone;
    bool Started = false;  // false when the port text was refused before anything was done
    UploadCounters Counters;
    int StartAttempts = 0;
    // Exchanges that failed after the driver's two tries, each once (the CPU reset's too); shown in
    // STTot5 ("Totale Errori di Comunicazione") from the first one on.
    uint32_t CommunicationErrors = 0;
    std::string LastSerialError;       // the text of the last of them; "" for none
    // Why the run did not complete, in a line for a report ("erase at 0x00002800: RX ERROR
    // (NAK)", "verify mismatch in the block at 0x00002840", "aborted by the operator", ...);
    // "" when it completed.
    std::string Reason;
    int Retries = 0;  // reconnections made in the walk
    // The page of the first byte not yet written (and read back, where the rule reads it back)
    // when the run failed after its walk began: the page to resume from; -1 when it completed or
    // never began the walk.
    int64_t ResumePage = -1;
    // A resume point (UploadRequest::ResumePage) that the unit's memory did not bear out: the run
    // went from the start instead.
    bool ResumeRefused = false;
};

UploadResult UploadDirect(const UploadRequest& request, const UploadImage& image, UploadView& view);
UploadResult UploadGsm(const UploadRequest& request, const UploadImage& image, UploadView& view);

// Field tools over the same sequence (reset the running firmware or dial, start the bootloader,
// ... , reset the CPU), which never erase or write: the request's DialNumber, when not empty,
// goes through the modem. The outcome is Completed when every read was answered, Failed when an
// exchange failed on the way (or the user stopped it), NotDone when the bootloader never started.
// Neither touches the settings record.

struct ByteDifference {
    uint32_t Address = 0;
    uint8_t Device = 0;
    uint8_t File = 0;
};
inline constexpr std::size_t MAX_LISTED_DIFFERENCES = 20;

struct VerifyReport {
    uint32_t BytesCompared = 0;
    uint32_t DifferenceCount = 0;
    std::vector<ByteDifference> Differences;  // the first MAX_LISTED_DIFFERENCES, by address
};

// Reads back every 64-byte block that holds a byte the file gives (image.Given; every byte when
// null) and compares only those bytes.
UploadResult VerifyDevice(const UploadRequest& request, const UploadImage& image, UploadView& view,
                          VerifyReport& report);

// Reads the program memory from `from` to `to` (exclusive) in reads of at most 64 bytes; memory
// receives what was read, in order (complete only when the outcome is Completed).
UploadResult ReadDeviceMemory(const UploadRequest& request, uint32_t from, uint32_t to, UploadView& view,
                              std::vector<uint8_t>& memory);

std::string UploadOutcomeText(UploadOutcome outcome);
// For a run that did not complete: what a person should check, in a few English words ("no answer
// from the controller: check its power, ..."); "" for a completed run.
std::string FailureAdvice(const UploadResult& result);
// "COM12" gives 12. False for anything else; text is then what follows the first three characters.
bool PortNumberFromText(const std::string& portText, uint32_t& port, std::string& offending);

}  // namespace qdfu
