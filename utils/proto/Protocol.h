// What both ends of the line know of the requests and replies beyond the frame itself: the size
// each request has, the upgrade block, and the board's states and error flags as the status reply
// carries them. The tool builds its requests from these and the simulated board checks them.
#pragma once

#include <cstdint>

#include "Packet.h"

// Request sizes. Ping, id, status, home, recover and the debug poll carry no data.
constexpr uint8_t request_plain_size = proto_base_size;
constexpr uint8_t request_cell_size = proto_base_size + 1;    // calibrate, precalibrate, vend
constexpr uint8_t request_move_size = proto_base_size + 3;    // channel, direction, steps
constexpr uint8_t request_switch_size = proto_base_size + 4;  // four zero bytes
// Image bytes per upgrade block; the block request carries its offset (4 bytes) before them.
constexpr uint32_t upgrade_block_size = 32;
constexpr uint8_t request_block_size = proto_base_size + 4 + upgrade_block_size;

// Reply data the tool reads: id (device, major, minor) and status (state, 32-bit error mask).
constexpr uint8_t id_data_size = 3;
constexpr uint8_t status_data_size = 5;

enum ControllerState {
    CONTROLLER_STATE_NONE = 0,
    CONTROLLER_STATE_ERROR = 1,
    CONTROLLER_STATE_IDLE = 2,
    CONTROLLER_STATE_CALIBRATION = 3,
    CONTROLLER_STATE_VEND = 4,
    CONTROLLER_STATE_VENDED = 5,
    CONTROLLER_STATE_GOHOME = 6,
    CONTROLLER_STATE_PRECALIBRATE = 7,
    CONTROLLER_STATE_MAX = 8,
};

// Bit numbers in the 32-bit error mask.
enum ControllerError {
    CONTROLLER_ERROR_MOTOR_TIMEOUT = 0,
    CONTROLLER_ERROR_MOTOR_JAM = 1,
    CONTROLLER_ERROR_PUMP_OVERRUN = 2,
    CONTROLLER_ERROR_PRODUCT_LOSS = 3,
    CONTROLLER_ERROR_GOHOME = 4,
    CONTROLLER_ERROR_MAX = 5,
};

// One row per request the tool sends, and the only list of them: the trace's names, the late-reply
// rule, the retries, the front end's command words and the simulated board's dispatch all read it.
// `word` names the request on a command line (the tool's command word where it has one, the
// board's @ target); `repeatable` marks a request that does the same when it arrives twice, so
// --retries may send it again. The boot switch is sent once: its repeat would need a fence that a
// board already in its boot loader may leave unanswered, and the upload goes on whatever it got.
struct RequestRow {
    uint8_t cmd;
    const char* word;
    uint8_t size;  // the whole frame
    bool repeatable;
    const char* trace_name;
};

// clang-format off
inline constexpr RequestRow request_table[] = {
    // code                      word            size                 repeatable  trace name
    {HPROTO_CMD_PING,            "ping",         request_plain_size,  true,       "ping"},
    {HPROTO_CMD_STATUS,          "status",       request_plain_size,  true,       "status"},
    {HPROTO_CMD_VEND,            "vend",         request_cell_size,   false,      "vend"},
    {HPROTO_CMD_RECOVER,         "recover",      request_plain_size,  false,      "recover"},
    {HPROTO_CMD_MOVE,            "move",         request_move_size,   false,      "move"},
    {HPROTO_CMD_CALIBRATE,       "calibrate",    request_cell_size,   false,      "calibrate"},
    {HPROTO_CMD_GOHOME,          "home",         request_plain_size,  false,      "home"},
    {HPROTO_CMD_PRECALIBRATE,    "precalibrate", request_cell_size,   false,      "precalibrate"},
    {HPROTO_CMD_SWITCH_BOOT_APP, "switch",       request_switch_size, false,      "boot switch"},
    {HPROTO_CMD_DEBUG,           "debug",        request_plain_size,  false,      "debug poll"},
    {HPROTO_CMD_UPGRADE,         "upgrade",      request_block_size,  true,       "upgrade block"},
    {HPROTO_CMD_ID,              "id",           request_plain_size,  true,       "id"},
};
// clang-format on

// The row of the request with this code; null for a code no request has.
constexpr const RequestRow* FindRequest(uint8_t cmd)
{
    for (const RequestRow& row : request_table)
        if (row.cmd == cmd)
            return &row;
    return nullptr;
}

// The word of the request with this code; null for a code no request has.
constexpr const char* RequestWord(uint8_t cmd)
{
    // Searched by value, not through FindRequest: GCC 12 refuses to compare a pointer into the
    // table with null in a constant expression, and the front end's table is built at compile time.
    for (const RequestRow& row : request_table)
        if (row.cmd == cmd)
            return row.word;
    return nullptr;
}

// True when a good reply carries the command code of a request other than `request_cmd`: the
// late answer to an earlier request (of this run or of one before it, held up on the board behind
// line noise), whose data would be read as this request's. Nothing else is known of the command
// byte a board answers with, so any other value passes.
bool AnswersAnotherRequest(uint8_t reply_cmd, uint8_t request_cmd);

// The request's name as a trace shows it ("ping", "upgrade block", "error reply" for cmd 0);
// null for a code no request has.
const char* CommandName(uint8_t cmd);

extern const char* const state_names[CONTROLLER_STATE_MAX];
// The state's name as the status report prints it; "unknown" for a value no state has.
const char* StateName(int state);
extern const char* const error_names[CONTROLLER_ERROR_MAX];
