// Motion and cell commands: move, home, calibrate, precalibrate, vend, recover.
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "Commands.h"
#include "proto/Exchange.h"
#include "proto/Protocol.h"

namespace {

struct WordCode {
    const char* word;
    uint8_t code;
};

constexpr WordCode channel_table[] = {
    {"all", 0}, {"x", 1}, {"y", 2}, {"z", 3}, {"z1", 4},
};

constexpr WordCode direction_table[] = {
    {"mark", 0}, {"bwd", 1}, {"b", 1}, {"fwd", 2}, {"f", 2},
};

template <size_t N>
bool LookUp(const WordCode (&table)[N], const std::string& word, uint8_t* code)
{
    for (const WordCode& entry : table) {
        if (word == entry.word) {
            *code = entry.code;
            return true;
        }
    }
    return false;
}

// The exchange of a motion request, and its own line when it failed. A reply with the code of
// another request is a late one (of an earlier run, held up on the board), and says nothing of
// this request: it fails like a lost reply. A motion request is never sent twice.
int Run(Link& link, Packet* packet, const char* failure_line)
{
    if (RequestChecked(link, packet) == CHECKED_OK)
        return COMMAND_OK;
    link.out->Line(failure_line);
    return COMMAND_FAILED;
}

int SimpleRequest(Link& link, uint8_t cmd, const char* failure_line)
{
    Packet packet = Request(cmd);
    return Run(link, &packet, failure_line);
}

// calibrate, precalibrate and vend: one cell number 1..255 as the only data byte.
int CellRequest(Link& link, const Args& args, uint8_t cmd, const char* failure_line)
{
    if (args.empty()) {
        link.out->Line("Invalid params");
        return COMMAND_MISSING_WORDS;
    }
    int cell = ParseNumber(args[0]);
    if (cell < 1 || cell > 255) {
        link.out->Line("Invalid cell no, 1-255");
        return COMMAND_FAILED;
    }
    Packet packet = Request(cmd);
    packet.cmd_data[0] = static_cast<uint8_t>(cell);
    return Run(link, &packet, failure_line);
}

}  // namespace

int ParseNumber(const std::string& word)
{
    const char* p = word.c_str();
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    int64_t value = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        value = value * 10 + (*p - '0');
        if (value > static_cast<int64_t>(INT_MAX) + 1)
            value = static_cast<int64_t>(INT_MAX) + 1;
        ++p;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        value = INT_MAX;
    return static_cast<int>(value);
}

int Move(Link& link, Args args)
{
    if (args.size() < 3) {
        link.out->Line("Invalid params");
        return COMMAND_MISSING_WORDS;
    }
    uint8_t ch = 0;
    if (!LookUp(channel_table, args[0], &ch)) {
        link.out->Print("Unknown channel %s\n", args[0].c_str());
        return COMMAND_UNKNOWN_WORD;
    }
    uint8_t dir = 0;
    if (!LookUp(direction_table, args[1], &dir)) {
        link.out->Print("Unknown direction %s\n", args[1].c_str());
        return COMMAND_UNKNOWN_WORD;
    }
    int steps = ParseNumber(args[2]);
    if (steps > 255) {
        link.out->Print("Invalid steps, max 255\n");
        return COMMAND_BAD_STEPS;
    }
    // The byte would carry -10 as 246 steps: the mechanism moves where the technician meant no
    // move at all.
    if (steps < 0) {
        link.out->Print("Invalid steps, min 0\n");
        return COMMAND_BAD_STEPS;
    }
    Packet packet = Request(HPROTO_CMD_MOVE);
    packet.cmd_data[0] = ch;
    packet.cmd_data[1] = dir;
    packet.cmd_data[2] = static_cast<uint8_t>(steps);
    return Run(link, &packet, "Failed to move");
}

int Home(Link& link, Args)
{
    return SimpleRequest(link, HPROTO_CMD_GOHOME, "Failed to go home");
}

int Calibrate(Link& link, Args args)
{
    return CellRequest(link, args, HPROTO_CMD_CALIBRATE, "Failed to calibrate");
}

int PreCalibrate(Link& link, Args args)
{
    return CellRequest(link, args, HPROTO_CMD_PRECALIBRATE,
                       "Failed to move to precalibrate position");
}

int Vend(Link& link, Args args)
{
    return CellRequest(link, args, HPROTO_CMD_VEND, "Failed to vend");
}

int Recover(Link& link, Args)
{
    Packet packet = Request(HPROTO_CMD_RECOVER);
    // Any other good reply is the board's "not recovered", printed below.
    if (!ExchangePacket(link, &packet)) {
        link.out->Line("Failed to recover device");
        return COMMAND_FAILED;
    }
    bool recovered = packet.cmd == HPROTO_CMD_RECOVER;
    link.out->Print("RECOVER %s\n", recovered ? "OK" : "FAILED");
    return recovered ? COMMAND_OK : COMMAND_RECOVER_REFUSED;
}
