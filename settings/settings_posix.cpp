// POSIX file-system services of the settings: writable folders, the configuration home, folders
// made on demand.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "settings.h"
#include "settings_platform.h"

namespace qdfu {

bool IsWritableDir(const std::string& dir) { return ::access(dir.c_str(), W_OK | X_OK) == 0; }

std::string DefaultConfigHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg) return xdg;
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.config";
}

std::string DefaultStateHome() {
    const char* xdg = std::getenv("XDG_STATE_HOME");
    if (xdg && *xdg) return xdg;
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.local/state";
}

bool MoveIntoPlace(const std::string& from, const std::string& to) { return ::rename(from.c_str(), to.c_str()) == 0; }

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

}  // namespace qdfu
