// Starting the programs under measurement as child processes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qdfu::bench {

// args[0] is the program. stdoutFd >= 0 becomes its standard output; quiet sends its standard
// error to /dev/null. -1 when it cannot be started.
pid_t Spawn(std::vector<std::string> args, int stdoutFd, bool quiet = false);

}  // namespace qdfu::bench
