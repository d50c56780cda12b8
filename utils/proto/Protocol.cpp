// Names of the requests, states and error flags, as the trace and the status report print them.
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

const char* CommandName(uint8_t cmd)
{
    switch (cmd) {
    case 0:
        return "error reply";
    case HPROTO_CMD_PING:
        return "ping";
    case HPROTO_CMD_STATUS:
        return "status";
    case HPROTO_CMD_VEND:
        return "vend";
    case HPROTO_CMD_RECOVER:
        return "recover";
    case HPROTO_CMD_MOVE:
        return "move";
    case HPROTO_CMD_CALIBRATE:
        return "calibrate";
    case HPROTO_CMD_GOHOME:
        return "home";
    case HPROTO_CMD_PRECALIBRATE:
        return "precalibrate";
    case HPROTO_CMD_SWITCH_BOOT_APP:
        return "boot switch";
    case HPROTO_CMD_DEBUG:
        return "debug poll";
    case HPROTO_CMD_UPGRADE:
        return "upgrade block";
    case HPROTO_CMD_ID:
        return "id";
    default:
        return nullptr;
    }
}

const char* const state_names[CONTROLLER_STATE_MAX] = {
    "none", "error", "idle", "calibration", "vend", "vended", "gohome", "precalibration",
};

const char* const error_names[CONTROLLER_ERROR_MAX] = {
    "motor_timeout", "motor_jam", "pump_overrun", "product_loss", "error_go_home",
};
