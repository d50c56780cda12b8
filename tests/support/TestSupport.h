// Helpers shared by the tests that need a line or a whole run of the tool: a pty pair whose
// master side plays the board, and running a built binary as a user would.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cctype>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Bytes.h"

// A whole frame with sync, zero reserved bytes and checksum, as either end sends it: the protocol
// layer's BuildFrame, which the unit tests hold to fixed vectors.
Bytes Frame(uint8_t cmd, const Bytes& data);
// The same frame as upper-case hex bytes separated by blanks, as the board's record file has it.
std::string FrameHex(uint8_t cmd, const Bytes& data);

// Names a parameterized test's cases by their `name` field, letters and digits kept and anything
// else made '_': the name generator of INSTANTIATE_TEST_SUITE_P is CaseName().
struct CaseName {
    template <class Info>
    std::string operator()(const Info& info) const
    {
        std::string name;
        for (const char* p = info.param.name; *p; ++p)
            name.push_back(std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_');
        return name;
    }
};

// A pseudo-terminal: `master` is the board's end, `slave_path` what the tool opens.
struct PtyPair {
    int master = -1;
    int slave = -1;  // held open by the test so the master never sees a hang-up between runs
    std::string slave_path;
};

// Opens a raw pty pair; fails the current test (ADD_FAILURE) and returns false on error.
bool OpenPtyPair(PtyPair* pty);
void ClosePtyPair(PtyPair* pty);

// Reads what arrives on `fd` until `count` bytes are in or `timeout_ms` passes.
std::vector<uint8_t> ReadBytes(int fd, size_t count, int timeout_ms);
// Everything that arrives on `fd` until it stays quiet for `quiet_ms`.
std::vector<uint8_t> Drain(int fd, int quiet_ms);
void WriteBytes(int fd, const std::vector<uint8_t>& bytes);
// One line of a co-process's stdout, without its line end; what came so far when nothing more
// comes within the hang guard.
std::string ReadAnswer(int fd);

// A finished run of a program.
struct RunResult {
    int status = -1;         // exit status; -1 when it had to be killed or did not exit normally
    std::string out;         // standard output, "\r\n" folded to "\n"
    std::string err;         // standard error, the same way
    double seconds = 0;      // wall time of the run
    double cpu_seconds = 0;  // user + system time the program itself used
    int signal = 0;          // the signal that ended it, when one did
};

// A signal sent to the program once `when` (polled every few milliseconds) says so.
struct Interrupt {
    int signal;
    std::function<bool()> when;
};

// The one way the tests start a program: argv[0] is its path (no search), stdin comes from in_fd,
// stdout goes to out_fd and stderr to err_fd, where -1 stands for /dev/null. Descriptors the test
// opened close-on-exec stay out of the child. Returns the pid; -1 with a test failure when fork
// fails (an exec that fails ends the child with status 127).
pid_t SpawnProgram(const std::vector<std::string>& argv, int in_fd, int out_fd, int err_fd);
// Waits up to timeout_ms for the child to end, sending `interrupt` when it says so; a child still
// running then gets SIGKILL. The child is reaped in every case. True when it ended in time;
// *wstatus and *usage as wait4 reports them.
bool WaitProgram(pid_t pid, int timeout_ms, int* wstatus, rusage* usage = nullptr,
                 const Interrupt* interrupt = nullptr);

// Runs `argv` with stdout captured through a file (not a pipe: helper processes of a wrapper may
// keep a pipe open after the program has exited) and stderr captured
// the same way. Kills it after timeout_ms.
RunResult RunProgram(const std::vector<std::string>& argv, int timeout_ms = 30000,
                     const Interrupt* interrupt = nullptr);

// A bound on a run's wall time that only catches a hang: a loaded machine must never come near it.
constexpr double hang_guard_s = 20.0;

// The CPU a run that waits on the line may use, given a run of the same program that does not
// wait (it fails at once), measured just before under the same load. A run that spins through a
// 1 s wait uses that much CPU; one that waits in the kernel uses little beyond its start-up.
inline double SpinFreeCpuLimit(const RunResult& reference)
{
    return 3 * reference.cpu_seconds + 0.05;
}

// Path of the native gantrix binary under test (set by CMake at build time).
std::string ToolPath();
// The same tool built with a 1 s line time-out, for tests of silence and hang-up.
std::string QuickToolPath();
// Path of the simulated board binary, when it is built.
std::string BoardPath();

// A file in /tmp holding `bytes`, removed when this goes out of scope; fails the current test
// (ADD_FAILURE) and leaves `path` naming no file when it cannot be written.
struct TempFile {
    explicit TempFile(const Bytes& bytes);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    std::string path;
};

// Builds a pseudo-random byte string of `n` bytes, reproducible from `seed`.
std::vector<uint8_t> SeededBytes(size_t n, uint32_t seed);

// An Intel HEX file as a build writes one: each run of bytes at its address in 16-byte records,
// an extended linear address record wherever the upper 16 bits change, and the end record.
std::string IntelHex(const std::vector<std::pair<uint32_t, Bytes>>& runs);
// The whole file at `path`; empty when it cannot be read.
Bytes ReadWholeFile(const std::string& path);
// The same as text, "" when it cannot be read.
std::string ReadTextFile(const std::string& path);
// Converts the HEX (`input` "ihex") or S-record ("srec") file at `path` with objcopy into `to`
// ("binary": flat, 0xFF in the gaps; or "srec") at `output`; false when there is no objcopy or it
// fails.
bool Objcopy(const char* input, const char* to, const std::string& path, const std::string& output);
