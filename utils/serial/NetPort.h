// A port that is a TCP connection to a serial device server: raw bytes (tcp://) or Telnet with
// the COM-PORT-OPTION (rfc2217://). The line's bytes go through exactly as on a local port.
#pragma once

#include <string>

#include "NetWord.h"
#include "Serial.h"

// Connects (the time-out bounds the connect, and then every read and write) and, for rfc2217://,
// negotiates the Telnet options. `typed` is the port word, for the lines that name the peer.
// A port that is not open, with the stderr line in *failure, when the connection failed.
Port OpenNetPort(const NetWord& word, const std::string& typed, int timeout_ms,
                 std::string* failure);

// How long an rfc2217:// open waits for each of the server's answers (the options, a setting,
// a purge) before it goes on without: some servers never acknowledge some requests.
constexpr int net_answer_wait_ms = 500;
