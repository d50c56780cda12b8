// Wine prefix, COM port mapping and runs of the Windows tool for the tests.
#include "Wine.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::vector<std::string> WineArgv(const std::string& exe, const std::vector<std::string>& args)
{
    // setsid: a session of its own, so the run neither inherits nor takes a controlling terminal
    // from the test.
    std::vector<std::string> argv = {"/usr/bin/setsid", GANTRIX_WINE_RUN, exe};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::string DosDevice(const std::string& com)
{
    std::string lower;
    for (char c : com)
        lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return WinePrefix() + "/dosdevices/" + lower;
}

}  // namespace

std::string WindowsToolPath()
{
    return GANTRIX_WINDOWS_EXE;
}

std::string WindowsQuickToolPath()
{
    return GANTRIX_WINDOWS_QUICK_EXE;
}

std::string WinePrefix()
{
    return GANTRIX_TEST_WINEPREFIX;
}

bool PrepareWine()
{
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        // The wrapper reads the prefix from here; every later run inherits it.
        setenv("GANTRIX_WINEPREFIX", WinePrefix().c_str(), 1);
        // The tool's stderr to the run's capture instead of Wine's log.
        setenv("GANTRIX_WINE_STDERR", "/dev/stderr", 1);
        // With no words the tool prints its usage and ends with 1: proof that Wine runs it.
        RunResult r = RunProgram(WineArgv(WindowsToolPath(), {}), 180000);
        ready = r.status == 1 && r.out.find("Usage: gantrix") != std::string::npos;
    });
    if (!ready)
        ADD_FAILURE() << "Wine cannot run " << WindowsToolPath() << "; see " << WinePrefix()
                      << ".log";
    return ready;
}

std::string MapComPort(const std::string& pty_path)
{
    const std::string prefix = "/dev/pts/";
    if (pty_path.compare(0, prefix.size(), prefix) != 0) {
        ADD_FAILURE() << "not a pty: " << pty_path;
        return "";
    }
    // COM10 and above exist only in the device namespace, so this also proves the tool's "\\.\".
    std::string com = "COM" + std::to_string(10 + std::atoi(pty_path.c_str() + prefix.size()));
    std::string link = DosDevice(com);
    std::string tmp = link + ".tmp";
    unlink(tmp.c_str());
    // rename: a stale link of an earlier run with the same pty number is replaced in one step.
    if (symlink(pty_path.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
        ADD_FAILURE() << "cannot map " << com << " to " << pty_path << ": " << strerror(errno);
        return "";
    }
    return com;
}

void UnmapComPort(const std::string& com)
{
    if (!com.empty())
        unlink(DosDevice(com).c_str());
}

std::string UnmappedComPort()
{
    // Mapped ports are COM10 and above; a fresh prefix maps low numbers to /dev/ttyS*, so clear
    // this one to be sure.
    unlink(DosDevice("COM7").c_str());
    return "COM7";
}

PtyHolder::PtyHolder(const std::string& pty_path)
{
    // setsid makes a session whose controlling terminal is the pty on stdin; the shell, ignoring
    // the hang-up that a vanished peer sends, says on stdout when it holds the pty, so no run of
    // the tool can start before.
    int pty = open(pty_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    int ready[2] = {-1, -1};
    if (pty < 0 || pipe2(ready, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "cannot open " << pty_path << ": " << strerror(errno);
        if (pty >= 0)
            close(pty);
        return;
    }
    pid_t pid = SpawnProgram({"/usr/bin/setsid", "--ctty", "/bin/sh", "-c",
                              "trap '' HUP; echo held; exec sleep infinity"},
                             pty, ready[1], -1);
    close(pty);
    close(ready[1]);
    char line[8] = {};
    ssize_t n = pid > 0 ? read(ready[0], line, sizeof(line)) : -1;
    close(ready[0]);
    if (n != 5 || std::string(line, 5) != "held\n") {
        ADD_FAILURE() << "cannot hold " << pty_path;
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        return;
    }
    pid_ = pid;
}

PtyHolder::~PtyHolder()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

RunResult RunWindowsTool(const std::vector<std::string>& args, int timeout_ms)
{
    return RunProgram(WineArgv(WindowsToolPath(), args), timeout_ms);
}

RunResult RunWindowsQuickTool(const std::vector<std::string>& args, int timeout_ms)
{
    return RunProgram(WineArgv(WindowsQuickToolPath(), args), timeout_ms);
}

std::vector<std::string> WindowsQuickToolArgv(const std::vector<std::string>& args)
{
    return WineArgv(WindowsQuickToolPath(), args);
}

RunResult RunWindowsTestProgram(const std::string& name, const std::vector<std::string>& args,
                                int timeout_ms)
{
    const std::string tool = WindowsToolPath();
    return RunProgram(WineArgv(tool.substr(0, tool.rfind('/')) + "/tests/" + name, args),
                      timeout_ms);
}

RunResult RunWineProgram(const std::string& program, const std::vector<std::string>& args)
{
    return RunProgram(WineArgv(program, args), 60000);
}

WineLine::WineLine()
{
    if (!PrepareWine() || !OpenPtyPair(&pty))
        return;
    holder_ = std::make_unique<PtyHolder>(pty.slave_path);
    if (holder_->ok())
        com = MapComPort(pty.slave_path);
}

WineLine::~WineLine()
{
    UnmapComPort(com);
    holder_.reset();
    ClosePtyPair(&pty);
}

bool WineBoardLine::Start(const std::vector<std::string>& board_args)
{
    if (!PrepareWine())
        return false;
    board = StartBoard(board_args);
    if (board.pid <= 0)
        return false;
    holder_ = std::make_unique<PtyHolder>(board.path);
    com = MapComPort(board.path);
    return holder_->ok() && !com.empty();
}

int WineBoardLine::Stop()
{
    UnmapComPort(com);
    com.clear();
    holder_.reset();
    return board.pid > 0 ? StopBoard(&board) : -1;
}
