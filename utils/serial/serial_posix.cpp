// POSIX (Linux, macOS) serial port: a tty in raw mode on one non-blocking descriptor, with poll()
// bounding every wait.
#include "Serial.h"

#include "PortInput.h"
#include "PortList.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/serial.h>
#endif

static_assert(sizeof(termios) <= sizeof(LineSettings::native), "termios must fit the native blob");

namespace {

struct SpeedEntry {
    uint32_t baud;
    speed_t speed;
};

constexpr SpeedEntry speed_table[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};

int64_t NowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until the descriptor is ready for `events` or the deadline passes. Returns >0 when ready
// (or in error/hang-up, which the following read or write then reports), 0 on time-out, -1 on
// failure of poll itself.
int WaitReady(int fd, short events, int64_t deadline)
{
    for (;;) {
        int64_t left = deadline - NowMs();
        if (left < 0)
            left = 0;
        pollfd pfd{fd, events, 0};
        int rc = poll(&pfd, 1, static_cast<int>(left));
        if (rc < 0 && errno == EINTR)
            continue;
        return rc;
    }
}

// The descriptors that hold the exclusive mark, for a signal handler to clear. TIOCEXCL outlives
// the process on a pty whose other end stays open: left set, it refuses every later run of a user
// who is not root. One slot per port open at once (a run on a set of ports opens many, from
// threads of their own). A slot holds the descriptor plus one, so that zero, as the slots start,
// is free.
constexpr int exclusive_slots = 256;
std::atomic<int> exclusive_fds[exclusive_slots];

void MarkExclusive(int fd)
{
    for (std::atomic<int>& slot : exclusive_fds) {
        int free_slot = 0;
        if (slot.compare_exchange_strong(free_slot, fd + 1))
            return;
    }
}

void UnmarkExclusive(int fd)
{
    for (std::atomic<int>& slot : exclusive_fds) {
        int held = fd + 1;
        if (slot.compare_exchange_strong(held, 0))
            return;
    }
}

void ClearExclusive(int fd)
{
    ioctl(fd, TIOCNXCL);
}

// Ctrl-C, a kill, a closed terminal or a reader gone from a pipe end the run where it stands:
// clear the mark, then die of the same signal as before so the exit status is unchanged.
void ReleaseAndDie(int sig)
{
    for (std::atomic<int>& slot : exclusive_fds) {
        const int held = slot.load();
        if (held > 0)
            ClearExclusive(held - 1);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

void ReleaseOnSignals()
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        struct sigaction old {};
        // A signal the caller ignores (nohup, a shell's background job) stays ignored.
        if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL)
            continue;
        struct sigaction action {};
        action.sa_handler = ReleaseAndDie;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
}

bool GetTermios(int fd, LineSettings* settings)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return false;
    std::memset(settings, 0, sizeof(*settings));
    std::memcpy(settings->native, &tio, sizeof(tio));
    speed_t speed = cfgetospeed(&tio);
    for (const SpeedEntry& entry : speed_table)
        if (entry.speed == speed)
            settings->baud_rate = entry.baud;
    settings->parity = (tio.c_cflag & PARENB) ? ((tio.c_cflag & PARODD) ? 1 : 2) : 0;
    settings->stop_bits = (tio.c_cflag & CSTOPB) ? 2 : 0;
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        settings->byte_size = 5;
        break;
    case CS6:
        settings->byte_size = 6;
        break;
    case CS7:
        settings->byte_size = 7;
        break;
    default:
        settings->byte_size = 8;
        break;
    }
    return true;
}

bool SpeedOf(uint32_t baud, speed_t* speed)
{
    for (const SpeedEntry& entry : speed_table) {
        if (entry.baud == baud) {
            *speed = entry.speed;
            return true;
        }
    }
    return false;
}

bool SizeFlagOf(uint8_t byte_size, tcflag_t* flag)
{
    constexpr tcflag_t flags[] = {CS5, CS6, CS7, CS8};
    if (byte_size < 5 || byte_size > 8)
        return false;
    *flag = flags[byte_size - 5];
    return true;
}

// USB-serial adapters otherwise hold short replies for up to 16 ms; not every driver has it.
void AskLowLatency(int fd)
{
#ifdef __linux__
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &serial);
    }
#else
    (void)fd;
#endif
}

bool SetTermios(int fd, const LineSettings* settings)
{
    termios tio{};
    std::memcpy(&tio, settings->native, sizeof(tio));
    speed_t speed = 0;
    tcflag_t size_flag = CS8;
    if (!SpeedOf(settings->baud_rate, &speed) || cfsetispeed(&tio, speed) != 0 ||
        cfsetospeed(&tio, speed) != 0 || !SizeFlagOf(settings->byte_size, &size_flag))
        return false;

    // Raw mode: frames carry every byte value (0x00, 0x0D, 0x11, 0x13, 0xFF ...), so nothing may
    // be echoed, translated, treated as a signal or swallowed as XON/XOFF. Hardware flow control
    // (CRTSCTS) stays as the driver had it.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
    tio.c_cflag |= size_flag | CREAD | CLOCAL;  // receiver on, modem lines ignored
    if (settings->parity != 0)
        tio.c_cflag |= PARENB | (settings->parity == 1 ? PARODD : 0);
    if (settings->stop_bits != 0)
        tio.c_cflag |= CSTOPB;
    // A read returns at once with what the line has; poll() does the waiting (ReadLine).
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        return false;
    AskLowLatency(fd);
    return true;
}

// poll() until the line has a byte (or has hung up), bounded by the port's time-out, then one
// read of what is there, on the descriptor that was opened. The path is never opened again to
// wait on: after an unplug it may name another device, and a second open of a multiplexer such
// as /dev/ptmx is another device outright, on which a wait would never end.
bool ReadLine(int fd, int timeout_ms, void* data, uint32_t size, uint32_t* bytes)
{
    *bytes = 0;
    const int64_t deadline = NowMs() + timeout_ms;
    for (;;) {
        const int ready = WaitReady(fd, POLLIN, deadline);
        if (ready < 0)
            return false;
        if (ready == 0)
            return true;  // timed out: success with nothing read
        const ssize_t n = read(fd, data, size);
        if (n > 0) {
            *bytes = static_cast<uint32_t>(n);
            return true;
        }
        // With VMIN at 0 an empty line reads as 0 bytes, like end of file: after poll() reported
        // the line ready, 0 (or EIO) is a line that is gone. EAGAIN and EINTR wait again.
        if (n == 0 || (errno != EAGAIN && errno != EINTR))
            return false;
    }
}

// The tty behind a port: one non-blocking descriptor, and what was read past the last request.
class PosixTransport final : public Transport {
public:
    PosixTransport(int fd, int timeout_ms) : fd_(fd), timeout_ms_(timeout_ms) {}
    PosixTransport(const PosixTransport&) = delete;
    PosixTransport& operator=(const PosixTransport&) = delete;

    // Clears the port's exclusive mark, which would otherwise outlive the run.
    ~PosixTransport() override
    {
        UnmarkExclusive(fd_);
        ClearExclusive(fd_);
        close(fd_);
    }

    bool Read(void* data, uint32_t size, uint32_t* bytes) override
    {
        *bytes = 0;
        if (size == 0)
            return true;
        return ReadThroughHold(&input_, data, size, bytes,
                               [this](void* to, uint32_t count, uint32_t* got) {
                                   return ReadLine(fd_, timeout_ms_, to, count, got);
                               });
    }

    bool Write(const void* data, uint32_t size, uint32_t* bytes) override
    {
        *bytes = 0;
        const unsigned char* p = static_cast<const unsigned char*>(data);
        // Write first, and wait (bounded as a read is) only when the driver's queue is full.
        int64_t deadline = -1;
        while (*bytes < size) {
            ssize_t n = write(fd_, p + *bytes, size - *bytes);
            if (n > 0) {
                *bytes += static_cast<uint32_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0 || errno != EAGAIN)
                return false;
            if (deadline < 0)
                deadline = NowMs() + timeout_ms_;
            if (WaitReady(fd_, POLLOUT, deadline) <= 0)
                return false;
        }
        return true;
    }

    bool GetSettings(LineSettings* settings) override { return GetTermios(fd_, settings); }
    bool SetSettings(const LineSettings* settings) override { return SetTermios(fd_, settings); }

    void Purge() override
    {
        tcflush(fd_, TCIOFLUSH);
        DropHeld(&input_);
    }

    void SetQueues(uint32_t, uint32_t) override
    {
        // The tty layer sizes its own buffers; there is nothing to ask for.
    }

    std::string SlowAdapterAdvice() override { return ::SlowAdapterAdvice(fd_); }

private:
    const int fd_;
    const int timeout_ms_;
    PortInput input_;
};

}  // namespace

PortOpening OpenPort(const std::string& path, int timeout_ms)
{
    PortOpening opening;
    // O_NONBLOCK keeps open() from waiting for carrier on a real modem line; every later wait is
    // bounded by poll(), so the descriptor stays non-blocking.
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        // EBUSY: another program's TIOCEXCL.
        opening.error = {errno, errno == EBUSY};
        return opening;
    }
    // Two runs interleaving frames on one line would corrupt both. TIOCEXCL refuses other
    // openers (except root); the advisory lock also stops a second run started as root.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        opening.error = {errno, errno == EWOULDBLOCK};
        close(fd);
        return opening;
    }
    ioctl(fd, TIOCEXCL);
    MarkExclusive(fd);
    ReleaseOnSignals();
    opening.port = Port(std::make_unique<PosixTransport>(fd, timeout_ms), timeout_ms);
    return opening;
}

std::string PortPath(const std::string& word)
{
    if (word.find('/') != std::string::npos)
        return word;
    return "/dev/" + word;
}

std::string DeviceIdentity(const std::string& path)
{
    char real[PATH_MAX];
    return realpath(path.c_str(), real) ? std::string(real) : path;
}
