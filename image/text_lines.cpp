// Splitting file contents into lines.
#include "text_lines.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st{};
    std::string content;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) content.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        content.append(buf, static_cast<std::size_t>(n));
    }
    const int saved = errno;
    ::close(fd);
    errno = saved;
    if (!ok) return false;
    lines = SplitTextLines(content);
    return true;
}

}  // namespace qdfu
