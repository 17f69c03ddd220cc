// Settings file: encoding, reading and writing of the 269-byte record.
#include "settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

bool IsWritableDir(const std::string& dir) { return access(dir.c_str(), W_OK | X_OK) == 0; }

}  // namespace

bool MakeDirectories(const std::string& dir) {
    std::string partial;
    for (std::size_t i = 0; i <= dir.size(); ++i) {
        if ((i == dir.size() || dir[i] == '/') && !partial.empty()) {
            if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
        }
        if (i < dir.size()) partial += dir[i];
    }
    return true;
}

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
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        record = DecodeSettings(b);
        record.HexFilePath.clear();
        record.PortNumber = -1;
        return false;
    }
    std::size_t got = 0;
    while (got < b.size()) {
        const ssize_t r = read(fd, b.data() + got, b.size() - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    close(fd);
    record = DecodeSettings(b);
    return true;
}

bool SaveSettings(const std::string& path, const SettingsRecord& record) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const SettingsBytes b = EncodeSettings(record);
    std::size_t put = 0;
    bool ok = true;
    while (put < b.size()) {
        const ssize_t w = pwrite(fd, b.data() + put, b.size() - put, static_cast<off_t>(put));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            ok = false;
            break;
        }
        put += static_cast<std::size_t>(w);
    }
    if (close(fd) != 0) ok = false;
    return ok;
}

std::string DefaultConfigHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg) return xdg;
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.config";
}

std::string SettingsPath(const std::string& exeDir, const std::string& configHome) {
    std::string dir = exeDir;
    if (!dir.empty() && dir.back() != '/') dir += '/';
    if (IsWritableDir(dir.empty() ? "." : dir)) return dir + kSettingsFileName;
    std::string fallback = configHome;
    if (!fallback.empty() && fallback.back() != '/') fallback += '/';
    fallback += "quarnelix-dfu/";
    MakeDirectories(fallback);
    return fallback + kSettingsFileName;
}

SettingsRecord& ProcessSettings() {
    static SettingsRecord record;
    return record;
}

}  // namespace qdfu
