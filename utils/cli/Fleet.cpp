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
#include "output/TaggedOutput.h"
#include "serial/PortMatch.h"
#include "serial/Serial.h"

namespace {

using Clock = std::chrono::steady_clock;

// How a port's run ended, for the table and the summary.
struct PortResult {
    int status = exit_ok;
    bool has_id = false;
    unsigned device = 0;
    double seconds = 0;
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
    TaggedOutput out(sink, index, options.json);
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

    std::vector<std::string> tags;
    for (const FleetPort& port : ports)
        tags.push_back(port.tag);
    FleetSink sink(tags, options.trace, !options.log_path.empty(),
                   !options.json && StdoutIsTerminal());
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
