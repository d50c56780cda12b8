// TCP connections on Winsock: non-blocking sockets, with select() bounding every wait.
#include "NetSocket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

// Winsock wants one start per process before any call; the tool never needs to stop it.
bool StartWinsock()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

long MsLeft(Clock::time_point until)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    return left.count() > 0 ? static_cast<long>(left.count()) : 0;
}

// >0 ready (or failed, which the next call reports), 0 on time-out.
int Wait(SOCKET s, bool write, Clock::time_point until)
{
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    const long ms = MsLeft(until);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &tv);
}

std::string Address(const sockaddr* addr, size_t len)
{
    char host[NI_MAXHOST] = "?";
    char port[NI_MAXSERV] = "?";
    getnameinfo(addr, static_cast<socklen_t>(len), host, sizeof(host), port, sizeof(port),
                NI_NUMERICHOST | NI_NUMERICSERV);
    if (addr->sa_family == AF_INET6)
        return "[" + std::string(host) + "]:" + port;
    return std::string(host) + ":" + port;
}

std::string ErrorText(int code)
{
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   static_cast<DWORD>(code), 0, text, sizeof(text), nullptr);
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == '.'))
        line.pop_back();
    return line.empty() ? "error " + std::to_string(code) : line;
}

}  // namespace

SocketOpening SocketConnect(const std::string& host, uint16_t port, int timeout_ms)
{
    SocketOpening opening;
    if (!StartWinsock()) {
        opening.failure = "cannot start Winsock";
        return opening;
    }
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        opening.failure = "cannot resolve " + host + ": " + ErrorText(rc);
        return opening;
    }
    std::string why = "no address";
    for (addrinfo* a = found; a && opening.socket == no_socket; a = a->ai_next) {
        SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET)
            continue;
        u_long nonblocking = 1;
        ioctlsocket(s, FIONBIO, &nonblocking);
        int err = 0;
        if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
            err = WSAGetLastError();
            if (err == WSAEWOULDBLOCK) {
                if (Wait(s, true, until) <= 0) {
                    err = WSAETIMEDOUT;
                } else {
                    int len = sizeof(err);
                    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len);
                }
            }
        }
        if (err != 0) {
            why = Address(a->ai_addr, a->ai_addrlen) + ": " +
                  (err == WSAETIMEDOUT ? "no answer within " + std::to_string(timeout_ms) + " ms"
                                       : ErrorText(err));
            closesocket(s);
            continue;
        }
        BOOL on = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
        // Windows delays an acknowledgement up to 200 ms, and a server that sends its Telnet
        // answers in several small writes with Nagle's algorithm on waits for it: acknowledge
        // every segment. Where the request is not known (before Windows 8), nothing changes.
        DWORD every = 1, returned = 0;
        WSAIoctl(s, SIO_TCP_SET_ACK_FREQUENCY, &every, sizeof(every), nullptr, 0, &returned,
                 nullptr, nullptr);
        opening.socket = static_cast<SocketHandle>(s);
        opening.address = Address(a->ai_addr, a->ai_addrlen);
    }
    freeaddrinfo(found);
    if (opening.socket == no_socket)
        opening.failure = "cannot connect to " + why;
    return opening;
}

SocketRead SocketReceive(SocketHandle socket, void* data, uint32_t size, int timeout_ms,
                         uint32_t* got)
{
    const SOCKET s = static_cast<SOCKET>(socket);
    *got = 0;
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (Wait(s, false, until) == 0)
            return SOCKET_QUIET;
        const int n = recv(s, static_cast<char*>(data), static_cast<int>(size), 0);
        if (n > 0) {
            *got = static_cast<uint32_t>(n);
            return SOCKET_DATA;
        }
        if (n == 0)
            return SOCKET_CLOSED;
        if (WSAGetLastError() != WSAEWOULDBLOCK)
            return SOCKET_RESET;
    }
}

bool SocketSend(SocketHandle socket, const void* data, uint32_t size, int timeout_ms)
{
    const SOCKET s = static_cast<SOCKET>(socket);
    const char* p = static_cast<const char*>(data);
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    uint32_t sent = 0;
    while (sent < size) {
        const int n = send(s, p + sent, static_cast<int>(size - sent), 0);
        if (n > 0) {
            sent += static_cast<uint32_t>(n);
            continue;
        }
        if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK || Wait(s, true, until) <= 0)
            return false;
    }
    return true;
}

void SocketClose(SocketHandle socket)
{
    closesocket(static_cast<SOCKET>(socket));
}
