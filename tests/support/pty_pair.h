// A real pseudo-terminal for driver tests: the test holds the device end (master), raw and without
// echo, and the driver opens the returned path like any serial device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qdfu::test {

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& Path() const { return path_; }
    void Send(const std::vector<uint8_t>& bytes);
    void Send(const std::string& text);
    // Everything the driver wrote, waiting at most timeoutMs for the first byte.
    std::vector<uint8_t> Receive(int timeoutMs = 200);
    void CloseMaster();  // the device vanishes

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

}  // namespace qdfu::test
