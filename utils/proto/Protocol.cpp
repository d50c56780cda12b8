// The request table's look-ups, and the names of the states and error flags the status report
// prints.
#include "Protocol.h"

bool AnswersAnotherRequest(uint8_t reply_cmd, uint8_t request_cmd)
{
    return reply_cmd != request_cmd && FindRequest(reply_cmd) != nullptr;
}

const char* CommandName(uint8_t cmd)
{
    if (cmd == 0)
        return "error reply";
    const RequestRow* row = FindRequest(cmd);
    return row ? row->trace_name : nullptr;
}

const char* const state_names[CONTROLLER_STATE_MAX] = {
    "none", "error", "idle", "calibration", "vend", "vended", "gohome", "precalibration",
};

const char* StateName(int state)
{
    return state >= 0 && state < CONTROLLER_STATE_MAX ? state_names[state] : "unknown";
}

const char* const error_names[CONTROLLER_ERROR_MAX] = {
    "motor_timeout", "motor_jam", "pump_overrun", "product_loss", "error_go_home",
};
