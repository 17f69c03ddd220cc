// Windows: the SERIALCOMM key, emptied for each test and put back after. A port standing for a
// device of the test's own is a value of the key and, for the driver, an alias of that device, so
// the window shows and says COMn whatever number the device itself has.
#include <map>

#include "serialcomm_key.h"
#include "test_ports.h"

namespace qdfu::test {
namespace {

// Zero-padded, so that the key's order (by value name) is the ports' numeric order.
std::string ValueName(uint32_t n) {
    std::string digits = std::to_string(n);
    return "\\Device\\QdfuTest" + std::string(digits.size() < 5 ? 5 - digits.size() : 0, '0') + digits;
}

}  // namespace

struct TestPorts::Platform {
    SerialCommKey key;
    std::map<uint32_t, std::string> devices;
};

TestPorts::TestPorts() : platform_(std::make_unique<Platform>()) { SerialCommKey::Replace({}); }

TestPorts::~TestPorts() = default;

void TestPorts::Add(uint32_t n, const std::string& device) {
    if (!device.empty()) platform_->devices[n] = device;
    SerialCommKey::Set(ValueName(n), "COM" + std::to_string(n));
}

void TestPorts::Remove(uint32_t n) {
    platform_->devices.erase(n);
    SerialCommKey::Remove(ValueName(n));
}

void TestPorts::MakeSourceMissing() { SerialCommKey::Delete(); }

std::string TestPorts::DevicePath(uint32_t n) const {
    const auto it = platform_->devices.find(n);
    return it != platform_->devices.end() ? it->second : PortDevicePath(n, paths_);
}

}  // namespace qdfu::test
