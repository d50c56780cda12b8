// The port word as the operator types it: a device name, or usb:VID:PID[:SERIAL], which names the
// adapter instead of the socket it is in. And the wait for a port that is not there or not free
// yet (--wait-port). Nothing here prints; the waiting line goes to the caller's `say`.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "PortList.h"
#include "Serial.h"

// Every word that begins with this is an adapter to look up; no device name is taken for one (on
// Linux a device whose name begins so is still reached by its path, /dev/usb:...).
constexpr char usb_word_prefix[] = "usb:";

enum UsbMatch {
    USB_MATCH_ONE,
    USB_MATCH_NONE,
    USB_MATCH_SEVERAL,
    USB_MATCH_MALFORMED,  // not usb:VID:PID[:SERIAL] with hex ids of up to four digits
};

struct UsbMatchResult {
    UsbMatch match = USB_MATCH_NONE;
    std::string path;     // the device to open, for USB_MATCH_ONE
    std::string failure;  // otherwise: one stderr line, what was looked for and the candidates
};

bool IsUsbWord(const std::string& word);
// Looks the usb: word up in a port listing: the ids as the listing prints them (case of the hex
// digits aside), the serial number exactly as printed.
UsbMatchResult MatchUsbWord(const std::string& word, const std::vector<PortInfo>& ports);

// Opens the port the word names and sets nothing up. With wait_ms > 0, a port that is missing or
// busy (and a usb: word that matches no adapter) is looked for again until it opens or wait_ms has
// passed; `say` gets one line saying what is waited for. The open port with the device's path in
// *opened; a port that is not open, with *failure (the stderr line), when it did not open.
Port OpenPortWord(const std::string& word, int timeout_ms, int wait_ms,
                  const std::function<void(const std::string& line)>& say, std::string* opened,
                  std::string* failure);
