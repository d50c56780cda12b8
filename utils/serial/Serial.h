// The serial port as the rest of gantrix sees it: with the console (console/Console.h), the only
// place that knows the operating system.
// Every operation blocks; none of them prints anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct PortInput;
struct ExchangeRun;

// The open device: the operating system's handle, and how long one read or write on it may wait
// for the line before it gives up. A read that runs out of time reports success with 0 bytes,
// which the exchange layer treats as a failed read, so a silent or unplugged board ends a run
// within seconds instead of hanging it.
struct Port {
#ifdef _WIN32
    void* handle = nullptr;  // the Win32 HANDLE of the device
#else
    int fd = -1;  // the file descriptor of the tty, non-blocking; the only one
#endif
    int timeout_ms = 0;
    // Bytes taken off the line and not yet read (PortInput.h); owned by the port from PortOpen
    // to PortClose. Without it every read goes to the driver.
    PortInput* input = nullptr;
    // The run this port serves (proto/Exchange.h), for the exchange; the serial layer only
    // carries it.
    ExchangeRun* run = nullptr;
};

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

// The device path for a port word: "\\.\COM3" on Windows; on POSIX the word itself when it holds
// a '/', else "/dev/" + word.
std::string PortPath(const std::string& word);

// Opens the device for exclusive use: a second opener (another run of the tool) is refused until
// PortClose, or the end of the process, releases it.
// Every read and write on it waits at most timeout_ms.
bool PortOpen(const std::string& path, int timeout_ms, Port* port);
bool PortGetSettings(Port port, LineSettings* settings);
// Applies the four named fields and the line time-out, and makes the line binary-clean (no
// XON/XOFF, no translation, no byte dropped or replaced).
bool PortSetSettings(Port port, const LineSettings* settings);
// Drops whatever the driver holds in both directions.
void PortPurge(Port port);
// Asks the driver for queues of these sizes; where the platform has no such request, nothing.
void PortSetQueues(Port port, uint32_t in_queue, uint32_t out_queue);
void PortClose(Port port);

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
LineSetUp PortSetUp(Port port);

// Reads up to `size` bytes, waiting at most the port's time-out. When it returns differs by
// platform: on POSIX as soon as at least one byte has arrived; on Windows once all `size` bytes
// are in (or what the driver already held, when that is more and fits the port's receive hold),
// and otherwise only at the time-out, with what came. So a short count may come early or only at
// the time-out, and a caller that needs a whole count reads again (RecvData does). Returns false
// when the read failed (a hang-up on POSIX; Wine mostly reports one as a time-out); true with
// *bytes == 0 when the time-out ran out before any byte.
bool PortRead(Port port, void* data, uint32_t size, uint32_t* bytes);
// Writes all `size` bytes unless the line fails or the time-out runs out; *bytes tells how many
// went out. False when fewer than `size` were written.
bool PortWrite(Port port, const void* data, uint32_t size, uint32_t* bytes);
