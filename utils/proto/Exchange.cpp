// The exchange layer: framing on send, sync hunt, header and checksum on receive.
#include "Exchange.h"

#include <cstdio>

bool exchange_quiet = false;

namespace {

// The board may send up to 255 bytes of other data before a reply; a 256th byte still counts.
constexpr int sync_hunt_limit = 256;

bool CatchSync(Port port, Packet* packet)
{
    for (int i = 0; i < sync_hunt_limit; ++i) {
        if (!RecvData(port, reinterpret_cast<char*>(&packet->sync), 1)) {
            if (!exchange_quiet)
                puts("Failed to read sync");
            return false;
        }
        if (packet->sync == hproto_sync)
            return true;
    }
    return false;
}

}  // namespace

bool SendPacket(Port port, Packet* packet)
{
    SealFrame(packet);
    uint32_t bytes = 0;
    if (PortWrite(port, packet, packet->size, &bytes) && bytes == packet->size)
        return true;
    if (!exchange_quiet)
        printf("Failed to write to port %d\n", static_cast<int>(bytes));
    return false;
}

bool RecvData(Port port, char* data, int size)
{
    while (size > 0) {
        uint32_t bytes = 0;
        // A read that completes with nothing is how an expired time-out or a closed line shows.
        if (!PortRead(port, data, static_cast<uint32_t>(size), &bytes) || bytes == 0) {
            if (!exchange_quiet)
                puts("Failed to read from port");
            return false;
        }
        data += bytes;
        size -= static_cast<int>(bytes);
    }
    return true;
}

bool RecvPacket(Port port, Packet* packet)
{
    if (!CatchSync(port, packet)) {
        if (!exchange_quiet)
            puts("Out of sync");
        return false;
    }
    if (!RecvData(port, reinterpret_cast<char*>(&packet->size), 3)) {
        if (!exchange_quiet)
            puts("Failed to read header");
        return false;
    }
    // The size byte comes from the line: outside 7..254 the frame would not fit the record, or
    // would leave no room for its own checksum.
    if (packet->size < proto_base_size || packet->size > proto_max_size) {
        if (!exchange_quiet)
            printf("Bad packet size %d\n", packet->size);
        return false;
    }
    if (!RecvData(port, reinterpret_cast<char*>(&packet->cmd), packet->size - 4)) {
        if (!exchange_quiet)
            puts("No data in packet");
        return false;
    }
    uint16_t stored = GetCRC(packet);
    uint16_t computed = CalcCRC(packet);
    if (stored != computed) {
        if (!exchange_quiet)
            printf("Bad CRC: %X  != %X\n", stored, computed);
        return false;
    }
    if (packet->cmd == 0) {
        if (!exchange_quiet)
            printf("Error in response: %s\n",
                   GetErrorByResultCode(static_cast<HProtoResult>(packet->cmd_data[0])));
        return false;
    }
    return true;
}

bool ExchangePacket(Port port, Packet* packet)
{
    return SendPacket(port, packet) && RecvPacket(port, packet);
}
