// The trace: what went over the line, decoded, for the technician and for the log.
#include "Trace.h"

#include <chrono>
#include <cstdio>

#include "Protocol.h"
#include "Scanner.h"

namespace {

// Trace times count from here, which is as good as the start of the run.
const std::chrono::steady_clock::time_point trace_start = std::chrono::steady_clock::now();

}  // namespace

std::string SinceStart()
{
    std::chrono::duration<double, std::milli> ms = std::chrono::steady_clock::now() - trace_start;
    char text[32];
    snprintf(text, sizeof(text), "%10.3f ms ", ms.count());
    return text;
}

void TraceFrame(Output& out, TraceDirection direction, const Packet* packet)
{
    if (!out.Traces())
        return;
    const char* name = CommandName(packet->cmd);
    char unknown[16];
    if (!name) {
        snprintf(unknown, sizeof(unknown), "cmd %d", packet->cmd);
        name = unknown;
    }
    // A received size byte was checked to be 7..254 before the frame was read.
    bool good = GetCRC(packet) == CalcCRC(packet);
    char head[96];
    snprintf(head, sizeof(head), "%s %s size %d checksum %s\n",
             direction == TRACE_SENT ? "TX" : "RX", name, packet->size, good ? "good" : "bad");
    TraceKind kind = TRACE_OTHER;
    if (packet->cmd == HPROTO_CMD_DEBUG && packet->size == proto_base_size && good)
        kind = direction == TRACE_SENT ? TRACE_POLL : TRACE_EMPTY_TEXT;
    out.Trace(SinceStart() + head + DumpHex(packet), kind);
}

void TraceBytes(Output& out, const char* note, const uint8_t* bytes, size_t count)
{
    if (!out.Traces())
        return;
    char head[96];
    snprintf(head, sizeof(head), "%s, %zu bytes\n", note, count);
    std::string dump;
    // A dump line holds 16 bytes; the noise before a reply may run to 255.
    for (size_t done = 0; done < count; done += proto_max_size) {
        size_t piece = count - done < proto_max_size ? count - done : proto_max_size;
        dump += (done ? "\n" : "") + DumpBytes(bytes + done, static_cast<uint32_t>(piece));
    }
    out.Trace(SinceStart() + head + dump, TRACE_OTHER);
}

void TraceNote(Output& out, const std::string& note)
{
    if (out.Traces())
        out.Trace(SinceStart() + note, TRACE_OTHER);
}
