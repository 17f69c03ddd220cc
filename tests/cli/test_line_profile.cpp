// Line profiles read by the production library: what a well-formed profile gives, and every text
// that is refused with its line and cause.
#include <gtest/gtest.h>

#include "line_profile.h"

namespace qdfu {
namespace {

const std::string kSha(64, 'a');

// A valid profile with the line text put in place of [line]'s body.
std::string WithLine(const std::string& line) {
    return "[firmware]\nfile=fw.hex\nsha256=" + kSha + "\n[line]\n" + line;
}

TEST(LineProfile, ReadsEveryFieldThroughCommentsBlanksCrLfAndBom) {
    const std::string text =
        "\xEF\xBB\xBF; a line of two fixtures\r\n"
        "[firmware]\r\n"
        "  file = fw;1.hex   ; the release\r\n"
        "sha256=" +
        std::string(64, 'A') +
        "\r\n"
        "\r\n"
        "[ line ]\n"
        "ports=COM3 , /dev/ttyUSB1,usb:A1#B2\n"
        "labels=Left, Right, Back   # bench order\n"
        "verify=all\nretries=100\nskip_gaps=true\ngsm=\n"
        "[serials]\nat=0x3000\nformat=prog32\nfirst=4294967295\n"
        "[ledger]\nwhere=line.db\n"
        "[operator]\nrequired=true";
    LineProfile p;
    const ProfileProblem problem = ParseLineProfile(text, "/srv/line", p);
    ASSERT_EQ(problem.Status, ProfileStatus::Ok) << problem.Line << ": " << problem.Cause;
    EXPECT_EQ(p.Firmware, "fw;1.hex");
    EXPECT_EQ(p.FirmwarePath(), "/srv/line/fw;1.hex");
    EXPECT_EQ(p.Sha256, std::string(64, 'a'));
    EXPECT_EQ(p.Ports, (std::vector<std::string>{"COM3", "/dev/ttyUSB1", "usb:A1#B2"}));
    EXPECT_EQ(p.Labels, (std::vector<std::string>{"Left", "Right", "Back"}));
    EXPECT_EQ(p.Verify, VerifyMode::All);
    EXPECT_EQ(p.Retries, 100);
    EXPECT_TRUE(p.SkipGaps);
    EXPECT_EQ(p.SerialAtValue, 0x3000u);
    EXPECT_EQ(p.Format, SerialFormat::Prog32);
    EXPECT_EQ(p.SerialFirst, 4294967295u);
    EXPECT_EQ(p.LedgerWhere(), "/srv/line/line.db");
    EXPECT_TRUE(p.OperatorRequired);

    // an absolute file and a PostgreSQL URI are taken as they are
    p.Firmware = "C:\\fw\\a.hex";
    p.Ledger = "postgresql://line@db/line";
    EXPECT_EQ(p.FirmwarePath(), "C:\\fw\\a.hex");
    EXPECT_EQ(p.LedgerWhere(), "postgresql://line@db/line");
}

TEST(LineProfile, RefusesEachFaultWithItsLineAndCause) {
    struct Case {
        std::string text;
        int line;
        std::string cause;
    };
    const std::string station = "station=true\n";
    const std::vector<Case> cases = {
        {WithLine("ports=COM3\n[extra]\n"), 6, "unknown section [extra]"},
        {WithLine("ports=COM3\nspeed=9600\n"), 6, "unknown key 'speed' in [line]"},
        {WithLine("ports=COM3\nverify=all\nverify=off\n"), 7, "key 'verify' given twice"},
        {WithLine("ports=COM3\n[line]\n"), 6, "section [line] given twice"},
        {"file=fw.hex\n", 1, "before any [section]"},
        {WithLine("ports COM3\n"), 5, "is neither [section] nor key=value"},
        {WithLine("ports=COM3\n[ledger\n"), 6, "ends with ']'"},
        {WithLine("ports=COM3\nverify=every2\n"), 6, "verify 'every2' is none of every4, all, off"},
        {WithLine("ports=COM3\nretries=101\n"), 6,
         "retries '101' is not a whole number from 0 to 100"},
        {WithLine("ports=COM3\nretries=-1\n"), 6, "retries '-1'"},
        {WithLine("ports=COM3\nretries=99999999999999999999\n"), 6, "retries '9999"},
        {WithLine("ports=COM3\nskip_gaps=yes\n"), 6, "skip_gaps 'yes' is neither true nor false"},
        {WithLine(station + "[serials]\nat=30G0\n[ledger]\nwhere=l.db\n"), 7,
         "at '30G0' is not a hexadecimal"},
        {WithLine(station + "[serials]\nat=3002\nformat=prog32\n[ledger]\nwhere=l.db\n"), 7,
         "no program word"},
        {WithLine(station + "[serials]\nat=3000\nformat=be32\n[ledger]\nwhere=l.db\n"), 8,
         "format 'be32'"},
        {WithLine(station + "[serials]\nat=3000\nfirst=4294967296\n[ledger]\nwhere=l.db\n"), 8,
         "first '4294967296'"},
        {WithLine(station + "[serials]\nformat=le32\n[ledger]\nwhere=l.db\n"), 6,
         "[serials] at= is missing"},
        {WithLine(station + "[serials]\nat=3000\n"), 6, "[serials] needs [ledger] where="},
        {WithLine(station + "[ledger]\n"), 6, "[ledger] where= is missing"},
        {WithLine("ports=COM3, COM4\nlabels=Left\n"), 6, "1 labels for 2 ports"},
        {WithLine("ports=COM3, , COM4\n"), 5, "holds an empty port"},
        {WithLine("ports=COM3, /dev/ttyUSB0, com3\n"), 5, "the port com3 is given twice"},
        {WithLine(station + "labels=Left\n"), 6, "a station has none"},
        {WithLine("ports=COM3\nstation=true\n"), 5, "ports and station=true both given"},
        {WithLine("station=false\n"), 5,
         "needs ports= (the fixtures, in bench order) or station=true"},
        {WithLine(""), 4, "needs ports="},
        {WithLine("ports=COM3\nmatch=FTDI\n"), 6, "match chooses a station's adapters"},
        {WithLine(station + "gsm=5551234\n"), 6, "a station has none"},
        {WithLine("ports=COM3\n[operator]\nrequired=yes\n"), 7,
         "required 'yes' is neither true nor false"},
        {"[firmware]\nfile=fw.hex\n[line]\nports=COM3\n", 1, "[firmware] sha256= is missing"},
        {"[firmware]\nsha256=" + kSha + "\n[line]\nports=COM3\n", 1, "[firmware] file= is missing"},
        {"[firmware]\nfile=fw.hex\nsha256=" + kSha + "0\n[line]\nports=COM3\n", 3,
         "is not 64 hexadecimal digits"},
        {"[line]\nports=COM3\n", 0, "[firmware] file= is missing"},
        {WithLine("ports=COM3\x01\n"), 5, "a control character"},
    };
    for (const Case& c : cases) {
        LineProfile p;
        const ProfileProblem problem = ParseLineProfile(c.text, "", p);
        EXPECT_NE(problem.Status, ProfileStatus::Ok) << c.text;
        EXPECT_EQ(problem.Line, c.line) << c.text << problem.Cause;
        EXPECT_NE(problem.Cause.find(c.cause), std::string::npos)
            << c.text << "\ngave: " << problem.Cause;
    }
    LineProfile p;
    EXPECT_EQ(ParseLineProfile(std::string(kMaxProfileBytes + 1, ' '), "", p).Status,
              ProfileStatus::Unreadable);
}

TEST(LineProfile, WritesWhatItReadsBackAndRefusesWhatItCouldNot) {
    LineProfile p;
    p.Firmware = "fw.hex";
    p.Sha256 = kSha;
    p.Ports = {"COM3", "/dev/ttyUSB1"};
    p.Labels = {"Left", "Right"};
    p.Verify = VerifyMode::EveryFourth;
    p.Retries = 2;
    p.Gsm = "5551234";
    p.SerialAt = "3000";
    p.SerialAtValue = 0x3000;
    p.SerialFirst = 7;
    p.Ledger = "postgresql://u:p@db/line";
    std::string text, why;
    ASSERT_TRUE(WriteLineProfile(p, text, why)) << why;
    LineProfile back;
    ASSERT_EQ(ParseLineProfile(text, "", back).Status, ProfileStatus::Ok) << text;
    EXPECT_EQ(back.Ports, p.Ports);
    EXPECT_EQ(back.Labels, p.Labels);
    EXPECT_EQ(back.Verify, p.Verify);
    EXPECT_EQ(back.Gsm, p.Gsm);
    EXPECT_EQ(back.SerialFirst, p.SerialFirst);
    EXPECT_EQ(back.Ledger, p.Ledger);

    for (auto spoil : std::vector<void (*)(LineProfile&)>{
             [](LineProfile& q) { q.Ports[0] = "COM3,COM4"; },
             [](LineProfile& q) { q.Labels[1] = "Right ;spare"; },
             [](LineProfile& q) { q.Firmware = "fw.hex\n[line]"; },
             [](LineProfile& q) { q.Ledger = " line.db"; },
         }) {
        LineProfile q = p;
        spoil(q);
        EXPECT_FALSE(WriteLineProfile(q, text, why)) << text;
    }
}

}  // namespace
}  // namespace qdfu
