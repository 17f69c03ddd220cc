// Windows: the image buffer, and HEX files read whole in binary mode.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "image_platform.h"
#include "text_lines.h"

namespace qdfu {

uint8_t* AllocateZeroedImage(std::size_t size) { return static_cast<uint8_t*>(std::calloc(size, 1)); }

FileText::~FileText() = default;

bool FileText::Open(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec) && std::filesystem::file_size(path, ec) > kMaxTextFileBytes) {
        errno = EFBIG;
        return false;
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    char buf[65536];
    bool ok = true;
    for (;;) {
        const std::size_t n = std::fread(buf, 1, sizeof buf, f);
        copy_.append(buf, n);
        if (copy_.size() > kMaxTextFileBytes) {
            errno = EFBIG;
            ok = false;
            break;
        }
        if (n < sizeof buf) {
            if (std::ferror(f)) {
                errno = EIO;
                ok = false;
            }
            break;
        }
    }
    std::fclose(f);
    view_ = copy_;
    return ok;
}

}  // namespace qdfu
