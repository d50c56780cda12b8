// The scripted board and stdout capture used by the exchange, front-end and command tests.
#include "ScriptedPeer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <unistd.h>

#include "TestSupport.h"
#include "proto/Packet.h"

bool OpenToolPort(const std::string& path, Port* port, int timeout_ms)
{
    PortOpening opening = OpenPort(path, timeout_ms);
    if (!opening.port.IsOpen()) {
        ADD_FAILURE() << "OpenPort " << path;
        return false;
    }
    *port = std::move(opening.port);
    const LineSetUp set_up = PortSetUp(*port);
    if (set_up != LINE_READY) {
        ADD_FAILURE() << (set_up == LINE_NO_SETTINGS ? "GetSettings " : "SetSettings ") << path;
        return false;
    }
    return true;
}

void PtyLineTest::TearDown()
{
    port_.Close();
    ClosePtyPair(&pty_);
}

Bytes ErrorFrame(uint8_t result)
{
    return Frame(0, {result});
}

bool ChecksumOk(const Bytes& frame)
{
    if (frame.size() < proto_base_size || frame.size() > sizeof(Packet) || frame[1] != frame.size())
        return false;
    Packet packet;
    std::memcpy(&packet, frame.data(), frame.size());
    return GetCRC(&packet) == CalcCRC(&packet);
}

ScriptedPeer::ScriptedPeer(int* master, Script script)
    : master_(master), script_(std::move(script)), thread_([this] { Loop(); })
{
}

ScriptedPeer::~ScriptedPeer()
{
    Stop();
}

void ScriptedPeer::Stop()
{
    stop_ = true;
    if (!thread_.joinable())
        return;
    thread_.join();
    leftover_ = partial_;
    if (*master_ >= 0) {
        // The tool's writes are done when it returns, but they may still sit in the pty.
        Bytes rest = Drain(*master_, 25);
        leftover_.insert(leftover_.end(), rest.begin(), rest.end());
    }
}

std::vector<Bytes> ScriptedPeer::Requests()
{
    Stop();
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool ScriptedPeer::ReadSome(uint8_t* data, size_t size)
{
    while (size > 0) {
        if (stop_)
            return false;
        pollfd pfd{*master_, POLLIN, 0};
        if (poll(&pfd, 1, 10) <= 0 || !(pfd.revents & POLLIN))
            continue;
        ssize_t n = read(*master_, data, size);
        if (n <= 0)
            continue;
        partial_.insert(partial_.end(), data, data + n);
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

Bytes ScriptedPeer::ReadFrame()
{
    partial_.clear();
    uint8_t byte = 0;
    do {
        if (!ReadSome(&byte, 1))
            return {};
    } while (byte != hproto_sync);
    partial_.assign(1, hproto_sync);
    uint8_t size = 0;
    if (!ReadSome(&size, 1))
        return {};
    Bytes frame;
    if (size < proto_base_size) {
        frame.swap(partial_);
        return frame;
    }
    Bytes rest(size - 2u);
    if (!ReadSome(rest.data(), rest.size()))
        return {};
    frame.swap(partial_);
    return frame;
}

void ScriptedPeer::Loop()
{
    for (size_t index = 0; !stop_; ++index) {
        Bytes request = ReadFrame();
        if (request.empty())
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }
        PeerAction action = script_(request, index);
        if (!action.bytes.empty())
            WriteBytes(*master_, action.bytes);
        if (action.hang_up) {
            close(*master_);
            *master_ = -1;
            return;
        }
    }
}

StdoutCapture::StdoutCapture()
{
    fflush(stdout);
    file_ = tmpfile();
    saved_ = dup(1);
    if (!file_ || saved_ < 0) {
        ADD_FAILURE() << "cannot capture stdout";
        return;
    }
    dup2(fileno(file_), 1);
}

StdoutCapture::~StdoutCapture()
{
    Finish();
}

std::string StdoutCapture::Finish()
{
    std::string text;
    if (!file_)
        return text;
    fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
    rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), file_)) > 0)
        text.append(buf, n);
    fclose(file_);
    file_ = nullptr;
    return text;
}

int OpenDescriptorCount()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    while (readdir(dir))
        ++count;
    closedir(dir);
    return count;
}
