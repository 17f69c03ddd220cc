// Resume points as files: the serial a run placed is kept with its point, a point without one (as
// every point written before serials were kept) still reads, and a resume fits only the same serial.
#include <gtest/gtest.h>

#include "resume_point.h"
#include "temp_dir.h"

namespace qdfu::test {
namespace {

TEST(ResumePointTest, KeepsTheSerialItsRunPlacedAndFitsOnlyTheSameOne) {
    TempDir dir;
    const std::string sha(64, 'a');
    ASSERT_TRUE(SaveResumePoint(dir.Path(), {"/dev/ttyUSB0", sha, 0x3000, 4, false, 7, 0x2804, "le32"}));
    ASSERT_TRUE(SaveResumePoint(dir.Path(), {"/dev/ttyUSB1", sha, 0x3000, 4, false, std::nullopt, 0, ""}));
    const auto with = LoadResumePoint(dir.Path(), "/dev/ttyUSB0");
    const auto without = LoadResumePoint(dir.Path(), "/dev/ttyUSB1");
    ASSERT_TRUE(with && without);
    EXPECT_EQ(with->Serial, 7u);
    EXPECT_EQ(with->Page, 0x3000u);
    EXPECT_FALSE(without->Serial);
    // a page that is not one (a file edited by hand) is no point
    ASSERT_TRUE(SaveResumePoint(dir.Path(), {"/dev/ttyUSB2", sha, 0x3801, 4, false, std::nullopt, 0, ""}));
    EXPECT_FALSE(LoadResumePoint(dir.Path(), "/dev/ttyUSB2"));
    struct Case {
        const ResumePoint& point;
        bool wantsSerial;
        uint32_t at;
        const char* format;
        bool fits;
    };
    for (const Case& c : {Case{*with, true, 0x2804, "le32", true}, Case{*with, false, 0, "", false},
                          Case{*with, true, 0x2808, "le32", false}, Case{*with, true, 0x2804, "prog32", false},
                          Case{*without, true, 0x2804, "le32", false}, Case{*without, false, 0, "le32", true}}) {
        EXPECT_EQ(ResumeSerialMismatch(c.point, c.wantsSerial, c.at, c.format).empty(), c.fits)
            << (c.point.Serial ? "with" : "without") << " " << c.wantsSerial << " " << c.at << " " << c.format;
    }
}

}  // namespace
}  // namespace qdfu::test
