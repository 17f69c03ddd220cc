// Running the command line as a child process.
#include "run_cli.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "temp_dir.h"

extern char** environ;

namespace qdfu::test {

namespace {

// Each test gets a state folder of its own for the command lines it runs (XDG_STATE_HOME, where
// they keep their resume points), made when the test starts and removed when it ends: no test sees
// another's points, and none touches the user's own.
class StateFolderPerTest final : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo&) override {
        char name[] = "/tmp/qdfu-state-XXXXXX";
        path_ = ::mkdtemp(name) ? name : "";
        if (!path_.empty()) ::setenv("XDG_STATE_HOME", path_.c_str(), 1);
    }
    void OnTestEnd(const ::testing::TestInfo&) override {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
        path_.clear();
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};
StateFolderPerTest& StateFolders() {
    static StateFolderPerTest* const listener = [] {
        auto* l = new StateFolderPerTest;  // owned by gtest's listener list
        ::testing::UnitTest::GetInstance()->listeners().Append(l);
        return l;
    }();
    return *listener;
}
[[maybe_unused]] const bool g_stateFoldersListen = (StateFolders(), true);

Outcome Run(std::vector<std::string> args, const std::function<void(int)>& during, int closeAfterLines,
            const std::string& program = QDFU_CLI) {
    TempDir dir;
    const std::string outPath = dir.File("out"), errPath = dir.File("err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeFds[2] = {-1, -1};
    if (closeAfterLines > 0 && ::pipe(pipeFds) == 0) {
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
        posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    Outcome o;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (pipeFds[1] >= 0) ::close(pipeFds[1]);
    if (spawned != 0) return o;
    if (pipeFds[0] >= 0) {
        int lines = 0;
        char c = 0;
        while (lines < closeAfterLines && ::read(pipeFds[0], &c, 1) == 1) lines += c == '\n';
        ::close(pipeFds[0]);
    }
    if (during) during(pid);
    int status = 0;
    ::waitpid(pid, &status, 0);
    o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    o.out = dir.Read("out");
    o.err = dir.Read("err");
    return o;
}

}  // namespace

std::string StateFolder() { return StateFolders().Path(); }

Outcome RunCli(std::vector<std::string> args, std::vector<TimedSignal> signals, int closeAfterLines) {
    return Run(std::move(args), [&signals](int pid) {
        for (const TimedSignal& s : signals) {
            std::this_thread::sleep_for(std::chrono::milliseconds(s.afterMs));
            ::kill(pid, s.signal);
        }
    }, closeAfterLines);
}

Outcome RunCliDuring(std::vector<std::string> args, const std::function<void(int pid)>& during) {
    return Run(std::move(args), during, 0);
}

Outcome RunProgramDuring(const std::string& program, std::vector<std::string> args,
                         const std::function<void(int pid)>& during) {
    return Run(std::move(args), during, 0, program);
}

std::vector<ChildProcess> ChildrenOf(int pid) {
    std::vector<ChildProcess> out;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        int ppid = 0;
        rest >> state >> ppid;
        if (ppid != pid) continue;
        ChildProcess c{std::stoi(name), {}};
        std::ifstream cmd(entry.path() / "cmdline", std::ios::binary);
        for (std::string arg; std::getline(cmd, arg, '\0');) c.args.push_back(arg);
        out.push_back(c);
    }
    return out;
}

std::vector<nlohmann::json> JsonLines(const std::string& out) {
    std::vector<nlohmann::json> list;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) list.push_back(nlohmann::json::parse(line));
    return list;
}

Outcome RunCli(std::vector<std::string> args, int interruptAfterMs) {
    return RunCli(std::move(args), {{interruptAfterMs, SIGINT}});
}

}  // namespace qdfu::test
