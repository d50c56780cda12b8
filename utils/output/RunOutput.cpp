// The command line's run on the console and in the log.
#include "RunOutput.h"

#include <cstdio>

#include "Log.h"

void RunOutput::Write(const std::string& text)
{
    if (hold_)
        held_ += text;
    else
        std::fwrite(text.data(), 1, text.size(), stdout);
}

void RunOutput::Show()
{
    std::fflush(stdout);
}

void RunOutput::Note(const std::string& line)
{
    std::fprintf(stderr, "%s\n", line.c_str());
}

void RunOutput::Trace(const std::string& entry, TraceKind kind)
{
    if (trace_) {
        // The lines printed so far come first, as they happened.
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", entry.c_str());
    }
    if (log_)
        log_stream_.Trace(entry, kind);
}

void RunOutput::Record(const std::string& line)
{
    if (log_)
        log_stream_.Run(line);
}
