// The command line as a whole process for the tests: its output, error and status, with signals
// sent to it on a schedule and, if asked, a reader that goes away.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace qdfu::test {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

struct TimedSignal {
    int afterMs;  // from the start, or from the signal before
    int signal;
};

// The state folder (XDG_STATE_HOME) of the command lines that the running test starts: its own,
// made empty when the test starts.
std::string StateFolder();

// Runs the CLI with args, sending the signals in turn. With closeAfterLines > 0 its standard output
// is a pipe that this reader closes after that many lines (the output is then not kept).
Outcome RunCli(std::vector<std::string> args, std::vector<TimedSignal> signals = {}, int closeAfterLines = 0);
Outcome RunCli(std::vector<std::string> args, int interruptAfterMs);
// Runs the CLI and, while it runs, during(pid) (which may signal the CLI or its children); returns
// once both have ended.
Outcome RunCliDuring(std::vector<std::string> args, const std::function<void(int pid)>& during);
// The same with a copy of the command line at program.
Outcome RunProgramDuring(const std::string& program, std::vector<std::string> args,
                         const std::function<void(int pid)>& during);

// The running children of process pid: their pids and command lines.
struct ChildProcess {
    int pid = 0;
    std::vector<std::string> args;
};
std::vector<ChildProcess> ChildrenOf(int pid);

// The JSON Lines of a run's standard output; throws on a line that is not JSON.
std::vector<nlohmann::json> JsonLines(const std::string& out);

}  // namespace qdfu::test
