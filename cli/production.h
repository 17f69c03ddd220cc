// The production line: one upload per port, all at the same time, each in a child process of its
// own (the serial driver holds one port per process), and a station mode that flashes every
// adapter as it is plugged in. The parent only starts, watches and reports; every byte on a line
// comes from a child running exactly the single-port upload.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qdfu {

enum class VerifyMode { Off, EveryFourth, All };

struct ProductionOptions {
    std::string Self;          // this program, started once per port
    std::string HexPath;
    VerifyMode Verify = VerifyMode::Off;
    std::string GsmNumber;     // "" for a direct line
    bool KeepLineSettings = false;
    int32_t TimeoutMs = 3000;  // per byte, handed to each child
    std::string LogDir;        // "" for none: one file per run otherwise
    std::string ReportPath;    // "" for none: one JSON line per run, appended
    std::string Match;         // station: only ports whose device or by-id name holds this
};

// Uploads to every port at once. Exit status: 0 when every device completed, else 1 when any
// failed, else 2.
int RunMultiPortUpload(const ProductionOptions& options, const std::vector<std::string>& ports);

// Watches the present ports every 500 ms and flashes each one that appears, until the first
// interrupt (which aborts the running uploads as a single upload aborts and waits for them).
// Exit status as above.
int RunStation(const ProductionOptions& options);

// The status line a child writes on its status descriptor for the parent.
struct ChildStatus {
    int BlocksDone = 0;
    int BlocksTotal = 0;
    uint32_t BytesSent = 0;
};

// One JSON object on one line, with the fields of a production report.
struct RunReport {
    std::string Port, Device, ById, HexPath, HexSha256, Start, End;
    double Seconds = 0;
    std::string Outcome, OutcomeText;  // completed / failed / not_done
    int ExitStatus = 0;
    uint32_t Blocks = 0, BytesOnLine = 0, Exchanges = 0, CommunicationErrors = 0;
    std::string LastSerialError, Verification;
};
std::string ReportLine(const RunReport& report);

}  // namespace qdfu
