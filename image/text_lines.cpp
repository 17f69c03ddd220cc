// Splitting file contents into lines.
#include "text_lines.h"


namespace qdfu {

std::vector<std::string> SplitTextLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t begin = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.emplace_back(text.substr(begin, i - begin));
            i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
            begin = i;
        } else {
            ++i;
        }
    }
    if (begin < text.size()) lines.emplace_back(text.substr(begin));
    return lines;
}

bool ReadTextLines(const std::string& path, std::vector<std::string>& lines) {
    FileText file;
    if (!file.Open(path)) return false;
    lines = SplitTextLines(file.Text());
    return true;
}

}  // namespace qdfu
