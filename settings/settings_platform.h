// What the settings need of the file system beyond standard C++: one implementation per platform
// (settings_posix.cpp, settings_win32.cpp).
#pragma once

#include <string>

namespace qdfu {

// Whether files can be created in dir.
bool IsWritableDir(const std::string& dir);

}  // namespace qdfu
