// The log file (--log): the run's output and its trace, each line stamped, for the engineers.
#include "Log.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "console/Console.h"
#include "proto/Trace.h"

namespace {

// The log's state. After LogOpen only the thread that runs LogStdout touches it.
struct Log {
    FILE* file = nullptr;
    int run_id = 0;
    int write_error = 0;     // errno of the first line that could not be written
    std::string line;        // the output line being assembled
    bool overwrite = false;  // a '\r' came: the next byte starts the line again, as on a console
    bool in_entry = false;   // between the two zero bytes around a trace entry
    std::string entry;
};

Log log_state;
// Held while a line goes into the file: the ports of one run write from threads of their own.
std::mutex file_lock;

// Starts an entry that LogRun put into the stream.
const char run_mark[] = "\x01";

// UTC, so that reports from sites in different time zones line up.
std::string WallClock()
{
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    char text[40] = "";
    if (const std::tm* utc = std::gmtime(&seconds)) {
        size_t n = std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", utc);
        snprintf(text + n, sizeof(text) - n, ".%03dZ", static_cast<int>(ms.count()));
    }
    return text;
}

// One stamped line per line of `text`; `kind` tells output from trace.
void LogLines(const char* kind, const std::string& text)
{
    // gmtime's result is shared too.
    std::lock_guard<std::mutex> hold(file_lock);
    const std::string stamp = WallClock();
    size_t start = 0;
    for (;;) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        // The spaces that pad the progress line over its longer predecessors mean nothing here.
        line.erase(line.find_last_not_of(" \r") + 1);
        if (fprintf(log_state.file, "%s %d %-5s %s\n", stamp.c_str(), log_state.run_id, kind,
                    line.c_str()) < 0 &&
            !log_state.write_error)
            log_state.write_error = errno;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    // A run ended by a signal keeps every line written so far.
    if (fflush(log_state.file) != 0 && !log_state.write_error)
        log_state.write_error = errno;
}

void EndOutputLine()
{
    LogLines("out", log_state.line);
    log_state.line.clear();
    log_state.overwrite = false;
}

}  // namespace

bool LogOpen(const std::string& path, const std::string& run, int run_id)
{
    // Text mode: a report opened in Notepad shows its lines.
    log_state = Log{};
    log_state.run_id = run_id;
    log_state.file = fopen(path.c_str(), "a");
    if (!log_state.file)
        return false;
    LogLines("run", run);
    return true;
}

void LogStdout(const char* bytes, size_t count)
{
    if (count == 0) {
        if (!log_state.line.empty())
            EndOutputLine();
        return;
    }
    size_t shown = 0;  // start of the bytes not yet passed to the console
    for (size_t i = 0; i < count; ++i) {
        const char c = bytes[i];
        if (log_state.in_entry) {
            if (c == '\0') {
                log_state.in_entry = false;
                if (log_state.entry.compare(0, 1, run_mark) == 0)
                    LogLines("run", log_state.entry.substr(1));
                else
                    LogLines("trace", log_state.entry);
                log_state.entry.clear();
                shown = i + 1;
            } else {
                log_state.entry.push_back(c);
            }
            continue;
        }
        if (c == '\0') {
            // Nothing the run prints holds a zero byte (board text ends at its first one).
            ConsoleWrite(bytes + shown, i - shown);
            log_state.in_entry = true;
            continue;
        }
        if (c == '\n') {
            EndOutputLine();
        } else if (c == '\r') {
            log_state.overwrite = true;
        } else {
            if (log_state.overwrite)
                log_state.line.clear();
            log_state.overwrite = false;
            log_state.line.push_back(c);
        }
    }
    if (!log_state.in_entry)
        ConsoleWrite(bytes + shown, count - shown);
}

namespace {

void PutEntry(const std::string& entry)
{
    fputc('\0', stdout);
    fputs(entry.c_str(), stdout);
    fputc('\0', stdout);
    fflush(stdout);
}

}  // namespace

// The count of empty polls, once a second has passed since the last one, or `now`.
void LogStream::PutPollCount(bool now)
{
    const auto time = std::chrono::steady_clock::now();
    if (empty_ == 0 || (!now && time - counted_ < std::chrono::seconds(1)))
        return;
    PutEntry(SinceStart() + std::to_string(empty_) +
             " debug polls answered without text since the last count");
    empty_ = 0;
    counted_ = time;
}

// A held poll whose reply had text, or was no good reply, is logged as it was.
void LogStream::PutHeldPoll()
{
    if (poll_.empty())
        return;
    PutEntry(poll_);
    poll_.clear();
}

void LogStream::Trace(const std::string& entry, TraceKind kind)
{
    if (kind == TRACE_EMPTY_TEXT && !poll_.empty()) {
        poll_.clear();
        ++empty_;
        PutPollCount(false);
        return;
    }
    PutPollCount(false);
    PutHeldPoll();
    if (kind == TRACE_POLL)
        poll_ = entry;
    else
        PutEntry(entry);
}

void LogStream::Run(const std::string& line)
{
    Trace(run_mark + line, TRACE_OTHER);
}

void LogStream::End()
{
    PutPollCount(true);
    PutHeldPoll();
}

void LogLine(const char* kind, const std::string& line)
{
    LogLines(kind, line);
}

bool LogClose(std::string* error)
{
    if (!log_state.file)
        return true;
    if (fclose(log_state.file) != 0 && !log_state.write_error)
        log_state.write_error = errno;
    log_state.file = nullptr;
    if (!log_state.write_error)
        return true;
    *error = std::strerror(log_state.write_error);
    return false;
}
