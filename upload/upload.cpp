// Upload sequences: preparation, port opening, firmware reset (or modem set-up and dialling),
// bootloader start, block walk (each 0x800 page erased before the first block that touches it,
// 64-byte writes, read-back of every fourth written block), CPU reset and closing.
#include "upload.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "frames.h"
#include "hex_loader.h"
#include "manual_commands.h"
#include "settings.h"

namespace qdfu {
namespace {

void Pause(int ms) {
    if (ms == 0)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void ZeroBuffers() {
    TxBuffer.fill(0);
    RxBuffer.fill(0);
}

// The line last read in line mode, without the line ends and blanks around it.
std::string ModemAnswerLine() {
    const auto n = static_cast<std::size_t>(std::clamp<int32_t>(RxLast + 1, 0, RX_MAX_INDEX + 1));
    std::string line(RxBuffer.begin(), RxBuffer.begin() + static_cast<std::ptrdiff_t>(n));
    const auto first = line.find_first_not_of("\r\n \t");
    if (first == std::string::npos) return {};
    const auto last = line.find_last_not_of("\r\n \t");
    return line.substr(first, last - first + 1);
}

// The final result codes with which a modem gives up a call.
bool IsModemCallFailure(const std::string& line) {
    for (const char* code : {"BUSY", "NO CARRIER", "NO ANSWER", "NO DIALTONE", "ERROR"})
        if (line == code) return true;
    return false;
}

uint32_t PageOf(uint32_t address) { return address & ~uint32_t{ERASE_PAGE - 1}; }

// The pages erased so far in one run: one contiguous span, since blocks go up in address order. A
// page outside the span (an image replaced under the run) starts a new span.
class ErasedPages {
public:
    bool Contains(uint32_t page) const { return page >= low_ && page < high_; }
    void Add(uint32_t page) {
        if (page == high_ && high_ > low_) {
            high_ += ERASE_PAGE;
        } else {
            low_ = page;
            high_ = uint64_t{page} + ERASE_PAGE;
        }
    }

private:
    uint64_t low_ = 0;
    uint64_t high_ = 0;
};

enum class Job { Upload, Verify, Backup };

class Run {
public:
    Run(const UploadRequest& req, const UploadImage& image, UploadView& view, bool gsm, Job job = Job::Upload)
        : req_(req), image_(image), view_(view), gsm_(gsm), job_(job) {}

    UploadResult Execute();
    VerifyReport* verify = nullptr;       // Job::Verify
    uint32_t readFrom = 0, readTo = 0;    // Job::Backup
    std::vector<uint8_t>* memory = nullptr;

private:
    void Show(StatField field, uint32_t value) { view_.SetStat(field, std::to_string(value)); }
    void ShowSent(int frameLength) {
        // the frame up to its FRAME_END; the modem's carriage return is not shown
        const int shown = gsm_ ? frameLength - 1 : frameLength;
        view_.SetStat(StatField::STFrame2, FrameHexText(TxBuffer.data(), static_cast<std::size_t>(shown), " "));
    }
    void ShowReceived() {
        const int32_t n = std::clamp<int32_t>(RxLast, 0, static_cast<int32_t>(RxBuffer.size()));
        view_.SetStat(StatField::STFrame3, FrameHexText(RxBuffer.data(), static_cast<std::size_t>(n), " "));
    }
    // One SerialTransact, counted for the run's report when it fails.
    SerialError Exchange(int sendCount, int32_t answerLength) {
        const SerialError r = SerialTransact(static_cast<uint16_t>(sendCount), answerLength);
        if (r != SERIAL_OK) {
            ++result_.CommunicationErrors;
            result_.LastSerialError = SerialErrorText(r);
            lineError_ = SerialLineError();
            if (r == SERIAL_RX_NO_CARRIER) callDropped_ = true;
            Show(StatField::STTot5, result_.CommunicationErrors);
        }
        return r;
    }
    void Because(const std::string& reason) {
        if (result_.Reason.empty()) result_.Reason = reason;
    }
    // A failed exchange as a report says it: the line's own words where it went away (a server
    // that closed the connection), else the driver's code.
    std::string At(const char* what, uint32_t address, SerialError code) const {
        const std::string why = code == SERIAL_RX_NO_CARRIER ? "the call dropped (the modem said NO CARRIER)"
                                : lineError_.empty()         ? SerialErrorText(code)
                                                             : lineError_;
        return std::string(what) + " at 0x" + HexDigits(address, 8) + ": " + why;
    }
    // The blocks of the image that lie in program memory.
    int32_t ProgramBlocks() const {
        const int64_t end = std::min<int64_t>(*image_.ImageEnd, PROGRAM_MEMORY_END);
        return BlockCount(*image_.ImageStart, static_cast<int32_t>(std::max<int64_t>(end, *image_.ImageStart)));
    }
    bool ImageUsable() const {
        const int32_t start = *image_.ImageStart;
        const int32_t end = *image_.ImageEnd;
        return *image_.Valid && start >= IMAGE_MIN_ADDRESS && static_cast<uint32_t>(start) < PROGRAM_MEMORY_END &&
               end > start &&
               BlockCount(start, end) <= MEMORY_IMAGE_SIZE / BLOCK_SIZE;
    }
    void ResetFirmware();
    bool ModemSetup();
    SerialError StartBootloader(SerialError lastResult);
    void Transfer();
    // Whether the pages below a resume point hold the image, as UploadRequest::ResumePage says
    // what is read back: Yes, No (difference names the first byte that differs), or Unknown when
    // a read failed or the run was stopped (the run has then failed).
    enum class Held { Yes, No, Unknown };
    Held EarlierPagesHold(uint32_t point, std::string& difference);
    void Compare();
    void ReadBack();
    // One block read of length bytes at address, read again while the line garbles the answer;
    // false (the run failed) when it is refused or never agreed on.
    bool ReadAt(uint32_t address, uint8_t length);
    bool Stopped();
    // After a failed exchange of the walk: retries while any are left; true once the bootloader
    // runs again on a new connection.
    bool RetryFrom(uint32_t page);
    bool Reconnect();
    bool ErasePage(uint32_t page);
    void CpuReset();
    void Close();

    const UploadRequest& req_;
    const UploadImage& image_;
    UploadView& view_;
    bool gsm_;
    Job job_;
    UploadResult result_;
    uint32_t port_ = 0;
    std::string lineError_;  // SerialLineError() after the last failed exchange
    bool callDropped_ = false;  // the modem said NO CARRIER and no new call was made since
    bool touchAllowed_ = false;  // req_.BeforeTouch was asked and agreed
};

UploadResult Run::Execute() {
    std::string offending;
    if (!PortNumberFromText(req_.PortText, port_, offending)) {
        view_.ShowMessage("'" + offending + "' is not a valid integer value");
        Because("'" + offending + "' is not a valid integer value");
        return result_;
    }
    result_.Started = true;

    if (!gsm_ && job_ == Job::Upload) {
        SettingsRecord& s = ProcessSettings();
        s.PortNumber = static_cast<int32_t>(port_);
        s.AutoPortSelect = req_.AutoPortSelect ? 1 : 0;
        s.ApplyLineSettings = req_.Belvotra ? 0 : 1;
        s.VerifyAfterWrite = view_.VerifyChecked() ? 1 : 0;
        if (req_.SaveSettings) req_.SaveSettings();
    }

    view_.ClearLog();
    for (StatField f : {StatField::STTot1, StatField::STTot2, StatField::STTot3, StatField::STTot4,
                        StatField::STTot5, StatField::STFrame2, StatField::STFrame3})
        view_.SetStat(f, "-");
    view_.ShowOperation(Operation::None);
    view_.SetStat(StatField::STEsito, "In Corso di Completamento...");

    view_.Log("Parametri di Comunicazione: " + SerialDescribeDefault(port_, req_.PortLabel));

    if (job_ != Job::Backup && !ImageUsable()) {
        view_.Log("Invalid HEX File");
        Because("Invalid HEX File");
        Close();
        return result_;
    }

    SerialSetSimulation(req_.Simulate);
    SerialSetCallLines(gsm_);
    SerialError last = SerialOpenDefault(port_, req_.TimeoutMs);
    view_.Log("Apertura Porta di Comunicazione: " + SerialErrorText(last));
    if (last != SERIAL_OK) {
        const std::string& why = SerialLastSystemError();
        Because("cannot open " + (SerialLastDevice().empty() ? "COM" + std::to_string(port_) : SerialLastDevice()) +
                ": " + (why.empty() ? SerialErrorText(last) : why));
    }

    if (last == SERIAL_OK) {
        if (gsm_) {
            if (!ModemSetup()) {
                Close();
                return result_;
            }
        } else {
            ResetFirmware();
        }
        last = StartBootloader(last);
        if (last != SERIAL_OK) {
            view_.Log(SerialErrorText(last));
            Because("the bootloader did not start after " + std::to_string(result_.StartAttempts) +
                    " attempts: " + (last == SERIAL_RX_NO_CARRIER ? "the call dropped (the modem said NO CARRIER)"
                                     : lineError_.empty()         ? SerialErrorText(last)
                                                                  : lineError_));
            Close();
            return result_;
        }
        if (job_ == Job::Upload) Transfer();
        if (job_ == Job::Verify) Compare();
        if (job_ == Job::Backup) ReadBack();
    }
    CpuReset();
    Close();
    return result_;
}

void Run::ResetFirmware() {
    view_.Log(" *** Reset sdPIC *** ");
    ZeroBuffers();
    SerialWrite(PutText(TEXT_RESET_1));
    SerialRead(RESET_ANSWER_LENGTH, true);
    SerialWrite(PutText(TEXT_RESET_2));
    result_.Counters.BytesSent += 18;
    Show(StatField::STTot2, result_.Counters.BytesSent);
    view_.ProcessEvents();
    Pause(100);
}

// False when the modem answered the dial with a final result that ends the call ("BUSY", "NO
// CARRIER", ...): the line is logged as it came and nothing more is sent.
bool Run::ModemSetup() {
    view_.Log(" *** Reset sdPIC *** ");
    ZeroBuffers();
    SerialWrite(PutText(MODEM_FCLASS));
    Pause(1500);
    SerialWrite(PutText(MODEM_CBST));
    Pause(1500);
    SerialWrite(PutText(ModemDialCommand(req_.DialNumber)));
    for (int reads = DIAL_WAIT_READS; reads > 0; --reads) {
        SerialRead(RESET_ANSWER_LENGTH, true);
        if (RxBuffer[0] == 'A' && RxBuffer[1] == 'T' && RxBuffer[2] == 0x0D) break;
        const std::string answer = ModemAnswerLine();
        if (IsModemCallFailure(answer)) {
            view_.Log(answer);
            Because("the modem answered the dial with " + answer);
            return false;
        }
    }
    return true;
}

SerialError Run::StartBootloader(SerialError last) {
    for (int attempt = 0; attempt < START_ATTEMPTS; ++attempt) {
        view_.Log(" *** Start BootLoader *** ");
        view_.ProcessEvents();
        if (!view_.UploadActive()) {
            view_.SetStat(StatField::STEsito, "Interrotto !!!");
            Because("aborted by the operator");
            break;
        }
        const int n = StartDfuFrame(gsm_);
        ShowSent(n);
        last = Exchange(n, 0);
        ++result_.StartAttempts;
        ShowReceived();
        result_.Counters.BytesSent += 4;
        Show(StatField::STTot2, result_.Counters.BytesSent);
        view_.ProcessEvents();
        // a dropped call takes no more start frames: only a new call can
        if (last == SERIAL_OK || last == SERIAL_RX_NO_CARRIER) break;
    }
    return last;
}

void Run::Transfer() {
    UploadCounters& c = result_.Counters;
    view_.Log(" *** Inizio Trasferimento Firmware *** ");
    view_.Log(" *** Trasferimento Firmware in Corso... *** ");
    result_.Outcome = UploadOutcome::Completed;
    const int32_t blocks = ProgramBlocks();
    // With gaps skipped, progress counts the blocks written of those that hold bytes of the file;
    // otherwise it is the block walked, as the window's bar shows it.
    const bool skipping = req_.SkipGaps && image_.Given;
    int32_t toWrite = blocks;
    if (skipping) {
        toWrite = 0;
        for (int32_t i = 0; i < blocks; ++i) {
            const uint8_t* given = image_.Given + static_cast<std::size_t>(i) * BLOCK_SIZE;
            toWrite += std::any_of(given, given + BLOCK_SIZE, [](uint8_t g) { return g != 0; }) ? 1 : 0;
        }
    }
    view_.SetProgress(0, toWrite);
    c.BlocksWritten = 0;
    // written[i]: block i was written at least once, so that BlocksWritten counts it once however
    // often retries write it again; writes counts every write, for the read-back rule.
    std::vector<bool> written(static_cast<std::size_t>(std::max(blocks, 0)));
    uint32_t writes = 0;

    auto fail = [&](const char* what, uint32_t address, SerialError code) {
        view_.Log(SerialErrorText(code));
        Because(At(what, address, code));
        result_.Outcome = UploadOutcome::Failed;
    };

    const auto start = static_cast<uint32_t>(*image_.ImageStart);
    // Nothing below resumeAt is erased or written: an earlier connection (or run) completed it.
    uint32_t resumeAt = req_.ResumePage;
    // The page of the first byte not yet written (and read back where the rule reads it back): the
    // page a retry or a later resume goes on from.
    uint32_t current = PageOf(std::max(start, resumeAt));
    auto finish = [&] {
        if (skipping) view_.SetProgress(static_cast<int>(c.BlocksWritten), toWrite);
        if (result_.Outcome == UploadOutcome::Completed) return;
        result_.ResumePage = current;
        if (result_.Retries > 0)
            result_.Reason += " (after " + std::to_string(result_.Retries) + " retries; stopped in the page at 0x" +
                              HexDigits(current, 8) + ")";
    };
    if (resumeAt > start) {
        view_.Log(" *** Ripresa Trasferimento dalla pagina " + HexDigits(resumeAt, 8) + " *** ");
        // The pages below the point are another run's work, perhaps on another unit: trusted only
        // once read back.
        for (;;) {
            std::string difference;
            const Held held = EarlierPagesHold(resumeAt, difference);
            if (held == Held::Yes) break;
            if (held == Held::No) {
                const std::string text = "the pages before " + HexDigits(resumeAt, 8) +
                                         " do not hold this file (" + difference + "): uploading from the start";
                view_.Log(text);
                view_.Warn("resume: " + text);
                result_.ResumeRefused = true;
                resumeAt = 0;
                current = PageOf(start);
                break;
            }
            if (!RetryFrom(resumeAt)) return finish();
        }
    }
    ErasedPages erasedPages;
    // After a failed exchange on the block at address (the first byte not done): reconnect and go
    // on from its page.
    auto retry = [&](uint32_t address, int32_t& i) {
        current = PageOf(address);
        if (!RetryFrom(current)) return false;
        resumeAt = current;
        erasedPages = ErasedPages{};
        i = current > start ? static_cast<int32_t>((current - start) / BLOCK_SIZE) - 1 : -1;
        return true;
    };
    for (int32_t i = 0; i < blocks; ++i) {
        if (!view_.UploadActive()) {
            view_.SetStat(StatField::STEsito, "Interrotto !!!");
            Because("aborted by the operator after " + std::to_string(c.BlocksWritten) + " blocks");
            result_.Outcome = UploadOutcome::Failed;
            current = std::max(resumeAt, PageOf(start + static_cast<uint32_t>(i) * BLOCK_SIZE));
            break;
        }
        view_.SelectDumpRow(i);
        view_.SetProgress(skipping ? static_cast<int>(c.BlocksWritten) : i, toWrite);
        view_.ProcessEvents();

        // A reload may have replaced the image meanwhile; never read a block outside it.
        if (!ImageUsable() || (static_cast<int64_t>(i) + 1) * BLOCK_SIZE > MEMORY_IMAGE_SIZE) {
            view_.Log("Invalid HEX File");
            Because("the image was replaced by an invalid HEX file during the run");
            result_.Outcome = UploadOutcome::Failed;
            break;
        }
        BlockRecord block;
        block.Address = static_cast<uint32_t>(*image_.ImageStart) + static_cast<uint32_t>(i) * BLOCK_SIZE;
        // Program memory ends at PROGRAM_MEMORY_END: a block that would reach past it (an image
        // that starts inside a row) is written up to there, and nothing is written beyond.
        if (block.Address >= PROGRAM_MEMORY_END) break;
        block.Length = static_cast<uint8_t>(std::min<uint32_t>(BLOCK_SIZE, PROGRAM_MEMORY_END - block.Address));
        // A block that starts before the page the walk resumes at is written from there on only.
        if (block.Address + block.Length <= resumeAt) continue;
        const uint32_t skip = block.Address < resumeAt ? resumeAt - block.Address : 0;
        block.Address += skip;
        block.Length = static_cast<uint8_t>(block.Length - skip);
        const std::size_t at = static_cast<std::size_t>(i) * BLOCK_SIZE + skip;  // in the image
        // asked before the first block is taken from the image, which the answer may change
        if (!touchAllowed_) {
            std::string why;
            if (req_.BeforeTouch && !req_.BeforeTouch(resumeAt > start, why)) {
                Because(why);
                result_.Outcome = UploadOutcome::NotDone;
                return;  // nothing reached the device: no page to resume from
            }
            touchAllowed_ = true;
        }
        std::memcpy(block.Data.data(), image_.Memory + at, block.Length);
        current = PageOf(block.Address);
        view_.SetStat(StatField::STTot1, HexDigits(block.Address, 8));

        // Every page the block touches is erased once before its first write, so a start inside a
        // page still writes onto erased flash. For a page-aligned start this is one erase at each
        // multiple of ERASE_PAGE, before that block's write. When an erase fails, nothing of the
        // block is written: the walk goes on from the block's own page, even when the erase was of
        // the next page.
        bool erased = true;
        const uint32_t lastPage = PageOf(block.Address + block.Length - 1);
        for (uint32_t page = PageOf(block.Address); erased; page += ERASE_PAGE) {
            if (!erasedPages.Contains(page)) {
                erased = ErasePage(page);
                if (erased) erasedPages.Add(page);
            }
            if (page == lastPage) break;
        }
        if (!erased) {
            if (retry(block.Address, i)) continue;
            break;
        }
        if (req_.SkipGaps && image_.Given) {
            const uint8_t* given = image_.Given + at;
            if (std::none_of(given, given + block.Length, [](uint8_t g) { return g != 0; })) continue;
            for (int k = 0; k < block.Length; ++k)
                if (!given[k]) block.Data[static_cast<std::size_t>(k)] = 0xFF;
        }

        view_.ShowOperation(Operation::Writing);
        view_.ProcessEvents();
        c.BytesSent += block.Length + 4u;
        c.FirmwareBytesSent += block.Length;
        ++c.ExchangeCount;
        Show(StatField::STTot2, c.BytesSent);
        Show(StatField::STTot3, c.FirmwareBytesSent);
        Show(StatField::STTot4, c.ExchangeCount);
        {
            const int n = WriteFrame(block, gsm_);
            ShowSent(n);
            view_.ProcessEvents();
            const SerialError r = Exchange(n, 0);
            ShowReceived();
            if (r != SERIAL_OK) {
                fail("write", block.Address, r);
                if (retry(block.Address, i)) continue;
                break;
            }
            Pause(0);
            ++writes;
            if (!written[static_cast<std::size_t>(i)]) {
                written[static_cast<std::size_t>(i)] = true;
                ++c.BlocksWritten;
            }
        }

        const bool mustReadBack = block.Address < req_.ReadBackTo && req_.ReadBackFrom < block.Address + block.Length;
        if ((view_.VerifyChecked() && writes % static_cast<uint32_t>(std::max(req_.VerifyEvery, 1)) == 0) ||
            mustReadBack) {
            view_.ShowOperation(Operation::Reading);
            view_.ProcessEvents();
            c.BytesSent += block.Length + 4u;
            ++c.ExchangeCount;
            Show(StatField::STTot2, c.BytesSent);
            Show(StatField::STTot4, c.ExchangeCount);
            const int n = ReadFrame(block.Length, block.Address, gsm_);
            ShowSent(n);
            const SerialError r = Exchange(n, block.Length + 4);
            ShowReceived();
            if (r != SERIAL_OK) {
                fail("read back", block.Address, r);
                if (retry(block.Address, i)) continue;
                break;
            }
            Pause(0);
            if (!req_.Simulate && std::memcmp(block.Data.data(), RxBuffer.data() + 2, block.Length) != 0) {
                // the message box only when the run ends on it: a retry writes the page again
                Because("verify mismatch in the block at 0x" + HexDigits(block.Address, 8));
                result_.Outcome = UploadOutcome::Failed;
                if (req_.Retries > 0 && retry(block.Address, i)) continue;
                view_.ShowMessage("Verifica Fallita!!!!");
                break;
            }
        }
    }
    finish();
}

Run::Held Run::EarlierPagesHold(uint32_t point, std::string& difference) {
    if (req_.Simulate) return Held::Yes;  // no unit to ask
    const auto start = static_cast<uint32_t>(*image_.ImageStart);
    const bool skipping = req_.SkipGaps && image_.Given;
    // With any read-back asked for, every block below the point is read back: sampled pages let an
    // earlier build of the same file (a few bytes changed mid-page) pass.
    const bool everyBlock = view_.VerifyChecked();
    // The walk's blocks below the point, cut at it; with gaps skipped, only those it wrote bytes
    // of the file in.
    struct Span {
        uint32_t from, to;
    };
    std::vector<Span> spans;
    const int32_t blocks = ProgramBlocks();
    for (int32_t i = 0; i < blocks; ++i) {
        const uint32_t from = start + static_cast<uint32_t>(i) * BLOCK_SIZE;
        if (from >= point) break;
        const uint32_t to = std::min({from + BLOCK_SIZE, point, PROGRAM_MEMORY_END});
        const uint8_t* given = skipping ? image_.Given + (from - start) : nullptr;
        if (given && std::none_of(given, given + (to - from), [](uint8_t g) { return g != 0; })) continue;
        spans.push_back({from, to});
    }
    const uint32_t pageBelowPoint = point - ERASE_PAGE;
    for (std::size_t k = 0; k < spans.size(); ++k) {
        const Span& s = spans[k];
        const uint32_t first = PageOf(s.from), last = PageOf(s.to - 1);
        const bool opensPage = k == 0 || PageOf(spans[k - 1].to - 1) != first || first != last;
        const bool closesPage = k + 1 == spans.size() || PageOf(spans[k + 1].from) != last || first != last;
        const bool kept = s.from < req_.ReadBackTo && req_.ReadBackFrom < s.to;
        if (!(everyBlock || opensPage || closesPage || last >= pageBelowPoint || kept)) continue;
        if (Stopped()) return Held::Unknown;
        view_.ProcessEvents();
        const auto length = static_cast<uint8_t>(s.to - s.from);
        if (!ReadAt(s.from, length)) return Held::Unknown;
        const std::size_t at = s.from - start;  // in the image
        for (std::size_t b = 0; b < length; ++b) {
            if (skipping && !image_.Given[at + b]) continue;
            const uint8_t device = RxBuffer[b + 2], file = image_.Memory[at + b];
            if (device == file) continue;
            difference = "the byte at 0x" + HexDigits(s.from + static_cast<uint32_t>(b), 8) + ": device " +
                         HexDigits(device, 2) + ", file " + HexDigits(file, 2);
            return Held::No;
        }
    }
    return Held::Yes;
}

bool Run::RetryFrom(uint32_t page) {
    while (result_.Retries < req_.Retries && view_.UploadActive()) {
        ++result_.Retries;
        view_.Retrying(result_.Retries, page);
        view_.Log(" *** Nuovo Tentativo " + std::to_string(result_.Retries) + " di " + std::to_string(req_.Retries) +
                  ": Ripresa dalla pagina " + HexDigits(page, 8) + " *** ");
        if (Reconnect()) {
            result_.Outcome = UploadOutcome::Completed;
            result_.Reason.clear();
            return true;
        }
    }
    return false;
}

// The start of the run once more on a new connection: the port closed and opened again, the
// reset lines (or the modem set-up and the dial), the bootloader started.
bool Run::Reconnect() {
    SerialCloseDefault();
    SerialError last = SerialOpenDefault(port_, req_.TimeoutMs);
    view_.Log("Apertura Porta di Comunicazione: " + SerialErrorText(last));
    if (last != SERIAL_OK) {
        Because("cannot open the port again: " + SerialErrorText(last));
        return false;
    }
    if (gsm_) {
        if (!ModemSetup()) return false;
        callDropped_ = false;
    } else {
        ResetFirmware();
    }
    last = StartBootloader(last);
    if (last == SERIAL_OK) return true;
    view_.Log(SerialErrorText(last));
    Because("the bootloader did not start again: " + (last == SERIAL_RX_NO_CARRIER
                                                          ? std::string("the call dropped (the modem said NO CARRIER)")
                                                          : SerialErrorText(last)));
    return false;
}

bool Run::Stopped() {
    if (view_.UploadActive()) return false;
    view_.SetStat(StatField::STEsito, "Interrotto !!!");
    Because("aborted by the operator");
    result_.Outcome = UploadOutcome::Failed;
    return true;
}

// The answer to a read of length bytes as it stands in RxBuffer: FRAME_START, FRAME_ACK, the data,
// a check byte, FRAME_END.
bool ReadAnswerChecks(uint8_t length) {
    const std::size_t check = std::size_t{length} + 2;
    return RxLast == static_cast<int32_t>(check + 1) && FrameChecksum(RxBuffer.data(), check) == RxBuffer[check];
}

bool Run::ReadAt(uint32_t address, uint8_t length) {
    UploadCounters& c = result_.Counters;
    view_.ShowOperation(Operation::Reading);
    view_.SetStat(StatField::STTot1, HexDigits(address, 8));
    // A read answer is trusted when its check byte is the sum of the bytes before it (the rule of
    // command frames); otherwise the block is read again and taken from an answer that passes, or
    // from two equal answers in a row (a device that keeps another rule costs twice the reads).
    std::vector<uint8_t> previous;
    for (int attempt = 0; attempt < READ_AGREEMENT_ATTEMPTS; ++attempt) {
        const int n = ReadFrame(length, address, gsm_);
        c.BytesSent += static_cast<uint32_t>(n);
        ++c.ExchangeCount;
        Show(StatField::STTot2, c.BytesSent);
        Show(StatField::STTot4, c.ExchangeCount);
        ShowSent(n);
        const SerialError r = Exchange(n, length + 4);
        ShowReceived();
        if (r != SERIAL_OK) {
            view_.Log(SerialErrorText(r));
            Because(At("read", address, r));
            result_.Outcome = UploadOutcome::Failed;
            return false;
        }
        if (ReadAnswerChecks(length)) return true;
        const std::vector<uint8_t> answer(RxBuffer.begin(), RxBuffer.begin() + length + 4);
        if (answer == previous) return true;
        previous = answer;
    }
    view_.Log("the line garbles the answers");
    Because("read at 0x" + HexDigits(address, 8) + ": the line garbles the answers (" +
            std::to_string(READ_AGREEMENT_ATTEMPTS) + " reads without agreement)");
    result_.Outcome = UploadOutcome::Failed;
    return false;
}

void Run::Compare() {
    view_.Log(" *** Verify against the file *** ");
    result_.Outcome = UploadOutcome::Completed;
    const int32_t blocks = ProgramBlocks();
    for (int32_t i = 0; i < blocks && !Stopped(); ++i) {
        view_.SelectDumpRow(i);
        view_.SetProgress(i, blocks);
        view_.ProcessEvents();
        const std::size_t at = static_cast<std::size_t>(i) * BLOCK_SIZE;
        const uint8_t* given = image_.Given ? image_.Given + at : nullptr;
        if (given && std::none_of(given, given + BLOCK_SIZE, [](uint8_t g) { return g != 0; })) continue;
        const uint32_t address = static_cast<uint32_t>(*image_.ImageStart) + static_cast<uint32_t>(at);
        const auto length = static_cast<uint8_t>(std::min<uint32_t>(BLOCK_SIZE, PROGRAM_MEMORY_END - address));
        if (!ReadAt(address, length)) break;
        ++result_.Counters.BlocksWritten;  // blocks read, here
        for (int k = 0; k < length; ++k) {
            if (given && !given[k]) continue;
            ++verify->BytesCompared;
            const uint8_t device = RxBuffer[static_cast<std::size_t>(k) + 2];
            const uint8_t file = image_.Memory[at + static_cast<std::size_t>(k)];
            if (device == file) continue;
            if (verify->DifferenceCount++ < MAX_LISTED_DIFFERENCES)
                verify->Differences.push_back({address + static_cast<uint32_t>(k), device, file});
        }
    }
    // a run that failed keeps the progress where it stopped
    if (result_.Outcome == UploadOutcome::Completed) view_.SetProgress(blocks, blocks);
}

void Run::ReadBack() {
    view_.Log(" *** Backup of the program memory *** ");
    result_.Outcome = UploadOutcome::Completed;
    memory->clear();
    const int32_t blocks = readTo > readFrom ? static_cast<int32_t>((readTo - readFrom + BLOCK_SIZE - 1) / BLOCK_SIZE) : 0;
    for (int32_t i = 0; i < blocks && !Stopped(); ++i) {
        view_.SetProgress(i, blocks);
        view_.ProcessEvents();
        const uint32_t address = readFrom + static_cast<uint32_t>(i) * BLOCK_SIZE;
        const auto length = static_cast<uint8_t>(std::min<uint32_t>(BLOCK_SIZE, readTo - address));
        if (!ReadAt(address, length)) break;
        ++result_.Counters.BlocksWritten;  // blocks read, here
        memory->insert(memory->end(), RxBuffer.begin() + 2, RxBuffer.begin() + 2 + length);
    }
    // a run that failed keeps the progress where it stopped
    if (result_.Outcome == UploadOutcome::Completed) view_.SetProgress(blocks, blocks);
}

// One erase exchange; false (with the error logged and the run failed) when it is refused.
bool Run::ErasePage(uint32_t page) {
    UploadCounters& c = result_.Counters;
    view_.ShowOperation(Operation::Erasing);
    ++c.ExchangeCount;
    Show(StatField::STTot4, c.ExchangeCount);
    view_.ProcessEvents();
    const int n = EraseFrame(page, gsm_);
    ShowSent(n);
    const SerialError r = Exchange(n, 0);
    ShowReceived();
    if (r != SERIAL_OK) {
        view_.Log(SerialErrorText(r));
        Because(At("erase", page, r));
        result_.Outcome = UploadOutcome::Failed;
        return false;
    }
    Pause(0);
    return true;
}

void Run::CpuReset() {
    view_.ShowOperation(Operation::ResetCpu);
    // A dropped call leaves no one to take the reset: nothing is sent and nothing waited for.
    if (callDropped_) {
        view_.Log("Reset CPU: not sent, the call dropped");
        return;
    }
    view_.Log("Reset CPU");
    const int n = ResetFrame(gsm_);
    if (gsm_) ShowSent(n);
    // a reset on a port that never opened is no exchange, and no error of the line
    if (SerialIsOpen())
        Exchange(n, 0);
    else
        SerialTransact(static_cast<uint16_t>(n), 0);
}

void Run::Close() {
    const char* job = job_ == Job::Verify ? "Verify" : "Backup";
    const char* how = result_.Outcome == UploadOutcome::Completed ? "completed"
                      : result_.Outcome == UploadOutcome::Failed  ? "failed"
                                                                  : "not done";
    // A backup is complete only once its file is in place, which its caller says: here the memory
    // was read.
    const bool backupRead = job_ == Job::Backup && result_.Outcome == UploadOutcome::Completed;
    const std::string text = job_ == Job::Upload ? UploadOutcomeText(result_.Outcome)
                             : backupRead        ? std::string("Backup: memory read")
                                                 : std::string(job) + " " + how;
    view_.SetStat(StatField::STEsito, text);
    view_.Log(text);
    view_.Log("Chiusura Porta di Comunicazione");
    SerialCloseDefault();
    SerialSetCallLines(false);
}

}  // namespace

std::string UploadOutcomeText(UploadOutcome outcome) {
    switch (outcome) {
        case UploadOutcome::Completed: return "Trasferimento Firmware Completato";
        case UploadOutcome::Failed: return "Trasferimento Firmware Fallito!!!";
        case UploadOutcome::NotDone: break;
    }
    return "Trasferimento Firmware Non Effettuato";
}

std::string FailureAdvice(const UploadResult& result) {
    if (result.Outcome == UploadOutcome::Completed) return {};
    const std::string& why = result.Reason;
    const std::string& code = result.LastSerialError;
    auto has = [&](const char* text) { return why.find(text) != std::string::npos; };
    if (has("aborted by the operator")) return "the run was stopped on request: start it again when ready";
    if (has("the modem answered"))
        return "the modem could not reach the controller: check the number, the signal and the SIM's data service";
    if (has("garbles the answers"))
        return "the answers arrive damaged: check the cable and its connectors, keep it short and away from power "
               "lines, and try again";
    if (has("verify mismatch"))
        return "the controller holds other bytes than were written: upload again; if it persists, its flash may be "
               "worn or write-protected";
    if (has("cannot open")) {
        if (has("GETDCB ERROR") || has("SETDCB ERROR") || has("Inappropriate ioctl"))
            return "this device is not a serial port: check --port ('quarnelix-dfu-cli ports' lists the ports)";
        return "the port cannot be opened: check that the adapter is plugged in, that no other program holds it, "
               "and your permission to use it";
    }
    if (has("closed the connection"))
        return "the serial device server ended the connection: check that it is on and that no one else is using it";
    if (code == SerialErrorText(SERIAL_RX_NO_CARRIER) || has("the call dropped"))
        return "the call dropped: check the signal at both ends and the SIM's data service, then try again";
    if (code == "RX ERROR (TIMEOUT)")
        return "no answer from the controller: check its power, the cable, and that it is in the mode that takes "
               "an upgrade (its firmware running, or its bootloader)";
    if (code == "RX ERROR (NAK)")
        return has("erase") ? "the controller refused to erase: check that the file is built for this controller "
                              "and that its bootloader allows changing that page"
                            : "the controller refused the command: check that the file is built for this controller";
    if (code == "TX ERROR") return "the line would not take the data: check that the adapter is still plugged in";
    if (has("Invalid HEX File")) return "check the HEX file";
    return "check the controller's power and the cable";
}

bool PortNumberFromText(const std::string& portText, uint32_t& port, std::string& offending) {
    auto up = [](char c) { return static_cast<char>((c >= 'a' && c <= 'z') ? c - 32 : c); };
    const bool comPrefix = portText.size() >= 3 && up(portText[0]) == 'C' && up(portText[1]) == 'O' &&
                           up(portText[2]) == 'M';
    offending = comPrefix ? portText.substr(3) : portText;
    if (!comPrefix || offending.empty()) return false;
    uint64_t v = 0;
    for (char c : offending) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > 0x7FFFFFFF) return false;
    }
    port = static_cast<uint32_t>(v);
    return true;
}

UploadResult UploadDirect(const UploadRequest& request, const UploadImage& image, UploadView& view) {
    return Run(request, image, view, false).Execute();
}

UploadResult UploadGsm(const UploadRequest& request, const UploadImage& image, UploadView& view) {
    return Run(request, image, view, true).Execute();
}

UploadResult VerifyDevice(const UploadRequest& request, const UploadImage& image, UploadView& view,
                          VerifyReport& report) {
    report = {};
    Run run(request, image, view, !request.DialNumber.empty(), Job::Verify);
    run.verify = &report;
    return run.Execute();
}

UploadResult ReadDeviceMemory(const UploadRequest& request, uint32_t from, uint32_t to, UploadView& view,
                              std::vector<uint8_t>& memory) {
    const int32_t none = -1;
    const bool valid = false;
    const UploadImage image{nullptr, &none, &none, &valid, nullptr};
    Run run(request, image, view, !request.DialNumber.empty(), Job::Backup);
    run.readFrom = from;
    run.readTo = to;
    run.memory = &memory;
    return run.Execute();
}

}  // namespace qdfu
