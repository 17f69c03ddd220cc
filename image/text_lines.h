// Reading a text file into lines the way the window's raw view shows it: a line ends at CR, LF or
// CR LF; a last line without an end is still a line; a line end at the very end adds no empty line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qdfu {

std::vector<std::string> SplitTextLines(std::string_view text);

// No HEX file for this controller comes near this size (the whole image is about 500 KB of text);
// a larger file is refused with EFBIG instead of being read into memory and the views.
inline constexpr std::size_t kMaxTextFileBytes = 64u << 20;

// A whole file's bytes, mapped read-only when it is a regular file and read otherwise.
class FileText {
public:
    FileText() = default;
    ~FileText();
    FileText(const FileText&) = delete;
    FileText& operator=(const FileText&) = delete;
    // False (errno set) when the file cannot be read.
    bool Open(const std::string& path);
    std::string_view Text() const { return view_; }

private:
    void* map_ = nullptr;
    std::size_t mapSize_ = 0;
    std::string copy_;
    std::string_view view_;
};

// Reads the whole file; returns false (lines untouched) when it cannot be read.
bool ReadTextLines(const std::string& path, std::vector<std::string>& lines);

}  // namespace qdfu
