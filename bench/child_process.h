// Starting the programs under measurement as child processes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qdfu::bench {

// args[0] is the program. stdoutFd >= 0 becomes its standard output; quiet sends its standard
// error to /dev/null. -1 when it cannot be started.
pid_t Spawn(std::vector<std::string> args, int stdoutFd, bool quiet = false);

// A quarnelix-devsim started with args (args[0] is the program), its pty path read from its first
// line; pid -1 when it could not be started. Stop ends it.
struct Devsim {
    pid_t pid = -1;
    std::string path;
};
Devsim StartDevsim(std::vector<std::string> args);
void Stop(Devsim& sim);

// Bytes in both directions recorded in a --transcript file.
long TranscriptBytes(const std::string& path);

// Runs args (args[0] is the program) with its standard output to /dev/null; its exit status, wall
// time and CPU time in seconds.
struct Timed {
    int status = -1;
    double wall = 0;
    double cpu = 0;
};
Timed RunTimed(std::vector<std::string> args);

}  // namespace qdfu::bench
