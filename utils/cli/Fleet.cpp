// The run on a set of ports: each port on a thread of its own, its lines tagged, one report.
#include "Fleet.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "Run.h"
#include "Shell.h"
#include "commands/CommandTable.h"
#include "commands/JsonOut.h"
#include "console/Console.h"
#include "output/Log.h"
#include "serial/PortMatch.h"
#include "serial/Serial.h"

namespace {

using Clock = std::chrono::steady_clock;

// The widest the combined progress line gets: a console's 80 columns less the cursor's.
constexpr size_t progress_width = 79;

// How a port's run ended, for the table and the summary.
struct PortResult {
    int status = exit_ok;
    bool has_id = false;
    unsigned device = 0;
    double seconds = 0;
};

// Where every port's lines meet: whole lines only, one at a time, each tagged with its port. At a
// terminal the uploads' progress becomes one line for all the ports, drawn below the others.
class FleetSink {
public:
    FleetSink(const RunOptions& options, const std::vector<FleetPort>& ports)
        : ports_(ports), percent_(ports.size(), -1), trace_(options.trace),
          log_(!options.log_path.empty()), terminal_(!options.json && StdoutIsTerminal())
    {
    }

    void Line(size_t port, const std::string& line)
    {
        std::lock_guard<std::mutex> hold(lock_);
        const std::string tagged = ports_[port].tag + ": " + line;
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
        std::fprintf(stderr, "%s: %s\n", ports_[port].tag.c_str(), line.c_str());
        DrawProgress();
    }
    // One or more lines; `kind` as the log has it.
    void Entry(size_t port, const std::string& entry, bool shown, const char* kind)
    {
        std::string tagged;
        size_t start = 0;
        for (;;) {
            const size_t end = entry.find('\n', start);
            tagged += ports_[port].tag + ": " + entry.substr(start, end - start);
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
        for (size_t k = 0; k < ports_.size(); ++k) {
            if (percent_[k] < 0)
                continue;
            named += " " + ports_[k].tag + " " + std::to_string(percent_[k]) + "%";
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
    const std::vector<FleetPort>& ports_;
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
class PortOutput final : public Output {
public:
    PortOutput(FleetSink& sink, size_t port, bool hold) : sink_(sink), port_(port), hold_(hold) {}

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

// Commas split the set; an empty word between them is refused rather than skipped, as a typing
// slip that would otherwise leave a board out unseen.
std::vector<std::string> SplitSet(const std::string& set)
{
    std::vector<std::string> words;
    size_t start = 0;
    for (;;) {
        const size_t comma = set.find(',', start);
        words.push_back(set.substr(start, comma - start));
        if (comma == std::string::npos)
            return words;
        start = comma + 1;
    }
}

// usb:VID:PID, without a serial number.
bool IsAdapterKind(const std::string& word)
{
    return std::count(word.begin(), word.end(), ':') == 2;
}

// One port's run, with its time and what it learnt of the board.
PortResult RunOne(const std::vector<std::string>& words, const RunOptions& options,
                  const FleetPort& port, size_t index, FleetSink& sink, std::string* json)
{
    const Clock::time_point start = Clock::now();
    PortOutput out(sink, index, options.json);
    RunReport report;
    std::vector<std::string> own = words;
    own[0] = port.word;
    PortResult result;
    if (IsShell(words)) {
        // Every port runs the whole script, on its own.
        CommandLine line;
        line.options = options;
        line.words = own;
        result.status = RunShell(line, out);
    } else {
        result.status = RunOnPort(own, options, out, &report);
    }
    out.Finish();
    result.has_id = report.has_id;
    result.device = report.device;
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (options.json) {
        std::string object = JsonRun(words[1], result.status == exit_ok, out.Held(), report);
        *json = "{\"port\":" + JsonQuote(port.tag) + "," + object.substr(1);
    }
    return result;
}

// The table on stderr: port, board id where known, result, time.
void PrintTable(const std::vector<FleetPort>& ports, const std::vector<PortResult>& results)
{
    size_t width = 4;
    for (const FleetPort& port : ports)
        width = std::max(width, port.tag.size());
    std::fprintf(stderr, "%-*s  %-5s  %-10s  %s\n", static_cast<int>(width), "PORT", "BOARD",
                 "RESULT", "TIME");
    for (size_t k = 0; k < ports.size(); ++k) {
        const PortResult& result = results[k];
        char board[16] = "-";
        if (result.has_id)
            std::snprintf(board, sizeof(board), "%X", result.device);
        const std::string outcome =
            result.status == exit_ok ? "ok" : "status " + std::to_string(result.status);
        std::fprintf(stderr, "%-*s  %-5s  %-10s  %.1f s\n", static_cast<int>(width),
                     ports[k].tag.c_str(), board, outcome.c_str(), result.seconds);
    }
}

// A run refused before any port was opened: the line on stderr, under --json the object too.
int RefuseSet(Output& out, const RunOptions& options, const std::string& command,
              const std::string& reason)
{
    out.Note("gantrix: " + reason);
    if (options.json)
        out.Line(JsonRefusal(command, reason));
    return exit_failed;
}

}  // namespace

bool ReadPortSet(const std::string& set, const std::vector<PortInfo>& listing,
                 std::vector<FleetPort>* ports, std::string* failure)
{
    std::vector<std::string> identities;
    for (const std::string& word : SplitSet(set)) {
        if (word.empty()) {
            *failure = "an empty port word in the set " + set;
            return false;
        }
        std::vector<FleetPort> found;
        std::vector<std::string> paths;
        if (IsUsbWord(word) && IsAdapterKind(word)) {
            // Every adapter with those ids; MatchUsbWord checks the word's form.
            for (const PortInfo& info : listing) {
                const UsbMatchResult one = MatchUsbWord(word, {info});
                if (one.match == USB_MATCH_MALFORMED) {
                    *failure = one.failure;
                    return false;
                }
                if (one.match == USB_MATCH_ONE) {
                    found.push_back({info.name, info.name});
                    paths.push_back(info.path);
                }
            }
            if (found.empty()) {
                *failure = MatchUsbWord(word, listing).failure;
                return false;
            }
        } else if (IsUsbWord(word)) {
            const UsbMatchResult match = MatchUsbWord(word, listing);
            if (match.match != USB_MATCH_ONE) {
                *failure = match.failure;
                return false;
            }
            found.push_back({word, word});
            paths.push_back(match.path);
        } else {
            found.push_back({word, word});
            paths.push_back(PortPath(word));
        }
        for (size_t k = 0; k < found.size(); ++k) {
            const std::string identity = DeviceIdentity(paths[k]);
            const auto twice = std::find(identities.begin(), identities.end(), identity);
            if (twice != identities.end()) {
                *failure = (*ports)[static_cast<size_t>(twice - identities.begin())].tag + " and " +
                           found[k].tag + " are the same device";
                return false;
            }
            identities.push_back(identity);
            ports->push_back(found[k]);
        }
    }
    return true;
}

int RunFleet(const CommandLine& line, Output& out)
{
    const RunOptions& options = line.options;
    const std::vector<std::string>& words = line.words;
    if (words.size() < 2)
        return RefuseSet(out, options, "", "a port set and a command word are needed");
    if (const char* misfit = SwitchesMisfit(words, options))
        return RefuseSet(out, options, words[1], misfit);
    const std::string& command = words[1];
    if (IsShell(words)) {
        // One standard input cannot feed many shells, nor one JSON stream carry their lines.
        if (words.size() != 3 || words[2] == "-")
            return RefuseSet(out, options, command,
                             "a shell on a set of ports reads its script from a FILE");
        if (options.json)
            return RefuseSet(out, options, command,
                             "--json does not go with a shell on a set of ports");
    } else if (!FindCommand(command)) {
        return RefuseSet(out, options, command, "unknown command " + command);
    }

    // Only a usb: word needs the listing, which reads the whole system's devices.
    std::vector<PortInfo> listing;
    if (words[0].find(usb_word_prefix) != std::string::npos)
        listing = ListPorts();
    std::vector<FleetPort> ports;
    std::string failure;
    if (!ReadPortSet(words[0], listing, &ports, &failure))
        return RefuseSet(out, options, command, failure);

    FleetSink sink(options, ports);
    std::vector<PortResult> results(ports.size());
    std::vector<std::string> objects(ports.size());
    // Each worker takes the next port not yet started; --jobs bounds how many work at once.
    std::atomic<size_t> next{0};
    const size_t workers =
        options.jobs > 0 ? std::min(ports.size(), static_cast<size_t>(options.jobs)) : ports.size();
    std::vector<std::thread> threads;
    for (size_t w = 0; w < workers; ++w)
        threads.emplace_back([&] {
            for (size_t k = next++; k < ports.size(); k = next++) {
                results[k] = RunOne(words, options, ports[k], k, sink, &objects[k]);
                sink.Done(k, results[k].status);
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    sink.Close();

    int status = exit_ok;
    int failed = 0;
    for (const PortResult& result : results) {
        status = std::max(status, result.status);
        failed += result.status != exit_ok;
    }
    if (options.json) {
        for (const std::string& object : objects)
            out.Line(object);
        JsonObject summary = JsonStart(command, status == exit_ok);
        JsonAddInt(&summary, "ports", static_cast<int64_t>(ports.size()));
        JsonAddInt(&summary, "failed", failed);
        JsonAddInt(&summary, "status", status);
        out.Line(JsonText(summary));
    }
    out.Show();
    PrintTable(ports, results);
    return status;
}
