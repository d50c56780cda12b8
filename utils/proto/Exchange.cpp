// The exchange's repeats: the fence that puts the line back in step, and the requests repeated
// under --retries.
#include "Exchange.h"

#include <cstdio>
#include <string>

#include "ExchangeParts.h"
#include "Protocol.h"
#include "Trace.h"

using namespace exchange_parts;

namespace {

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
