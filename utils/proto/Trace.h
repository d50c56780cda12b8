// A decoded record of the traffic on the line (--trace), and the log file that keeps it with the
// run's output for a report (--log).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Packet.h"

// What an entry records, for a reader that folds the debug trace's empty polls into a count.
enum TraceKind {
    TRACE_OTHER,
    TRACE_POLL,        // a debug poll sent
    TRACE_EMPTY_TEXT,  // a good debug reply without text
};

// Where trace entries go: the run's choice (--trace, --log), carried to the exchange by the
// run's link (proto/Exchange.h); null traces nothing. An entry is one or more lines without a
// final line end.
using TraceSink = void (*)(const std::string& entry, TraceKind kind);

enum TraceDirection {
    TRACE_SENT,
    TRACE_RECEIVED,
};

// A whole frame: "<ms since start> ms TX ping size 7 checksum good", then its DumpHex.
void TraceFrame(TraceSink sink, TraceDirection direction, const Packet* packet);
// Bytes that are not a whole frame (noise the sync hunt skipped, a header with a bad size, a
// frame the line stopped in): the note, the count, then the bytes in the same dump layout.
void TraceBytes(TraceSink sink, const char* note, const uint8_t* bytes, size_t count);
// An event without bytes: a read that timed out, a retry.
void TraceNote(TraceSink sink, const std::string& note);

// --log. Opens `path` for appending and writes a first line naming the run; false (errno set)
// when the file cannot be opened. Every line carries `run_id`, so that runs appending to one file
// can be told apart.
bool LogOpen(const std::string& path, const std::string& run, int run_id);
// Everything the run writes to stdout, in order, with the trace entries in it (LogTrace); passes
// the console's bytes on to ConsoleWrite and the lines, stamped with the wall-clock time, to the
// file. A call with no bytes means the run's output has ended.
void LogStdout(const char* bytes, size_t count);
// A trace entry for the log, put into stdout's stream so that it keeps its place among the
// output lines; LogStdout takes it out again. A debug poll answered without text is not logged
// but counted, and the count logged at most once a second: the debug trace polls thousands of
// times a second.
void LogTrace(const std::string& entry, TraceKind kind);
// A line about the run itself (what an upgrade sends), marked `run` in the log like the first.
void LogRun(const std::string& line);
// Logs the polls held back and counted so far; before the end of the output.
void LogTraceEnd();
// False, with the reason in *error, when a line could not be written to the file.
bool LogClose(std::string* error);
