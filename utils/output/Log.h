// The log file (--log): everything the run writes to stdout, with the trace entries among it,
// each line stamped with the wall-clock time and the run's process id.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "Output.h"

// Opens `path` for appending and writes a first line naming the run; false (errno set)
// when the file cannot be opened. Every line carries `run_id`, so that runs appending to one file
// can be told apart.
bool LogOpen(const std::string& path, const std::string& run, int run_id);
// Everything the run writes to stdout, in order, with the trace entries in it (LogStream); passes
// the console's bytes on to ConsoleWrite and the lines, stamped with the wall-clock time, to the
// file. A call with no bytes means the run's output has ended.
void LogStdout(const char* bytes, size_t count);
// What one run puts into stdout's stream for the log: trace entries and lines about the run,
// kept in their place among the output lines (LogStdout takes them out again). A debug poll
// answered without text is not logged but counted, and the count logged at most once a second:
// the debug trace polls thousands of times a second. Each run's output has its own, so that
// runs at once never count each other's polls.
class LogStream {
public:
    void Trace(const std::string& entry, TraceKind kind);
    // A line about the run itself (what an upgrade sends), marked `run` in the log like the first.
    void Run(const std::string& line);
    // Logs the polls held back and counted so far; before the end of the output.
    void End();

private:
    void PutPollCount(bool now);
    void PutHeldPoll();

    std::string poll_;  // a poll's entry, held until its reply tells whether it had text
    long empty_ = 0;    // polls answered without text since the last count
    std::chrono::steady_clock::time_point counted_ = std::chrono::steady_clock::now();
};
// A line written straight to the log, for output that does not go through stdout (the lines of
// many ports run at once, each already tagged); `kind` is "out", "trace" or "run". Safe to call
// from several threads.
void LogLine(const char* kind, const std::string& line);
// False, with the reason in *error, when a line could not be written to the file.
bool LogClose(std::string* error);
