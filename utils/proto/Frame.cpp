// The exchange's frames: a request sealed and written, a reply read whole and then told once.
#include <cstdio>
#include <string>

#include "ExchangeParts.h"
#include "Protocol.h"
#include "Trace.h"
#include "Turnaround.h"

using namespace exchange_parts;

namespace {

// The board may send up to 255 bytes of other data before a reply; a 256th byte still counts.
constexpr int sync_hunt_limit = 256;

// What reading one frame came to, before anyone is told: the frame is read whole (or to the
// point where the line failed it) first, and then reported once (TellFrame), so that the trace,
// the failure lines and the turnaround each see it one time, in the order it happened.
enum FrameStage {
    FRAME_WHOLE,        // every byte the size asked for; the checksum not yet checked
    FRAME_NO_SYNC,      // sync_hunt_limit bytes and no sync byte among them
    FRAME_LOST_SYNC,    // the line failed or went quiet while hunting for the sync byte
    FRAME_LOST_HEADER,  // ... after the sync byte, within the header
    FRAME_BAD_SIZE,     // a header whose size no frame can have
    FRAME_LOST_BODY,    // ... within the command, data and checksum
};

struct FrameRead {
    FrameStage stage = FRAME_WHOLE;
    bool line_gone = false;  // the read that ended it failed, rather than timed out
    int got = 0;             // bytes read of the part that was cut short
    int skipped = 0;         // noise before the sync byte
    uint8_t noise[sync_hunt_limit];
};

// Reads up to `size` bytes, counting them in *got; false when the line fails or goes quiet
// first, with *gone telling which.
bool ReadFully(Port& port, char* data, int size, int* got, bool* gone)
{
    *got = 0;
    while (*got < size) {
        uint32_t bytes = 0;
        // A read that completes with nothing is how an expired time-out or a closed line shows.
        const bool read = port.Read(data + *got, static_cast<uint32_t>(size - *got), &bytes);
        if (!read || bytes == 0) {
            *gone = !read;
            return false;
        }
        *got += static_cast<int>(bytes);
    }
    return true;
}

void ReadFrame(Port& port, Packet* packet, FrameRead* read)
{
    bool synced = false;
    while (!synced && read->skipped < sync_hunt_limit) {
        if (!ReadFully(port, reinterpret_cast<char*>(&packet->sync), 1, &read->got,
                       &read->line_gone)) {
            read->stage = FRAME_LOST_SYNC;
            return;
        }
        synced = packet->sync == hproto_sync;
        if (!synced)
            read->noise[read->skipped++] = packet->sync;
    }
    if (!synced) {
        read->stage = FRAME_NO_SYNC;
        return;
    }
    if (!ReadFully(port, reinterpret_cast<char*>(&packet->size), 3, &read->got, &read->line_gone)) {
        read->stage = FRAME_LOST_HEADER;
        return;
    }
    // The size byte comes from the line: outside 7..254 the frame would not fit the record, or
    // would leave no room for its own checksum.
    if (packet->size < proto_base_size || packet->size > proto_max_size) {
        read->stage = FRAME_BAD_SIZE;
        return;
    }
    if (!ReadFully(port, reinterpret_cast<char*>(&packet->cmd), packet->size - 4, &read->got,
                   &read->line_gone))
        read->stage = FRAME_LOST_BODY;
}

// The trace's note and the line for a read that the line failed or left unanswered.
void TellReadFailed(Link& link, bool gone)
{
    TraceNote(*link.out,
              gone ? std::string("RX read failed: the line is gone")
                   : "RX nothing within " + std::to_string(link.port.TimeoutMs()) + " ms");
    Say(link, "Failed to read from port");
}

// Tells the observers (trace, failure lines, turnaround, fence count) about a frame read, once.
RecvOutcome TellFrame(Link& link, const Packet* packet, const FrameRead& read)
{
    const uint8_t* frame = reinterpret_cast<const uint8_t*>(packet);
    if (read.stage == FRAME_LOST_SYNC)
        TellReadFailed(link, read.line_gone);
    if (read.skipped > 0)
        TraceBytes(*link.out, "RX noise skipped by the sync hunt", read.noise,
                   static_cast<size_t>(read.skipped));
    switch (read.stage) {
    case FRAME_LOST_SYNC:
        Say(link, "Failed to read sync");
        Say(link, "Out of sync");
        return read.skipped == 0 ? RECV_SILENT : RECV_LINE_FAILURE;
    case FRAME_NO_SYNC:
        Say(link, "Out of sync");
        return RECV_LINE_FAILURE;
    case FRAME_LOST_HEADER:
        TellReadFailed(link, read.line_gone);
        TraceBytes(*link.out, "RX frame cut short", frame, static_cast<size_t>(1 + read.got));
        Say(link, "Failed to read header");
        return RECV_LINE_FAILURE;
    case FRAME_BAD_SIZE: {
        TraceBytes(*link.out, "RX header with a bad size", frame, 4);
        Say(link, ("Bad packet size " + std::to_string(packet->size)).c_str());
        return RECV_LINE_FAILURE;
    }
    case FRAME_LOST_BODY:
        TellReadFailed(link, read.line_gone);
        TraceBytes(*link.out, "RX frame cut short", frame, static_cast<size_t>(4 + read.got));
        Say(link, "No data in packet");
        return RECV_LINE_FAILURE;
    case FRAME_WHOLE:
        break;
    }
    TraceFrame(*link.out, TRACE_RECEIVED, packet);
    const uint16_t stored = GetCRC(packet);
    const uint16_t computed = CalcCRC(packet);
    if (stored != computed) {
        char line[48];
        snprintf(line, sizeof(line), "Bad CRC: %X  != %X", stored, computed);
        Say(link, line);
        return RECV_LINE_FAILURE;
    }
    if (IsPingReply(*packet) && link.pings_owed > 0)
        --link.pings_owed;
    // The port listing's probe pings ports of every kind, one each: nothing to judge.
    if (!link.silent) {
        const double threshold_ms =
            link.port.IsNetwork() ? net_late_threshold_ms : late_threshold_ms;
        const SlowReplies slow = TurnaroundReplied(&link.turnarounds, packet->size, threshold_ms);
        if (slow.due) {
            const std::string hint = slow.cost + "; " + link.port.SlowAdapterAdvice();
            // After the lines printed so far; the upload's progress line ends in '\r', so on a
            // console the hint takes its place and the next figure comes on the line below.
            link.out->Show();
            link.out->Note("gantrix: " + hint);
            TraceNote(*link.out, hint);
        }
    }
    if (packet->cmd == 0) {
        if (!link.silent && !link.fencing)
            link.out->Print("Error in response: %s\n",
                            GetErrorByResultCode(static_cast<HProtoResult>(packet->cmd_data[0])));
        return RECV_ERROR_REPLY;
    }
    return RECV_OK;
}

}  // namespace

namespace exchange_parts {

bool IsPingReply(const Packet& packet)
{
    return packet.cmd == HPROTO_CMD_PING && packet.size == proto_base_size;
}

// The exchange's one output path: stdout, the retry's held reason, or nowhere for the probe.
void Say(Link& link, const char* line)
{
    if (link.silent)
        return;
    if (!link.held) {
        link.out->Line(line);
        return;
    }
    link.held->append(line);
    link.held->push_back('\n');
}

// Says again, line by line, what was held.
void SayHeld(Link& link, const std::string& held)
{
    for (size_t at = 0; at < held.size();) {
        size_t end = held.find('\n', at);
        Say(link, held.substr(at, end - at).c_str());
        at = end + 1;
    }
}

RecvOutcome ReceiveFrame(Link& link, Packet* packet)
{
    FrameRead read;
    ReadFrame(link.port, packet, &read);
    return TellFrame(link, packet, read);
}

bool Send(Link& link, Packet* packet)
{
    SealFrame(packet);
    TraceFrame(*link.out, TRACE_SENT, packet);
    uint32_t bytes = 0;
    if (link.port.Write(packet, packet->size, &bytes) && bytes == packet->size) {
        if (packet->cmd == HPROTO_CMD_PING && packet->size == proto_base_size)
            ++link.pings_owed;
        TurnaroundSent(&link.turnarounds, packet->size);
        return true;
    }
    TraceNote(*link.out, "TX write failed after " + std::to_string(bytes) + " bytes");
    if (!link.silent)
        link.out->Print("Failed to write to port %d\n", static_cast<int>(bytes));
    return false;
}

}  // namespace exchange_parts

bool SendPacket(Link& link, Packet* packet)
{
    return Send(link, packet);
}

bool RecvData(Link& link, char* data, int size)
{
    int got = 0;
    bool gone = false;
    if (ReadFully(link.port, data, size, &got, &gone))
        return true;
    TellReadFailed(link, gone);
    return false;
}

bool RecvPacket(Link& link, Packet* packet)
{
    return ReceiveFrame(link, packet) == RECV_OK;
}

bool ExchangePacket(Link& link, Packet* packet)
{
    return Send(link, packet) && ReceiveFrame(link, packet) == RECV_OK;
}
