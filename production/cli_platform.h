// Process services of the command line: one implementation per platform (cli_posix.cpp,
// cli_win32.cpp).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace qdfu {

// The first abort request (Ctrl-C; SIGTERM and SIGHUP on POSIX, Ctrl-Break on Windows) clears
// active, which the upload polls: it stops at its next check and still resets the CPU. The
// operator's second press (Ctrl-C or Ctrl-Break; SIGTERM and SIGHUP are never one) lets go of the
// port and ends the process at once with status 130, saying on standard error that the
// controller may not have been reset. A closed console on Windows is an abort press that
// waits up to 4.5 s for the run to stop (Windows ends the process then). A reader that goes away never
// ends the process: what cannot be written is dropped.
//
// A production line's child (productionChild) takes every abort signal, its parent's death and, on
// Windows, its parent's first press and the end of its standard input as one stop request however
// many come: it stops, sends the CPU reset and closes the port. Only its parent's word for the
// operator's second press (CutShort) ends it at once.
void InstallAbortHandlers(std::atomic<bool>& active, bool productionChild = false);
// The abort press as the handlers take it, for a press that comes another way (a production
// line's child on Windows hears its parent's presses on its standard input).
void AbortPress();
// A production line's child: the operator pressed again at the parent's terminal.
void CutShort();

// A command that only reads (verify, backup) has the second press send these bytes (at most 16:
// the CPU reset frame) on the open port before it is let go, so the controller never stays in its
// bootloader.
void SetSecondPressLastWords(const uint8_t* bytes, std::size_t n);
// A run with --json has the second press write its end event on standard output before the
// process ends: head, then (when startMs >= 0) the time and seconds of CutShortMiddle for a run
// that started at startMs (milliseconds since 1970, UTC), then tail. At most 4000 bytes in all;
// an empty head writes nothing. Called from the run's own thread, between its events.
void SetSecondPressEndEvent(const std::string& head, const std::string& tail, int64_t startMs);

// The status channel a production line's child was handed (a descriptor on POSIX, a handle on
// Windows) as a stream; null when it cannot be opened.
std::FILE* OpenStatusChannel(int value);

// The path with every link resolved; "" when it names nothing.
std::string CanonicalPath(const std::string& path);

// What the link at path points to, as written; "" when path is no link (always on Windows).
std::string LinkTarget(const std::string& path);

bool StandardErrorIsTerminal();
bool StandardOutputIsTerminal();
// True when the terminal on standard error moves the cursor on ANSI escapes (switched on where the
// console needs it); false: lines are redrawn with carriage returns and blanks only.
bool TerminalTakesEscapes();

// Broken-down UTC time.
std::tm UtcTime(std::time_t t);

// Pushes what was flushed to the file onto the disk; true for a pipe or a device, which have no
// disk behind them.
bool SyncFile(std::FILE* file);

// A new empty file beside path (same folder, so that a rename replaces path in one step); "" with
// errno set when that folder cannot take it.
std::string CreateTempBeside(const std::string& path);
// True when path names a folder.
bool IsDirectory(const std::string& path);
// Puts from in place of to, replacing it; false (errno set) on failure.
bool RenameOver(const std::string& from, const std::string& to);

// A new file only this user can read, holding data, in the temporary folder (named in folder): a
// private copy that nothing else can replace while it is in use. Its name carries this process's
// id, so that a later run can clear it if this process never could. "" (errno set) on failure.
std::string WritePrivateTempFile(const std::string& data, std::string& folder);
// Removes such a copy (its protection lifted first where the system needs that).
void RemovePrivateTempFile(const std::string& path);
// Removes the private copies that runs whose process has gone (killed, crashed) left behind.
void RemoveOrphanedPrivateCopies();

// Standard output and error carry bytes as written: lines end in LF on every platform, so that a
// log captured on Windows equals one captured on Linux.
void UseBinaryStandardStreams();

// Replaces the file's contents with n bytes; false (errno set) on failure.
bool WriteWholeFile(const std::string& path, const uint8_t* data, std::size_t n);

// This machine's name, for the ledger's station field.
std::string HostName();

// Replaces this process with program, given args (args[0] included); returns only when it could
// not (errno set).
bool ExecProgram(const std::string& program, const std::vector<std::string>& args);

// The running program's own file, to start it again for one port of a production line.
std::string ThisProgram(const char* argv0);

inline constexpr int kExitInterrupted = 130;

}  // namespace qdfu
