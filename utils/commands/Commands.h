// The command handlers. Each checks its argument words, makes one exchange (the upgrade and the
// debug trace make many) and prints what the reply says on stdout; only the upgrade's line
// naming its image goes to stderr.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/ImageFile.h"
#include "proto/Packet.h"

struct Link;   // proto/Exchange.h
class Output;  // output/Output.h

using Args = std::vector<std::string>;

// The request record for `cmd`: its code and the frame size request_table gives it, the data
// zeroed for the caller to fill.
Packet Request(uint8_t cmd);
// True, with the line "Wrong reply to <word>: cmd N", when a good reply carries the code of
// another request than `request_cmd`: a late answer, which says nothing of this request.
bool LateReply(Link& link, const Packet& reply, uint8_t request_cmd);

// How RequestChecked ended.
enum Checked {
    CHECKED_OK,
    CHECKED_NO_EXCHANGE,  // the exchange failed, with its failure lines
    CHECKED_REFUSED,      // a reply came that does not answer the request, with its line
};
// The one exchange of a command and the checks of its reply: sent, and under --retries repeated
// where the request may be; then a late reply refused (LateReply), and a reply with fewer than
// `data_size` data bytes refused as "Reply too short".
Checked RequestChecked(Link& link, Packet* packet, int data_size = 0);

// What a handler reports; the front end turns it into the exit status.
enum CommandResult {
    COMMAND_OK = 0,
    COMMAND_FAILED = 1,           // a failed exchange, a refused cell, a reply that says no
    COMMAND_RECOVER_REFUSED = 2,  // the board answered the recover request but did not recover
    COMMAND_NO_EXCHANGE = -4,     // ping or id got no good reply; the run ends there
    COMMAND_MISSING_WORDS = -1,
    COMMAND_UNKNOWN_WORD = -2,  // a word not in the command's table
    COMMAND_BAD_STEPS = -3,     // a step count above 255 or below 0
    COMMAND_USAGE = -5,         // the words do not make a command: show the usage text
};

// Every handler: the run's link to the board and its own copy of the words after the command
// word.
using Handler = int (*)(Link& link, Args args);

int Ping(Link& link, Args args);
int Id(Link& link, Args args);
int Move(Link& link, Args args);
int Home(Link& link, Args args);
int Calibrate(Link& link, Args args);
int PreCalibrate(Link& link, Args args);
int Vend(Link& link, Args args);
int Recover(Link& link, Args args);
int Status(Link& link, Args args);
// What the run's switches ask of the upgrade.
struct UpgradeOptions {
    ImageFormat format = IMAGE_FORMAT_AUTO;  // --format; by the file's content without it
    ImageBase base;                          // --base, for a HEX or S-record file
    // The upload's progress: a '\r' line that overwrites itself, or (--progress plain) a line at
    // each tenth and a summary.
    bool progress_plain = false;
};

// The board's state and error flags as a status reply carries them.
struct BoardStatus {
    int state = 0;
    uint32_t error_mask = 0;
};
// One status exchange (repeated under --retries); false, with the failure lines printed, when
// it gave no status to read.
bool ReadStatus(Link& link, BoardStatus* status);
// The usual "Status: ..." line.
void PrintStatus(Output& out, const BoardStatus& status);

// What an upload did, for its summary.
struct UploadSummary {
    int64_t blocks_sent = 0;
    int64_t blanks_skipped = 0;
    int64_t bytes = 0;
    double seconds = 0;
};

// What a run found out, for --json: the figures the text lines would have shown.
struct RunReport {
    bool has_status = false;  // status, and under --wait the last poll that answered
    BoardStatus status;
    int polls = 0;       // --wait: the status polls made
    int state_poll = 0;  // --wait: which of them (1 the first) gave `status`; 0 when none did
    bool has_id = false;
    unsigned device = 0;
    int major = 0;
    int minor = 0;
    bool has_upload = false;
    UploadSummary upload;
    // The upgrade's boot-loader switch, once it was sent: "ok", or "failed" (the upload went on
    // as is).
    const char* boot_switch = nullptr;
};
// A handler that also fills the report.
using ReportingHandler = int (*)(Link& link, Args args, RunReport* report);
int IdReported(Link& link, Args args, RunReport* report);
int StatusReported(Link& link, Args args, RunReport* report);

// --wait: after a motion command, polls the status until the board leaves its motion states
// (vended among them: the board takes the next motion only once idle) or `limit_ms` passes, then
// prints the final "Status: ..." line. COMMAND_OK when the board ended idle without error flags;
// else COMMAND_FAILED with a line saying why. The report, when there is one, gets the polls made
// and the status of the last poll that answered, with its number.
int WaitForMotion(Link& link, int limit_ms, RunReport* report);
// Checks the image named by the first word, switches to the boot loader and sends the image.
// With a report (--json) the summary goes there and no progress is shown.
int Upgrade(Link& link, Args args, const UpgradeOptions& options = UpgradeOptions(),
            RunReport* report = nullptr);
// Copies the board's debug text to stdout until an exchange fails; then returns COMMAND_FAILED.
int Debug(Link& link);

// A number word as C's atoi reads it (leading blanks, sign, digits up to the first other
// character, 0 when there are none), except that values beyond int saturate instead of wrapping.
int ParseNumber(const std::string& word);
