// The present ports the window tests show it, on the system the tests run on: a ports folder of
// comN links over a fake sysfs on Linux, values of the SERIALCOMM key on Windows. Port n may stand
// for a device of the test's own (a pseudo-terminal, a simulated controller); DevicePath(n) is
// what the serial driver must then open for it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ports.h"
#include "temp_dir.h"

namespace qdfu::test {

class TestPorts {
public:
    TestPorts();
    ~TestPorts();
    TestPorts(const TestPorts&) = delete;
    TestPorts& operator=(const TestPorts&) = delete;

    // What the window is given to list ports with.
    const PortPaths& Paths() const { return paths_; }
    // Port COMn present; device: what it opens (nothing in particular by default).
    void Add(uint32_t n, const std::string& device = {});
    void Remove(uint32_t n);
    // The source of present ports cannot be read at all.
    void MakeSourceMissing();
    std::string DevicePath(uint32_t n) const;

private:
    TempDir tree_;
    PortPaths paths_;
    struct Platform;
    std::unique_ptr<Platform> platform_;
};

}  // namespace qdfu::test
