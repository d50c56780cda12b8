// One request and one reply over the serial port. Failures are printed where they are found
// (stdout, one line each) and passed up as false.
#pragma once

#include <string>

#include "Packet.h"
#include "Trace.h"
#include "Turnaround.h"
#include "serial/Serial.h"

// A port as the exchange uses it for a run: the port, what the switches ask of every exchange,
// the one path its lines take, and what it has learnt of the line. Whoever opens the port makes
// one beside it for as long as the run uses the port; one made bare exchanges as a run without
// switches does.
struct Link {
    explicit Link(Port& line_port) : port(line_port) {}
    Port& port;
    int retries = 0;               // --retries: how often a repeatable request is sent again
    Output* out = &PlainOutput();  // the run's one way out: its lines, notes and trace
    // The exchange's failure lines go to stdout, as the tool's contract; the port listing's probe
    // silences them (on a port without a board they are the expected outcome), and while an
    // attempt may still be repeated they are held as the retry's reason.
    bool silent = false;
    std::string* held = nullptr;
    bool fencing = false;  // the fence drops what the board still sends, error replies included
    int pings_owed = 0;    // pings sent and not yet answered (see ExchangeFence)
    Turnarounds turnarounds;
};

// Stamps sync, the reserved bytes and the checksum, then writes the first `size` bytes.
bool SendPacket(Link& link, Packet* packet);
// Reads exactly `size` bytes, in as many reads as the line needs.
bool RecvData(Link& link, char* data, int size);
// Hunts for the sync byte (at most 256 bytes), then reads and checks one frame into `packet`.
// False for any failure, a bad checksum and an error reply (cmd 0).
bool RecvPacket(Link& link, Packet* packet);

// The one shape of every exchange: send, and only if that worked, receive into the same record.
bool ExchangePacket(Link& link, Packet* packet);

// ExchangePacket for a request that does the same when it arrives twice (ping, id, status, an
// upgrade block, which carries its offset: the rows request_table marks
// repeatable; any other request is sent once). A failure on the line (time-out, bad
// checksum, bad size, out of sync, or while a repeat is left a reply with another request's code)
// is followed by a fence (ExchangeFence) and another attempt, up to the run's `retries` times in all,
// each with its reason on stderr; the failure lines of the attempts that were repeated stay off
// stdout. An error reply or a failed write ends it at once.
bool ExchangeRepeatable(Link& link, Packet* packet);

// How ExchangeTold ended, for a caller that tells its failures apart.
enum ExchangeEnd {
    EXCHANGE_DONE,
    EXCHANGE_FAILED,            // the failure lines are on stdout
    EXCHANGE_UNANSWERED,        // nothing at all came back: the reply may still come, late
    EXCHANGE_FENCE_UNANSWERED,  // a repeat's fence got no reply to its ping; nothing printed
};

// ExchangeRepeatable, saying how it ended. A good reply carrying `late_cmd` (0: none), the late
// answer to a request that went unanswered, is read past once for the request's own. A fence
// whose ping goes unanswered ends it at once: a peer that leaves a ping unanswered (a boot
// loader need answer nothing but blocks) will leave the next fence's unanswered too.
ExchangeEnd ExchangeTold(Link& link, Packet* packet, uint8_t late_cmd);

// Brings the line back in step after an exchange that failed, before the run goes on: zero bytes
// and a ping, and every frame up to the ping's reply dropped, so that no reply to an earlier
// request can pass for the answer to the next. Repeated within the run's `retries`; false, with the
// last attempt's failure lines on stdout, when the ping's reply never came.
bool ExchangeFence(Link& link);
