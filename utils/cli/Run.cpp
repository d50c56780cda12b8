// Running a parsed command line.
#include "Run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands/Commands.h"
#include "commands/JsonOut.h"
#include "commands/Probe.h"
#include "console/Console.h"
#include "proto/Exchange.h"
#include "proto/Trace.h"
#include "serial/PortList.h"
#include "serial/PortMatch.h"
#include "serial/Serial.h"

namespace {

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

TraceSink TraceSinkFor(const Options& options)
{
    if (options.trace)
        return options.log_path ? TraceToBoth : TraceToStderr;
    return options.log_path ? LogTrace : nullptr;
}
// What the run's switches ask of the upgrade.
UpgradeOptions UpgradeSwitches(const Options& options)
{
    UpgradeOptions upgrade = options.upgrade;
    upgrade.progress_plain = options.progress_plain;
    upgrade.log = options.log_path != nullptr;
    return upgrade;
}
// Words that do not make a command: the usage text, and under --json the reason as the run's
// error line instead (the text lines of a JSON run are held back for its object).
int RefuseWords(const Options& options, const std::string& reason)
{
    if (!options.json) {
        Usage();
        return exit_failed;
    }
    Usage(stderr);
    puts(reason.c_str());
    return exit_failed;
}
// Runs the command named by the words (words[0] the port word) on a port that is open and set
// up; returns the exit status. With a report (--json) the command fills it.
int RunCommand(Port port, const std::vector<std::string>& words, const Options& options,
               RunReport* report)
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
            result = Upgrade(port, args, UpgradeSwitches(options), report);
        else if (report && row->reporter)
            result = row->reporter(port, args, report);
        else
            result = row->handler(port, args);
        if (result == COMMAND_USAGE)
            return RefuseWords(options, cmd + " needs more words");
        if (row->ends_run && result == COMMAND_NO_EXCHANGE)
            return exit_failed;
        if (result == COMMAND_OK && options.wait_ms > 0)
            result = WaitForMotion(port, options.wait_ms, report);
    }

    if (need_debug)
        Debug(port);
    return result == COMMAND_OK ? exit_ok : exit_failed;
}

// The run on the port named by words[0]: open and set it up, run the command; the exit status.
int RunOnPort(const std::vector<std::string>& words, const Options& options, RunReport* report)
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
    Port port;
    std::string path, failure;
    const TraceSink trace = TraceSinkFor(options);
    // The --wait-port line: on stderr, and in the log among the output.
    auto say_waiting = [trace](const std::string& line) {
        fprintf(stderr, "%s\n", line.c_str());
        TraceNote(trace, line);
    };
    if (!OpenPortWord(words[0], options.timeout_ms, options.wait_port_ms, say_waiting, &port, &path,
                      &failure)) {
        printf("Failed to open port");
        fprintf(stderr, "%s\n", failure.c_str());
        return exit_failed;
    }
    ExchangeRun run;
    run.retries = options.retries;
    run.trace = trace;
    port.run = &run;
    const LineSetUp set_up = PortSetUp(port);
    if (set_up == LINE_NO_SETTINGS) {
        std::string reason = PortSettingsFailure(path);
        printf("Failed to get COM state");
        fprintf(stderr, "%s\n", reason.c_str());
        PortClose(port);
        return exit_get_state;
    }
    if (set_up == LINE_SETTINGS_REFUSED) {
        printf("Failed to set COM state");
        PortClose(port);
        return exit_set_state;
    }

    int status = RunCommand(port, words, options, report);
    // Closing clears the port's exclusive mark, which would otherwise outlive the run.
    PortClose(port);
    return status;
}
// --json: the run with its text lines held back, then one object for them on stdout.
int RunJson(const std::vector<std::string>& words, const Options& options)
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

bool StartRun(const Options& options, int argc, char* argv[])
{
    if (options.log_path) {
        std::string run = "gantrix " + std::string(options.tool_version) + ":";
        for (int i = 1; i < argc; ++i)
            run += std::string(" ") + argv[i];
        if (!LogOpen(options.log_path, run, RunProcessId())) {
            fprintf(stderr, "gantrix: cannot open the log %s: %s\n", options.log_path,
                    strerror(errno));
            return false;
        }
        if (!ConsoleDivert(LogStdout)) {
            fprintf(stderr, "gantrix: cannot divert the output into the log %s\n",
                    options.log_path);
            std::string error;
            LogClose(&error);
            return false;
        }
    }
    return true;
}

const char output_lost[] = "gantrix: the output could not be written in full";

bool EndRun(const Options& options, std::string* failure)
{
    if (!options.log_path)
        return true;
    LogTraceEnd();
    bool console_written = ConsoleRestore();
    std::string error;
    if (!LogClose(&error)) {
        *failure = "gantrix: cannot write the log " + std::string(options.log_path) + ": " + error;
        return false;
    }
    if (!console_written)
        *failure = output_lost;
    return console_written;
}

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

int RunWords(const std::vector<std::string>& words, const Options& options)
{
    return options.json ? RunJson(words, options) : RunOnPort(words, options, nullptr);
}
