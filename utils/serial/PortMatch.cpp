// The port word resolved against the port listing, and the wait for a port to be there and free.
#include "PortMatch.h"

#include "NetPort.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>

#include "NetPort.h"

namespace {

// How often a missing or busy port is looked for again: a plugged-in adapter gets its device
// within a few hundred ms, and each look on Windows asks the device manager.
constexpr int wait_step_ms = 100;

// A hex id of one to four digits, as the listing prints it; -1 otherwise.
int HexId(const std::string& text)
{
    if (text.empty() || text.size() > 4)
        return -1;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return -1;
    return static_cast<int>(std::strtol(text.c_str(), nullptr, 16));
}

// The usb: word that names this port: the form the operator can copy from a message.
std::string UsbWordOf(const PortInfo& port)
{
    char ids[24];
    std::snprintf(ids, sizeof(ids), "usb:%04x:%04x", port.vid & 0xFFFF, port.pid & 0xFFFF);
    return std::string(ids) + (port.serial.empty() ? "" : ":" + port.serial);
}

std::string Candidates(const std::vector<const PortInfo*>& ports)
{
    std::string text;
    for (const PortInfo* port : ports)
        text += (text.empty() ? "" : ", ") + port->name + " is " + UsbWordOf(*port);
    return text;
}

}  // namespace

bool IsUsbWord(const std::string& word)
{
    return word.compare(0, sizeof(usb_word_prefix) - 1, usb_word_prefix) == 0;
}

UsbMatchResult MatchUsbWord(const std::string& word, const std::vector<PortInfo>& ports)
{
    UsbMatchResult result;
    // usb:VID:PID, then an optional :SERIAL that runs to the end of the word.
    const size_t vid_at = sizeof(usb_word_prefix) - 1;
    const size_t pid_colon = word.find(':', vid_at);
    const size_t serial_colon =
        pid_colon == std::string::npos ? pid_colon : word.find(':', pid_colon + 1);
    const int vid =
        pid_colon == std::string::npos ? -1 : HexId(word.substr(vid_at, pid_colon - vid_at));
    const int pid = pid_colon == std::string::npos
                        ? -1
                        : HexId(word.substr(pid_colon + 1, serial_colon == std::string::npos
                                                               ? std::string::npos
                                                               : serial_colon - pid_colon - 1));
    const bool has_serial = serial_colon != std::string::npos;
    const std::string serial = has_serial ? word.substr(serial_colon + 1) : "";
    if (vid < 0 || pid < 0 || (has_serial && serial.empty())) {
        result.match = USB_MATCH_MALFORMED;
        result.failure = "gantrix: " + word +
                         " is not usb:VID:PID or usb:VID:PID:SERIAL (hex ids and serial number as "
                         "gantrix --list-ports shows them, e.g. usb:0403:6001)";
        return result;
    }
    std::vector<const PortInfo*> usb_ports;
    std::vector<const PortInfo*> matches;
    for (const PortInfo& port : ports) {
        if (port.vid < 0 || port.pid < 0)
            continue;
        usb_ports.push_back(&port);
        if (port.vid == vid && port.pid == pid && (!has_serial || port.serial == serial))
            matches.push_back(&port);
    }
    if (matches.size() == 1) {
        result.match = USB_MATCH_ONE;
        result.path = matches[0]->path;
        return result;
    }
    if (matches.empty()) {
        result.match = USB_MATCH_NONE;
        result.failure =
            "gantrix: no serial port is " + word +
            (usb_ports.empty() ? std::string("; no USB serial port is present: check "
                                             "the cable and the adapter")
                               : "; USB serial ports present: " + Candidates(usb_ports));
        return result;
    }
    result.match = USB_MATCH_SEVERAL;
    result.failure = "gantrix: " + word + " names " + std::to_string(matches.size()) +
                     " ports: " + Candidates(matches) +
                     "; name one by its serial number, or by its port name";
    return result;
}

Port OpenPortWord(const std::string& word, int timeout_ms, int wait_ms,
                  const std::function<void(const std::string& line)>& say, std::string* opened,
                  std::string* failure)
{
    // A server on the network is connected to once: --wait-port looks for local ports.
    if (IsNetWord(word)) {
        const NetWord net = ParseNetWord(word);
        if (net.kind == NET_NONE) {
            *failure = net.failure;
            return Port();
        }
        *opened = word;
        return OpenNetPort(net, word, timeout_ms, failure);
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(wait_ms);
    bool told = false;
    for (;;) {
        std::string path;
        bool may_come = false;
        std::string waiting_for;
        if (IsUsbWord(word)) {
            UsbMatchResult match = MatchUsbWord(word, ListPorts());
            path = match.path;
            *failure = match.failure;
            may_come = match.match == USB_MATCH_NONE;
            waiting_for = word + " to be plugged in";
        } else {
            path = PortPath(word);
        }
        PortOpenError error;
        if (!path.empty()) {
            PortOpening opening = OpenPort(path, timeout_ms);
            if (opening.port.IsOpen()) {
                *opened = path;
                return std::move(opening.port);
            }
            error = opening.error;
            may_come = PortMayComeFree(error);
            waiting_for = word + (error.busy ? " to be free" : " to be there");
        }
        if (!may_come || Clock::now() >= until) {
            // Only now: the reason lists the ports present, which is not worth doing per look.
            if (!path.empty())
                *failure = PortOpenFailure(path, error);
            return Port();
        }
        if (!told && say) {
            char limit[32];
            std::snprintf(limit, sizeof(limit), "%g", wait_ms / 1000.0);
            say("gantrix: waiting up to " + std::string(limit) + " s for " + waiting_for);
            told = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(wait_step_ms));
    }
}
