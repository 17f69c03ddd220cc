// Process services of the command line: one implementation per platform (cli_posix.cpp,
// cli_win32.cpp).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qdfu {

// The first abort request (Ctrl-C; SIGTERM and SIGHUP on POSIX, Ctrl-Break and a closed console
// on Windows) clears active, which the upload polls: it stops at its next check and still resets
// the CPU. A second one lets go of the port and ends the process at once with status 130, saying
// on standard error that the controller may not have been reset. A reader that goes away never
// ends the process: what cannot be written is dropped.
void InstallAbortHandlers(std::atomic<bool>& active);

// The path with every link resolved; "" when it names nothing.
std::string CanonicalPath(const std::string& path);

bool StandardErrorIsTerminal();

// Standard output and error carry bytes as written: lines end in LF on every platform, so that a
// log captured on Windows equals one captured on Linux.
void UseBinaryStandardStreams();

// Replaces the file's contents with n bytes; false (errno set) on failure.
bool WriteWholeFile(const std::string& path, const uint8_t* data, std::size_t n);

// The running program's own file, to start it again for one port of a production line.
std::string ThisProgram(const char* argv0);

inline constexpr int kExitInterrupted = 130;

}  // namespace qdfu
