// Linux: the offscreen platform asks fontconfig, as the desktop platforms do.
#include "offscreen_fonts.h"

namespace qdfu::test {

void PrepareOffscreenFonts() {}
void UseSystemFont() {}

}  // namespace qdfu::test
