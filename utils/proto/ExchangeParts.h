// The exchange's own pieces, shared by its two files: a frame sent and received
// (Frame.cpp), and the repeats and the fence built on them (Exchange.cpp). Not for other callers.
#pragma once

#include <string>

#include "Exchange.h"

namespace exchange_parts {

// How a receive ended. Only a failure on the line is worth another attempt: an error reply is
// the board's considered answer, and a write that fails is a port that is gone.
enum RecvOutcome {
    RECV_OK,
    RECV_LINE_FAILURE,
    RECV_SILENT,  // a line failure before a single byte arrived: the line was quiet
    RECV_ERROR_REPLY,
    RECV_SEND_FAILED,
};

bool IsPingReply(const Packet& packet);
// The exchange's one output path: stdout, the retry's held reason, or nowhere for the probe.
void Say(Link& link, const char* line);
// Says again, line by line, what was held.
void SayHeld(Link& link, const std::string& held);
// Reads one frame into `packet` and tells the trace, the failure lines and the turnaround of it.
RecvOutcome ReceiveFrame(Link& link, Packet* packet);
// Seals and writes a request; counts a ping as owed and starts timing the exchange.
bool Send(Link& link, Packet* packet);

}  // namespace exchange_parts
