// Splitting file contents into lines.
#include "text_lines.h"

#include <fcntl.h>
#include <sys/mman.h>
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

FileText::~FileText() {
    if (map_) ::munmap(map_, mapSize_);
}

bool FileText::Open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st{};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) > kMaxTextFileBytes) {
        ::close(fd);
        errno = EFBIG;
        return false;
    }
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        void* p = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (p != MAP_FAILED) {
            ::close(fd);
            map_ = p;
            mapSize_ = static_cast<std::size_t>(st.st_size);
            view_ = std::string_view(static_cast<const char*>(p), mapSize_);
            return true;
        }
    }
    char buf[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        copy_.append(buf, static_cast<std::size_t>(n));
        if (copy_.size() > kMaxTextFileBytes) {  // a pipe or device that never ends
            errno = EFBIG;
            ok = false;
            break;
        }
    }
    const int saved = errno;
    ::close(fd);
    errno = saved;
    view_ = copy_;
    return ok;
}

bool ReadTextLines(const std::string& path, std::vector<std::string>& lines) {
    FileText file;
    if (!file.Open(path)) return false;
    lines = SplitTextLines(file.Text());
    return true;
}

}  // namespace qdfu
