// The production line's process seam on Windows: children started with CreateProcess, detached
// from the console (so that only this process gets the user's Ctrl-C and passes on each press as
// one), their standard output, standard error and status handle read through pipes by one thread
// each, and their standard input a control pipe: each byte written to it is one abort press, and
// its end (this process gone, for whatever reason) is an abort press too.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "cli_platform.h"
#include "production_platform.h"

namespace qdfu::proc {
namespace {

// The operator's presses (Ctrl-C, Ctrl-Break) are counted each; a closed console, a logoff or a
// shutdown only asks for the stop, however many come.
std::atomic<int> g_presses{0};
std::atomic<bool> g_stopAsked{false};

BOOL WINAPI OnParentConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT: g_presses.fetch_add(1); return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // the process ends when this returns: the children get their stop request meanwhile
            g_stopAsked.store(true);
            ::Sleep(4500);
            return TRUE;
        default: return FALSE;
    }
}

// Windows's rules for one argument of a command line.
std::string Quote(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, '\\');
    return out + "\"";
}

struct Chunk {
    int id;
    Stream stream;
    std::string data;  // empty: the stream ended
};

}  // namespace

void InstallParentHandlers(bool abortPresses) {
    if (!abortPresses) return;
    ::SetConsoleCtrlHandler(OnParentConsoleEvent, TRUE);
    DWORD mode = 0;  // the live lines move the cursor with ANSI escapes
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (::GetConsoleMode(out, &mode)) ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

void Pause(int ms) {
    // a press comes on a thread of its own: looked for every 5 ms
    const int seen = Interrupts();
    for (int left = ms; left > 0 && Interrupts() == seen; left -= 5) ::Sleep(static_cast<DWORD>(std::min(left, 5)));
}

int Interrupts() {
    const int presses = g_presses.load();
    return presses > 0 ? presses : g_stopAsked.load() ? 1 : 0;
}

struct Children::Impl {
    struct Child {
        HANDLE process = nullptr;
        HANDLE control = nullptr;  // write end of the child's standard input
        std::thread readers[3];
        int open = 3;  // streams not yet ended
        bool exited = false;
        Exit exit;
    };
    std::map<int, Child> children;
    int next = 0;
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Chunk> chunks;

    void Push(Chunk c) {
        {
            std::lock_guard lock(mutex);
            chunks.push_back(std::move(c));
        }
        ready.notify_one();
    }
    // Hands queued chunks to sink (only those of id when id >= 0).
    void Drain(const Sink& sink, int id = -1) {
        std::deque<Chunk> mine;
        {
            std::lock_guard lock(mutex);
            for (auto it = chunks.begin(); it != chunks.end();) {
                if (id < 0 || it->id == id) {
                    mine.push_back(std::move(*it));
                    it = chunks.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (const Chunk& c : mine) {
            const auto found = children.find(c.id);
            if (c.data.empty()) {
                if (found != children.end()) --found->second.open;
                continue;
            }
            sink(c.id, c.stream, c.data.data(), c.data.size());
        }
    }
};

Children::Children() : impl_(std::make_unique<Impl>()) {}

Children::~Children() {
    for (auto& [id, c] : impl_->children) {
        if (!c.exited) {
            ::TerminateProcess(c.process, 1);
            ::WaitForSingleObject(c.process, INFINITE);
        }
        if (c.control) ::CloseHandle(c.control);
        for (std::thread& t : c.readers)
            if (t.joinable()) t.join();
        ::CloseHandle(c.process);
    }
}

int Children::Start(std::vector<std::string> args, std::string& why) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read[3] = {}, write[3] = {}, controlRead = nullptr, controlWrite = nullptr;
    auto closeAll = [&] {
        for (HANDLE* h : {&read[0], &read[1], &read[2], &write[0], &write[1], &write[2], &controlRead, &controlWrite})
            if (*h) ::CloseHandle(*h), *h = nullptr;
    };
    bool piped = ::CreatePipe(&controlRead, &controlWrite, &inherit, 0) != 0;
    for (int k = 0; k < 3 && piped; ++k) piped = ::CreatePipe(&read[k], &write[k], &inherit, 0) != 0;
    if (!piped) {
        why = "cannot make a pipe: error " + std::to_string(::GetLastError());
        closeAll();
        return -1;
    }
    // only the child's ends are inherited
    for (HANDLE h : {read[0], read[1], read[2], controlWrite}) ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
    args.insert(args.end(), {"--status-fd", std::to_string(reinterpret_cast<uintptr_t>(write[kStatus]))});
    std::string line;
    for (const std::string& a : args) {
        if (!line.empty()) line += ' ';
        line += Quote(a);
    }
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = controlRead;
    si.hStdOutput = write[kOut];
    si.hStdError = write[kErr];
    PROCESS_INFORMATION pi{};
    const BOOL started = ::CreateProcessA(args[0].c_str(), line.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS,
                                          nullptr, nullptr, &si, &pi);
    const DWORD error = ::GetLastError();
    for (HANDLE* h : {&write[0], &write[1], &write[2], &controlRead}) ::CloseHandle(*h), *h = nullptr;
    if (!started) {
        why = "cannot start " + args[0] + ": error " + std::to_string(error);
        closeAll();
        return -1;
    }
    ::CloseHandle(pi.hThread);
    const int id = impl_->next++;
    Impl::Child& c = impl_->children[id];
    c.process = pi.hProcess;
    c.control = controlWrite;
    for (int k = 0; k < 3; ++k) {
        c.readers[k] = std::thread([impl = impl_.get(), id, k, h = read[k]] {
            char buf[4096];
            DWORD n = 0;
            while (::ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0)
                impl->Push({id, static_cast<Stream>(k), std::string(buf, n)});
            ::CloseHandle(h);
            impl->Push({id, static_cast<Stream>(k), {}});
        });
    }
    return id;
}

void Children::Wait(int ms, const Sink& sink) {
    {
        std::unique_lock lock(impl_->mutex);
        impl_->ready.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !impl_->chunks.empty(); });
    }
    impl_->Drain(sink);
}

bool Children::Reap(int id, Exit& exit, const Sink& sink) {
    const auto it = impl_->children.find(id);
    if (it == impl_->children.end()) return false;
    Impl::Child& c = it->second;
    if (!c.exited) {
        if (::WaitForSingleObject(c.process, 0) != WAIT_OBJECT_0) return false;
        DWORD code = 0;
        ::GetExitCodeProcess(c.process, &code);
        c.exited = true;
        c.exit = Exit{false, static_cast<int>(code)};
    }
    // what it wrote before it ended
    for (std::thread& t : c.readers)
        if (t.joinable()) t.join();
    impl_->Drain(sink, id);
    exit = c.exit;
    if (c.control) ::CloseHandle(c.control);
    ::CloseHandle(c.process);
    impl_->children.erase(it);
    return true;
}

void Children::Abort(int id, int nth) {
    const auto it = impl_->children.find(id);
    if (it == impl_->children.end() || it->second.exited || !it->second.control) return;
    const char press = nth == 1 ? 'a' : 'x';  // the stop request; the operator's second press
    DWORD put = 0;
    ::WriteFile(it->second.control, &press, 1, &put, nullptr);
}

void Children::Kill(int id) {
    const auto it = impl_->children.find(id);
    if (it != impl_->children.end() && !it->second.exited) ::TerminateProcess(it->second.process, 1);
}

void TieToParent(int) {
    // 'a' on standard input is the stop request, and its end (the parent gone) is one too: both are
    // one request however many come. Any other byte is the operator's second press.
    std::thread([] {
        const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
        char press = 0;
        DWORD n = 0;
        while (::ReadFile(in, &press, 1, &n, nullptr) && n == 1) {
            if (press == 'a')
                AbortPress();
            else
                CutShort();
        }
        AbortPress();
    }).detach();
}

}  // namespace qdfu::proc
