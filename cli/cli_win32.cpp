// Windows process services of the command line: the console's control events, paths, the
// console, whole files in binary mode.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "cli_platform.h"
#include "serial.h"

namespace qdfu {
namespace {

std::atomic<bool>* g_active = nullptr;
std::atomic<int> g_interrupts{0};

// Runs on a thread of its own that the system starts for each event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    if (g_active) *g_active = false;
    if (g_interrupts.fetch_add(1) == 0) return TRUE;
    static constexpr char kText[] = "quarnelix-dfu-cli: interrupted again; the controller may not have been reset\n";
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), kText, sizeof kText - 1, &written, nullptr);
    SerialReleaseForExit();
    ::ExitProcess(kExitInterrupted);
}

}  // namespace

void InstallAbortHandlers(std::atomic<bool>& active) {
    g_active = &active;
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

std::string CanonicalPath(const std::string& path) {
    char full[MAX_PATH];
    const DWORD n = ::GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full || ::GetFileAttributesA(full) == INVALID_FILE_ATTRIBUTES) return {};
    return std::string(full, n);
}

std::string ThisProgram(const char* argv0) {
    char path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
    return n > 0 && n < sizeof path ? std::string(path, n) : std::string(argv0);
}

bool StandardErrorIsTerminal() { return ::_isatty(::_fileno(stderr)) != 0; }

void UseBinaryStandardStreams() {
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
}

bool WriteWholeFile(const std::string& path, const uint8_t* data, std::size_t n) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, n, f) == n;
    return std::fclose(f) == 0 && ok;
}

}  // namespace qdfu
