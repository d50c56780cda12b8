// The command handlers. Each checks its argument words, makes one exchange (the upgrade and the
// debug trace make many) and prints what the reply says; all output goes to stdout.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ImageFile.h"
#include "serial/Serial.h"

using Args = std::vector<std::string>;

// What a handler reports; the front end turns it into the exit status.
enum CommandResult {
    COMMAND_OK = 0,
    COMMAND_FAILED = 1,           // a failed exchange, a refused cell, a reply that says no
    COMMAND_RECOVER_REFUSED = 2,  // the board answered the recover request but did not recover
    COMMAND_NO_EXCHANGE = -4,     // ping or id got no good reply; the run ends there
    COMMAND_MISSING_WORDS = -1,
    COMMAND_UNKNOWN_WORD = -2,    // a word not in the command's table
    COMMAND_TOO_MANY_STEPS = -3,  // a step count above 255
    COMMAND_USAGE = -5,           // the words do not make a command: show the usage text
};

// Every handler: the open port and its own copy of the words after the command word.
using Handler = int (*)(Port port, Args args);

int Ping(Port port, Args args);
int Id(Port port, Args args);
int Move(Port port, Args args);
int Home(Port port, Args args);
int Calibrate(Port port, Args args);
int PreCalibrate(Port port, Args args);
int Vend(Port port, Args args);
int Recover(Port port, Args args);
int Status(Port port, Args args);
// What the run's switches ask of the upgrade.
struct UpgradeOptions {
    ImageFormat format = IMAGE_FORMAT_AUTO;  // --format; by the file's content without it
    ImageBase base;                          // --base, for a HEX or S-record file
    // The upload's progress: a '\r' line that overwrites itself, or (--progress plain) a line at
    // each tenth and a summary.
    bool progress_plain = false;
    bool log = false;  // --log: the image's line goes into the log's run record too
};
// Checks the image named by the first word, switches to the boot loader and sends the image.
int Upgrade(Port port, Args args, const UpgradeOptions& options = UpgradeOptions());
// Blocks an image of this many bytes is sent in (the last one padded with 0xFF).
int64_t UpgradeBlockCount(int64_t image_size);
// Copies the board's debug text to stdout until an exchange fails; then returns COMMAND_FAILED.
int Debug(Port port);

// A number word as C's atoi reads it (leading blanks, sign, digits up to the first other
// character, 0 when there are none), except that values beyond int saturate instead of wrapping.
int ParseNumber(const std::string& word);
