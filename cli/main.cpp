// quarnelix-dfu-cli: the command-line front end. It drives the same upload sequence and manual
// commands as the window, through a terminal view, and never touches the window's settings file.
//
// Exit status: 0 completed, 1 failed, 2 not done (upload); 0/1 for the single commands;
// 64 bad usage, 65 a HEX file the loader rejects, 66 a file that cannot be read, 73 a transcript,
// report or log folder that cannot be created (checked before any port is opened), 74 a report or
// log line lost after every device completed, 130 a second interrupt.
//
// Signals: the first SIGINT, SIGTERM or SIGHUP is the abort press (the run stops at its next check
// and still resets the CPU); a second SIGINT ends the process at once (a SIGTERM or SIGHUP never
// does: a service manager or a closing terminal may send several). SIGPIPE is ignored, so a log
// line that cannot be written is dropped and the run goes on to its end.
//
// Each command declares its options and runs in a file of its own (cmd_*.cpp, on common.h); this
// file builds the parser from them, says plainly what is not a command, and runs the one given.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli_platform.h"
#include "common.h"
#include "production_platform.h"

using namespace qdfu;
using namespace qdfu::cli;

namespace {

// The word of words nearest to word (fewest letters to change, add or drop).
std::string NearestWord(const std::string& word, const std::vector<std::string>& words) {
    std::string best;
    std::size_t bestDistance = SIZE_MAX;
    for (const std::string& w : words) {
        std::vector<std::size_t> row(w.size() + 1);
        for (std::size_t j = 0; j <= w.size(); ++j) row[j] = j;
        for (std::size_t i = 1; i <= word.size(); ++i) {
            std::size_t diagonal = row[0];
            row[0] = i;
            for (std::size_t j = 1; j <= w.size(); ++j) {
                const std::size_t up = row[j];
                row[j] = std::min(
                    {row[j] + 1, row[j - 1] + 1, diagonal + (word[i - 1] == w[j - 1] ? 0 : 1)});
                diagonal = up;
            }
        }
        if (row[w.size()] < bestDistance) bestDistance = row[w.size()], best = w;
    }
    return best;
}

#if !QDFU_WITH_LEDGER
// A run that keeps a ledger: --ledger given, or the ledger command.
bool WantsLedger(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "ledger") return true;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--ledger" || std::string(argv[i]).rfind("--ledger=", 0) == 0)
            return true;
    return false;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    UseBinaryStandardStreams();
#if !QDFU_WITH_LEDGER
    // This program starts quickly because it carries no database client (a production line starts
    // it for every board); a run that keeps a ledger is handed to its companion that has them.
    if (WantsLedger(argc, argv)) {
        const std::string companion = ThisProgram(argv[0]) + "-ledger";
        ExecProgram(companion, std::vector<std::string>(argv, argv + argc));
        std::fprintf(stderr, "--ledger: cannot start %s: %s\n", companion.c_str(),
                     std::strerror(errno));
        return kExitCannotCreate;
    }
#endif
    CLI::App app{
        "quarnelix-dfu-cli: upgrade the firmware of a Quarnelix V3 controller through its serial "
        "bootloader"};
    app.set_version_flag("--version", std::string("quarnelix-dfu-cli ") + QDFU_VERSION);
    app.require_subcommand(1);
    app.allow_windows_style_options(
        false);  // a leading '/' is a path (/dev/..., Unix-style paths under Wine)

    // Each command declares its own options; the order here is the order of the help.
    std::vector<std::unique_ptr<Command>> commands;
    for (auto make : {MakeUploadCommand, MakeVerifyCommand, MakeBackupCommand, MakePortsCommand,
                      MakeStationCommand, MakeHexCommand, MakeReadCommand, MakeWriteCommand,
                      MakeEraseCommand, MakeLedgerCommand, MakeStartCommand, MakeResetCommand})
        commands.push_back(make());
    std::vector<CLI::App*> declared;
    for (const auto& c : commands) declared.push_back(c->Declare(app));

    // A command that is not one, or an option before the command, is said plainly.
    if (argc > 1) {
        const std::string first = argv[1];
        std::vector<std::string> commands;
        for (const CLI::App* sub : app.get_subcommands({})) commands.push_back(sub->get_name());
        const bool isCommand = std::find(commands.begin(), commands.end(), first) != commands.end();
        if (!first.empty() && first[0] != '-' && !isCommand) {
            std::fprintf(stderr, "quarnelix-dfu-cli: '%s' is not a command; did you mean %s?\n",
                         first.c_str(), NearestWord(first, commands).c_str());
            return kExitUsage;
        }
        if (first.rfind("--", 0) == 0 && first != "--help" && first != "--version") {
            for (int i = 2; i < argc; ++i) {
                if (std::find(commands.begin(), commands.end(), std::string(argv[i])) ==
                    commands.end())
                    continue;
                std::fprintf(
                    stderr,
                    "quarnelix-dfu-cli: %s goes after the command: quarnelix-dfu-cli %s ... %s\n",
                    first.c_str(), argv[i], first.c_str());
                return kExitUsage;
            }
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }

    for (std::size_t i = 0; i < commands.size(); ++i)
        if (declared[i]->parsed()) return commands[i]->Run(argv[0]);
    return kExitUsage;
}
