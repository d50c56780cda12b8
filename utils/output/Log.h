// The log file (--log): everything the run writes to stdout, with the trace entries among it,
// each line stamped with the wall-clock time and the run's process id.
#pragma once

#include <cstddef>
#include <string>

#include "Output.h"

// Opens `path` for appending and writes a first line naming the run; false (errno set)
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
// A line written straight to the log, for output that does not go through stdout (the lines of
// many ports run at once, each already tagged); `kind` is "out", "trace" or "run". Safe to call
// from several threads.
void LogLine(const char* kind, const std::string& line);
// Logs the polls held back and counted so far; before the end of the output.
void LogTraceEnd();
// False, with the reason in *error, when a line could not be written to the file.
bool LogClose(std::string* error);
