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
#include "json_events.h"
#include "serial.h"

namespace qdfu {
namespace {

std::atomic<bool>* g_active = nullptr;
std::atomic<int> g_interrupts{0};
// What a second press sends before the port is let go (SetSecondPressLastWords).
uint8_t g_lastWordsBytes[16];
std::atomic<std::size_t> g_lastWords{0};

// A production line's child: see InstallAbortHandlers.
bool g_child = false;

// The end event a second press writes (SetSecondPressEndEvent): two buffers, so that the one the
// handler may read is never the one being filled.
struct EndEvent {
    char text[4000];
    std::size_t head = 0, tail = 0;
    int64_t startMs = -1;
};
EndEvent g_endEvents[2];
std::atomic<int> g_endEvent{-1};

// The first press clears the flag; a second one lets go of the port and ends the process at once.
// A production line's child takes every press as the one stop request, unless cut is set.
void Press(bool cut = false) {
    if (g_active) *g_active = false;
    if (g_child && !cut) return;
    if (!g_child && g_interrupts.fetch_add(1) == 0) return;
    static constexpr char kText[] = "quarnelix-dfu-cli: interrupted again; the controller may not have been reset\n";
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), kText, sizeof kText - 1, &written, nullptr);
    SerialReleaseForExit(g_lastWords.load() ? g_lastWordsBytes : nullptr, g_lastWords.load());
    if (const int k = g_endEvent.load(); k >= 0) {
        const EndEvent& e = g_endEvents[k];
        const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
        ::WriteFile(out, e.text, static_cast<DWORD>(e.head), &written, nullptr);
        if (e.startMs >= 0) {
            FILETIME ft;
            ::GetSystemTimeAsFileTime(&ft);
            const int64_t ticks = static_cast<int64_t>((uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime);
            const int64_t nowMs = ticks / 10000 - 11644473600000LL;  // from 1601 to 1970
            char middle[64];
            ::WriteFile(out, middle, static_cast<DWORD>(CutShortMiddle(middle, nowMs, e.startMs)), &written, nullptr);
        }
        ::WriteFile(out, e.text + e.head, static_cast<DWORD>(e.tail), &written, nullptr);
    }
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

void SetSecondPressEndEvent(const std::string& head, const std::string& tail, int64_t startMs) {
    if (head.empty() || head.size() + tail.size() > sizeof g_endEvents[0].text) {
        g_endEvent = -1;
        return;
    }
    const int k = g_endEvent.load() == 0 ? 1 : 0;
    EndEvent& e = g_endEvents[k];
    std::copy(head.begin(), head.end(), e.text);
    std::copy(tail.begin(), tail.end(), e.text + head.size());
    e.head = head.size();
    e.tail = tail.size();
    e.startMs = startMs;
    g_endEvent = k;
}

void AbortPress() { Press(); }
void CutShort() { Press(true); }

std::FILE* OpenStatusChannel(int value) {
    const int fd = ::_open_osfhandle(static_cast<intptr_t>(value), _O_WRONLY | _O_BINARY);
    return fd < 0 ? nullptr : ::_fdopen(fd, "wb");
}

void InstallAbortHandlers(std::atomic<bool>& active, bool productionChild) {
    g_active = &active;
    g_child = productionChild;
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

std::string HostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD n = sizeof name;
    return ::GetComputerNameA(name, &n) ? std::string(name, n) : std::string();
}

bool ExecProgram(const std::string&, const std::vector<std::string>&) {
    errno = ENOSYS;  // the Windows build is one program: nothing to hand over to
    return false;
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

namespace {

constexpr char kCopyPrefix[] = "quarnelix-dfu-";

std::string TempFolder() {
    char dir[MAX_PATH];
    const DWORD n = ::GetTempPathA(sizeof dir, dir);
    return n == 0 || n >= sizeof dir ? std::string() : std::string(dir, n);
}

}  // namespace

void RemovePrivateTempFile(const std::string& path) {
    ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);  // a read-only file cannot be deleted
    ::DeleteFileA(path.c_str());
}

void RemoveOrphanedPrivateCopies() {
    const std::string folder = TempFolder();
    if (folder.empty()) return;
    WIN32_FIND_DATAA found;
    const HANDLE find = ::FindFirstFileA((folder + kCopyPrefix + "*.tmp").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::string name = found.cFileName;
        char* end = nullptr;
        const unsigned long pid = std::strtoul(name.c_str() + sizeof kCopyPrefix - 1, &end, 10);
        if (pid == 0 || *end != '-' || pid == ::GetCurrentProcessId()) continue;
        bool gone = true;
        if (const HANDLE p = ::OpenProcess(SYNCHRONIZE, FALSE, pid)) {
            gone = ::WaitForSingleObject(p, 0) == WAIT_OBJECT_0;
            ::CloseHandle(p);
        }
        if (gone) RemovePrivateTempFile(folder + name);
    } while (::FindNextFileA(find, &found));
    ::FindClose(find);
}

std::string WritePrivateTempFile(const std::string& data, std::string& folder) {
    folder = TempFolder();
    if (folder.empty()) return {};
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        const std::string path = folder + kCopyPrefix + std::to_string(::GetCurrentProcessId()) + "-" +
                                 std::to_string(::GetTickCount() + attempt) + ".tmp";
        const HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (::GetLastError() == ERROR_FILE_EXISTS) continue;
            errno = ::GetLastError() == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
            return {};
        }
        ::CloseHandle(h);
        if (!WriteWholeFile(path, reinterpret_cast<const uint8_t*>(data.data()), data.size())) {
            RemovePrivateTempFile(path);
            return {};
        }
        ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
        return path;
    }
    errno = EEXIST;
    return {};
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
