// The one way out of a command's run: its result text, the operator's notes, the trace and the
// log's run record. The run owns one and hands it to whatever prints; a new destination (a
// session's, a port's tagged lines) is a new Output, not a change to the code that prints.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

// What a trace entry records, for a reader that folds the debug trace's empty polls into a count.
enum TraceKind {
    TRACE_OTHER,
    TRACE_POLL,        // a debug poll sent
    TRACE_EMPTY_TEXT,  // a good debug reply without text
};

class Output {
public:
    virtual ~Output() = default;
    // Result text, as the tool's contract has it on stdout: whole lines, the upload's '\r'
    // progress, the board's debug text as it comes.
    virtual void Write(const std::string& text) = 0;
    // Makes the result text written so far visible now: before a note that must follow it, and
    // before the run waits on the line.
    virtual void Show() = 0;
    // One line for the operator beside the result (stderr), without its line end.
    virtual void Note(const std::string& line) = 0;
    // Whether trace entries go anywhere (--trace, --log); a caller may skip making them.
    virtual bool Traces() const = 0;
    // One trace entry: one or more lines without a final line end.
    virtual void Trace(const std::string& entry, TraceKind kind) = 0;
    // A line about the run itself (what an upgrade sends), for the log's run record; nothing
    // without a log.
    virtual void Record(const std::string& line) = 0;

    // A whole result line.
    void Line(const std::string& line) { Write(line + "\n"); }
    // Result text as printf makes it.
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    void
    Print(const char* format, ...)
    {
        va_list args;
        va_start(args, format);
        char text[256];
        va_list again;
        va_copy(again, args);
        const int size = std::vsnprintf(text, sizeof(text), format, args);
        if (size >= static_cast<int>(sizeof(text))) {
            std::string long_text(static_cast<size_t>(size) + 1, '\0');
            std::vsnprintf(&long_text[0], long_text.size(), format, again);
            long_text.resize(static_cast<size_t>(size));
            Write(long_text);
        } else if (size > 0) {
            Write(std::string(text, static_cast<size_t>(size)));
        }
        va_end(again);
        va_end(args);
    }
};

// The console without trace or log: result text on stdout, notes on stderr. What a link made
// without a run's output prints through, as a run without switches does.
class ConsoleLines : public Output {
public:
    void Write(const std::string& text) override
    {
        std::fwrite(text.data(), 1, text.size(), stdout);
    }
    void Show() override { std::fflush(stdout); }
    void Note(const std::string& line) override { std::fprintf(stderr, "%s\n", line.c_str()); }
    bool Traces() const override { return false; }
    void Trace(const std::string&, TraceKind) override {}
    void Record(const std::string&) override {}
};

// The one ConsoleLines of the process; it holds nothing of a run.
inline Output& PlainOutput()
{
    static ConsoleLines plain;
    return plain;
}
