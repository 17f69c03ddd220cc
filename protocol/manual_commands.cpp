// Manual command panel logic.
#include "manual_commands.h"

#include <algorithm>

namespace qdfu {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool ParseHexStrict(std::string_view s, uint32_t& value) {
    if (s.empty()) return false;
    uint64_t v = 0;
    for (char c : s) {
        const int d = HexValue(c);
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint64_t>(d);
        if (v > 0xFFFFFFFFull) return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= 0x20; }

}  // namespace

bool ParseHexField(std::string_view text, uint32_t& value) {
    while (!text.empty() && IsBlankOrControl(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlankOrControl(text.back())) text.remove_suffix(1);
    return ParseHexStrict(text, value);
}

bool ParseTypedHex(std::string_view text, uint32_t& value) {
    while (!text.empty() && IsBlankOrControl(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlankOrControl(text.back())) text.remove_suffix(1);
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    return ParseHexStrict(text, value);
}

ManualAddress CheckManualAddress(std::string_view text, uint32_t& value) {
    if (!ParseHexField(text, value)) return ManualAddress::NotANumber;
    return value < BOOT_AREA_END ? ManualAddress::BootArea : ManualAddress::Ok;
}

std::string ManualAddressRefusal(std::string_view command, std::string_view text) {
    return std::string(command) + ": '" + std::string(text) +
           "' is not a hexadecimal address (digits 0-9 and A-F, no prefix): nothing sent";
}

std::string BootAreaQuestion(std::string_view command, uint32_t address) {
    return std::string(command) + " at " + HexDigits(address, 8) +
           ": this address lies in the bootloader's own area (below 00002800). Changing it can leave the "
           "controller unable to start.\n\nSend the command all the same?";
}

std::string HexDigits(uint32_t value, int digits) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4) s[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
    return s;
}

DataTokens ParseDataTokens(std::string_view text) {
    DataTokens t;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        const std::size_t begin = i;
        while (i < text.size() && text[i] != ' ') ++i;
        uint32_t v = 0;
        const bool number = ParseHexStrict(text.substr(begin, i - begin), v);
        t.Bytes.push_back(number ? static_cast<uint8_t>(v & 0xFF) : 0x00);
        ++t.Count;
    }
    return t;
}

std::vector<BlockRecord> SplitIntoBlocks(const BlockRecord& record) { return {record}; }

SerialError ManualPanel::Exchange(uint16_t sendCount, int32_t expected, std::string& frameField,
                                  std::string_view separator) {
    hooks_.ProcessEvents(f_);
    hooks_.SetExchangeButtonsEnabled(false);
    SerialError result = port_ ? SerialOpenDefault(*port_, timeoutMs_) : SERIAL_CREATE_HANDLE_ERROR;
    if (result == SERIAL_OK) result = SerialTransact(sendCount, expected);
    SerialCloseDefault();
    hooks_.SetExchangeButtonsEnabled(true);
    frameField += separator;
    const std::size_t shown = std::clamp<int32_t>(RxLast + 1, 0, static_cast<int32_t>(RxBuffer.size()));
    frameField += FrameHexText(RxBuffer.data(), shown, "");
    return result;
}

void ManualPanel::Report(SerialError result) {
    if (result != SERIAL_OK) hooks_.ShowError(SerialErrorText(result));
}

SerialError ManualPanel::Leggi() {
    uint32_t length = 16;
    if (!ParseHexField(f_.LeggiLen, length) || length > 16 || length < 1) length = 16;
    uint32_t address = 0;
    if (!ParseHexField(f_.LeggiAddress, address)) address = 0;
    const int n = ReadFrame(static_cast<uint8_t>(length), address);
    f_.LeggiAddress = HexDigits(address, 8);
    f_.LeggiLen = HexDigits(length, 2);
    f_.LeggiFrame = FrameHexText(TxBuffer.data(), static_cast<std::size_t>(n), "");
    const SerialError result =
        Exchange(static_cast<uint16_t>(n), static_cast<int32_t>(length) + 4, f_.LeggiFrame, "  -  ");
    // a refusal or a broken answer carries no memory: the data field is left empty
    uint8_t data[256];
    const std::size_t count = result == SERIAL_OK ? ReadAnswerData(data, sizeof data) : 0;
    f_.LeggiDati = FrameHexText(data, count, " ");
    Report(result);
    return result;
}

void ManualPanel::ScriviDatiChange() {
    TxBuffer.fill(0);
    const DataTokens tokens = ParseDataTokens(f_.ScriviDati);
    if (tokens.Count > 0) f_.ScriviLen = std::to_string(tokens.Count);
}

SerialError ManualPanel::Scrivi() {
    DataTokens tokens = ParseDataTokens(f_.ScriviDati);
    if (tokens.Bytes.size() > MANUAL_MAX_BYTES) tokens.Bytes.resize(MANUAL_MAX_BYTES);
    uint32_t address = 0;
    if (!ParseHexField(f_.ScriviAddress, address)) address = 0;

    BlockRecord record;
    record.Length = static_cast<uint8_t>(tokens.Bytes.size());
    record.Address = address;
    std::copy(tokens.Bytes.begin(), tokens.Bytes.end(), record.Data.begin());
    const std::vector<BlockRecord> blocks = SplitIntoBlocks(record);

    const std::string dataText = FrameHexText(tokens.Bytes.data(), tokens.Bytes.size(), " ");
    if (dataText != f_.ScriviDati) {
        f_.ScriviDati = dataText;
        ScriviDatiChange();
    }
    f_.ScriviAddress = HexDigits(blocks.front().Address, 8);
    f_.ScriviFrame.clear();

    SerialError result = SERIAL_OK;
    for (const BlockRecord& block : blocks) {
        const int n = WriteFrame(block);
        f_.ScriviFrame += FrameHexText(TxBuffer.data(), static_cast<std::size_t>(n), "");
        result = Exchange(static_cast<uint16_t>(n), 0, f_.ScriviFrame, "->");
        f_.ScriviFrame += ' ';
        if (result != SERIAL_OK) break;
    }
    Report(result);
    return result;
}

SerialError ManualPanel::Erase() {
    uint32_t address = 0;
    if (!ParseHexField(f_.EraseAddress, address)) address = 0;
    const int n = EraseFrame(address);
    f_.EraseAddress = HexDigits(address, 8);
    f_.EraseFrame = FrameHexText(TxBuffer.data(), static_cast<std::size_t>(n), "");
    const SerialError result = Exchange(static_cast<uint16_t>(n), 0, f_.EraseFrame, "  -  ");
    Report(result);
    return result;
}

SerialError ManualPanel::StartDfu() {
    const int n = StartDfuFrame();
    f_.StartFrame = FrameHexText(TxBuffer.data(), static_cast<std::size_t>(n), "");
    const SerialError result = Exchange(static_cast<uint16_t>(n), 0, f_.StartFrame, "  -  ");
    Report(result);
    return result;
}

SerialError ManualPanel::Reset() {
    const int n = ResetFrame();
    f_.RstFrame = FrameHexText(TxBuffer.data(), static_cast<std::size_t>(n), "");
    const SerialError result = Exchange(static_cast<uint16_t>(n), 0, f_.RstFrame, "  -  ");
    Report(result);
    return result;
}

}  // namespace qdfu
