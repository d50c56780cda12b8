// The status report: the board's state and error flags by name.
#include <cstdint>
#include <cstdio>

#include "Commands.h"
#include "proto/Exchange.h"
#include "proto/Protocol.h"

int Status(Port port, Args)
{
    Packet packet;
    packet.size = request_plain_size;
    packet.cmd = HPROTO_CMD_STATUS;
    if (!ExchangeRepeatable(port, &packet))
        return COMMAND_FAILED;
    if (AnswersAnotherRequest(packet.cmd, HPROTO_CMD_STATUS)) {
        printf("Wrong reply to status: cmd %d\n", packet.cmd);
        return COMMAND_FAILED;
    }
    // Reading five data bytes out of a shorter reply would report checksum bytes as flags.
    if (packet.size < proto_base_size + status_data_size) {
        puts("Reply too short");
        return COMMAND_FAILED;
    }
    int state = packet.cmd_data[0];
    // The error mask travels least significant byte first.
    uint32_t error_mask = static_cast<uint32_t>(packet.cmd_data[1]) |
                          static_cast<uint32_t>(packet.cmd_data[2]) << 8 |
                          static_cast<uint32_t>(packet.cmd_data[3]) << 16 |
                          static_cast<uint32_t>(packet.cmd_data[4]) << 24;
    const char* name = state < CONTROLLER_STATE_MAX ? state_names[state] : "unknown";
    printf("Status: %s[%d]  ", name, state);
    for (int i = 0; i < CONTROLLER_ERROR_MAX; ++i)
        if (error_mask & (1u << i))
            printf("%s[%d] ", error_names[i], i);
    putchar('\n');
    return COMMAND_OK;
}
