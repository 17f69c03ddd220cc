// The production line is not built for Windows yet: it starts its uploads as POSIX child processes.
#include <cstdio>

#include "production.h"

namespace qdfu {

int RunMultiPortUpload(const ProductionOptions&, const std::vector<std::string>&) {
    std::fprintf(stderr, "several ports at once are not available on Windows yet: run one upload per port\n");
    return 64;
}

int RunStation(const ProductionOptions&) {
    std::fprintf(stderr, "station mode is not available on Windows yet\n");
    return 64;
}

}  // namespace qdfu
