// The shape every command shares: the request record, its one exchange and the checks of its reply.
#include "Commands.h"
#include "proto/Exchange.h"
#include "proto/Protocol.h"

Packet Request(uint8_t cmd)
{
    Packet packet{};
    const RequestRow* row = FindRequest(cmd);
    packet.size = row ? row->size : request_plain_size;
    packet.cmd = cmd;
    return packet;
}

bool LateReply(Link& link, const Packet& reply, uint8_t request_cmd)
{
    if (!AnswersAnotherRequest(reply.cmd, request_cmd))
        return false;
    link.out->Print("Wrong reply to %s: cmd %d\n", RequestWord(request_cmd), reply.cmd);
    return true;
}

Checked RequestChecked(Link& link, Packet* packet, int data_size)
{
    const uint8_t cmd = packet->cmd;
    if (!ExchangeRepeatable(link, packet))
        return CHECKED_NO_EXCHANGE;
    if (LateReply(link, *packet, cmd))
        return CHECKED_REFUSED;
    // Reading data bytes out of a shorter reply would report its checksum bytes as data.
    if (packet->size < proto_base_size + data_size) {
        link.out->Line("Reply too short");
        return CHECKED_REFUSED;
    }
    return CHECKED_OK;
}
