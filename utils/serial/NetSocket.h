// A TCP connection to a serial device server, as the network transport needs it: connect with a
// bounded wait, bounded reads and writes, close. POSIX sockets (net_posix.cpp) or Winsock
// (net_win32.cpp); nothing here prints.
#pragma once

#include <cstdint>
#include <string>

using SocketHandle = intptr_t;
constexpr SocketHandle no_socket = -1;

struct SocketOpening {
    SocketHandle socket = no_socket;
    std::string address;  // the address connected to, as "127.0.0.1:4000" or "[::1]:4000"
    std::string failure;  // why not, when socket is no_socket
};

// Resolves `host` with the system resolver and connects to the first address that answers
// within timeout_ms in all, with Nagle's algorithm off (every exchange is a small request and a
// small reply).
SocketOpening SocketConnect(const std::string& host, uint16_t port, int timeout_ms);

enum SocketRead {
    SOCKET_DATA,
    SOCKET_QUIET,   // nothing within the time-out
    SOCKET_CLOSED,  // the peer closed the connection
    SOCKET_RESET,   // the connection failed (reset, unreachable)
};
// Waits at most timeout_ms for bytes, then reads what is there (up to `size`) into *got.
SocketRead SocketReceive(SocketHandle socket, void* data, uint32_t size, int timeout_ms,
                         uint32_t* got);
// Sends all `size` bytes, waiting at most timeout_ms while the connection takes none; false when
// the connection failed or stayed full.
bool SocketSend(SocketHandle socket, const void* data, uint32_t size, int timeout_ms);
void SocketClose(SocketHandle socket);
