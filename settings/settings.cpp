// Settings file: encoding, reading and writing of the 269-byte record.
#include "settings.h"

#include <algorithm>
#include <fstream>

#include "settings_platform.h"

namespace qdfu {
namespace {

void PutLe32(SettingsBytes& b, std::size_t off, int32_t value) {
    const auto v = static_cast<uint32_t>(value);
    for (std::size_t i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

int32_t GetLe32(const SettingsBytes& b, std::size_t off) {
    uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v |= static_cast<uint32_t>(b[off + i]) << (8 * i);
    return static_cast<int32_t>(v);
}

}  // namespace

SettingsBytes EncodeSettings(const SettingsRecord& record) {
    SettingsBytes b{};
    const std::size_t n = std::min(record.HexFilePath.size(), kHexFilePathSize - 1);
    for (std::size_t i = 0; i < n; ++i) b[kOffHexFilePath + i] = static_cast<uint8_t>(record.HexFilePath[i]);
    PutLe32(b, kOffPortNumber, record.PortNumber);
    b[kOffVerifyAfterWrite] = record.VerifyAfterWrite;
    PutLe32(b, kOffAutoPortSelect, record.AutoPortSelect);
    PutLe32(b, kOffApplyLineSettings, record.ApplyLineSettings);
    return b;
}

SettingsRecord DecodeSettings(const SettingsBytes& b) {
    SettingsRecord r;
    std::size_t n = 0;
    while (n < kHexFilePathSize && b[kOffHexFilePath + n] != 0) ++n;
    r.HexFilePath.assign(reinterpret_cast<const char*>(b.data()) + kOffHexFilePath, n);
    r.PortNumber = GetLe32(b, kOffPortNumber);
    r.VerifyAfterWrite = b[kOffVerifyAfterWrite];
    r.AutoPortSelect = GetLe32(b, kOffAutoPortSelect);
    r.ApplyLineSettings = GetLe32(b, kOffApplyLineSettings);
    return r;
}

bool LoadSettings(const std::string& path, SettingsRecord& record) {
    SettingsBytes b{};
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        record = DecodeSettings(b);
        record.HexFilePath.clear();
        record.PortNumber = -1;
        return false;
    }
    in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(b.size()));
    record = DecodeSettings(b);
    return true;
}

bool SaveSettings(const std::string& path, const SettingsRecord& record) {
    // Created when missing, never truncated: a longer file keeps its tail.
    { std::ofstream create(path, std::ios::binary | std::ios::app); }
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    if (!out) return false;
    const SettingsBytes b = EncodeSettings(record);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    out.close();
    return !out.fail();
}

std::string SettingsPath(const std::string& exeDir, const std::string& configHome) {
    auto withSeparator = [](std::string dir) {
        if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') dir += '/';
        return dir;
    };
    const std::string dir = withSeparator(exeDir);
    if (IsWritableDir(dir.empty() ? "." : dir)) return dir + kSettingsFileName;
    const std::string fallback = withSeparator(configHome) + "quarnelix-dfu/";
    MakeDirectories(fallback);
    return fallback + kSettingsFileName;
}

SettingsRecord& ProcessSettings() {
    static SettingsRecord record;
    return record;
}

}  // namespace qdfu
