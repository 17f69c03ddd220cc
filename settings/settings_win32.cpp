// Windows file-system services of the settings: a folder is writable when a file can be created
// in it (the read-only attribute says nothing of a folder's rights), the configuration home is
// %APPDATA%, and folders are made on demand.
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "settings.h"
#include "settings_platform.h"

namespace qdfu {

bool IsWritableDir(const std::string& dir) {
    std::string probe = dir;
    if (!probe.empty() && probe.back() != '/' && probe.back() != '\\') probe += '\\';
    probe += "quarnelix-dfu-write-probe-" + std::to_string(::GetCurrentProcessId()) + ".tmp";
    const HANDLE h = ::CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(h);
    return true;
}

std::string DefaultConfigHome() {
    const char* appData = std::getenv("APPDATA");
    return appData && *appData ? appData : ".";
}

std::string DefaultStateHome() {
    const char* local = std::getenv("LOCALAPPDATA");
    return local && *local ? local : DefaultConfigHome();
}

bool MoveIntoPlace(const std::string& from, const std::string& to) {
    return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool MakeDirectories(const std::string& dir) {
    std::string partial;
    for (std::size_t i = 0; i <= dir.size(); ++i) {
        const bool separator = i == dir.size() || dir[i] == '/' || dir[i] == '\\';
        if (separator && !partial.empty() && partial.back() != ':') {
            if (!::CreateDirectoryA(partial.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
                errno = ENOENT;
                return false;
            }
        }
        if (i < dir.size()) partial += dir[i];
    }
    return true;
}

}  // namespace qdfu
