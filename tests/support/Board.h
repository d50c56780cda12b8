// The simulated board as a child process of a test: started with its switches, stopped by its pid.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct BoardProcess {
    pid_t pid = -1;
    int out_fd = -1;          // the board's stdout: one device path per line
    std::string path;         // the device the tool should open (updated by NextBoardPath)
    std::string dir;          // a private directory for the board's files
    std::string record_path;  // --record, always given
    std::string stats_path;   // --stats, always given
};

// Starts gantrix-board with `args` plus --record and --stats in a fresh directory, and waits for
// its first line. On failure the test fails (ADD_FAILURE) and pid stays -1.
BoardProcess StartBoard(const std::vector<std::string>& args);
// After a hang-up: waits for the next device line and makes it board->path; false on time-out.
bool NextBoardPath(BoardProcess* board, int timeout_ms = 3000);
// SIGTERM to the board's pid and waits for it; returns its exit status (-1 if it had to be
// killed). Removes the board's directory unless keep_files.
int StopBoard(BoardProcess* board, bool keep_files = false);

// The request frames the board received, one "55 07 00 00 01 9E 15" string each.
std::vector<std::string> RecordedFrames(const BoardProcess& board);
// The --stats file as name -> value.
std::map<std::string, uint64_t> BoardStats(const BoardProcess& board);
