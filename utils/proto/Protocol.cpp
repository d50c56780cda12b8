// The state and error-flag names, as the status report prints them.
#include "Protocol.h"

const char* const state_names[CONTROLLER_STATE_MAX] = {
    "none", "error", "idle", "calibration", "vend", "vended", "gohome", "precalibration",
};

const char* const error_names[CONTROLLER_ERROR_MAX] = {
    "motor_timeout", "motor_jam", "pump_overrun", "product_loss", "error_go_home",
};
