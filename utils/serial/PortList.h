// The serial ports of this machine as the operator needs them to pick one, and why a port did not
// open. Like Serial.h, nothing here prints.
#pragma once

#include <string>
#include <vector>

#include "Serial.h"

enum ProbeResult {
    PROBE_NOT_DONE = 0,
    PROBE_ANSWERED,    // a board answered the ping
    PROBE_SILENT,      // opened, but no good ping reply within the probe's time-out
    PROBE_NOT_OPENED,  // the port did not open (and was not found busy)
};

struct PortInfo {
    std::string name;         // the port word to type: ttyUSB0, COM3
    std::string path;         // the device the tool opens for it
    std::string description;  // USB product, driver name, or the Windows friendly name
    int vid = -1;             // USB vendor and product ids; -1 when not a USB device or not known
    int pid = -1;
    std::string serial;    // USB serial number, when the device has one
    std::string by_id;     // Linux: its link under /dev/serial/by-id
    int latency_ms = -1;   // the USB adapter's latency timer, where the system tells it; else -1
    bool console = false;  // Linux: the kernel's console; never probed
    bool busy = false;     // another run (or program) holds it
    int busy_pid = 0;      // the holder, where the platform tells; 0 when not known
    ProbeResult probe = PROBE_NOT_DONE;
};

// The ports of this machine, in the order a person counts them (ttyUSB2 before ttyUSB10). Opens
// no port: the holder of a Linux port is found in the kernel's lock table, and Windows tells it
// only to an open (so there a port shows busy after --probe).
std::vector<PortInfo> ListPorts();

// One line for the listing: name, then what is known of the rest, two blanks between fields.
std::string FormatPortLine(const PortInfo& port);
// Puts ports in the order ListPorts promises.
void SortPorts(std::vector<PortInfo>* ports);
// "ttyS0, ttyUSB0" for a message; "" for none.
std::string PortNames(const std::vector<PortInfo>& ports);

// The one stderr line after OpenPort(path) failed with `error`: what went wrong and what to do
// about it.
std::string PortOpenFailure(const std::string& path, PortOpenError error);
// The one stderr line right after GetSettings failed on a port that opened: what the path
// names instead of a serial port.
std::string PortSettingsFailure(const std::string& path);

// True when the open failed because the device is not there (yet) or someone else holds it:
// what --wait-port waits out. Any other failure (no permission) does not go away by waiting.
bool PortMayComeFree(PortOpenError error);

#ifndef _WIN32
// Where the POSIX code reads the system: tests point these at a tree of their own.
struct SystemRoots {
    std::string sys = "/sys";
    std::string dev = "/dev";
    std::string proc = "/proc";
};
std::vector<PortInfo> ListPorts(const SystemRoots& roots);
std::string SlowAdapterAdvice(const std::string& device, bool low_latency_took,
                              const SystemRoots& roots);
// What to do about a USB adapter that holds back every short reply for its latency timer, for the
// port open on `fd`: where the setting is, what it reads now, and whether the driver took the
// tool's low-latency request.
std::string SlowAdapterAdvice(int fd);
std::string DescribeOpenFailure(const std::string& path, PortOpenError error,
                                const SystemRoots& roots);
#endif
