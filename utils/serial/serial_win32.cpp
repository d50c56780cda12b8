// Win32 serial port: a COM device opened for synchronous I/O, with COMMTIMEOUTS bounding waits.
#include "Serial.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <windows.h>

#include "PortInput.h"
#include "console/Console.h"
#include "PortList.h"
#include "SerialWin32.h"

static_assert(sizeof(DCB) <= sizeof(LineSettings::native), "DCB must fit the native blob");

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

std::string PortPath(const std::string& word)
{
    // The device namespace prefix is what makes COM10 and above reachable; a word that already
    // carries it (as scripts written for other tools do) is the path itself.
    const std::string prefix = "\\\\.\\";
    return word.compare(0, prefix.size(), prefix) == 0 ? word : prefix + word;
}

std::string DeviceIdentity(const std::string& path)
{
    // Device names are not case-sensitive: com3 and COM3 are one port.
    std::string identity = path;
    for (char& c : identity)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return identity;
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

// The COM device behind a port, and what was read past the last request.
class Win32Transport final : public Transport {
public:
    Win32Transport(HANDLE handle, int timeout_ms) : handle_(handle), timeout_ms_(timeout_ms) {}
    Win32Transport(const Win32Transport&) = delete;
    Win32Transport& operator=(const Win32Transport&) = delete;
    ~Win32Transport() override { CloseHandle(handle_); }

    bool Read(void* data, uint32_t size, uint32_t* bytes) override
    {
        *bytes = 0;
        return ReadThroughHold(&input_, data, size, bytes,
                               [this, size](void* to, uint32_t count, uint32_t* got) {
                                   ShowPrinted();
                                   DWORD n = 0;
                                   BOOL ok =
                                       ReadFile(handle_, to, HoldReadCount(handle_, size, count),
                                                &n, nullptr);
                                   *got = n;
                                   return ok != 0;
                               });
    }

    bool Write(const void* data, uint32_t size, uint32_t* bytes) override
    {
        ShowPrinted();
        DWORD put = 0;
        BOOL ok = WriteFile(handle_, data, size, &put, nullptr);
        *bytes = put;
        return ok != 0 && put == size;
    }

    bool GetSettings(LineSettings* settings) override
    {
        DCB dcb{};
        dcb.DCBlength = sizeof(dcb);
        if (!GetCommState(handle_, &dcb))
            return false;
        std::memset(settings, 0, sizeof(*settings));
        std::memcpy(settings->native, &dcb, sizeof(dcb));
        settings->baud_rate = dcb.BaudRate;
        settings->parity = dcb.Parity;
        settings->stop_bits = dcb.StopBits;
        settings->byte_size = dcb.ByteSize;
        return true;
    }

    bool SetSettings(const LineSettings* settings) override
    {
        DCB dcb{};
        std::memcpy(&dcb, settings->native, sizeof(dcb));
        dcb.BaudRate = settings->baud_rate;
        dcb.Parity = settings->parity;
        dcb.StopBits = settings->stop_bits;
        dcb.ByteSize = settings->byte_size;
        MakeLineBinaryClean(&dcb);
        if (!SetCommState(handle_, &dcb))
            return false;
        // ReadFile returns as soon as the count it asked for is in, or at the limit with what
        // came (nothing, on a silent line). The MAXDWORD form meant to return at the first byte
        // is not relied on: Wine waits out the whole limit with it, one time-out per reply.
        // Without a limit a silent board would keep a read waiting, so a port that refuses it is
        // not usable.
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = 0;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(timeout_ms_);
        timeouts.WriteTotalTimeoutMultiplier = 0;
        timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(timeout_ms_);
        return SetCommTimeouts(handle_, &timeouts) != 0;
    }

    void Purge() override
    {
        PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        DropHeld(&input_);
    }

    void SetQueues(uint32_t in_queue, uint32_t out_queue) override
    {
        SetupComm(handle_, in_queue, out_queue);
    }

    std::string SlowAdapterAdvice() override
    {
        return "the USB serial adapter holds short replies for its latency timer: set it to 1 ms "
               "in Device Manager, Ports (COM & LPT), the port's Properties, Port Settings, "
               "Advanced, Latency Timer (msec)";
    }

private:
    const HANDLE handle_;
    const int timeout_ms_;
    PortInput input_;
};

}  // namespace

PortOpening OpenPort(const std::string& path, int timeout_ms)
{
    PortOpening opening;
    // Share mode 0: a second opener gets a failure instead of interleaving frames with ours.
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // A COM port that another program has open is refused as "access denied".
        DWORD code = GetLastError();
        opening.error = {static_cast<int>(code),
                         code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION};
        return opening;
    }
    opening.port = Port(std::make_unique<Win32Transport>(handle, timeout_ms), timeout_ms);
    return opening;
}
