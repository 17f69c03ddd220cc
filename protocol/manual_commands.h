// The manual command panel without its widgets: the texts of its fields, the reading of hex fields
// and data tokens, and the five commands (read, write, erase, start, reset), each one boot frame
// sent through the serial driver with the frame and the answer shown as hex text. The window and
// the command line both drive it; the hooks let the caller repaint, gate its buttons and show the
// error message.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frames.h"
#include "serial.h"

namespace qdfu {

// Blanks and control characters trimmed at both ends, then an unsigned hex number of at most 32
// bits (either case, no prefix). False for an empty text, any other character or an overflow.
bool ParseHexField(std::string_view text, uint32_t& value);

// A number typed on the command line: hexadecimal of at most 32 bits, with or without a leading
// 0x, blanks and control characters around it ignored. False for anything else.
bool ParseTypedHex(std::string_view text, uint32_t& value);

// The lowest address outside the bootloader's own area: erasing or writing below it can leave the
// controller unable to start.
inline constexpr uint32_t BOOT_AREA_END = 0x2800;

// What the address of an erase or a write by hand asks for before anything is sent: refusal of a
// text that is not a number (parse as the panel's fields are read), a question for the bootloader's
// area.
enum class ManualAddress { Ok, NotANumber, BootArea };
ManualAddress CheckManualAddress(std::string_view text, uint32_t& value);
// The status bar's words for a refused address and the question for the bootloader's area.
std::string ManualAddressRefusal(std::string_view command, std::string_view text);
std::string BootAreaQuestion(std::string_view command, uint32_t address);

// Upper-case hex with exactly `digits` digits.
std::string HexDigits(uint32_t value, int digits);

struct DataTokens {
    std::vector<uint8_t> Bytes;  // one per token: its lowest 8 bits, 0x00 for a non-number
    std::size_t Count = 0;       // number of tokens, not cut
};
// Tokens are runs of characters other than the space; any length of text is handled whole.
DataTokens ParseDataTokens(std::string_view text);

inline constexpr int MANUAL_MAX_BYTES = 16;

// Always exactly one block, the record itself.
std::vector<BlockRecord> SplitIntoBlocks(const BlockRecord& record);

struct ManualPanelFields {
    std::string LeggiAddress = "300000";
    std::string LeggiLen;
    std::string LeggiDati;
    std::string LeggiFrame;
    std::string ScriviAddress = "300000";
    std::string ScriviLen;
    std::string ScriviDati;
    std::string ScriviFrame;
    std::string EraseAddress = "300000";
    std::string EraseFrame;
    std::string StartFrame;
    std::string RstFrame;
};

class ManualPanelHooks {
public:
    virtual ~ManualPanelHooks() = default;
    // Show the fields as they are now and handle pending events, once before each exchange.
    virtual void ProcessEvents(const ManualPanelFields& fields) = 0;
    // false: disable Erase, Read, Write in that order; true: enable Read, Write, Erase.
    virtual void SetExchangeButtonsEnabled(bool enabled) = 0;
    virtual void ShowError(const std::string& text) = 0;
};

// port: the port to open, nullopt when none is chosen (the open then fails with
// CREATE HANDLE ERROR). timeoutMs: per-byte read time-out of the open.
class ManualPanel {
public:
    ManualPanel(ManualPanelFields& fields, ManualPanelHooks& hooks) : f_(fields), hooks_(hooks) {}
    void SetPort(std::optional<uint32_t> port) { port_ = port; }
    void SetTimeoutMs(int32_t ms) { timeoutMs_ = ms; }

    SerialError Leggi();
    SerialError Scrivi();
    SerialError Erase();
    SerialError StartDfu();
    SerialError Reset();
    // The data text changed: clears TxBuffer and shows the token count (kept when there is none).
    void ScriviDatiChange();

private:
    // Open, exchange, close; appends separator and the answer to frameField.
    SerialError Exchange(uint16_t sendCount, int32_t expected, std::string& frameField,
                         std::string_view separator);
    void Report(SerialError result);

    ManualPanelFields& f_;
    ManualPanelHooks& hooks_;
    std::optional<uint32_t> port_;
    int32_t timeoutMs_ = DEFAULT_TIMEOUT_MS;
};

}  // namespace qdfu
