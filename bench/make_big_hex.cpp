// Writes the largest image as a HEX file: make_big_hex OUT.hex [BYTES]
#include <cstdio>
#include <cstdlib>

#include "big_hex.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_big_hex OUT.hex [BYTES]\n");
        return 64;
    }
    const int bytes = argc > 2 ? std::atoi(argv[2]) : 0x2B000;
    return qdfu::bench::WriteBigHex(argv[1], bytes) ? 0 : 1;
}
