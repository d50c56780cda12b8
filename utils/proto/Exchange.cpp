// The exchange layer: framing on send, sync hunt, header and checksum on receive.
#include "Exchange.h"

#include <cstdio>
#include <string>

#include "Protocol.h"
#include "Trace.h"
#include "Turnaround.h"

bool exchange_quiet = false;
int exchange_retries = 0;

namespace {

// The board may send up to 255 bytes of other data before a reply; a 256th byte still counts.
constexpr int sync_hunt_limit = 256;

// After a failed attempt, what the board still sends of it comes within this much quiet.
constexpr int retry_quiet_ms = 50;

// How a receive ended. Only a failure on the line is worth another attempt: an error reply is
// the board's considered answer.
enum RecvOutcome {
    RECV_OK,
    RECV_LINE_FAILURE,
    RECV_ERROR_REPLY,
};

// While an attempt may still be repeated, its failure lines are kept here as the retry's reason
// instead of going to stdout, which then reads as if the line had been clean.
std::string* held_reason = nullptr;

void Say(const char* line)
{
    if (exchange_quiet)
        return;
    if (!held_reason) {
        puts(line);
        return;
    }
    if (!held_reason->empty())
        held_reason->append("; ");
    held_reason->append(line);
}

// Reads up to `size` bytes, counting them in *got; false (with the failure line) when the line
// fails or goes quiet first.
bool ReadFully(Port port, char* data, int size, int* got)
{
    *got = 0;
    while (*got < size) {
        uint32_t bytes = 0;
        // A read that completes with nothing is how an expired time-out or a closed line shows.
        bool read = PortRead(port, data + *got, static_cast<uint32_t>(size - *got), &bytes);
        if (!read || bytes == 0) {
            if (trace_sink)
                TraceNote(read ? "RX nothing within " + std::to_string(port.timeout_ms) + " ms"
                               : std::string("RX read failed: the line is gone"));
            Say("Failed to read from port");
            return false;
        }
        *got += static_cast<int>(bytes);
    }
    return true;
}

void TraceNoise(const uint8_t* noise, int count)
{
    if (count > 0)
        TraceBytes("RX noise skipped by the sync hunt", noise, static_cast<size_t>(count));
}

bool CatchSync(Port port, Packet* packet)
{
    uint8_t noise[sync_hunt_limit];
    int skipped = 0;
    for (int i = 0; i < sync_hunt_limit; ++i) {
        int got = 0;
        if (!ReadFully(port, reinterpret_cast<char*>(&packet->sync), 1, &got)) {
            TraceNoise(noise, skipped);
            Say("Failed to read sync");
            return false;
        }
        if (packet->sync == hproto_sync) {
            TraceNoise(noise, skipped);
            return true;
        }
        noise[skipped++] = packet->sync;
    }
    TraceNoise(noise, skipped);
    return false;
}

RecvOutcome ReceiveFrame(Port port, Packet* packet)
{
    const uint8_t* frame = reinterpret_cast<const uint8_t*>(packet);
    if (!CatchSync(port, packet)) {
        Say("Out of sync");
        return RECV_LINE_FAILURE;
    }
    int got = 0;
    if (!ReadFully(port, reinterpret_cast<char*>(&packet->size), 3, &got)) {
        TraceBytes("RX frame cut short", frame, static_cast<size_t>(1 + got));
        Say("Failed to read header");
        return RECV_LINE_FAILURE;
    }
    // The size byte comes from the line: outside 7..254 the frame would not fit the record, or
    // would leave no room for its own checksum.
    if (packet->size < proto_base_size || packet->size > proto_max_size) {
        TraceBytes("RX header with a bad size", frame, 4);
        char line[32];
        snprintf(line, sizeof(line), "Bad packet size %d", packet->size);
        Say(line);
        return RECV_LINE_FAILURE;
    }
    if (!ReadFully(port, reinterpret_cast<char*>(&packet->cmd), packet->size - 4, &got)) {
        TraceBytes("RX frame cut short", frame, static_cast<size_t>(4 + got));
        Say("No data in packet");
        return RECV_LINE_FAILURE;
    }
    TraceFrame(TRACE_RECEIVED, packet);
    uint16_t stored = GetCRC(packet);
    uint16_t computed = CalcCRC(packet);
    if (stored != computed) {
        char line[48];
        snprintf(line, sizeof(line), "Bad CRC: %X  != %X", stored, computed);
        Say(line);
        return RECV_LINE_FAILURE;
    }
    TurnaroundReplied(port, packet->size);
    if (packet->cmd == 0) {
        if (!exchange_quiet)
            printf("Error in response: %s\n",
                   GetErrorByResultCode(static_cast<HProtoResult>(packet->cmd_data[0])));
        return RECV_ERROR_REPLY;
    }
    return RECV_OK;
}

// A request cut short on the line leaves the board waiting for the rest of a frame, which would
// swallow the repeated request: zero bytes complete it (its checksum then fails) and cannot start
// a frame of their own. Then whatever the board still sends of the failed attempt is dropped.
void ClearLine(Port port)
{
    static const uint8_t fence[proto_max_size] = {};
    uint32_t put = 0;
    PortWrite(port, fence, sizeof(fence), &put);
    TraceNote("TX fence of " + std::to_string(put) + " zero bytes");
    PortDrain(port, retry_quiet_ms);
}

}  // namespace

bool SendPacket(Port port, Packet* packet)
{
    SealFrame(packet);
    TraceFrame(TRACE_SENT, packet);
    uint32_t bytes = 0;
    if (PortWrite(port, packet, packet->size, &bytes) && bytes == packet->size) {
        TurnaroundSent(packet->size);
        return true;
    }
    if (trace_sink)
        TraceNote("TX write failed after " + std::to_string(bytes) + " bytes");
    if (!exchange_quiet)
        printf("Failed to write to port %d\n", static_cast<int>(bytes));
    return false;
}

bool RecvData(Port port, char* data, int size)
{
    int got = 0;
    return ReadFully(port, data, size, &got);
}

bool RecvPacket(Port port, Packet* packet)
{
    return ReceiveFrame(port, packet) == RECV_OK;
}

bool ExchangePacket(Port port, Packet* packet)
{
    return SendPacket(port, packet) && RecvPacket(port, packet);
}

bool ExchangeRepeatable(Port port, Packet* packet)
{
    const Packet request = *packet;  // the reply is read into the same record
    // A request that acts again when it arrives again (a vend, a move) is sent once, whatever
    // the caller asked.
    const RequestRow* row = FindRequest(request.cmd);
    const int retries = row && row->repeatable ? exchange_retries : 0;
    for (int attempt = 0;; ++attempt) {
        const bool last = attempt >= retries;
        std::string reason;
        held_reason = last ? nullptr : &reason;
        // A write that fails is a port that is gone, not a line that garbled a frame.
        if (!SendPacket(port, packet)) {
            held_reason = nullptr;
            return false;
        }
        const RecvOutcome outcome = ReceiveFrame(port, packet);
        held_reason = nullptr;
        if (outcome != RECV_LINE_FAILURE || last)
            return outcome == RECV_OK;
        char line[96];
        // A request without a row is never repeated, so `row` is set.
        snprintf(line, sizeof(line), "retry %d of %d (%s): ", attempt + 1, retries,
                 row->trace_name);
        fprintf(stderr, "gantrix: %s%s\n", line, reason.c_str());
        TraceNote(line + reason);
        ClearLine(port);
        *packet = request;
    }
}
