// Win32 serial port: a COM device opened for synchronous I/O, with COMMTIMEOUTS bounding waits.
#include "Serial.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <new>
#include <thread>
#include <windows.h>

#include "PortInput.h"
#include "PortList.h"
#include "SerialWin32.h"

static_assert(sizeof(DCB) <= sizeof(LineSettings::native), "DCB must fit the native blob");

namespace {

// Kept for PortOpenFailure: by the time the caller asks, the last error has been reused.
PortOpenError last_open_error;

// The diversion of stdout (ConsoleDivert): where it went before, and the pipe's reading end.
int console_fd = -1;
int divert_read_fd = -1;
std::thread divert_thread;

// Set when stdout is shown as it is written (a console, or the --log pipe on its way to one):
// what it holds then goes out before the port waits on the line (ShowPrinted).
bool flush_before_waits = false;

void ShowPrinted()
{
    if (flush_before_waits)
        fflush(stdout);
}

// Runs on a thread of its own while the main thread waits on the line, so the stream is free.
BOOL WINAPI FlushOnInterrupt(DWORD)
{
    fflush(stdout);
    // The log's last lines are still in the pipe or the thread that reads it.
    ConsoleRestore();
    return FALSE;  // then the default handler ends the process as before
}

}  // namespace

bool ConsoleDivert(void (*sink)(const char* bytes, size_t count))
{
    fflush(stdout);
    int fds[2];
    // Binary: the console's end translates line ends as it did before.
    if (_pipe(fds, 4096, _O_BINARY | _O_NOINHERIT) != 0)
        return false;
    console_fd = _dup(1);
    if (console_fd < 0 || _dup2(fds[1], 1) != 0) {
        _close(fds[0]);
        _close(fds[1]);
        if (console_fd >= 0)
            _close(console_fd);
        console_fd = -1;
        return false;
    }
    _close(fds[1]);
    // The console was shown each line before every wait on the line; so is the pipe.
    flush_before_waits = true;
    divert_read_fd = fds[0];
    divert_thread = std::thread([sink] {
        char bytes[4096];
        int n;
        while ((n = _read(divert_read_fd, bytes, sizeof(bytes))) > 0)
            sink(bytes, static_cast<size_t>(n));
        sink(nullptr, 0);
    });
    return true;
}

void ConsoleWrite(const char* bytes, size_t count)
{
    while (count > 0) {
        int n = _write(console_fd, bytes, static_cast<unsigned>(count));
        if (n <= 0)
            return;  // the console is gone; the log still gets its lines
        bytes += n;
        count -= static_cast<size_t>(n);
    }
}

void ConsoleRestore()
{
    if (console_fd < 0 || !divert_thread.joinable())
        return;
    fflush(stdout);
    // Putting the console back closes the pipe's only writing end: the thread reads to its end.
    _dup2(console_fd, 1);
    divert_thread.join();
    _close(divert_read_fd);
    _close(console_fd);
    console_fd = divert_read_fd = -1;
}

void ConsoleSetUp()
{
    SetConsoleCtrlHandler(FlushOnInterrupt, TRUE);
    // The C runtime leaves a console (and NUL) unbuffered, and formatted output then goes out one
    // character per write: an upload's progress line cost 18 writes per block. Buffered, the
    // stream still shows a console every line before the tool waits on the line, and at exit;
    // files and pipes were buffered already.
    DWORD mode = 0;
    flush_before_waits = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
    setvbuf(stdout, nullptr, _IOFBF, 4096);
}

void MakeLineBinaryClean(DCB* dcb)
{
    // Frames carry 0x11 and 0x13, which XON/XOFF flow control would swallow as control bytes.
    dcb->fOutX = FALSE;
    dcb->fInX = FALSE;
    dcb->fBinary = TRUE;
    // Frames carry 0x00 as data; fNull would drop it.
    dcb->fNull = FALSE;
    // With fAbortOnError, one framing or overrun error fails every later read and write until
    // ClearCommError; an error is better left to the checksum of the frame it hit.
    dcb->fAbortOnError = FALSE;
    // The driver would discard every byte that arrives while DSR is low.
    dcb->fDsrSensitivity = FALSE;
    // A byte received with a parity error would be replaced by ErrorChar.
    dcb->fErrorChar = FALSE;
    // Hardware flow control (fOutxCtsFlow, fRtsControl, fOutxDsrFlow, fDtrControl) stays as the
    // driver reported it.
}

PortOpenError LastPortOpenError()
{
    return last_open_error;
}

std::string PortPath(const std::string& word)
{
    // The device namespace prefix is what makes COM10 and above reachable.
    return "\\\\.\\" + word;
}

bool PortOpen(const std::string& path, int timeout_ms, Port* port)
{
    // Share mode 0: a second opener gets a failure instead of interleaving frames with ours.
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // A COM port that another program has open is refused as "access denied".
        DWORD code = GetLastError();
        last_open_error = {static_cast<int>(code),
                           code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION};
        return false;
    }
    port->handle = handle;
    port->timeout_ms = timeout_ms;
    port->input = new (std::nothrow) PortInput;
    return true;
}

bool PortGetSettings(Port port, LineSettings* settings)
{
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(port.handle, &dcb))
        return false;
    std::memset(settings, 0, sizeof(*settings));
    std::memcpy(settings->native, &dcb, sizeof(dcb));
    settings->baud_rate = dcb.BaudRate;
    settings->parity = dcb.Parity;
    settings->stop_bits = dcb.StopBits;
    settings->byte_size = dcb.ByteSize;
    return true;
}

bool PortSetSettings(Port port, const LineSettings* settings)
{
    DCB dcb{};
    std::memcpy(&dcb, settings->native, sizeof(dcb));
    dcb.BaudRate = settings->baud_rate;
    dcb.Parity = settings->parity;
    dcb.StopBits = settings->stop_bits;
    dcb.ByteSize = settings->byte_size;
    MakeLineBinaryClean(&dcb);
    if (!SetCommState(port.handle, &dcb))
        return false;
    // ReadFile returns as soon as the count it asked for is in, or at the limit with what came
    // (nothing, on a silent line). The MAXDWORD form meant to return at the first byte is not
    // relied on: Wine waits out the whole limit with it, one time-out per reply. Without a limit
    // a silent board would keep a read waiting, so a port that refuses it is not usable.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(port.timeout_ms);
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(port.timeout_ms);
    return SetCommTimeouts(port.handle, &timeouts) != 0;
}

void PortPurge(Port port)
{
    PurgeComm(port.handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    DropHeld(port.input);
}

void PortSetQueues(Port port, uint32_t in_queue, uint32_t out_queue)
{
    SetupComm(port.handle, in_queue, out_queue);
}

void PortClose(Port port)
{
    CloseHandle(port.handle);
    delete port.input;
}

namespace {

// How much one ReadFile into the hold (room for `room` bytes) asks for when the caller needs
// `need`: all the driver has queued when that covers the caller's bytes, so it returns at once;
// otherwise the caller's bytes only, so it never waits on bytes that are not on their way.
DWORD HoldReadCount(HANDLE handle, uint32_t need, uint32_t room)
{
    if (room <= need)
        return room;
    COMSTAT stat{};
    DWORD errors = 0;
    DWORD queued = ClearCommError(handle, &errors, &stat) ? stat.cbInQue : 0;
    if (queued <= need)
        return need;
    return queued < room ? queued : room;
}

}  // namespace

bool PortRead(Port port, void* data, uint32_t size, uint32_t* bytes)
{
    *bytes = 0;
    return ReadThroughHold(port.input, data, size, bytes,
                           [&port, size](void* to, uint32_t count, uint32_t* got) {
                               ShowPrinted();
                               DWORD n = 0;
                               BOOL ok =
                                   ReadFile(port.handle, to,
                                            HoldReadCount(port.handle, size, count), &n, nullptr);
                               *got = n;
                               return ok != 0;
                           });
}

bool PortWrite(Port port, const void* data, uint32_t size, uint32_t* bytes)
{
    ShowPrinted();
    DWORD put = 0;
    BOOL ok = WriteFile(port.handle, data, size, &put, nullptr);
    *bytes = put;
    return ok != 0 && put == size;
}
