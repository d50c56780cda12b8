// The run of one command line, from the log's first line to the exit status.
#include "Run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Usage.h"
#include "commands/CommandTable.h"
#include "commands/JsonOut.h"
#include "commands/Probe.h"
#include "console/Console.h"
#include "proto/Exchange.h"
#include "proto/Protocol.h"
#include "proto/Trace.h"
#include "serial/PortList.h"
#include "serial/PortMatch.h"
#include "serial/Serial.h"

namespace {

using Words = std::vector<std::string>;

// The trace's ways out: stderr for --trace, the log for --log, or both.
void TraceToStderr(const std::string& entry, TraceKind)
{
    // The lines printed so far come first, as they happened.
    fflush(stdout);
    fprintf(stderr, "%s\n", entry.c_str());
}

void TraceToBoth(const std::string& entry, TraceKind kind)
{
    TraceToStderr(entry, kind);
    LogTrace(entry, kind);
}

TraceSink TraceSinkFor(const RunOptions& options)
{
    if (options.trace)
        return !options.log_path.empty() ? TraceToBoth : TraceToStderr;
    return !options.log_path.empty() ? LogTrace : nullptr;
}

// --list-ports: one line per port on stdout; words after the switches are not needed.
int ListSerialPorts(bool probe, bool json)
{
    std::vector<PortInfo> ports = ListPorts();
    if (probe)
        ProbePorts(&ports);
    if (json) {
        puts(JsonPortList(ports).c_str());
    } else {
        for (const PortInfo& port : ports)
            puts(FormatPortLine(port).c_str());
    }
    if (ports.empty())
        fprintf(stderr, "gantrix: no serial ports found\n");
    return exit_ok;
}

// Opens the log and diverts stdout into it, for --log; what else the switches ask travels with
// the options. False when the log cannot be opened.
bool StartRun(const RunOptions& options, const Words& typed)
{
    if (!options.log_path.empty()) {
        std::string run = "gantrix " + std::string(program_version) + ":";
        for (const std::string& word : typed)
            run += " " + word;
        if (!LogOpen(options.log_path, run, RunProcessId())) {
            fprintf(stderr, "gantrix: cannot open the log %s: %s\n", options.log_path.c_str(),
                    strerror(errno));
            return false;
        }
        if (!ConsoleDivert(LogStdout)) {
            fprintf(stderr, "gantrix: cannot divert the output into the log %s\n",
                    options.log_path.c_str());
            std::string error;
            LogClose(&error);
            return false;
        }
    }
    return true;
}

// Puts stdout back and waits until the log has every line. False, with the line for stderr in
// *failure, when the log or the console behind it could not be written.
bool EndRun(const RunOptions& options, std::string* failure)
{
    if (options.log_path.empty())
        return true;
    LogTraceEnd();
    bool console_written = ConsoleRestore();
    std::string error;
    if (!LogClose(&error)) {
        *failure = "gantrix: cannot write the log " + options.log_path + ": " + error;
        return false;
    }
    if (!console_written)
        *failure = output_lost;
    return console_written;
}

// What the run's switches ask of the upgrade.
UpgradeOptions UpgradeSwitches(const RunOptions& options)
{
    UpgradeOptions upgrade = options.upgrade;
    upgrade.progress_plain = options.progress_plain;
    upgrade.log = !options.log_path.empty();
    return upgrade;
}

// Words that do not make a command: the usage text, and under --json the reason as the run's
// error line instead (the text lines of a JSON run are held back for its object).
int RefuseWords(const RunOptions& options, const std::string& reason)
{
    if (!options.json) {
        PrintUsage();
        return exit_failed;
    }
    PrintUsage(stderr);
    puts(reason.c_str());
    return exit_failed;
}

// Runs the command named by the words (words[0] the port word) on a port that is open and set
// up; returns the exit status. With a report (--json) the command fills it.
int RunCommand(Link& link, const Words& words, const RunOptions& options, RunReport* report)
{
    std::string cmd = words[1];
    int arg = 2;
    bool need_debug = false;
    if (cmd == "debug" && words.size() > 2) {
        cmd = words[2];
        arg = 3;
        need_debug = true;
    }
    Args args(words.begin() + arg, words.end());

    // An empty command word runs nothing and goes straight to the trace.
    int result = COMMAND_OK;
    if (!cmd.empty()) {
        const CommandRow* row = FindCommand(cmd);
        if (!row)
            return RefuseWords(options, "unknown command " + cmd);
        // The upgrade takes the run's upgrade switches, and fills a report itself.
        if (!row->handler)
            result = Upgrade(link, args, UpgradeSwitches(options), report);
        else if (report && row->reporter)
            result = row->reporter(link, args, report);
        else
            result = row->handler(link, args);
        if (result == COMMAND_USAGE)
            return RefuseWords(options, cmd + " needs more words");
        if (row->ends_run && result == COMMAND_NO_EXCHANGE)
            return exit_failed;
        if (result == COMMAND_OK && options.wait_ms > 0)
            result = WaitForMotion(link, options.wait_ms, report);
    }

    if (need_debug)
        Debug(link);
    return result == COMMAND_OK ? exit_ok : exit_failed;
}


// Why the switches do not fit the command words (words[0] the port word); null when they do.
// Checked before the port is opened, so that nothing is sent.
const char* SwitchesMisfit(const Words& words, const RunOptions& options)
{
    const bool debug = words[1] == "debug";
    if (options.json && debug)
        return "debug does not go with --json: its trace is a stream, not one result";
    const std::string& word = debug && words.size() > 2 ? words[2] : words[1];
    const CommandRow* row = FindCommand(word);
    if (options.wait_ms > 0 && row && !row->moves)
        return "--wait goes with move, home, calibrate, precalibrate, vend and recover";
    return nullptr;
}

// The run on the port named by words[0]: open and set it up, run the command; the exit status.
int RunOnPort(const Words& words, const RunOptions& options, RunReport* report)
{
    if (words.size() < 2)
        return RefuseWords(options, "a port word and a command word are needed");
    if (const char* misfit = SwitchesMisfit(words, options)) {
        fprintf(stderr, "gantrix: %s\n", misfit);
        // A JSON run reports it in its object.
        if (options.json)
            puts(misfit);
        return exit_failed;
    }
    std::string path, failure;
    const TraceSink trace = TraceSinkFor(options);
    // The --wait-port line: on stderr, and in the log among the output.
    auto say_waiting = [trace](const std::string& line) {
        fprintf(stderr, "%s\n", line.c_str());
        TraceNote(trace, line);
    };
    // Closing, at the end of the run, clears the port's exclusive mark, which would otherwise
    // outlive the run.
    Port port = OpenPortWord(words[0], options.timeout_ms, options.wait_port_ms, say_waiting, &path,
                             &failure);
    if (!port.IsOpen()) {
        printf("Failed to open port");
        fprintf(stderr, "%s\n", failure.c_str());
        return exit_failed;
    }
    const LineSetUp set_up = PortSetUp(port);
    if (set_up == LINE_NO_SETTINGS) {
        std::string reason = PortSettingsFailure(path);
        printf("Failed to get COM state");
        fprintf(stderr, "%s\n", reason.c_str());
        return exit_get_state;
    }
    if (set_up == LINE_SETTINGS_REFUSED) {
        printf("Failed to set COM state");
        return exit_set_state;
    }
    Link link(port);
    link.retries = options.retries;
    link.trace = trace;
    return RunCommand(link, words, options, report);
}

// --json: the run with its text lines held back, then one object for them on stdout.
int RunJson(const Words& words, const RunOptions& options)
{
    const std::string command = words.size() < 2 ? "" : words[1];
    RunReport report;
    if (!CaptureStart()) {
        fprintf(stderr, "gantrix: cannot hold the output back for --json\n");
        return exit_failed;
    }
    const int status = RunOnPort(words, options, &report);
    const std::string text = CaptureEnd();
    puts(JsonRun(command, status == exit_ok, text, report).c_str());
    return status;
}

}  // namespace

int RunCommandLine(const CommandLine& line, std::string* failure)
{
    const RunOptions& options = line.options;
    if (!StartRun(options, line.typed))
        return exit_failed;
    int status;
    if (options.list_ports)
        status = ListSerialPorts(options.probe, options.json);
    else if (options.json)
        status = RunJson(line.words, options);
    else
        status = RunOnPort(line.words, options, nullptr);
    EndRun(options, failure);
    return status;
}
