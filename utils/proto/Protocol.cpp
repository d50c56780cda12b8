// The state and error-flag names, as the status report prints them.
#include "Protocol.h"

bool AnswersAnotherRequest(uint8_t reply_cmd, uint8_t request_cmd)
{
    static const uint8_t requests[] = {
        HPROTO_CMD_PING,    HPROTO_CMD_STATUS,       HPROTO_CMD_VEND,
        HPROTO_CMD_RECOVER, HPROTO_CMD_MOVE,         HPROTO_CMD_CALIBRATE,
        HPROTO_CMD_GOHOME,  HPROTO_CMD_PRECALIBRATE, HPROTO_CMD_SWITCH_BOOT_APP,
        HPROTO_CMD_DEBUG,   HPROTO_CMD_UPGRADE,      HPROTO_CMD_ID,
    };
    if (reply_cmd == request_cmd)
        return false;
    for (uint8_t cmd : requests)
        if (reply_cmd == cmd)
            return true;
    return false;
}

const char* const state_names[CONTROLLER_STATE_MAX] = {
    "none", "error", "idle", "calibration", "vend", "vended", "gohome", "precalibration",
};

const char* const error_names[CONTROLLER_ERROR_MAX] = {
    "motor_timeout", "motor_jam", "pump_overrun", "product_loss", "error_go_home",
};
