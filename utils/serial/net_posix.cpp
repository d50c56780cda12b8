// TCP connections on POSIX sockets: non-blocking, with poll() bounding every wait.
#include "NetSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point until)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// >0 ready (or failed, which the next call reports), 0 on time-out.
int Wait(int fd, short events, Clock::time_point until)
{
    for (;;) {
        pollfd pfd{fd, events, 0};
        const int rc = poll(&pfd, 1, MsLeft(until));
        if (rc < 0 && errno == EINTR)
            continue;
        return rc;
    }
}

std::string Address(const sockaddr* addr)
{
    char host[INET6_ADDRSTRLEN] = "?";
    uint16_t port = 0;
    if (addr->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(addr);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof(host));
        port = ntohs(in6->sin6_port);
        return "[" + std::string(host) + "]:" + std::to_string(port);
    }
    const auto* in4 = reinterpret_cast<const sockaddr_in*>(addr);
    inet_ntop(AF_INET, &in4->sin_addr, host, sizeof(host));
    port = ntohs(in4->sin_port);
    return std::string(host) + ":" + std::to_string(port);
}

}  // namespace

SocketOpening SocketConnect(const std::string& host, uint16_t port, int timeout_ms)
{
    SocketOpening opening;
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        opening.failure = "cannot resolve " + host + ": " + gai_strerror(rc);
        return opening;
    }
    std::string why = "no address";
    for (addrinfo* a = found; a && opening.socket == no_socket; a = a->ai_next) {
        const int fd =
            socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0)
            continue;
        int err = 0;
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            err = errno;
            if (err == EINPROGRESS) {
                if (Wait(fd, POLLOUT, until) <= 0) {
                    err = ETIMEDOUT;
                } else {
                    socklen_t len = sizeof(err);
                    getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
                }
            }
        }
        if (err != 0) {
            why = Address(a->ai_addr) + ": " +
                  (err == ETIMEDOUT ? "no answer within " + std::to_string(timeout_ms) + " ms"
                                    : std::string(strerror(err)));
            close(fd);
            continue;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        opening.socket = fd;
        opening.address = Address(a->ai_addr);
    }
    freeaddrinfo(found);
    if (opening.socket == no_socket)
        opening.failure = "cannot connect to " + why;
    return opening;
}

SocketRead SocketReceive(SocketHandle socket, void* data, uint32_t size, int timeout_ms,
                         uint32_t* got)
{
    const int fd = static_cast<int>(socket);
    *got = 0;
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (Wait(fd, POLLIN, until) == 0)
            return SOCKET_QUIET;
        const ssize_t n = recv(fd, data, size, 0);
#ifdef TCP_QUICKACK
        // Linux delays an acknowledgement up to 40 ms, and a server that sends its Telnet answers
        // in several small writes with Nagle's algorithm on waits for it: acknowledge at once.
        // The kernel clears the mode again by itself, so it is set after every read.
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof(on));
#endif
        if (n > 0) {
            *got = static_cast<uint32_t>(n);
            return SOCKET_DATA;
        }
        if (n == 0)
            return SOCKET_CLOSED;
        if (errno != EAGAIN && errno != EINTR)
            return SOCKET_RESET;
    }
}

bool SocketSend(SocketHandle socket, const void* data, uint32_t size, int timeout_ms)
{
    const int fd = static_cast<int>(socket);
    const char* p = static_cast<const char*>(data);
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    uint32_t sent = 0;
    while (sent < size) {
        // MSG_NOSIGNAL: a connection the server closed is a failed write, not a SIGPIPE.
        const ssize_t n = send(fd, p + sent, size - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || errno != EAGAIN || Wait(fd, POLLOUT, until) <= 0)
            return false;
    }
    return true;
}

void SocketClose(SocketHandle socket)
{
    close(static_cast<int>(socket));
}
