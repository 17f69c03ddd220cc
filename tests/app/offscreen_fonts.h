// The offscreen platform with the fonts the system's own platform would give the window, so that
// what the tests measure (captions, fixed-pitch views) is what a user of that system sees.
#pragma once

namespace qdfu::test {

void PrepareOffscreenFonts();  // before the application object exists
void UseSystemFont();          // after

}  // namespace qdfu::test
