// The diversion of stdout for --log, the same on every platform over ConsolePlatform.h.
#include "Console.h"

#include <cstdio>
#include <thread>

#include "ConsolePlatform.h"

namespace {

// Where stdout went before the diversion, and the pipe's reading end.
int console_fd = -1;
int divert_read_fd = -1;
std::thread divert_thread;
// A write to console_fd failed: the console is gone or full; the log still gets its lines.
bool console_failed = false;

}  // namespace

bool ConsoleDivert(void (*sink)(const char* bytes, size_t count))
{
    fflush(stdout);
    int fds[2];
    if (!OpenPipe(fds))
        return false;
    console_fd = CopyDescriptor(1);
    if (console_fd < 0 || !MoveDescriptor(fds[1], 1)) {
        CloseDescriptor(fds[0]);
        CloseDescriptor(fds[1]);
        if (console_fd >= 0)
            CloseDescriptor(console_fd);
        console_fd = -1;
        return false;
    }
    CloseDescriptor(fds[1]);
    DivertBegun();
    divert_read_fd = fds[0];
    divert_thread = std::thread([sink] {
        char bytes[4096];
        long n;
        while ((n = ReadDescriptor(divert_read_fd, bytes, sizeof(bytes))) > 0)
            sink(bytes, static_cast<size_t>(n));
        sink(nullptr, 0);
    });
    return true;
}

void ConsoleWrite(const char* bytes, size_t count)
{
    while (count > 0 && !console_failed) {
        long n = WriteDescriptor(console_fd, bytes, count);
        if (n <= 0) {
            console_failed = true;
            return;
        }
        bytes += n;
        count -= static_cast<size_t>(n);
    }
}

bool ConsoleRestore()
{
    if (console_fd < 0 || !divert_thread.joinable())
        return true;
    fflush(stdout);
    // Putting the console back closes the pipe's only writing end: the thread reads to its end.
    MoveDescriptor(console_fd, 1);
    divert_thread.join();
    CloseDescriptor(divert_read_fd);
    CloseDescriptor(console_fd);
    console_fd = divert_read_fd = -1;
    return !console_failed;
}
