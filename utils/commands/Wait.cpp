// --wait: follow the mechanism a command set going until it stops, by polling the status.
#include <chrono>
#include <cstdio>
#include <thread>

#include "Commands.h"
#include "proto/Exchange.h"
#include "proto/Protocol.h"

namespace {

// Polls start at least this far apart: a board busy with its motors answers every poll between
// two steps, and faster polling would only load it.
constexpr int poll_interval_ms = 50;

using Clock = std::chrono::steady_clock;

// Vended is the vend's last phase: the board still refuses a motion or the boot switch as busy
// until it reports idle, so a wait that ended there would hand the next command a refusal.
bool InMotion(int state)
{
    return state == CONTROLLER_STATE_CALIBRATION || state == CONTROLLER_STATE_VEND ||
           state == CONTROLLER_STATE_VENDED || state == CONTROLLER_STATE_GOHOME ||
           state == CONTROLLER_STATE_PRECALIBRATE;
}

}  // namespace

int WaitForMotion(Link& link, int limit_ms, RunReport* report)
{
    const Clock::time_point start = Clock::now();
    const Clock::time_point limit = start + std::chrono::milliseconds(limit_ms);
    BoardStatus status;
    for (;;) {
        const Clock::time_point poll = Clock::now();
        if (report)
            ++report->polls;
        if (!ReadStatus(link, &status)) {
            link.out->Line("Wait failed: no status from the board");
            return COMMAND_FAILED;
        }
        if (report) {
            report->has_status = true;
            report->status = status;
            report->state_poll = report->polls;
        }
        if (!InMotion(status.state))
            break;
        if (Clock::now() >= limit) {
            PrintStatus(*link.out, status);
            link.out->Print("Wait failed: still in %s after %g s\n", StateName(status.state),
                            limit_ms / 1000.0);
            return COMMAND_FAILED;
        }
        std::this_thread::sleep_until(poll + std::chrono::milliseconds(poll_interval_ms));
    }
    PrintStatus(*link.out, status);
    if (status.state != CONTROLLER_STATE_IDLE) {
        link.out->Print("Wait failed: the board ended in %s\n", StateName(status.state));
        return COMMAND_FAILED;
    }
    if (status.error_mask != 0) {
        link.out->Line("Wait failed: error flags set");
        return COMMAND_FAILED;
    }
    return COMMAND_OK;
}
