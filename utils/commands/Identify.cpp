// Who is at the other end: "ping" and "id".
#include <cstdio>

#include "Commands.h"
#include "proto/Exchange.h"
#include "proto/Protocol.h"

// PING OK only when the board answers with the ping command itself.
int Ping(Link& link, Args)
{
    Packet packet = Request(HPROTO_CMD_PING);
    if (!ExchangeRepeatable(link, &packet)) {
        link.out->Line("Failed to ping device");
        return COMMAND_NO_EXCHANGE;
    }
    bool ok = packet.cmd == HPROTO_CMD_PING;
    link.out->Print("PING %s\n", ok ? "OK" : "FAILED");
    return ok ? COMMAND_OK : COMMAND_FAILED;
}

// Device number and firmware version from the first three data bytes of the reply.
int IdReported(Link& link, Args, RunReport* report)
{
    Packet packet = Request(HPROTO_CMD_ID);
    const Checked checked = RequestChecked(link, &packet, id_data_size);
    if (checked != CHECKED_OK)
        return checked == CHECKED_NO_EXCHANGE ? COMMAND_NO_EXCHANGE : COMMAND_FAILED;
    unsigned device = packet.cmd_data[0];
    int major = packet.cmd_data[1];
    int minor = packet.cmd_data[2];
    link.out->Print("ID: device %X version %d.%d\n", device, major, minor);
    if (report) {
        report->has_id = true;
        report->device = device;
        report->major = major;
        report->minor = minor;
    }
    return COMMAND_OK;
}

int Id(Link& link, Args args)
{
    return IdReported(link, args, nullptr);
}
