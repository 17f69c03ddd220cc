// profile new and profile check: the line engineer writes a line profile from the options of
// upload and station, and checks what a profile would do, before the line runs it with
// 'upload --profile' or 'station --profile'. Reading and checking profiles is the production
// library's (line_profile.h); this file only turns options into one and says what one holds.
#include <cstdio>

#include <filesystem>

#include "common.h"
#include "line_setup.h"
#include "line_profile.h"
#include "sha256.h"

namespace qdfu::cli {
namespace {

std::string VerifyText(VerifyMode mode) {
    switch (mode) {
        case VerifyMode::All:
            return "all (every block read back and compared)";
        case VerifyMode::EveryFourth:
            return "every4 (every fourth block read back and compared)";
        case VerifyMode::Off:
            break;
    }
    return "off (nothing read back)";
}

class ProfileCommand final : public Command {
  public:
    CLI::App* Declare(CLI::App& app) override {
        auto* profile = app.add_subcommand(
            "profile",
            "write or check a line profile: everything a production line needs, in one file");
        profile->require_subcommand(1);
        SetFooter(profile,
                  "0 done, 64 bad usage or a profile refused, 65 a firmware refused, missing or "
                  "changed, 66 a file that does not exist",
                  "quarnelix-dfu-cli profile new --firmware fw.hex --port COM3 --port COM4 "
                  "--verify-all > line.ini");

        new_ = profile->add_subcommand(
            "new",
            "write a line profile to standard output, with the firmware's SHA-256; the "
            "firmware and a ledger file are written as given: a relative path is read from "
            "the profile's folder");
        new_->add_option("--firmware", firmware_, "the Intel HEX firmware file")->required();
        new_->add_option("--port", p_.Ports,
                         "a fixture's port (COMn, a device path, tcp://HOST:PORT, usb:SERIAL); "
                         "repeat it for several, in bench order");
        new_->add_flag("--station", p_.Station,
                       "a station: flash every adapter as it is plugged in (in place of --port)");
        new_->add_option("--match", p_.Match,
                         "a station's adapters: only those whose name holds TEXT");
        new_->add_option("--label", p_.Labels, "a name for each --port, in the same order");
        new_->add_flag("--verify", verify_, "read back every fourth block");
        new_->add_flag("--verify-all", verifyAll_, "read back every block");
        new_->add_option("--retries", p_.Retries, "connect again and go on up to N times")
            ->check(CLI::Range(0, kMaxRetries));
        new_->add_flag("--skip-gaps", p_.SkipGaps,
                       "write only the blocks that hold bytes of the file");
        gsm_ = new_->add_option("--gsm", p_.Gsm, "dial NUMBER through the modem on each port");
        new_->add_option("--serial-at", p_.SerialAt,
                         "give every unit a serial at ADDR (hexadecimal)");
        new_->add_option("--serial-format", format_, "le32 or prog32; default le32")
            ->check(CLI::IsMember({"le32", "prog32"}));
        new_->add_option("--serial-first", serialFirst_, "the first serial of a new ledger")
            ->check(CLI::Range(int64_t{0}, int64_t{0xFFFFFFFF}));
        new_->add_option("--ledger", p_.Ledger, "the ledger: an SQLite file or postgresql://...");
        new_->add_flag("--operator-required", p_.OperatorRequired,
                       "a run must name its operator (--operator)");
        SetFooter(new_,
                  "0 written, 64 bad usage, 65 a HEX file refused, 66 a file that cannot be read",
                  "quarnelix-dfu-cli profile new --firmware fw.hex --station --match FTDI "
                  "--verify-all > line.ini");

        check_ = profile->add_subcommand(
            "check",
            "say what a line profile would do, and check that its firmware's bytes still "
            "have its SHA-256");
        check_->add_option("profile", path_, "the line profile")->required();
        SetFooter(check_,
                  "0 the profile can run, 64 a profile refused (its line and cause said), 65 its "
                  "firmware missing or changed, 66 no such profile",
                  "quarnelix-dfu-cli profile check line.ini");
        return profile;
    }

    int Run(const std::string&) override { return new_->parsed() ? New() : Check(); }

  private:
    static std::string AbsolutePath(const std::string& path) {
        std::error_code ec;
        const std::filesystem::path full = std::filesystem::absolute(std::filesystem::u8path(path), ec);
        if (ec) return path;
        const std::u8string text = full.lexically_normal().u8string();
        return std::string(text.begin(), text.end());
    }
    int New() {
        HexLoadResult r;
        std::string text;
        if (const int rc = LoadImage(firmware_, r, {.ForUpload = true}, &text)) return rc;
        // A relative path is made absolute: the profile reads relative paths from its own folder,
        // which need not be this one (a ledger found elsewhere would start its serials again).
        p_.Firmware = AbsolutePath(firmware_);
        if (!p_.Ledger.empty() && p_.Ledger.find("://") == std::string::npos) p_.Ledger = AbsolutePath(p_.Ledger);
        p_.Sha256 = Sha256Hex(text);
        p_.Verify = verifyAll_ ? VerifyMode::All
                    : verify_  ? VerifyMode::EveryFourth
                               : VerifyMode::Off;
        p_.Format = format_ == "prog32" ? SerialFormat::Prog32 : SerialFormat::Le32;
        // a profile's gsm= is a number to dial or nothing (a direct line): a modem without a
        // number would silently become a direct line
        if (gsm_->count() && p_.Gsm.empty())
            return Refuse("--gsm: a line profile dials a number: give one, or leave --gsm out for a direct line");
        if (serialFirst_ >= 0) {
            if (p_.SerialAt.empty()) return Refuse("--serial-first needs --serial-at");
            p_.SerialFirst = static_cast<uint32_t>(serialFirst_);
        }
        if (format_ != "le32" && p_.SerialAt.empty())
            return Refuse("--serial-format needs --serial-at");
        std::string written, why;
        if (!WriteLineProfile(p_, written, why)) return Refuse(why);
        // what is written is read back by the same checks a run makes
        LineProfile back;
        if (const ProfileProblem problem = ParseLineProfile(written, "", back);
            problem.Status != ProfileStatus::Ok)
            return Refuse(problem.Cause);
        if (const ProfileProblem problem = CheckProfileSerialPlace(back); problem.Status != ProfileStatus::Ok)
            return Refuse(problem.Cause);
        std::fwrite(written.data(), 1, written.size(), stdout);
        return std::fflush(stdout) == 0 ? 0 : kExitOutputFailed;
    }

    static int Refuse(const std::string& why) {
        std::fprintf(stderr, "profile new: %s\n", why.c_str());
        return kExitUsage;
    }

    int Check() {
        LineProfile p;
        ProfileProblem problem = ReadLineProfile(path_, p);
        if (problem.Status == ProfileStatus::NoSuchFile) problem.Cause = "no such profile";
        if (problem.Status != ProfileStatus::Ok) {
            std::fprintf(stderr, "%s\n", ProfileProblemText(path_, problem).c_str());
            return problem.Status == ProfileStatus::NoSuchFile ? kExitNoInput : kExitUsage;
        }
        const ProfileProblem firmware = CheckProfileFirmware(p);
        std::printf("profile:   %s\n", path_.c_str());
        std::printf("firmware:  %s\n", p.FirmwarePath().c_str());
        std::printf("sha256:    %s (%s)\n", p.Sha256.c_str(),
                    firmware.Status == ProfileStatus::Ok ? "the file's bytes match"
                    : firmware.Status == ProfileStatus::FirmwareChanged
                        ? "the file's bytes DIFFER"
                        : "the file cannot be read");
        if (p.Station) {
            std::printf("station:   every adapter plugged in%s\n",
                        p.Match.empty() ? "" : (" whose name holds '" + p.Match + "'").c_str());
        } else {
            std::string ports;
            for (std::size_t i = 0; i < p.Ports.size(); ++i)
                ports += (i ? ", " : "") + p.Ports[i] +
                         (p.Labels.empty() ? "" : " (" + p.Labels[i] + ")");
            std::printf("ports:     %s\n", ports.c_str());
            std::printf("line:      %s\n", p.Gsm.empty()
                                               ? "direct"
                                               : ("through the modem, dialling " + p.Gsm).c_str());
        }
        std::printf("verify:    %s\n", VerifyText(p.Verify).c_str());
        std::printf("retries:   %d\n", p.Retries);
        std::printf("skip gaps: %s\n",
                    p.SkipGaps ? "yes (only the blocks that hold bytes of the file)" : "no");
        if (p.SerialAt.empty())
            std::printf("serials:   none\n");
        else
            std::printf("serials:   at 0x%s, %s%s\n", HexDigits(p.SerialAtValue, 8).c_str(),
                        p.Format == SerialFormat::Prog32 ? "prog32" : "le32",
                        p.SerialFirst
                            ? (", a new ledger starts at " + std::to_string(*p.SerialFirst)).c_str()
                            : "");
        std::printf("ledger:    %s\n",
                    p.Ledger.empty() ? "none" : LedgerName(p.LedgerWhere()).c_str());
        std::printf("operator:  %s\n",
                    p.OperatorRequired ? "required (--operator NAME)" : "optional");
        std::printf("run with:  quarnelix-dfu-cli %s --profile %s\n",
                    p.Station ? "station" : "upload", path_.c_str());
        if (firmware.Status != ProfileStatus::Ok) {
            std::fprintf(stderr, "%s\n", ProfileProblemText(path_, firmware).c_str());
            return kExitBadHex;
        }
        // a serial that would not be written is refused here, not at the line's first unit
        if (const ProfileProblem place = CheckProfileSerialPlace(p); place.Status != ProfileStatus::Ok) {
            std::fprintf(stderr, "%s\n", ProfileProblemText(path_, place).c_str());
            return kExitUsage;
        }
        return 0;
    }

    LineProfile p_;
    std::string firmware_, format_ = "le32", path_;
    bool verify_ = false, verifyAll_ = false;
    CLI::Option* gsm_ = nullptr;
    int64_t serialFirst_ = -1;
    CLI::App* new_ = nullptr;
    CLI::App* check_ = nullptr;
};

}  // namespace

std::unique_ptr<Command> MakeProfileCommand() {
    return std::make_unique<ProfileCommand>();
}

}  // namespace qdfu::cli
