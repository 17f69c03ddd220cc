// Settings file: byte layout, short and long files, missing file, unwritable folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "settings.h"
#include "temp_dir.h"

namespace qdfu {
namespace {

TEST(SettingsLayoutTest, FieldsAtTheirOffsetsLittleEndian) {
    SettingsRecord r;
    r.HexFilePath = "/tmp/a.hex";
    r.PortNumber = 3;
    r.VerifyAfterWrite = 1;
    r.AutoPortSelect = 1;
    r.ApplyLineSettings = -2;
    const SettingsBytes b = EncodeSettings(r);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 10), "/tmp/a.hex");
    EXPECT_EQ(b[10], 0);
    EXPECT_EQ((std::vector<uint8_t>(b.begin() + 256, b.begin() + 260)), (std::vector<uint8_t>{3, 0, 0, 0}));
    EXPECT_EQ(b[260], 1);
    EXPECT_EQ((std::vector<uint8_t>(b.begin() + 261, b.begin() + 265)), (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ((std::vector<uint8_t>(b.begin() + 265, b.begin() + 269)), (std::vector<uint8_t>{0xFE, 0xFF, 0xFF, 0xFF}));
    const SettingsRecord back = DecodeSettings(b);
    EXPECT_EQ(back.HexFilePath, r.HexFilePath);
    EXPECT_EQ(back.PortNumber, 3);
    EXPECT_EQ(back.ApplyLineSettings, -2);
}

TEST(SettingsLayoutTest, LongPathNeverSpillsIntoThePortNumber) {
    SettingsRecord r;
    r.HexFilePath = std::string(400, 'x');
    r.PortNumber = 7;
    const SettingsBytes b = EncodeSettings(r);
    EXPECT_EQ(b[255], 0);
    EXPECT_EQ(DecodeSettings(b).PortNumber, 7);
    EXPECT_EQ(DecodeSettings(b).HexFilePath.size(), 255u);
}

TEST(SettingsLayoutTest, PathWithoutNulIsRead256Characters) {
    SettingsBytes b{};
    std::fill(b.begin(), b.begin() + 256, 'p');
    EXPECT_EQ(DecodeSettings(b).HexFilePath.size(), 256u);
}

TEST(SettingsFileTest, NoFileGivesTheDefaults) {
    test::TempDir dir;
    SettingsRecord r;
    r.AutoPortSelect = 5;
    EXPECT_FALSE(LoadSettings(dir.File("none.bin"), r));
    EXPECT_EQ(r.HexFilePath, "");
    EXPECT_EQ(r.PortNumber, -1);
    EXPECT_EQ(r.VerifyAfterWrite, 0);
    EXPECT_EQ(r.AutoPortSelect, 0);
    EXPECT_EQ(r.ApplyLineSettings, 0);
}

TEST(SettingsFileTest, ShortFileLeavesZeros) {
    test::TempDir dir;
    SettingsRecord full;
    full.HexFilePath = "/x.hex";
    full.PortNumber = 9;
    full.AutoPortSelect = 1;
    full.ApplyLineSettings = 1;
    const SettingsBytes b = EncodeSettings(full);
    dir.Write("s.bin", std::string(b.begin(), b.begin() + 260));
    SettingsRecord r;
    EXPECT_TRUE(LoadSettings(dir.File("s.bin"), r));
    EXPECT_EQ(r.HexFilePath, "/x.hex");
    EXPECT_EQ(r.PortNumber, 9);
    EXPECT_EQ(r.AutoPortSelect, 0);
    EXPECT_EQ(r.ApplyLineSettings, 0);
}

TEST(SettingsFileTest, SaveCreatesExactly269BytesAndKeepsALongerTail) {
    test::TempDir dir;
    SettingsRecord r;
    r.HexFilePath = "/f.hex";
    r.PortNumber = -1;
    ASSERT_TRUE(SaveSettings(dir.File("s.bin"), r));
    EXPECT_EQ(dir.Read("s.bin").size(), 269u);

    dir.Write("long.bin", std::string(300, 'T'));
    ASSERT_TRUE(SaveSettings(dir.File("long.bin"), r));
    const std::string content = dir.Read("long.bin");
    ASSERT_EQ(content.size(), 300u);
    EXPECT_EQ(content.substr(269), std::string(31, 'T'));
    SettingsRecord back;
    LoadSettings(dir.File("long.bin"), back);
    EXPECT_EQ(back.HexFilePath, "/f.hex");
    EXPECT_EQ(back.PortNumber, -1);
}

#ifdef _WIN32
TEST(SettingsPathTest, BesideTheExecutableOrInTheApplicationDataFolder) {
    test::TempDir exe;
    EXPECT_EQ(SettingsPath(exe.Path(), "C:/unused"), exe.Path() + "/" + kSettingsFileName);
    EXPECT_EQ(DefaultConfigHome(), std::getenv("APPDATA"));
    test::TempDir config;
    const std::string missing = exe.File("no-such-folder");
    EXPECT_EQ(SettingsPath(missing, config.Path()), config.Path() + "/quarnelix-dfu/" + kSettingsFileName);
    EXPECT_TRUE(std::filesystem::is_directory(config.Path() + "/quarnelix-dfu"));
}
#else
TEST(SettingsPathTest, BesideTheExecutableOrInTheConfigFolder) {
    test::TempDir exe;
    test::TempDir config;
    EXPECT_EQ(SettingsPath(exe.Path(), config.Path()), exe.Path() + "/" + kSettingsFileName);
    if (::geteuid() == 0) GTEST_SKIP() << "root can write anywhere";
    ::chmod(exe.Path().c_str(), 0555);
    EXPECT_EQ(SettingsPath(exe.Path(), config.Path()), config.Path() + "/quarnelix-dfu/" + kSettingsFileName);
    struct stat st{};
    EXPECT_EQ(::stat((config.Path() + "/quarnelix-dfu").c_str(), &st), 0);
    ::chmod(exe.Path().c_str(), 0755);
}
#endif

TEST(SettingsFileTest, UnwritableTargetWritesNothing) {
    test::TempDir dir;
    SettingsRecord r;
    EXPECT_FALSE(SaveSettings(dir.File("no/such/dir/s.bin"), r));
}

}  // namespace
}  // namespace qdfu
