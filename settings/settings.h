// The settings record: the 269-byte file that remembers the last HEX file, the port, the port-list
// mode, the line-settings switch and the start-up state of the verify option. The record in memory
// is also the live configuration: the serial driver reads ApplyLineSettings at every open.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace qdfu {

inline constexpr std::size_t kSettingsFileSize = 269;
inline constexpr std::size_t kHexFilePathSize = 256;  // 255 characters and a NUL
inline constexpr const char* kSettingsFileName = "CONFIG_DFU_dsPIC_Quarnelix_V3.BIN";

// Byte offsets inside the file; integers are little-endian.
inline constexpr std::size_t kOffHexFilePath = 0;
inline constexpr std::size_t kOffPortNumber = 256;
inline constexpr std::size_t kOffVerifyAfterWrite = 260;
inline constexpr std::size_t kOffAutoPortSelect = 261;
inline constexpr std::size_t kOffApplyLineSettings = 265;
static_assert(kOffApplyLineSettings + 4 == kSettingsFileSize);

struct SettingsRecord {
    std::string HexFilePath;  // at most 255 characters are ever stored
    int32_t PortNumber = 0;
    uint8_t VerifyAfterWrite = 0;
    int32_t AutoPortSelect = 0;
    int32_t ApplyLineSettings = 0;
};

using SettingsBytes = std::array<uint8_t, kSettingsFileSize>;

// Field-by-field encoding. A path longer than 255 characters is cut at 255 so that it never
// reaches PortNumber; the byte at offset 255 is then the terminating NUL.
SettingsBytes EncodeSettings(const SettingsRecord& record);
// Reads the path up to its first NUL, or all 256 characters when there is none.
SettingsRecord DecodeSettings(const SettingsBytes& bytes);

// Fills the record from the file at path: up to 269 bytes from its start, a shorter file leaving
// zeros. With no file (or one that cannot be opened) the record is the default: empty path,
// PortNumber -1, the rest 0. Returns whether a file was read.
bool LoadSettings(const std::string& path, SettingsRecord& record);

// Writes the 269 bytes at the start of the file, creating it when missing and never truncating
// a longer one. Returns false when nothing could be written; callers may ignore it.
bool SaveSettings(const std::string& path, const SettingsRecord& record);

// Where the settings file lives: beside the executable when that folder is writable, otherwise
// under configHome/quarnelix-dfu/ (created on demand). exeDir and configHome have no trailing
// separator requirement.
std::string SettingsPath(const std::string& exeDir, const std::string& configHome);

// $XDG_CONFIG_HOME, or ~/.config; %APPDATA% on Windows.
std::string DefaultConfigHome();

// $XDG_STATE_HOME, or ~/.local/state; %LOCALAPPDATA% on Windows: where state that outlives a run
// (resume points) is kept.
std::string DefaultStateHome();

// Puts the file at from in place of to, replacing it in one step; false when it could not.
bool MoveIntoPlace(const std::string& from, const std::string& to);

// Creates dir and its missing parents; true when it exists afterwards.
bool MakeDirectories(const std::string& dir);

// The process-wide record that the window and the serial driver share.
SettingsRecord& ProcessSettings();

}  // namespace qdfu
