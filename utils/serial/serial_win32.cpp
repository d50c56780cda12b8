// Win32 serial port: a COM device opened for synchronous I/O, with COMMTIMEOUTS bounding waits.
#include "Serial.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <windows.h>

#include "PortInput.h"
#include "console/Console.h"
#include "PortList.h"
#include "SerialWin32.h"

static_assert(sizeof(DCB) <= sizeof(LineSettings::native), "DCB must fit the native blob");

namespace {

// Kept for PortOpenFailure: by the time the caller asks, the last error has been reused.
PortOpenError last_open_error;

}  // namespace

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
