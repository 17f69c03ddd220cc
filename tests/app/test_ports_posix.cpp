// Linux: a ports folder of comN links beside an empty sysfs and device root, so only the links
// the test makes are present.
#include <filesystem>

#include "test_ports.h"

namespace qdfu::test {

struct TestPorts::Platform {};

TestPorts::TestPorts() {
    paths_.PortsDir = tree_.File("ports");
    paths_.DevRoot = tree_.File("dev");
    paths_.SysfsRoot = tree_.File("sys");
    std::filesystem::create_directories(paths_.PortsDir);
    std::filesystem::create_directories(paths_.DevRoot);
    std::filesystem::create_directories(paths_.SysfsRoot + "/class/tty");
}

TestPorts::~TestPorts() = default;

void TestPorts::Add(uint32_t n, const std::string& device) {
    std::string target = device;
    if (target.empty()) {
        target = tree_.File("dev/dev" + std::to_string(n));
        tree_.Write("dev/dev" + std::to_string(n), "");
    }
    std::filesystem::create_symlink(target, paths_.PortsDir + "/com" + std::to_string(n));
}

void TestPorts::Remove(uint32_t n) {
    std::filesystem::remove(paths_.PortsDir + "/com" + std::to_string(n));
}

void TestPorts::MakeSourceMissing() {
    paths_.PortsDir = tree_.File("no-ports");
    paths_.SysfsRoot = tree_.File("no-sys");
}

std::string TestPorts::DevicePath(uint32_t n) const { return PortDevicePath(n, paths_); }

}  // namespace qdfu::test
