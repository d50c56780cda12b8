// The status report: the board's state and error flags by name.
#include <cstdint>
#include <cstdio>

#include "Commands.h"
#include "proto/Exchange.h"
#include "proto/Protocol.h"

bool ReadStatus(Link& link, BoardStatus* status)
{
    Packet packet = Request(HPROTO_CMD_STATUS);
    if (RequestChecked(link, &packet, status_data_size) != CHECKED_OK)
        return false;
    status->state = packet.cmd_data[0];
    // The error mask travels least significant byte first.
    status->error_mask = static_cast<uint32_t>(packet.cmd_data[1]) |
                         static_cast<uint32_t>(packet.cmd_data[2]) << 8 |
                         static_cast<uint32_t>(packet.cmd_data[3]) << 16 |
                         static_cast<uint32_t>(packet.cmd_data[4]) << 24;
    return true;
}

void PrintStatus(Output& out, const BoardStatus& status)
{
    const int state = status.state;
    out.Print("Status: %s[%d]  ", StateName(state), state);
    for (int i = 0; i < CONTROLLER_ERROR_MAX; ++i)
        if (status.error_mask & (1u << i))
            out.Print("%s[%d] ", error_names[i], i);
    out.Write("\n");
}

int StatusReported(Link& link, Args, RunReport* report)
{
    BoardStatus status;
    if (!ReadStatus(link, &status))
        return COMMAND_FAILED;
    PrintStatus(*link.out, status);
    if (report) {
        report->has_status = true;
        report->status = status;
    }
    return COMMAND_OK;
}

int Status(Link& link, Args args)
{
    return StatusReported(link, args, nullptr);
}
