// Win32 console: the C runtime's descriptors, and the console's control events.
#include "Console.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "ConsolePlatform.h"

namespace {

// Set when stdout is shown as it is written (a console, or the --log pipe on its way to one):
// what it holds then goes out before the port waits on the line (ShowPrinted).
bool flush_before_waits = false;

// Runs on a thread of its own while the main thread waits on the line, so the stream is free.
BOOL WINAPI FlushOnInterrupt(DWORD)
{
    fflush(stdout);
    // The log's last lines are still in the pipe or the thread that reads it.
    ConsoleRestore();
    return FALSE;  // then the default handler ends the process as before
}

// A process started without a standard handle has that descriptor unopened (the C runtime marks
// it -2): it goes to NUL, and so does the handle, for what is started from here. Some runtimes
// (Wine's msvcrt) also leave the stream on -2, where every write fails: it is put on the
// descriptor, as the runtime sets up a stream whose handle was there.
void OpenMissingStandard(FILE* stream, int fd, DWORD which)
{
    if (_get_osfhandle(fd) >= 0)
        return;
    int nul = _open("NUL", _O_RDWR | _O_BINARY);
    if (nul < 0)
        return;
    if (nul != fd) {
        _dup2(nul, fd);
        _close(nul);
    }
    if (_fileno(stream) < 0) {
        stream->_file = fd;
        stream->_flag = fd == 0 ? _IOREAD : _IOWRT;
    }
    SetStdHandle(which, reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
}

}  // namespace

void ConsoleSetUp()
{
    OpenMissingStandard(stdin, 0, STD_INPUT_HANDLE);
    OpenMissingStandard(stdout, 1, STD_OUTPUT_HANDLE);
    OpenMissingStandard(stderr, 2, STD_ERROR_HANDLE);
    SetConsoleCtrlHandler(FlushOnInterrupt, TRUE);
    // The C runtime leaves a console (and NUL) unbuffered, and formatted output then goes out one
    // character per write: an upload's progress line cost 18 writes per block. Buffered, the
    // stream still shows a console every line before the tool waits on the line, and at exit;
    // files and pipes were buffered already.
    DWORD mode = 0;
    flush_before_waits = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
    setvbuf(stdout, nullptr, _IOFBF, 4096);
}

void ShowPrinted()
{
    if (flush_before_waits)
        fflush(stdout);
}

bool StdoutIsTerminal()
{
    return _isatty(_fileno(stdout)) != 0;
}

bool OpenPipe(int fds[2])
{
    return _pipe(fds, 4096, _O_BINARY | _O_NOINHERIT) == 0;
}

int CopyDescriptor(int fd)
{
    return _dup(fd);
}

bool MoveDescriptor(int from, int to)
{
    return _dup2(from, to) == 0;
}

long ReadDescriptor(int fd, char* bytes, size_t size)
{
    return _read(fd, bytes, static_cast<unsigned>(size));
}

long WriteDescriptor(int fd, const char* bytes, size_t size)
{
    return _write(fd, bytes, static_cast<unsigned>(size));
}

void CloseDescriptor(int fd)
{
    _close(fd);
}

void DivertBegun()
{
    // The console was shown each line before every wait on the line; so is the pipe.
    flush_before_waits = true;
}

int RunProcessId()
{
    return static_cast<int>(GetCurrentProcessId());
}
