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

#include <atomic>
#include <functional>
#include <thread>

namespace qdfu::test {

// Answers whatever the driver sends on a pty: each chunk received is passed to the handler and
// its result is written back (nothing when empty). Runs until destroyed.
class PtyResponder {
public:
    using Handler = std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)>;
    PtyResponder(PtyPair& pty, Handler handler);
    ~PtyResponder();
    int Chunks() const { return chunks_; }

private:
    PtyPair& pty_;
    Handler handler_;
    std::atomic<bool> stop_{false};
    std::atomic<int> chunks_{0};
    std::thread thread_;
};

}  // namespace qdfu::test
