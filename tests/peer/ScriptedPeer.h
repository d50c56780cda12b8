// A board played by a script on the master side of a pty, and stdout capture for tests that
// compare what the tool prints byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "serial/Serial.h"

// Opens the tool's end of a line through the real serial layer and sets it up as a run does
// (PortSetUp). Fails the current test on error.
bool OpenToolPort(const std::string& path, Port* port, int timeout_ms = 1000);
// An error reply carrying `result`.
Bytes ErrorFrame(uint8_t result);
// True when `frame` is a complete frame whose stored checksum matches its bytes.
bool ChecksumOk(const Bytes& frame);

// The line of the exchange, command and front-end tests: a pty pair whose master side the test
// plays the board on, and the tool's side once OpenPort has opened it. TearDown closes both.
class PtyLineTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(OpenPtyPair(&pty_)); }
    void TearDown() override;
    // The tool's side through OpenToolPort, into port_.
    bool OpenPort(int timeout_ms = 1000)
    {
        return OpenToolPort(pty_.slave_path, &port_, timeout_ms);
    }

    PtyPair pty_;
    Port port_;
};

// What the script does with one request: write `bytes` (nothing for silence), then optionally
// close the master side, which the tool sees as the line hanging up.
struct PeerAction {
    Bytes bytes;
    bool hang_up = false;
};

// The peer answers with `bytes` and keeps the line.
inline PeerAction Reply(Bytes bytes)
{
    return PeerAction{std::move(bytes), false};
}

// Reads request frames from `*master` on its own thread and answers each through `script`.
// The script sees the request and its index (0 for the first). Stops on Stop() or after a hang-up.
class ScriptedPeer {
public:
    using Script = std::function<PeerAction(const Bytes& request, size_t index)>;
    ScriptedPeer(int* master, Script script);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // Ends the thread, then collects whatever bytes still wait on the line as Leftover().
    void Stop();
    // Requests seen so far (all of them after Stop()).
    std::vector<Bytes> Requests();
    // Bytes that arrived after the last whole request, or that never formed one.
    const Bytes& Leftover() const { return leftover_; }

private:
    void Loop();
    // One frame: bytes up to a sync byte are dropped, then size bytes are read. Empty on stop.
    Bytes ReadFrame();
    bool ReadSome(uint8_t* data, size_t size);

    int* master_;
    Script script_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Bytes> requests_;
    Bytes partial_;
    Bytes leftover_;
    std::thread thread_;
};

// Sends everything the process writes to stdout into a temporary file until Finish().
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    std::string Finish();

private:
    FILE* file_ = nullptr;
    int saved_ = -1;
};

// Open descriptors of this process, to see that a handler closed what it opened.
int OpenDescriptorCount();
