// A backend wrapper that records every byte sent and received, with the time since the port was
// opened and the direction, one line per write or per reception burst, readable by a person.
#pragma once

#include <cstdio>
#include <memory>

#include "serial_backend.h"

namespace qdfu {

// out stays owned by the caller and must outlive the backend.
std::unique_ptr<SerialBackend> MakeTranscriptBackend(std::unique_ptr<SerialBackend> inner, std::FILE* out);

}  // namespace qdfu
