// The command handlers. Each checks its argument words, makes one exchange (the upgrade and the
// debug trace make many) and prints what the reply says; all output goes to stdout.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serial/Serial.h"

using Args = std::vector<std::string>;

// Results: 0 success; 1 failed exchange or refused cell; -1 missing words; -2 word not in a
// table; -3 step count above 255. Recover gives 2 when the board answered but did not recover.
int Move(Port port, Args args);
int Home(Port port, Args args);
int Calibrate(Port port, Args args);
int PreCalibrate(Port port, Args args);
int Vend(Port port, Args args);
int Recover(Port port, Args args);
constexpr int recover_refused = 2;

int Status(Port port, Args args);
int Upgrade(Port port, std::string filepath);
// Blocks an image of this many bytes is sent in (the last one padded with 0xFF).
int64_t UpgradeBlockCount(int64_t image_size);
// Copies the board's debug text to stdout until an exchange fails; then returns 1.
int Debug(Port port);

// A number word as C's atoi reads it (leading blanks, sign, digits up to the first other
// character, 0 when there are none), except that values beyond int saturate instead of wrapping.
int ParseNumber(const std::string& word);
