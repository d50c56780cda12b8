// The board's states and error flags, as the status reply carries them.
#pragma once

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

extern const char* const state_names[CONTROLLER_STATE_MAX];
extern const char* const error_names[CONTROLLER_ERROR_MAX];
