// quarnelix-devsim as a program: the pty path on its first line, the comN link while it runs, the
// memory dump on request while it serves and when it ends, and the transcript.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "frames.h"
#include "serial.h"
#include "settings.h"
#include "temp_dir.h"

extern char** environ;

namespace qdfu {
namespace {

TEST(DevsimProgramTest, LinkDumpsAndTranscript) {
    test::TempDir dir;
    const std::string config = dir.File("config");
    std::vector<std::string> env{"XDG_CONFIG_HOME=" + config};
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("XDG_CONFIG_HOME=", 0) != 0) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args{QDFU_DEVSIM, "--com", "9", "--dump", dir.File("flash.bin"), "--transcript",
                                  dir.File("line.txt"), "--dump-request", dir.File("dump-now")};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, QDFU_DEVSIM, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(spawned, 0);
    ::close(out[1]);
    std::string path;
    char c = 0;
    while (::read(out[0], &c, 1) == 1 && c != '\n') path += c;
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    const std::string link = config + "/quarnelix-dfu/ports/com9";
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), path);

    SerialClose();
    SerialSetSimulation(false);
    ProcessSettings().ApplyLineSettings = 1;
    SerialSetPortResolver([&](uint32_t) { return link; });
    ASSERT_EQ(SerialOpenDefault(9, 500), SERIAL_OK);
    BlockRecord b;
    b.Length = 2;
    b.Address = 0x2800;
    b.Data[0] = 0x12;
    b.Data[1] = 0x34;
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(WriteFrame(b)), 0), SERIAL_OK);
    b.Address = 0x2840;
    EXPECT_EQ(SerialTransact(static_cast<uint16_t>(WriteFrame(b)), 0), SERIAL_OK);
    SerialClose();
    SerialSetPortResolver({});

    // asked while it serves: the memory after both writes, the request gone
    dir.Write("dump-now", "");
    for (int i = 0; i < 300 && std::filesystem::exists(dir.File("dump-now")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(std::filesystem::exists(dir.File("dump-now")));
    const std::string asked = dir.Read("flash.bin");
    ASSERT_EQ(asked.size(), 0x2B000u);
    EXPECT_EQ(static_cast<uint8_t>(asked[0x2840]), 0x12);
    std::filesystem::remove(dir.File("flash.bin"));

    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    const std::string flash = dir.Read("flash.bin");
    ASSERT_EQ(flash.size(), 0x2B000u);
    EXPECT_EQ(static_cast<uint8_t>(flash[0x2800]), 0x12);
    EXPECT_EQ(static_cast<uint8_t>(flash[0x2802]), 0xFF);
    const std::string line = dir.Read("line.txt");
    EXPECT_NE(line.find("host->dev 03 A2 02 00 28 00 00 12 34"), std::string::npos);
    EXPECT_NE(line.find("dev->host 03 06 A2"), std::string::npos);
    ::close(out[0]);
}

// The program says its version, and a usage error is status 64 as in the command line.
TEST(DevsimProgramTest, VersionAndUsageErrors) {
    auto status = [](const std::string& args) {
        const int rc = std::system((std::string(QDFU_DEVSIM) + " " + args + " >/dev/null 2>&1").c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    };
    EXPECT_EQ(status("--version"), 0);
    EXPECT_EQ(status("--no-such-option"), 64);
    EXPECT_EQ(status("--tcp 70000"), 64);
}

}  // namespace
}  // namespace qdfu
