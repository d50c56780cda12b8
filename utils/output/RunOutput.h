// The output of a run started from the command line: result text on stdout (or held back for
// --json's object), notes on stderr, the trace on stderr (--trace) and into the log (--log).
#pragma once

#include <string>

#include "Log.h"
#include "Output.h"

class RunOutput final : public Output {
public:
    // `trace`: entries on stderr; `log`: entries and the run record into the open log (Log.h);
    // `hold`: the result text kept for Held() instead of printed.
    RunOutput(bool trace, bool log, bool hold) : trace_(trace), log_(log), hold_(hold) {}

    void Write(const std::string& text) override;
    void Show() override;
    void Note(const std::string& line) override;
    bool Traces() const override { return trace_ || log_; }
    void Trace(const std::string& entry, TraceKind kind) override;
    void Record(const std::string& line) override;

    // The end of the run's output: what the log holds back goes in.
    void EndLog()
    {
        if (log_)
            log_stream_.End();
    }
    // The result text held back so far.
    const std::string& Held() const { return held_; }

private:
    const bool trace_;
    const bool log_;
    const bool hold_;
    std::string held_;
    LogStream log_stream_;
};
