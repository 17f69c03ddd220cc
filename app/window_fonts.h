// The face the windows draw their captions in: the application's, unless it cannot draw bold (or a
// hyphen) at the sizes a window uses, as Wine's Tahoma cannot at some sizes; then the first of the
// usual dialog faces that can, so that bold captions are bold on every system.
#pragma once

#include <QFont>
#include <initializer_list>

namespace qdfu {

// The face, checked at each of pixelSizes.
QFont CaptionFont(std::initializer_list<int> pixelSizes);

}  // namespace qdfu
