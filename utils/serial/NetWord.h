// Port words that name a board behind a serial device server: tcp://HOST:PORT carries the line's
// bytes as they are, rfc2217://HOST:PORT speaks Telnet with the COM-PORT-OPTION. HOST is a name,
// an IPv4 address or a bracketed IPv6 one ([::1]).
#pragma once

#include <cstdint>
#include <string>

enum NetKind {
    NET_NONE,  // not a network word: a local port
    NET_TCP,
    NET_RFC2217,
};

struct NetWord {
    NetKind kind = NET_NONE;
    std::string host;  // without the brackets of an IPv6 address
    uint16_t port = 0;
    std::string failure;  // the stderr line when the word is refused; then host is empty
};

// Whether the word asks for a network port (tcp:// or rfc2217://, any case), well-formed or not.
bool IsNetWord(const std::string& word);
// Reads a network word; one that is not exactly SCHEME://HOST:PORT is refused with the reason.
NetWord ParseNetWord(const std::string& word);
