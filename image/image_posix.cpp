// POSIX: the image buffer and HEX files mapped from the system.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "image_platform.h"
#include "text_lines.h"

namespace qdfu {

uint8_t* AllocateZeroedImage(std::size_t size) {
    // populated in one go: cheaper than a page fault for each of its pages
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return static_cast<uint8_t*>(p == MAP_FAILED ? std::calloc(size, 1) : p);
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

}  // namespace qdfu
