// The simulated board served on TCP by the real ser2net: a raw port and an RFC 2217 port on
// localhost, both onto the board's pseudo-terminal.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "Board.h"

// The ser2net program, or "" when it is not installed.
std::string Ser2netPath();
// A localhost TCP port that was free a moment ago.
int FreeTcpPort();

class Ser2netBoard {
public:
    Ser2netBoard() = default;
    ~Ser2netBoard() { Stop(); }
    Ser2netBoard(const Ser2netBoard&) = delete;
    Ser2netBoard& operator=(const Ser2netBoard&) = delete;

    // Starts the board with `board_args` and ser2net in front of it; with chardelay false the
    // server sends on what it reads at once. False (with a test failure) when either failed.
    bool Start(const std::vector<std::string>& board_args, bool chardelay = true);
    // Stops ser2net, then the board: the board's exit status, -1 when none was running.
    int Stop();

    // After a run through ser2net: waits until ser2net has closed the board's device, which it
    // does a moment after the connection's end; a connection to the other port before that finds
    // the device taken. False on time-out.
    bool Settle();

    BoardProcess board;
    std::string link;          // the board's device under a name that stays
    std::string tcp_word;      // tcp://127.0.0.1:PORT
    std::string rfc2217_word;  // rfc2217://127.0.0.1:PORT

private:
    pid_t ser2net_ = -1;
    std::string dir_;
};
