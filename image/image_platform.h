// What the image needs of the system beyond standard C++: one implementation per platform
// (image_posix.cpp, image_win32.cpp), together with FileText's members.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qdfu {

// size zeroed bytes for the life of the process; never null.
uint8_t* AllocateZeroedImage(std::size_t size);

}  // namespace qdfu
