// Reading a file into lines: CR, LF and CR LF, final lines with and without an end.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "temp_dir.h"
#include "text_lines.h"

namespace qdfu {
namespace {

TEST(SplitTextLinesTest, LineEnds) {
    struct Case { const char* text; std::vector<std::string> lines; } cases[] = {
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\nb", {"a", "b"}},
        {"a\rb\r", {"a", "b"}},
        {"a\r\n\r\n", {"a", ""}},
        {"a\n\r", {"a", ""}},
        {"", {}},
        {"\n", {""}},
    };
    for (const auto& c : cases) EXPECT_EQ(SplitTextLines(c.text), c.lines) << c.text;
}

TEST(ReadTextLinesTest, MissingFileLeavesLinesAlone) {
    test::TempDir dir;
    std::vector<std::string> lines{"kept"};
    EXPECT_FALSE(ReadTextLines(dir.File("nope.hex"), lines));
    EXPECT_EQ(lines, std::vector<std::string>{"kept"});
    dir.Write("x.hex", ":00000001FF\r\n");
    EXPECT_TRUE(ReadTextLines(dir.File("x.hex"), lines));
    EXPECT_EQ(lines, std::vector<std::string>{":00000001FF"});
}

TEST(ReadTextLinesTest, FarTooLargeFileIsRefused) {
    test::TempDir dir;
    const std::string path = dir.File("huge.hex");
    dir.Write("huge.hex", "");
    std::filesystem::resize_file(path, kMaxTextFileBytes + 1);
    std::vector<std::string> lines;
    errno = 0;
    EXPECT_FALSE(ReadTextLines(path, lines));
    EXPECT_EQ(errno, EFBIG);
}

}  // namespace
}  // namespace qdfu
