// The exchange layer: framing on send, sync hunt, header and checksum on receive.
#include "Exchange.h"

#include <cstdio>
#include <string>

#include "Protocol.h"
#include "Trace.h"
#include "Turnaround.h"

namespace {

// The board may send up to 255 bytes of other data before a reply; a 256th byte still counts.
constexpr int sync_hunt_limit = 256;

// How a receive ended. Only a failure on the line is worth another attempt: an error reply is
// the board's considered answer, and a write that fails is a port that is gone.
enum RecvOutcome {
    RECV_OK,
    RECV_LINE_FAILURE,
    RECV_SILENT,  // a line failure before a single byte arrived: the line was quiet
    RECV_ERROR_REPLY,
    RECV_SEND_FAILED,
};

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
        const SlowReplies slow = TurnaroundReplied(&link.turnarounds, packet->size);
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

RecvOutcome ReceiveFrame(Link& link, Packet* packet)
{
    FrameRead read;
    ReadFrame(link.port, packet, &read);
    return TellFrame(link, packet, read);
}

// Seals and writes a request; counts a ping as owed and starts timing the exchange.
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

// The board answers requests one at a time and in order, and it may answer late: held up behind
// line noise, or writing slowly, beyond the time-out that made the tool give up on the reply.
// The protocol has no sequence number, so such a reply would pass for the answer to the next
// request, and from then on every reply for the request before it: a block the board never got
// would pass. No stretch of quiet proves that nothing more is on its way, but the order does: the
// fence sends a request whose reply is recognisable, a ping (reply cmd 1, size 7), and drops
// every frame before that reply, since whatever answers an earlier request comes before it. Zero
// bytes go first: a request cut short on the line leaves the board waiting for the rest of a
// frame, which would swallow the ping; zeros complete it (its checksum then fails) and cannot
// start a frame of their own.
//
// The doubt left is a ping reply that answers an earlier ping: the failed request itself, or an
// earlier fence whose reply came late. The tool counts the pings it sent and has not seen answered
// (link.pings_owed): a reply that answers the last one owed is the fence's own. When one is still owed
// after a ping reply (a reply lost to noise, or not yet here), the fence holds only once the line
// has then stayed silent for a whole time-out: the board answers what it owes back to back, and
// a gap of a time-out is what the tool takes for a lost reply everywhere else. A fence reply later
// still cannot pass for another answer either: it carries the ping's code, which the late-reply
// rule refuses as the answer to any request but a ping, and so starts another fence.
RecvOutcome FenceOnce(Link& link)
{
    static const uint8_t zeros[proto_max_size] = {};
    uint32_t put = 0;
    link.port.Write(zeros, sizeof(zeros), &put);
    TraceNote(*link.out, "TX fence: " + std::to_string(put) + " zero bytes, then a ping");
    Packet packet;
    packet.size = request_plain_size;
    packet.cmd = HPROTO_CMD_PING;
    if (!Send(link, &packet))
        return RECV_SEND_FAILED;
    // The board owes a reply for each request since the line was last in step: the failed one
    // and the fences. A line that keeps sending frames beyond these is not coming back in step.
    const int frame_limit = 16 + link.pings_owed;
    std::string* const outer = link.held;
    std::string lines, told;  // the lines of this frame, of the last one that came
    bool answered = false;    // a ping reply came, and nothing after it
    link.fencing = true;
    RecvOutcome result = RECV_LINE_FAILURE;
    for (int frame = 0; frame < frame_limit; ++frame) {
        lines.clear();
        link.held = &lines;
        const RecvOutcome outcome = ReceiveFrame(link, &packet);
        if (outcome == RECV_SILENT) {
            result = answered ? RECV_OK : RECV_SILENT;
            if (answered)
                link.pings_owed =
                    0;  // nothing came within the time-out: what is still owed is lost
            break;
        }
        told = lines;
        answered = outcome == RECV_OK && IsPingReply(packet);
        if (answered && link.pings_owed == 0) {
            result = RECV_OK;
            break;
        }
        if (frame + 1 == frame_limit)
            told = "Out of step: " + std::to_string(frame_limit) + " frames, no ping reply\n";
    }
    link.fencing = false;
    link.held = outer;
    TraceNote(*link.out,
              result == RECV_OK ? "RX fence reply: the line is in step" : "RX no fence reply");
    // What went wrong with the last frame that came says more than the silence after it.
    if (result != RECV_OK)
        SayHeld(link, told.empty() ? lines : told);
    return result;
}

}  // namespace


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

namespace {

// What a retry prints on stderr: the held lines, joined.
std::string Reason(const std::string& held)
{
    std::string reason = held;
    for (size_t at; (at = reason.find('\n')) != std::string::npos;)
        reason.replace(at, 1, at + 1 == reason.size() ? "" : "; ");
    return reason;
}

// Attempts `step` once and then, while it fails on the line and retries are left, fences and
// attempts it again; each repeat has its reason on stderr under `name`. With
// `stop_at_unanswered_fence`, a fence that gets no reply to its ping ends it, its lines unsaid.
template <typename Step>
ExchangeEnd Repeat(Link& link, const char* name, int retries, bool stop_at_unanswered_fence,
                   Step step)
{
    for (int attempt = 0;; ++attempt) {
        const bool last = attempt >= retries;
        std::string held;
        RecvOutcome outcome = RECV_OK;
        if (attempt > 0) {
            link.held = last && !stop_at_unanswered_fence ? nullptr : &held;
            outcome = FenceOnce(link);
            if (stop_at_unanswered_fence && outcome == RECV_SILENT) {
                link.held = nullptr;
                TraceNote(*link.out, "no reply to the fence's ping: no repeat");
                return EXCHANGE_FENCE_UNANSWERED;
            }
            if (stop_at_unanswered_fence && outcome != RECV_OK && last) {
                link.held = nullptr;
                SayHeld(link, held);
            }
        }
        const bool fenced = outcome == RECV_OK;
        link.held = last ? nullptr : &held;
        if (fenced)
            outcome = step();
        link.held = nullptr;
        if ((outcome != RECV_LINE_FAILURE && outcome != RECV_SILENT) || last)
            return outcome == RECV_OK       ? EXCHANGE_DONE
                   : outcome == RECV_SILENT ? EXCHANGE_UNANSWERED
                                            : EXCHANGE_FAILED;
        char line[96];
        snprintf(line, sizeof(line), "retry %d of %d (%s): %s", attempt + 1, retries, name,
                 fenced ? "" : "no reply to the fence: ");
        link.out->Note(std::string("gantrix: ") + line + Reason(held));
        TraceNote(*link.out, line + Reason(held));
    }
}

ExchangeEnd ExchangeJudged(Link& link, Packet* packet, uint8_t late_cmd,
                           bool stop_at_unanswered_fence)
{
    const Packet request = *packet;  // the reply is read into the same record
    // A request that acts again when it arrives again (a vend, a move) is sent once, whatever
    // the caller asked.
    const RequestRow* row = FindRequest(request.cmd);
    const int retries = row && row->repeatable ? link.retries : 0;
    const char* name = row ? row->trace_name : "request";
    bool late_read = late_cmd == 0;
    return Repeat(link, name, retries, stop_at_unanswered_fence, [&] {
        *packet = request;
        if (!Send(link, packet))
            return RECV_SEND_FAILED;
        RecvOutcome outcome = ReceiveFrame(link, packet);
        if (outcome == RECV_OK && !late_read && packet->cmd == late_cmd) {
            late_read = true;
            TraceNote(*link.out,
                      std::string("RX late reply read past: cmd ") + std::to_string(late_cmd));
            outcome = ReceiveFrame(link, packet);
        }
        // While the request can still be repeated, a reply with another request's code is a late
        // one, and what else is late is still on its way: fence and repeat. The last attempt
        // hands it to the command, whose own line names it.
        if (outcome == RECV_OK && link.held && AnswersAnotherRequest(packet->cmd, request.cmd)) {
            char line[48];
            snprintf(line, sizeof(line), "Wrong reply to %s: cmd %d", name, packet->cmd);
            Say(link, line);
            outcome = RECV_LINE_FAILURE;
        }
        return outcome;
    });
}

}  // namespace

bool ExchangeRepeatable(Link& link, Packet* packet)
{
    return ExchangeJudged(link, packet, 0, false) == EXCHANGE_DONE;
}

ExchangeEnd ExchangeTold(Link& link, Packet* packet, uint8_t late_cmd)
{
    return ExchangeJudged(link, packet, late_cmd, true);
}

bool ExchangeFence(Link& link)
{
    // The first attempt is a fence too.
    int attempt = 0;
    return Repeat(link, "fence", link.retries, false,
                  [&] { return attempt++ == 0 ? FenceOnce(link) : RECV_OK; }) == EXCHANGE_DONE;
}
