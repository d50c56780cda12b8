// The run of one command line, from the log's first line to the exit status.
#include "Run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Fleet.h"
#include "Shell.h"
#include "Usage.h"
#include "commands/CommandTable.h"
#include "commands/JsonOut.h"
#include "commands/Probe.h"
#include "console/Console.h"
#include "output/Log.h"
#include "output/RunOutput.h"
#include "proto/Exchange.h"
#include "proto/Protocol.h"
#include "proto/Trace.h"
#include "serial/PortList.h"
#include "serial/PortMatch.h"
#include "serial/Serial.h"

namespace {

using Words = std::vector<std::string>;

// --list-ports: one line per port on stdout; words after the switches are not needed.
int ListSerialPorts(Output& out, bool probe, bool json)
{
    std::vector<PortInfo> ports = ListPorts();
    if (probe)
        ProbePorts(&ports);
    if (json) {
        out.Line(JsonPortList(ports));
    } else {
        for (const PortInfo& port : ports)
            out.Line(FormatPortLine(port));
    }
    if (ports.empty())
        out.Note("gantrix: no serial ports found");
    return exit_ok;
}

// Opens the log and diverts stdout into it, for --log; what else the switches ask travels with
// the options. False when the log cannot be opened.
bool StartRun(const RunOptions& options, const Words& typed, Output& out)
{
    if (!options.log_path.empty()) {
        std::string run = "gantrix " + std::string(program_version) + ":";
        for (const std::string& word : typed)
            run += " " + word;
        if (!LogOpen(options.log_path, run, RunProcessId())) {
            const std::string why = strerror(errno);
            out.Note("gantrix: cannot open the log " + options.log_path + ": " + why);
            return false;
        }
        // A set of ports writes its tagged lines into the log itself, from many threads: one
        // stream of stdout could not tell whose line it carries.
        if (!options.each && !ConsoleDivert(LogStdout)) {
            out.Note("gantrix: cannot divert the output into the log " + options.log_path);
            std::string error;
            LogClose(&error);
            return false;
        }
    }
    return true;
}

// Puts stdout back and waits until the log has every line. False, with the line for stderr in
// *failure, when the log or the console behind it could not be written.
bool EndRun(const RunOptions& options, RunOutput& out, std::string* failure)
{
    if (options.log_path.empty())
        return true;
    out.EndLog();
    bool console_written = options.each || ConsoleRestore();
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
    return upgrade;
}

// Words that do not make a command: the usage text, and under --json the reason as the run's
// error line instead (the text lines of a JSON run are held back for its object).
int RefuseWords(Output& out, const RunOptions& options, const std::string& reason)
{
    const std::string usage = UsageText();
    if (!options.json) {
        out.Write(usage);
        return exit_failed;
    }
    out.Note(usage.substr(0, usage.size() - 1));
    out.Line(reason);
    return exit_failed;
}

}  // namespace

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
            return RefuseWords(*link.out, options, "unknown command " + cmd);
        // The upgrade takes the run's upgrade switches, and fills a report itself.
        if (!row->handler)
            // Its report (--json) also turns its progress off; a set of ports asks for the id
            // and status of the others but keeps the progress.
            result = Upgrade(link, args, UpgradeSwitches(options), options.json ? report : nullptr);
        else if (report && row->reporter)
            result = row->reporter(link, args, report);
        else
            result = row->handler(link, args);
        if (result == COMMAND_USAGE)
            return RefuseWords(*link.out, options, cmd + " needs more words");
        if (row->ends_run && result == COMMAND_NO_EXCHANGE)
            return exit_failed;
        if (result == COMMAND_OK && options.wait_ms > 0)
            result = WaitForMotion(link, options.wait_ms, report);
    }

    if (need_debug)
        Debug(link);
    return result == COMMAND_OK ? exit_ok : exit_failed;
}

const char* SwitchesMisfit(const Words& words, const RunOptions& options)
{
    const bool debug = words[1] == "debug";
    if (options.json && debug)
        return "debug does not go with --json: its trace is a stream, not one result";
    if (options.each && debug)
        return "debug does not go with --each: its trace is the stream of one board";
    const std::string& word = debug && words.size() > 2 ? words[2] : words[1];
    const CommandRow* row = FindCommand(word);
    if (options.wait_ms > 0 && row && !row->moves)
        return "--wait goes with move, home, calibrate, precalibrate, vend and recover";
    return nullptr;
}

bool TellNews(Output& out, const LineNews& news)
{
    for (const std::string& line : news.trace)
        TraceNote(out, line);
    for (const std::string& line : news.notes)
        out.Note(line);
    if (news.refusal.empty())
        return true;
    out.Note(news.refusal);
    return false;
}

int OpenRunPort(const std::string& port_word, const RunOptions& options, Output& out, Port* opened)
{
    std::string path, failure;
    // The --wait-port line: on stderr, and in the log among the output.
    auto say_waiting = [&out](const std::string& line) {
        out.Note(line);
        TraceNote(out, line);
    };
    // Closing, at the end of the run, clears the port's exclusive mark, which would otherwise
    // outlive the run.
    Port port = OpenPortWord(port_word, options.timeout_ms, options.wait_port_ms, say_waiting,
                             &path, &failure);
    if (!port.IsOpen()) {
        out.Write("Failed to open port");
        out.Note(failure);
        return exit_failed;
    }
    const LineSetUp set_up = PortSetUp(port);
    if (set_up == LINE_NO_SETTINGS) {
        std::string reason = PortSettingsFailure(path);
        out.Write("Failed to get COM state");
        out.Note(reason);
        return exit_get_state;
    }
    if (set_up == LINE_SETTINGS_REFUSED) {
        out.Write("Failed to set COM state");
        return exit_set_state;
    }
    if (!TellNews(out, port.TakeNews()))
        return exit_failed;
    *opened = std::move(port);
    return exit_ok;
}

// The run on the port named by words[0]: open and set it up, run the command; the exit status.
int RunOnPort(const Words& words, const RunOptions& options, Output& out, RunReport* report)
{
    if (words.size() < 2)
        return RefuseWords(out, options, "a port word and a command word are needed");
    if (const char* misfit = SwitchesMisfit(words, options)) {
        out.Note("gantrix: " + std::string(misfit));
        // A JSON run reports it in its object.
        if (options.json)
            out.Line(misfit);
        return exit_failed;
    }
    Port port;
    const int opened = OpenRunPort(words[0], options, out, &port);
    if (opened != exit_ok)
        return opened;
    Link link(port);
    link.retries = options.retries;
    link.out = &out;
    const int status = RunCommand(link, words, options, report);
    TellNews(out, port.TakeNews());
    return status;
}

namespace {

// --json: the run with its text lines held back, then one object for them on stdout.
int RunJson(const Words& words, const RunOptions& options, Output& out)
{
    const std::string command = words.size() < 2 ? "" : words[1];
    RunReport report;
    RunOutput held(options.trace, false, true);
    const int status = RunOnPort(words, options, held, &report);
    out.Line(JsonRun(command, status == exit_ok, held.Held(), report));
    return status;
}

}  // namespace

int RunCommandLine(const CommandLine& line, std::string* failure)
{
    const RunOptions& options = line.options;
    RunOutput out(options.trace, !options.log_path.empty(), false);
    if (!StartRun(options, line.typed, out))
        return exit_failed;
    int status;
    if (options.list_ports)
        status = ListSerialPorts(out, options.probe, options.json);
    else if (options.each)
        status = RunFleet(line, out);
    else if (IsShell(line.words))
        status = RunShell(line, out);
    else if (options.json)
        status = RunJson(line.words, options, out);
    else
        status = RunOnPort(line.words, options, out, nullptr);
    EndRun(options, out, failure);
    return status;
}
