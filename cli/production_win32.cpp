// The production line's process seam on Windows is not built yet: the engine starts no child
// there, and the command line says so before anything is touched.
#include "production_platform.h"

namespace qdfu::proc {

bool Available() { return false; }
void InstallParentHandlers() {}
int Interrupts() { return 0; }

struct Children::Impl {};
Children::Children() : impl_(std::make_unique<Impl>()) {}
Children::~Children() = default;
int Children::Start(std::vector<std::string>, std::string& why) {
    why = "not available on Windows yet";
    return -1;
}
void Children::Wait(int, const Sink&) {}
bool Children::Reap(int, Exit&, const Sink&) { return false; }
void Children::Abort(int, int) {}
void Children::Kill(int) {}
void TieToParent(int) {}

}  // namespace qdfu::proc
