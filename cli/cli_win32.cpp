// Windows process services of the command line: the console's control events, paths, the
// console, whole files in binary mode.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "cli_platform.h"
#include "serial.h"

namespace qdfu {
namespace {

std::atomic<bool>* g_active = nullptr;
std::atomic<int> g_interrupts{0};
// What a second press sends before the port is let go (SetSecondPressLastWords).
uint8_t g_lastWordsBytes[16];
std::atomic<std::size_t> g_lastWords{0};

// The first press clears the flag; a second one lets go of the port and ends the process at once.
void Press() {
    if (g_active) *g_active = false;
    if (g_interrupts.fetch_add(1) == 0) return;
    static constexpr char kText[] = "quarnelix-dfu-cli: interrupted again; the controller may not have been reset\n";
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), kText, sizeof kText - 1, &written, nullptr);
    SerialReleaseForExit(g_lastWords.load() ? g_lastWordsBytes : nullptr, g_lastWords.load());
    ::ExitProcess(kExitInterrupted);
}

// Runs on a thread of its own that the system starts for each event. A closed console (or a
// logoff or shutdown) ends the process as soon as this returns, so it is the abort press and then
// waits while the main thread stops the run, resets the CPU and closes the port; the process
// ends when main returns, or when the few seconds that Windows allows have passed.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        if (g_active) *g_active = false;
        ::Sleep(4500);
        return TRUE;
    }
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    Press();
    return TRUE;
}

}  // namespace

void SetSecondPressLastWords(const uint8_t* bytes, std::size_t n) {
    g_lastWords = 0;
    n = std::min(n, sizeof g_lastWordsBytes);
    std::copy(bytes, bytes + n, g_lastWordsBytes);
    g_lastWords = n;
}

void AbortPress() { Press(); }

std::FILE* OpenStatusChannel(int value) {
    const int fd = ::_open_osfhandle(static_cast<intptr_t>(value), _O_WRONLY | _O_BINARY);
    return fd < 0 ? nullptr : ::_fdopen(fd, "wb");
}

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
bool StandardOutputIsTerminal() { return ::_isatty(::_fileno(stdout)) != 0; }

bool TerminalTakesEscapes() {
    const HANDLE h = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (!::GetConsoleMode(h, &mode)) return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) ||
           ::SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::string LinkTarget(const std::string&) { return {}; }

std::tm UtcTime(std::time_t t) {
    std::tm tm{};
    ::gmtime_s(&tm, &t);
    return tm;
}

bool SyncFile(std::FILE* file) {
    const HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
    return ::GetFileType(h) != FILE_TYPE_DISK || ::FlushFileBuffers(h) != 0;
}

std::string CreateTempBeside(const std::string& path) {
    for (unsigned n = ::GetTickCount() & 0xFFFF, tries = 0; tries < 100; ++n, ++tries) {
        const std::string temp = path + ".tmp" + std::to_string(n);
        const HANDLE h = ::CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            ::CloseHandle(h);
            return temp;
        }
        if (::GetLastError() != ERROR_FILE_EXISTS) break;
    }
    errno = EACCES;
    return {};
}

bool IsDirectory(const std::string& path) {
    const DWORD a = ::GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool RenameOver(const std::string& from, const std::string& to) {
    if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    errno = EACCES;
    return false;
}

std::string WritePrivateTempFile(const std::string& data) {
    char dir[MAX_PATH], path[MAX_PATH];
    const DWORD n = ::GetTempPathA(sizeof dir, dir);
    if (n == 0 || n >= sizeof dir || ::GetTempFileNameA(dir, "qdf", 0, path) == 0) return {};
    if (!WriteWholeFile(path, reinterpret_cast<const uint8_t*>(data.data()), data.size())) {
        ::DeleteFileA(path);
        return {};
    }
    ::SetFileAttributesA(path, FILE_ATTRIBUTE_READONLY);
    return path;
}

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
