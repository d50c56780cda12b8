// Starting and stopping the simulated board for end-to-end tests.
#include "Board.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestSupport.h"

namespace {

// Reads one line from the board's stdout; the pipe is read a byte at a time so that a second
// line (after a hang-up) stays in the pipe for the next call.
bool ReadLine(int fd, std::string* line, int timeout_ms)
{
    line->clear();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
        if (left <= 0)
            return false;
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, left) <= 0)
            continue;
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n <= 0)
            return false;
        if (c == '\n')
            return true;
        line->push_back(c);
    }
}

}  // namespace

BoardProcess StartBoard(const std::vector<std::string>& args)
{
    BoardProcess board;
    char dir[] = "/tmp/gantrix-board-XXXXXX";
    if (!mkdtemp(dir)) {
        ADD_FAILURE() << "mkdtemp: " << strerror(errno);
        return board;
    }
    board.dir = dir;
    board.record_path = board.dir + "/record";
    board.stats_path = board.dir + "/stats";
    std::vector<std::string> argv = {BoardPath(), "--record", board.record_path, "--stats",
                                     board.stats_path};
    argv.insert(argv.end(), args.begin(), args.end());

    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return board;
    }
    board.pid = SpawnProgram(argv, -1, pipe_fds[1], -1);
    close(pipe_fds[1]);
    board.out_fd = pipe_fds[0];
    if (board.pid <= 0) {
        StopBoard(&board);
        return board;
    }
    if (!ReadLine(board.out_fd, &board.path, 5000) || board.path.empty()) {
        ADD_FAILURE() << "the board did not print its device path";
        StopBoard(&board);
    }
    return board;
}

bool NextBoardPath(BoardProcess* board, int timeout_ms)
{
    std::string line;
    if (!ReadLine(board->out_fd, &line, timeout_ms) || line.empty())
        return false;
    board->path = line;
    return true;
}

int StopBoard(BoardProcess* board, bool keep_files)
{
    int status = -1;
    if (board->pid > 0) {
        kill(board->pid, SIGTERM);
        int wstatus = 0;
        // Generous: a loaded machine may be slow to schedule a board that writes its files on exit.
        if (WaitProgram(board->pid, 10000, &wstatus) && WIFEXITED(wstatus))
            status = WEXITSTATUS(wstatus);
        board->pid = -1;
    }
    if (board->out_fd >= 0)
        close(board->out_fd);
    board->out_fd = -1;
    if (!keep_files && !board->dir.empty()) {
        std::string command = "rm -rf '" + board->dir + "'";
        if (system(command.c_str()) != 0)
            ADD_FAILURE() << "could not remove " << board->dir;
        board->dir.clear();
    }
    return status;
}

std::vector<std::string> RecordedFrames(const BoardProcess& board)
{
    std::vector<std::string> frames;
    std::ifstream in(board.record_path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 3, "RX ") == 0)
            frames.push_back(line.substr(3));
    }
    return frames;
}

std::map<std::string, uint64_t> BoardStats(const BoardProcess& board)
{
    std::map<std::string, uint64_t> stats;
    std::ifstream in(board.stats_path);
    std::string name;
    uint64_t value;
    while (in >> name >> value)
        stats[name] = value;
    return stats;
}
