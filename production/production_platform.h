// The production line's process seam: starting one child per port, reading what it writes,
// passing on abort presses and ending it. One implementation per platform (production_posix.cpp;
// production_win32.cpp); the engine in production.cpp uses nothing else of the system.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qdfu::proc {

// Abort presses to this process are counted from here on, and a SIGCHLD inherited as ignored is
// set back to its default. Each of the operator's presses (Ctrl-C; Ctrl-Break on Windows) counts;
// SIGTERM and SIGHUP (a closed console, a logoff on Windows) only ask for the stop: however many
// come, they are one press, and never the second one that cuts the children short.
// abortPresses false (a program that takes its stop requests otherwise, as the operator window
// does): only what reaping the children needs; the signals keep their actions.
void InstallParentHandlers(bool abortPresses = true);
int Interrupts();
// Waits up to ms, less when an abort press comes meanwhile.
void Pause(int ms);

// A child's streams, as Wait hands out what it wrote.
enum Stream { kOut = 0, kErr = 1, kStatus = 2 };
using Sink = std::function<void(int id, Stream stream, const char* data, std::size_t n)>;

struct Exit {
    bool Signalled = false;
    int Code = 0;  // exit status, or the signal that ended it
};

class Children {
public:
    Children();
    ~Children();  // kills and reaps what still runs
    Children(const Children&) = delete;
    Children& operator=(const Children&) = delete;

    // Starts args (args[0] is the program) with "--status-fd N" added, standard input from
    // nowhere, and the abort signals held back until the child has installed its own handlers.
    // Returns its id, or -1 with why set (nothing was started).
    int Start(std::vector<std::string> args, std::string& why);
    // Waits up to ms for any child to write, and hands what came to sink.
    void Wait(int ms, const Sink& sink);
    // True once the child has ended; everything it wrote has then gone to sink.
    bool Reap(int id, Exit& exit, const Sink& sink);
    // The nth abort press for the child (1 for the first): each one reaches it as one.
    void Abort(int id, int nth);
    void Kill(int id);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// In a child: the abort press comes when the parent dies (for whatever reason), and at once when
// it has died already. statusFd is the channel to the parent.
void TieToParent(int statusFd);

}  // namespace qdfu::proc
