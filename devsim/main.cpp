// quarnelix-devsim: a simulated Quarnelix V3 controller on a pseudo-terminal. Prints the path of
// the device end as its first line, serves until SIGINT, SIGTERM or a cut line, then writes the
// memory dump if asked.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <thread>

#include "device.h"
#include "ports.h"
#include "settings.h"

namespace {

std::atomic<bool> g_stop{false};
void OnSignal(int) { g_stop = true; }

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Simulated Quarnelix V3 controller (firmware, bootloader, optional GSM modem) on a pseudo-terminal"};
    qdfu::sim::Options opt;
    unsigned com = 0;
    std::string dumpPath;
    std::string corrupt;
    app.add_option("--com", com, "also list the device as port COMn (a link in the ports directory)");
    app.add_flag("--gsm", opt.Gsm, "put a GSM data modem in front of the device");
    app.add_flag("--silent", opt.Silent, "never answer anything");
    app.add_option("--nak-every", opt.NakEvery, "refuse every Nth frame");
    app.add_option("--drop-every", opt.DropEvery, "give every Nth frame no answer");
    app.add_option("--nak-command", opt.NakCommand, "refuse every frame with this command byte (e.g. 162 for writes)");
    app.add_option("--corrupt-read", corrupt, "make read-backs differ at this address (hex with 0x, or decimal)");
    app.add_flag("--noise", opt.Noise, "send stray bytes before every answer");
    app.add_option("--garble-reads", opt.GarbleReadEvery,
                   "flip one bit in every Nth read answer after its check byte was made (a noisy line)");
    app.add_flag("--xor-read-check", opt.XorReadCheck, "end read answers with the XOR of their bytes, not their sum");
    app.add_option("--hangup-after", opt.HangupAfter, "cut the line after N frames");
    app.add_option("--drop-call-after", opt.DropCallAfter,
                   "with --gsm, drop the call at frame N (NO CARRIER, back in command state; may be given again)");
    app.add_option("--cut-line-at", opt.CutLineAt,
                   "cut the line at frame N for --cut-for milliseconds, then bring it back (may be given again)");
    app.add_option("--cut-for", opt.CutForMs, "how long a line cut by --cut-line-at stays cut, in ms (default 1000)");
    app.add_option("--delay", opt.DelayMs, "wait MS milliseconds before every answer");
    app.add_option("--baud", opt.Baud, "pace both directions at 10 bits per byte at this speed");
    app.add_option("--dial-answer", opt.DialAnswer,
                   "with --gsm, answer the dial with this result line (BUSY, NO CARRIER, ...) instead of CONNECT");
    app.add_flag("--old-firmware", opt.OldFirmware,
                 "start with flash holding an old firmware; a write only clears bits, as on real flash");
    app.add_option("--dump", dumpPath, "write program memory 0..0x2AFFF to FILE at the end");
    app.add_option("--transcript", opt.TranscriptPath, "write every byte in both directions to FILE");
    app.add_option("--stop-file", opt.StopFile, "end (writing the dump) when FILE appears");
    app.add_option("--dump-request", opt.DumpRequestFile,
                   "with --dump, write the dump also whenever FILE appears, then remove FILE")
        ->needs("--dump");
    app.add_option("--tcp", opt.TcpPort,
                   "serve on 127.0.0.1 at this TCP port (0: any free one) instead of a pty, as a serial device server does")
        ->check(CLI::Range(0, 65535));
    app.set_version_flag("--version", std::string("quarnelix-devsim ") + QDFU_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {  // --help, --version
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 64;  // bad usage, as in the command line
    }
    opt.DumpFile = dumpPath;
    if (!corrupt.empty()) {
        try {
            opt.CorruptRead = static_cast<uint32_t>(std::stoul(corrupt, nullptr, 0));
        } catch (const std::exception&) {
            std::cerr << "--corrupt-read: '" << corrupt << "' is not an address\n";
            return 64;
        }
    }

    qdfu::sim::Device device(opt);
    if (!device.Open()) {
        std::cerr << "quarnelix-devsim: " << device.Error() << "\n";
        return 1;
    }
    std::string link;
    if (com > 0 && opt.TcpPort >= 0) {
        std::cerr << "quarnelix-devsim: --com names a serial port; a TCP device is reached as tcp://HOST:PORT\n";
        return 64;
    }
    if (com > 0) {
        const std::string dir = qdfu::DefaultPortPaths().PortsDir;
        link = dir + "/com" + std::to_string(com);
        ::unlink(link.c_str());
        if (!qdfu::MakeDirectories(dir) || ::symlink(device.Path().c_str(), link.c_str()) != 0) {
            std::cerr << "quarnelix-devsim: cannot link " << link << ": " << std::strerror(errno) << "\n";
            return 1;
        }
    }
    std::cout << device.Path() << std::endl;

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    device.Serve(g_stop);

    if (!link.empty()) ::unlink(link.c_str());
    if (!dumpPath.empty()) {
        const auto memory = device.Memory();
        std::ofstream out(dumpPath, std::ios::binary);
        out.write(reinterpret_cast<const char*>(memory.data()), static_cast<std::streamsize>(memory.size()));
        if (!out) {
            std::cerr << "quarnelix-devsim: cannot write " << dumpPath << "\n";
            return 1;
        }
    }
    std::cerr << "quarnelix-devsim: " << device.FrameCount() << " frames, " << device.ResetCount()
              << " resets" << (device.LineCut() ? ", line cut" : "") << "\n";
    return 0;
}
