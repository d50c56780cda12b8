// Pty pairs and process runs for the tests.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "proto/Packet.h"

namespace {

double Now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// What a run wrote to a capture file, "\r\n" folded to "\n"; the file is removed.
std::string ReadBackFolded(int fd, const char* name)
{
    std::string text;
    lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        text.append(buf, static_cast<size_t>(n));
    close(fd);
    unlink(name);
    std::string folded;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        folded.push_back(text[i]);
    }
    return folded;
}

}  // namespace

Bytes Frame(uint8_t cmd, const Bytes& data)
{
    Packet packet{};
    return BuildFrame(&packet, cmd, data.data(), data.size());
}

std::string FrameHex(uint8_t cmd, const Bytes& data)
{
    std::string out;
    char hex[4];
    for (uint8_t byte : Frame(cmd, data)) {
        std::snprintf(hex, sizeof(hex), out.empty() ? "%02X" : " %02X", byte);
        out += hex;
    }
    return out;
}

bool OpenPtyPair(PtyPair* pty)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        ADD_FAILURE() << "posix_openpt: " << strerror(errno);
        if (master >= 0)
            close(master);
        return false;
    }
    const char* name = ptsname(master);
    if (!name) {
        ADD_FAILURE() << "ptsname: " << strerror(errno);
        close(master);
        return false;
    }
    pty->slave_path = name;
    pty->slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty->slave < 0) {
        ADD_FAILURE() << "open slave: " << strerror(errno);
        close(master);
        return false;
    }
    termios tio{};
    tcgetattr(pty->slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(pty->slave, TCSANOW, &tio);
    tcgetattr(master, &tio);
    cfmakeraw(&tio);
    tcsetattr(master, TCSANOW, &tio);
    pty->master = master;
    return true;
}

void ClosePtyPair(PtyPair* pty)
{
    if (pty->slave >= 0)
        close(pty->slave);
    if (pty->master >= 0)
        close(pty->master);
    pty->slave = pty->master = -1;
}

std::string ReadAnswer(int fd)
{
    std::string line;
    for (;;) {
        std::vector<uint8_t> byte = ReadBytes(fd, 1, static_cast<int>(hang_guard_s * 1000));
        if (byte.empty() || byte[0] == '\n')
            return line;
        if (byte[0] != '\r')
            line.push_back(static_cast<char>(byte[0]));
    }
}

std::vector<uint8_t> ReadBytes(int fd, size_t count, int timeout_ms)
{
    std::vector<uint8_t> out;
    double deadline = Now() + timeout_ms / 1000.0;
    while (out.size() < count) {
        int left = static_cast<int>((deadline - Now()) * 1000);
        if (left <= 0)
            break;
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, left) <= 0)
            continue;
        uint8_t buf[512];
        size_t want = std::min(sizeof(buf), count - out.size());
        ssize_t n = read(fd, buf, want);
        if (n <= 0)
            break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

std::vector<uint8_t> Drain(int fd, int quiet_ms)
{
    std::vector<uint8_t> out;
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, quiet_ms) <= 0 || !(pfd.revents & POLLIN))
            break;
        uint8_t buf[512];
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0)
            break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

void WriteBytes(int fd, const std::vector<uint8_t>& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ADD_FAILURE() << "write: " << strerror(errno);
            return;
        }
        done += static_cast<size_t>(n);
    }
}

pid_t SpawnProgram(const std::vector<std::string>& argv, int in_fd, int out_fd, int err_fd)
{
    // Everything the child needs is made before the fork: another thread of the test may hold the
    // allocator's lock at that moment, so the child makes only async-signal-safe calls.
    std::vector<char*> args;
    for (const std::string& word : argv)
        args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);
    const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0) {
        ADD_FAILURE() << "open /dev/null: " << strerror(errno);
        return -1;
    }
    const int fds[3] = {in_fd < 0 ? null_fd : in_fd, out_fd < 0 ? null_fd : out_fd,
                        err_fd < 0 ? null_fd : err_fd};
    pid_t pid = fork();
    if (pid == 0) {
        for (int i = 0; i < 3; ++i)
            dup2(fds[i], i);
        execv(args[0], args.data());
        _exit(127);
    }
    close(null_fd);
    if (pid < 0)
        ADD_FAILURE() << "fork: " << strerror(errno);
    return pid;
}

bool WaitProgram(pid_t pid, int timeout_ms, int* wstatus, rusage* usage, const Interrupt* interrupt)
{
    rusage ignored{};
    usage = usage ? usage : &ignored;
    const double deadline = Now() + timeout_ms / 1000.0;
    bool interrupted = false;
    for (;;) {
        if (wait4(pid, wstatus, WNOHANG, usage) == pid)
            return true;
        if (Now() >= deadline)
            break;
        if (interrupt && !interrupted && interrupt->when()) {
            kill(pid, interrupt->signal);
            interrupted = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    kill(pid, SIGKILL);
    wait4(pid, wstatus, 0, usage);
    return false;
}

RunResult RunProgram(const std::vector<std::string>& argv, int timeout_ms,
                     const Interrupt* interrupt)
{
    RunResult result;
    char out_name[] = "/tmp/gantrix-run-XXXXXX";
    char err_name[] = "/tmp/gantrix-err-XXXXXX";
    int out_fd = mkostemp(out_name, O_CLOEXEC);
    int err_fd = out_fd < 0 ? -1 : mkostemp(err_name, O_CLOEXEC);
    if (err_fd < 0) {
        ADD_FAILURE() << "mkstemp: " << strerror(errno);
        if (out_fd >= 0) {
            close(out_fd);
            unlink(out_name);
        }
        return result;
    }
    double start = Now();
    int wstatus = 0;
    rusage usage{};
    pid_t pid = SpawnProgram(argv, -1, out_fd, err_fd);
    const bool exited = pid > 0 && WaitProgram(pid, timeout_ms, &wstatus, &usage, interrupt);
    result.seconds = Now() - start;
    result.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (exited && WIFEXITED(wstatus))
        result.status = WEXITSTATUS(wstatus);
    if (exited && WIFSIGNALED(wstatus))
        result.signal = WTERMSIG(wstatus);

    result.out = ReadBackFolded(out_fd, out_name);
    result.err = ReadBackFolded(err_fd, err_name);
    return result;
}

std::string ToolPath()
{
    return GANTRIX_TOOL_PATH;
}

std::string QuickToolPath()
{
    return GANTRIX_QUICK_TOOL_PATH;
}

std::string BoardPath()
{
#ifdef GANTRIX_BOARD_PATH
    return GANTRIX_BOARD_PATH;
#else
    return "";
#endif
}

std::vector<uint8_t> SeededBytes(size_t n, uint32_t seed)
{
    std::vector<uint8_t> out(n);
    uint32_t x = seed ? seed : 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<uint8_t>(x);
    }
    return out;
}

TempFile::TempFile(const Bytes& bytes)
{
    char name[] = "/tmp/gantrix-image-XXXXXX";
    int fd = mkstemp(name);
    path = name;
    if (fd < 0) {
        ADD_FAILURE() << "mkstemp: " << strerror(errno);
        path.clear();
        return;
    }
    const bool written =
        write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    close(fd);
    if (!written) {
        ADD_FAILURE() << "cannot write " << path;
        unlink(path.c_str());
        path.clear();
    }
}

TempFile::~TempFile()
{
    if (!path.empty())
        unlink(path.c_str());
}

std::string IntelHex(const std::vector<std::pair<uint32_t, Bytes>>& runs)
{
    auto record = [](int type, uint32_t address, const uint8_t* data, size_t count) {
        Bytes bytes = {static_cast<uint8_t>(count), static_cast<uint8_t>(address >> 8),
                       static_cast<uint8_t>(address), static_cast<uint8_t>(type)};
        bytes.insert(bytes.end(), data, data + count);
        uint8_t sum = 0;
        for (uint8_t b : bytes)
            sum = static_cast<uint8_t>(sum + b);
        bytes.push_back(static_cast<uint8_t>(-sum));
        std::string line = ":";
        char hex[3];
        for (uint8_t b : bytes) {
            snprintf(hex, sizeof(hex), "%02X", b);
            line += hex;
        }
        return line + "\n";
    };
    std::string text;
    int64_t upper = -1;
    for (const auto& run : runs)
        for (size_t at = 0, count = 0; at < run.second.size(); at += count) {
            const uint32_t address = run.first + static_cast<uint32_t>(at);
            if (address >> 16 != upper) {
                upper = address >> 16;
                const uint8_t value[2] = {static_cast<uint8_t>(upper >> 8),
                                          static_cast<uint8_t>(upper)};
                text += record(4, 0, value, 2);
            }
            // A record stops at the 64 KiB boundary, where the next extended address is due.
            count = std::min<size_t>({16, run.second.size() - at, 0x10000 - (address & 0xFFFF)});
            text += record(0, address & 0xFFFF, run.second.data() + at, count);
        }
    return text + ":00000001FF\n";
}

Bytes ReadWholeFile(const std::string& path)
{
    Bytes bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file)
        return bytes;
    int c;
    while ((c = fgetc(file)) != EOF)
        bytes.push_back(static_cast<uint8_t>(c));
    fclose(file);
    return bytes;
}

std::string ReadTextFile(const std::string& path)
{
    const Bytes bytes = ReadWholeFile(path);
    return std::string(bytes.begin(), bytes.end());
}

bool Objcopy(const char* input, const char* to, const std::string& path, const std::string& output)
{
    const char* objcopy = "/usr/bin/objcopy";
    if (access(objcopy, X_OK) != 0)
        return false;
    std::vector<std::string> argv = {objcopy, "-I", input, "-O", to};
    if (std::string(to) == "binary") {
        argv.push_back("--gap-fill");
        argv.push_back("0xff");
    }
    argv.push_back(path);
    argv.push_back(output);
    return RunProgram(argv).status == 0;
}
