// A decoded record of the traffic on the line (--trace, --log), made into entries for the run's
// output (output/Output.h), which sends them where the switches ask.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Packet.h"
#include "output/Output.h"

// Each entry goes to `out` only when it traces; each starts with the time since the run began.
enum TraceDirection {
    TRACE_SENT,
    TRACE_RECEIVED,
};

// A whole frame: "<ms since start> ms TX ping size 7 checksum good", then its DumpHex.
void TraceFrame(Output& out, TraceDirection direction, const Packet* packet);
// Bytes that are not a whole frame (noise the sync hunt skipped, a header with a bad size, a
// frame the line stopped in): the note, the count, then the bytes in the same dump layout.
void TraceBytes(Output& out, const char* note, const uint8_t* bytes, size_t count);
// An event without bytes: a read that timed out, a retry.
void TraceNote(Output& out, const std::string& note);
// "<ms since start> ms ": the time an entry starts with.
std::string SinceStart();
