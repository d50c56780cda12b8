// Running the Windows build of the tool under Wine against a Linux pty: a Wine prefix of the
// build tree's own, COM ports mapped to ptys, and runs of gantrix.exe as a user would make them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Board.h"
#include "TestSupport.h"

// The Windows executables under test, or "" when this build was not told about them.
std::string WindowsToolPath();
std::string WindowsQuickToolPath();

// The prefix the runs use. Created (once per build tree, 10-30 s) by the first run of the wrapper.
std::string WinePrefix();
// Creates the prefix if needed and starts the server; false (with a test failure) when Wine
// cannot run the tool at all.
bool PrepareWine();

// Maps a COM port of the prefix to `pty_path` and returns its name ("COM12"), "" on failure.
// The number derives from the pty's, so tests running side by side never share a port.
std::string MapComPort(const std::string& pty_path);
void UnmapComPort(const std::string& com);
// A COM port name that is known to have no device behind it.
std::string UnmappedComPort();

// Holds a pty as the controlling terminal of a small process in a session of its own, for as
// long as the object lives. wineserver otherwise may adopt the pty as its own controlling
// terminal and die at the first hang-up of the peer.
class PtyHolder {
public:
    explicit PtyHolder(const std::string& pty_path);
    ~PtyHolder();
    PtyHolder(const PtyHolder&) = delete;
    PtyHolder& operator=(const PtyHolder&) = delete;
    bool ok() const { return pid_ > 0; }

private:
    int pid_ = -1;
};

// Runs the Windows tool (the quick one: 1 s line time-out) under Wine in a session of its
// own; output as RunProgram gives it, "\r\n" folded.
RunResult RunWindowsTool(const std::vector<std::string>& args, int timeout_ms = 60000);
RunResult RunWindowsQuickTool(const std::vector<std::string>& args, int timeout_ms = 60000);
// The command line that runs the quick Windows tool that way, for a test that spawns it itself.
std::vector<std::string> WindowsQuickToolArgv(const std::vector<std::string>& args);
// Runs another program of the Windows build, `name` under the tool's tests/ folder, the same way.
RunResult RunWindowsTestProgram(const std::string& name, const std::vector<std::string>& args,
                                int timeout_ms = 60000);
// Runs one of Wine's own programs ("reg") in the prefix.
RunResult RunWineProgram(const std::string& program, const std::vector<std::string>& args);

// A COM port mapped to a fresh pty pair whose master plays the board, with the pty held as
// above; everything is released in the destructor.
struct WineLine {
    WineLine();
    ~WineLine();
    WineLine(const WineLine&) = delete;
    WineLine& operator=(const WineLine&) = delete;
    bool ok() const { return !com.empty(); }

    PtyPair pty;
    std::string com;

private:
    std::unique_ptr<PtyHolder> holder_;
};

// The simulated board behind a COM port, its pty held as above; stopped in the destructor.
class WineBoardLine {
public:
    WineBoardLine() = default;
    ~WineBoardLine() { Stop(); }
    WineBoardLine(const WineBoardLine&) = delete;
    WineBoardLine& operator=(const WineBoardLine&) = delete;

    // Starts a board with `board_args` and maps a COM port to it; false when any of that failed.
    bool Start(const std::vector<std::string>& board_args);
    // Unmaps the port and stops the board: its exit status, -1 when none was running.
    int Stop();

    BoardProcess board;
    std::string com;

private:
    std::unique_ptr<PtyHolder> holder_;
};
