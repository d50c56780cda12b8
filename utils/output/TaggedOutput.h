// Lines of many runs at once, one per port: every line whole and tagged with its port, the trace
// and the log's lines too, and at a terminal the uploads' progress drawn as one line for all.
// A run on one port writes through its own TaggedOutput; they meet in one FleetSink.
#pragma once

#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Log.h"
#include "Output.h"
#include "console/Console.h"

// The widest the combined progress line gets: a console's 80 columns less the cursor's.
constexpr size_t progress_width = 79;

// Where every port's lines meet: whole lines only, one at a time, each tagged with its port. At a
// terminal the uploads' progress becomes one line for all the ports, drawn below the others.
class FleetSink {
public:
    // `tags`: each port's word, as its lines carry it; `trace`: trace entries on stderr too (--trace);
    // `log`: lines and entries into the open log; `terminal`: progress drawn as one shared line.
    FleetSink(std::vector<std::string> tags, bool trace, bool log, bool terminal)
        : tags_(std::move(tags)), percent_(tags_.size(), -1), trace_(trace), log_(log),
          terminal_(terminal)
    {
    }

    void Line(size_t port, const std::string& line)
    {
        std::lock_guard<std::mutex> hold(lock_);
        const std::string tagged = tags_[port] + ": " + line;
        ClearProgress();
        std::fprintf(stdout, "%s\n", tagged.c_str());
        // A console sees each port's line as it ends, not when the whole run does.
        ShowPrinted();
        if (log_)
            LogLine("out", tagged);
        DrawProgress();
    }
    void Note(size_t port, const std::string& line)
    {
        std::lock_guard<std::mutex> hold(lock_);
        ClearProgress();
        std::fprintf(stderr, "%s: %s\n", tags_[port].c_str(), line.c_str());
        DrawProgress();
    }
    // One or more lines; `kind` as the log has it.
    void Entry(size_t port, const std::string& entry, bool shown, const char* kind)
    {
        std::string tagged;
        size_t start = 0;
        for (;;) {
            const size_t end = entry.find('\n', start);
            tagged += tags_[port] + ": " + entry.substr(start, end - start);
            if (end == std::string::npos)
                break;
            tagged += '\n';
            start = end + 1;
        }
        std::lock_guard<std::mutex> hold(lock_);
        if (shown) {
            ClearProgress();
            std::fprintf(stderr, "%s\n", tagged.c_str());
            DrawProgress();
        }
        if (log_)
            LogLine(kind, tagged);
    }
    // The text of a progress line the port rewrote in place: its figure joins the combined line.
    void Progress(size_t port, const std::string& text)
    {
        if (!terminal_)
            return;
        const size_t digits = text.find_first_of("0123456789");
        if (digits == std::string::npos)
            return;
        std::lock_guard<std::mutex> hold(lock_);
        percent_[port] = std::atoi(text.c_str() + digits);
        ClearProgress();
        DrawProgress();
    }
    void Done(size_t port, int status)
    {
        std::lock_guard<std::mutex> hold(lock_);
        ++(status == exit_ok ? finished_ : failed_);
        percent_[port] = -1;
        ClearProgress();
        DrawProgress();
    }
    bool Traces() const { return trace_ || log_; }
    bool TracesShown() const { return trace_; }
    // Ends the combined line, before the table.
    void Close()
    {
        std::lock_guard<std::mutex> hold(lock_);
        ClearProgress();
        std::fflush(stdout);
    }

private:
    void ClearProgress()
    {
        if (!drawn_)
            return;
        std::fprintf(stdout, "\r%*s\r", static_cast<int>(drawn_width_), "");
        drawn_ = false;
    }
    // Every port still uploading with its share, then the counts so far. A line longer than the
    // console wraps, and '\r' then rewrites only its last row: past 79 columns the shares go
    // without their ports' words, in the set's order, and past that they are cut.
    void DrawProgress()
    {
        if (!terminal_)
            return;
        std::string named, bare;
        for (size_t k = 0; k < tags_.size(); ++k) {
            if (percent_[k] < 0)
                continue;
            named += " " + tags_[k] + " " + std::to_string(percent_[k]) + "%";
            bare += " " + std::to_string(percent_[k]) + "%";
        }
        if (named.empty())
            return;
        const std::string counts = "  (" + std::to_string(finished_) + " finished, " +
                                   std::to_string(failed_) + " failed)";
        const size_t room = progress_width - std::string("Uploading...").size() - counts.size();
        std::string shares = named.size() <= room ? named : bare;
        if (shares.size() > room)
            shares = shares.substr(0, room - 4) + " ...";
        const std::string line = "Uploading..." + shares + counts;
        std::fprintf(stdout, "%s\r", line.c_str());
        std::fflush(stdout);
        drawn_ = true;
        drawn_width_ = line.size();
    }

    std::mutex lock_;
    const std::vector<std::string> tags_;
    std::vector<int> percent_;  // each port's upload share; -1 when it is not uploading
    int finished_ = 0;
    int failed_ = 0;
    const bool trace_;
    const bool log_;
    const bool terminal_;
    bool drawn_ = false;
    size_t drawn_width_ = 0;
};

// One port's output: its text cut into whole lines for the sink, or held for its JSON object.
class TaggedOutput final : public Output {
public:
    TaggedOutput(FleetSink& sink, size_t port, bool hold) : sink_(sink), port_(port), hold_(hold) {}

    void Write(const std::string& text) override
    {
        if (hold_) {
            held_ += text;
            return;
        }
        for (char c : text) {
            if (c == '\n') {
                sink_.Line(port_, pending_);
                pending_.clear();
            } else if (c == '\r') {
                sink_.Progress(port_, pending_);
                pending_.clear();
            } else {
                pending_ += c;
            }
        }
    }
    // Lines go out as they end; a part line waits for its end.
    void Show() override {}
    void Note(const std::string& line) override { sink_.Note(port_, line); }
    bool Traces() const override { return sink_.Traces(); }
    void Trace(const std::string& entry, TraceKind) override
    {
        sink_.Entry(port_, entry, sink_.TracesShown(), "trace");
    }
    void Record(const std::string& line) override { sink_.Entry(port_, line, false, "run"); }

    // The last line, when the run's text did not end with one ("Failed to open port").
    void Finish()
    {
        if (!pending_.empty())
            sink_.Line(port_, pending_);
        pending_.clear();
    }
    const std::string& Held() const { return held_; }

private:
    FleetSink& sink_;
    const size_t port_;
    const bool hold_;
    std::string pending_;
    std::string held_;
};
