// POSIX console: descriptors as the C library has them.
#include "Console.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "ConsolePlatform.h"

void ConsoleSetUp()
{
    // A closed 1 would be the number the port gets, and every line printed would go to the board.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", O_RDWR);  // the lowest free number: this one
    // A file or pipe is otherwise fully buffered, and a run stopped during the debug trace left
    // its command's lines unwritten. The upload's progress line ends in '\r' and is flushed by
    // the upload itself.
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}

void ShowPrinted()
{
    // Line buffered: every line is out as it ends.
}

bool StdoutIsTerminal()
{
    return isatty(1) == 1;
}

bool OpenPipe(int fds[2])
{
    if (pipe(fds) != 0)
        return false;
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return true;
}

int CopyDescriptor(int fd)
{
    return fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

bool MoveDescriptor(int from, int to)
{
    return dup2(from, to) >= 0;
}

long ReadDescriptor(int fd, char* bytes, size_t size)
{
    for (;;) {
        ssize_t n = read(fd, bytes, size);
        if (!(n < 0 && errno == EINTR))
            return static_cast<long>(n);
    }
}

long WriteDescriptor(int fd, const char* bytes, size_t size)
{
    for (;;) {
        ssize_t n = write(fd, bytes, size);
        if (!(n < 0 && errno == EINTR))
            return static_cast<long>(n);
    }
}

void CloseDescriptor(int fd)
{
    close(fd);
}

void DivertBegun() {}

int RunProcessId()
{
    return static_cast<int>(getpid());
}
