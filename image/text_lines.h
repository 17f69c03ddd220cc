// Reading a text file into lines the way the window's raw view shows it: a line ends at CR, LF or
// CR LF; a last line without an end is still a line; a line end at the very end adds no empty line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qdfu {

std::vector<std::string> SplitTextLines(std::string_view text);

// Reads the whole file; returns false (lines untouched) when it cannot be read.
bool ReadTextLines(const std::string& path, std::vector<std::string>& lines);

}  // namespace qdfu
