// The serial port as the rest of gantrix sees it: with the console (console/Console.h), the only
// place that knows the operating system.
// Every operation blocks; none of them prints anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Line settings as the driver reports them. The four named fields use the Win32 encodings
// (parity 0 = none, stop_bits 0 = one stop bit) on every platform; everything else the driver
// reported rides along untouched in `native` and is written back as it was.
struct LineSettings {
    uint32_t baud_rate;
    uint8_t parity;
    uint8_t stop_bits;
    uint8_t byte_size;
    alignas(8) unsigned char native[256];
};

// How an open failed, captured where it failed: the platform's error code (errno or
// GetLastError) and whether that means someone else holds the port.
struct PortOpenError {
    int code = 0;
    bool busy = false;
};

// What a line has to tell the run beyond its bytes: a network line's negotiation and hang-up.
struct LineNews {
    std::vector<std::string> trace;  // for the debug trace (an acknowledgement that did not come)
    std::vector<std::string> notes;  // stderr lines (the peer that hung up)
    std::string refusal;  // a setting the line would not take: its stderr line; the run fails
};

// One kind of line below a port: the platform's serial device (serial_posix.cpp,
// serial_win32.cpp), or a TCP connection to a serial device server (net_common.cpp). The transport owns what it opened and
// closes it when destroyed. Every read and write waits at most the time-out it was opened with. A
// read that runs out of time reports success with 0 bytes, which the exchange layer treats as a
// failed read, so a silent or unplugged board ends a run within seconds instead of hanging it.
class Transport {
public:
    virtual ~Transport() = default;
    // Reads up to `size` bytes. When it returns differs by platform: on POSIX as soon as at least
    // one byte has arrived; on Windows once all `size` bytes are in (or what the driver already
    // held, when that is more and fits the port's receive hold), and otherwise only at the
    // time-out, with what came. So a short count may come early or only at the time-out, and a
    // caller that needs a whole count reads again (RecvData does). Returns false when the read
    // failed (a hang-up on POSIX; Wine mostly reports one as a time-out); true with *bytes == 0
    // when the time-out ran out before any byte.
    virtual bool Read(void* data, uint32_t size, uint32_t* bytes) = 0;
    // Writes all `size` bytes unless the line fails or the time-out runs out; *bytes tells how
    // many went out. False when fewer than `size` were written.
    virtual bool Write(const void* data, uint32_t size, uint32_t* bytes) = 0;
    virtual bool GetSettings(LineSettings* settings) = 0;
    // Applies the four named fields and the line time-out, and makes the line binary-clean (no
    // XON/XOFF, no translation, no byte dropped or replaced).
    virtual bool SetSettings(const LineSettings* settings) = 0;
    // Drops whatever the driver, and the transport itself, hold in both directions.
    virtual void Purge() = 0;
    // Asks the driver for queues of these sizes; where the platform has no such request, nothing.
    virtual void SetQueues(uint32_t in_queue, uint32_t out_queue) = 0;
    // What to do about a line that holds back every short reply (a USB adapter's latency timer),
    // for this line: where the setting is and what it reads now. One line's worth, no line end.
    virtual std::string SlowAdapterAdvice() = 0;
    // What happened on the line since the last call that the run should hear of; a local line
    // has nothing to tell.
    virtual LineNews TakeNews() { return {}; }
    // Whether the line is a connection to a serial device server rather than a local device.
    virtual bool IsNetwork() const { return false; }
};

// An open port, or none: the owner of its transport. Moving hands the line on; the end of the
// owner closes it, which also lifts the exclusive hold of the open.
class Port {
public:
    Port() = default;
    Port(std::unique_ptr<Transport> transport, int timeout_ms)
        : transport_(std::move(transport)), timeout_ms_(timeout_ms)
    {
    }

    bool IsOpen() const { return transport_ != nullptr; }
    // How long one read or write may wait for the line.
    int TimeoutMs() const { return timeout_ms_; }
    // Closes the line now, as the end of the owner would.
    void Close() { transport_.reset(); }

    // The transport's operations (Transport above); the port must be open.
    bool Read(void* data, uint32_t size, uint32_t* bytes)
    {
        const bool read = transport_->Read(data, size, bytes);
        hung_up_ = hung_up_ || !read;
        return read;
    }
    // Whether a read found the line gone (a hang-up), for a caller that would go on using it.
    bool HungUp() const { return hung_up_; }
    bool Write(const void* data, uint32_t size, uint32_t* bytes)
    {
        return transport_->Write(data, size, bytes);
    }
    bool GetSettings(LineSettings* settings) { return transport_->GetSettings(settings); }
    bool SetSettings(const LineSettings* settings) { return transport_->SetSettings(settings); }
    void Purge() { transport_->Purge(); }
    void SetQueues(uint32_t in_queue, uint32_t out_queue)
    {
        transport_->SetQueues(in_queue, out_queue);
    }
    std::string SlowAdapterAdvice() { return transport_->SlowAdapterAdvice(); }
    LineNews TakeNews() { return transport_->TakeNews(); }
    bool IsNetwork() const { return transport_->IsNetwork(); }

private:
    std::unique_ptr<Transport> transport_;
    int timeout_ms_ = 0;
    bool hung_up_ = false;
};

// What an open gave: the port, or a port that is not open and the reason in `error`.
struct PortOpening {
    Port port;
    PortOpenError error;
};

// The device path for a port word: "\\.\COM3" on Windows; on POSIX the word itself when it holds
// a '/', else "/dev/" + word.
std::string PortPath(const std::string& word);
// One name per device, whatever path reached it (a link, another spelling), so that two words
// for the same device can be told apart from two devices. The path itself when it cannot be told.
std::string DeviceIdentity(const std::string& path);

// Opens the device for exclusive use: a second opener (another run of the tool) is refused until
// the port is closed, or the process ends. Every read and write on it waits at most timeout_ms.
PortOpening OpenPort(const std::string& path, int timeout_ms);

// How far PortSetUp got.
enum LineSetUp {
    LINE_READY,
    LINE_NO_SETTINGS,       // the driver would not report the line's settings
    LINE_SETTINGS_REFUSED,  // the driver would not apply 115200 8N1
};
// Makes an open port the line the board speaks, in the order every run, the port listing's probe
// and the tests need: reads the settings, applies 115200 baud 8N1, drops what the driver holds from
// before (a stale frame would be read as the first reply), asks for the queue sizes. Stops at the
// first step that fails and says which.
LineSetUp PortSetUp(Port& port);
