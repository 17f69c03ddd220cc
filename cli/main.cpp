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
#include "json_events.h"
#include "line_profile.h"
#include "production_platform.h"

using namespace qdfu;
using namespace qdfu::cli;

namespace {

// A flashing command with --json whose options were refused still ends each port it was given with
// one end event (not done, exit status 64, the parser's words), as a run refused later does.
void EndRefusedJsonRun(int argc, char** argv, const std::string& why) {
    if (argc < 2) return;
    const std::string command = argv[1];
    const bool flashes = command == "upload" || command == "station";
    if (!flashes && command != "verify" && command != "backup") return;
    std::vector<std::string> ports;
    bool json = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--json") json = true;
        if (arg == "--port" && i + 1 < argc) ports.push_back(argv[i + 1]);
        if (arg.rfind("--port=", 0) == 0) ports.push_back(arg.substr(7));
    }
    if (!json) return;
    if (ports.empty()) ports.push_back("");
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    JsonEvents events(stdout);
    for (const std::string& port : ports) {
        if (flashes) {
            RunReport rep;
            rep.Port = port;
            rep.Outcome = OutcomeWord(UploadOutcome::NotDone);
            rep.OutcomeText = UploadOutcomeText(UploadOutcome::NotDone);
            rep.ExitStatus = kExitUsage;
            rep.Verification = VerificationWord(VerifyMode::Off);  // nothing was verified
            rep.Reason = why;
            events.End(rep);
        } else {
            ToolEnd end;
            end.Command = command;
            end.Port = port;
            end.Outcome = OutcomeWord(UploadOutcome::NotDone);
            end.Reason = why;
            end.ExitStatus = kExitUsage;
            events.End(end);
        }
    }
}

// The letters to change, add, drop or swap with their neighbour that turn a into b.
std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i)
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// The word of words that word is a slip of: at most one edit from a word of up to 4 letters, two
// from a longer one, and fewer than the word's own length. "" when none is that close (a port
// or a file name given where a command goes).
std::string NearestWord(const std::string& word, const std::vector<std::string>& words) {
    std::string best;
    std::size_t bestDistance = SIZE_MAX;
    for (const std::string& w : words) {
        const std::size_t distance = EditDistance(word, w);
        const std::size_t allowed = w.size() <= 4 ? 1 : 2;
        if (distance <= allowed && distance < w.size() && distance < bestDistance)
            bestDistance = distance, best = w;
    }
    return best;
}

// "'word' is not a command; did you mean X?", or without a guess when none is close.
void SayNotACommand(const char* what, const std::string& word,
                    const std::vector<std::string>& words) {
    const std::string nearest = NearestWord(word, words);
    if (nearest.empty())
        std::fprintf(stderr, "quarnelix-dfu-cli: '%s' is not a%s command (--help lists them)\n",
                     word.c_str(), what);
    else
        std::fprintf(stderr, "quarnelix-dfu-cli: '%s' is not a%s command; did you mean %s?\n",
                     word.c_str(), what, nearest.c_str());
}

#if !QDFU_WITH_LEDGER
// A run that keeps a ledger: --ledger given, a --profile that names one, the ledger command, or
// profile check (which names a profile's ledger without its password).
bool WantsLedger(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "ledger") return true;
    if (argc > 2 && std::string(argv[1]) == "profile" && std::string(argv[2]) == "check") return true;
    if (argc > 1 && std::string(argv[1]) == "profile") return false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--ledger" || arg.rfind("--ledger=", 0) == 0) return true;
        const std::string profile = arg == "--profile" && i + 1 < argc ? argv[i + 1]
                                    : arg.rfind("--profile=", 0) == 0 ? arg.substr(10)
                                                                      : "";
        LineProfile p;
        if (!profile.empty() && ReadLineProfile(profile, p).Status == ProfileStatus::Ok &&
            !p.Ledger.empty())
            return true;
    }
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
                      MakeStationCommand, MakeProfileCommand, MakeHexCommand, MakeReadCommand, MakeWriteCommand,
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
            SayNotACommand("", first, commands);
            return kExitUsage;
        }
        // the same for the commands that take one of their own (ledger show, ledger next)
        for (const CLI::App* sub : app.get_subcommands({})) {
            if (sub->get_name() != first || argc < 3 || argv[2][0] == '-') continue;
            std::vector<std::string> own;
            for (const CLI::App* leaf : sub->get_subcommands({})) own.push_back(leaf->get_name());
            if (!own.empty() &&
                std::find(own.begin(), own.end(), std::string(argv[2])) == own.end()) {
                SayNotACommand((" " + first).c_str(), argv[2], own);
                return kExitUsage;
            }
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
        EndRefusedJsonRun(argc, argv, e.what());
        return kExitUsage;
    }

    for (std::size_t i = 0; i < commands.size(); ++i)
        if (declared[i]->parsed()) return commands[i]->Run(argv[0]);
    return kExitUsage;
}
