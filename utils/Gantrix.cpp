// gantrix: drive a vending machine's controller board by hand over a serial line.
// One run: read the words, open and set up the port, run one command, optionally follow the
// board's debug text, and end with a status that says how far it got.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands/Commands.h"
#include "commands/Probe.h"
#include "proto/Exchange.h"
#include "proto/Protocol.h"
#include "proto/Trace.h"
#include "serial/PortList.h"
#include "serial/PortMatch.h"
#include "serial/Serial.h"

namespace {

// Exit statuses.
constexpr int exit_ok = 0;
constexpr int exit_failed = 1;  // usage, port not opened, or a command that reported a failure
constexpr int exit_get_state = 2;
constexpr int exit_set_state = 4;

// How long one read or write may wait for the line. The test build of the tool gets a short
// limit, so that runs against a silent or unplugged board take a fraction of a second.
#ifndef GANTRIX_LINE_TIMEOUT_MS
#define GANTRIX_LINE_TIMEOUT_MS 5000
#endif
constexpr int line_timeout_ms = GANTRIX_LINE_TIMEOUT_MS;

#ifndef GANTRIX_VERSION
#define GANTRIX_VERSION "unknown"
#endif

void usage()
{
    puts("OSTREL gantrix\n"
         "\n"
         "Usage: gantrix <port> [debug]\t\t\t\t\t\n"
         "\t\tid\t\t\t\t\t\t\t\t\n"
         "\t\tping\t\t\t\t\t\t\t\t\n"
         "\t\tupgrade\t<firmware path>\t\t\t\t\t\t\t\n"
         "\t\tstatus \t\t\t\t\t\t\t\t\t\t\t\n"
         "\t\thome \t\t\t\t\t\t\t\t\t\t\t\n"
         "\t\tmove [x|y|z|z1] [fwd|bwd] <steps>\t\t\t\t\t\t\t\t\t\t\t\n"
         "\t\tcalibrate <cell>\t\t\t\t\t\t\t\t\t\t\t\n"
         "\t\tprecalibrate <cell>\t\t\t\t\t\t\t\t\t\t\t\n"
         "\t\tvend <cell>\t\t\t\t\t\t\t\t\t\t\t\n"
         "\t\trecover      \n"
         "Automated: https://gantrix.example.org/");
}

// The switches' own lines, shown by --help only: the plain usage text stays as scripts know it.
void SwitchUsage()
{
    puts(
        "\n"
        "Switches, before the port word:\n"
        "  --help              this text\n"
        "  --version           the tool's version\n"
        "  --timeout SECONDS   bound of every read and write on the line, 0.1 to 60 (default 5)\n"
        "  --retries N         repeat an exchange that failed on the line up to N times, 0 to 10\n"
        "                      (default 0): ping, id, status, boot switch and upgrade blocks only\n"
        "  --trace             every frame both ways on stderr, decoded and dumped\n"
        "  --log FILE          append the output and the trace to FILE, with UTC timestamps\n"
        "  --progress plain    upgrade progress as a line per 10 % and a summary\n"
        "  --list-ports        the serial ports: name, description, USB ids, serial number,\n"
        "                      latency timer, /dev/serial/by-id link, busy; no port word needed\n"
        "  --probe             with --list-ports: ping each free port, mark where a board answers\n"
        "  --wait-port SECONDS wait up to SECONDS (0 to 600) for a missing or busy port\n"
        "\n"
        "The port word usb:VID:PID or usb:VID:PID:SERIAL names the USB adapter, with its ids and\n"
        "serial number as --list-ports shows them; any other word names the device.");
}

// What the switches before the port word asked for. With none, the run is exactly as without
// this record.
struct Options {
    int timeout_ms = line_timeout_ms;
    bool list_ports = false;
    bool probe = false;
    int retries = 0;
    bool trace = false;
    const char* log_path = nullptr;
    bool progress_plain = false;
    int wait_port_ms = 0;
};

// Where the trace goes: stderr for --trace, the log for --log.
bool trace_to_stderr = false;
bool trace_to_log = false;

void SendTrace(const std::string& entry)
{
    if (trace_to_stderr) {
        // The lines printed so far come first, as they happened.
        fflush(stdout);
        fprintf(stderr, "%s\n", entry.c_str());
    }
    if (trace_to_log)
        LogTrace(entry);
}

// Reads a whole number within [low, high]; false when the word is not one.
bool ParseCount(const char* word, long low, long high, int* value)
{
    errno = 0;
    char* end = nullptr;
    long number = std::strtol(word, &end, 10);
    if (errno != 0 || end == word || *end != '\0' || number < low || number > high)
        return false;
    *value = static_cast<int>(number);
    return true;
}

// Reads a number of seconds within [low, high] into milliseconds; false when the word is not one.
bool ParseSeconds(const char* word, double low, double high, int* ms)
{
    errno = 0;
    char* end = nullptr;
    double seconds = std::strtod(word, &end);
    if (errno != 0 || end == word || *end != '\0' || !std::isfinite(seconds) || seconds < low ||
        seconds > high)
        return false;
    *ms = static_cast<int>(std::lround(seconds * 1000));
    return true;
}

// --list-ports: one line per port on stdout; words after the switches are not needed.
int ListSerialPorts(bool probe)
{
    std::vector<PortInfo> ports = ListPorts();
    if (probe)
        ProbePorts(&ports);
    for (const PortInfo& port : ports)
        puts(FormatPortLine(port).c_str());
    if (ports.empty())
        fprintf(stderr, "gantrix: no serial ports found\n");
    return exit_ok;
}

// Sets up what the switches ask of the whole run: retries, the trace, the log, the progress
// lines. False when the log cannot be opened.
bool StartRun(const Options& options, int argc, char* argv[])
{
    exchange_retries = options.retries;
    upgrade_progress_plain = options.progress_plain;
    trace_to_stderr = options.trace;
    if (options.log_path) {
        std::string run = "gantrix " GANTRIX_VERSION ":";
        for (int i = 1; i < argc; ++i)
            run += std::string(" ") + argv[i];
        if (!LogOpen(options.log_path, run)) {
            fprintf(stderr, "gantrix: cannot open the log %s: %s\n", options.log_path,
                    strerror(errno));
            return false;
        }
        if (!ConsoleDivert(LogStdout)) {
            fprintf(stderr, "gantrix: cannot divert the output into the log %s\n",
                    options.log_path);
            LogClose();
            return false;
        }
        trace_to_log = true;
    }
    if (trace_to_stderr || trace_to_log)
        trace_sink = SendTrace;
    return true;
}

// Puts stdout back and waits until the log has every line.
void EndRun()
{
    if (!trace_to_log)
        return;
    trace_to_log = false;
    ConsoleRestore();
    LogClose();
}

// Takes the switches off the front of the words (a word that starts with "--" is never a port
// word). Returns -1 to go on with the run, or the exit status of a run that ends here.
int ParseSwitches(int argc, char* argv[], int* first_word, Options* options)
{
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        const std::string word = argv[i];
        const bool has_value = i + 1 < argc;
        if (word == "--help") {
            usage();
            SwitchUsage();
            return exit_ok;
        }
        if (word == "--version") {
            puts("gantrix " GANTRIX_VERSION);
            return exit_ok;
        }
        if (word == "--timeout") {
            if (!has_value || !ParseSeconds(argv[i + 1], 0.1, 60, &options->timeout_ms)) {
                fprintf(stderr, "gantrix: --timeout takes seconds from 0.1 to 60\n");
                return exit_failed;
            }
            ++i;
            continue;
        }
        if (word == "--retries") {
            if (!has_value || !ParseCount(argv[i + 1], 0, 10, &options->retries)) {
                fprintf(stderr, "gantrix: --retries takes a number from 0 to 10\n");
                return exit_failed;
            }
            ++i;
            continue;
        }
        if (word == "--trace") {
            options->trace = true;
            continue;
        }
        if (word == "--log") {
            if (!has_value || argv[i + 1][0] == '\0') {
                fprintf(stderr, "gantrix: --log takes a file name\n");
                return exit_failed;
            }
            options->log_path = argv[++i];
            continue;
        }
        if (word == "--progress") {
            if (!has_value || std::strcmp(argv[i + 1], "plain") != 0) {
                fprintf(stderr, "gantrix: --progress takes plain\n");
                return exit_failed;
            }
            options->progress_plain = true;
            ++i;
            continue;
        }
        if (word == "--wait-port") {
            if (!has_value || !ParseSeconds(argv[i + 1], 0, 600, &options->wait_port_ms)) {
                fprintf(stderr, "gantrix: --wait-port takes seconds from 0 to 600\n");
                return exit_failed;
            }
            ++i;
            continue;
        }
        if (word == "--list-ports") {
            options->list_ports = true;
            continue;
        }
        if (word == "--probe") {
            options->probe = true;
            continue;
        }
        fprintf(stderr, "gantrix: unknown switch %s (see gantrix --help)\n", word.c_str());
        return exit_failed;
    }
    if (options->probe && !options->list_ports) {
        fprintf(stderr, "gantrix: --probe goes with --list-ports\n");
        return exit_failed;
    }
    *first_word = i;
    return -1;
}

// The command words in the order they are matched; each is the word of the request the command
// sends (the upgrade's is its block). `ends_run` marks the commands whose failed exchange ends the
// run before the debug trace: without a board that answers there is nothing to trace.
struct CommandRow {
    const char* word;
    Handler handler;
    bool ends_run;
};

// clang-format off
constexpr CommandRow command_table[] = {
    {RequestWord(HPROTO_CMD_PING),         Ping,         true},
    {RequestWord(HPROTO_CMD_ID),           Id,           true},
    {RequestWord(HPROTO_CMD_UPGRADE),      Upgrade,      false},
    {RequestWord(HPROTO_CMD_CALIBRATE),    Calibrate,    false},
    {RequestWord(HPROTO_CMD_PRECALIBRATE), PreCalibrate, false},
    {RequestWord(HPROTO_CMD_VEND),         Vend,         false},
    {RequestWord(HPROTO_CMD_GOHOME),       Home,         false},
    {RequestWord(HPROTO_CMD_RECOVER),      Recover,      false},
    {RequestWord(HPROTO_CMD_STATUS),       Status,       false},
    {RequestWord(HPROTO_CMD_MOVE),         Move,         false},
};
// clang-format on

constexpr bool EveryCommandHasAWord()
{
    for (const CommandRow& row : command_table)
        if (!row.word)
            return false;
    return true;
}
static_assert(EveryCommandHasAWord(), "a command sends a request that request_table lacks");

// Runs the command named by the words (words[0] the port word) on a port that is open and set
// up; returns the exit status.
int RunCommand(Port port, int count, char* words[])
{
    std::string cmd = words[1];
    int arg = 2;
    bool need_debug = false;
    if (cmd == "debug" && count > 2) {
        cmd = words[2];
        arg = 3;
        need_debug = true;
    }
    Args args(words + arg, words + count);

    // An empty command word runs nothing and goes straight to the trace.
    int result = COMMAND_OK;
    if (!cmd.empty()) {
        const CommandRow* row = nullptr;
        for (const CommandRow& candidate : command_table)
            if (cmd == candidate.word) {
                row = &candidate;
                break;
            }
        if (!row) {
            usage();
            return exit_failed;
        }
        result = row->handler(port, args);
        if (result == COMMAND_USAGE) {
            usage();
            return exit_failed;
        }
        if (row->ends_run && result == COMMAND_NO_EXCHANGE)
            return exit_failed;
    }

    if (need_debug)
        Debug(port);
    return result == COMMAND_OK ? exit_ok : exit_failed;
}


// The --wait-port line: on stderr, and in the log among the output.
void SayWaiting(const std::string& line)
{
    fprintf(stderr, "%s\n", line.c_str());
    TraceNote(line);
}

// The run on the port named by words[0]: open and set it up, run the command; the exit status.
int RunOnPort(int count, char* words[], const Options& options)
{
    if (count < 2) {
        usage();
        return exit_failed;
    }
    Port port;
    std::string failure;
    if (!OpenPortWord(words[0], options.timeout_ms, options.wait_port_ms, SayWaiting, &port,
                      &failure)) {
        printf("Failed to open port");
        fprintf(stderr, "%s\n", failure.c_str());
        return exit_failed;
    }
    const LineSetUp set_up = PortSetUp(port);
    if (set_up == LINE_NO_SETTINGS) {
        printf("Failed to get COM state");
        PortClose(port);
        return exit_get_state;
    }
    if (set_up == LINE_SETTINGS_REFUSED) {
        printf("Failed to set COM state");
        PortClose(port);
        return exit_set_state;
    }

    int status = RunCommand(port, count, words);
    // Closing clears the port's exclusive mark, which would otherwise outlive the run.
    PortClose(port);
    return status;
}

}  // namespace

int main(int argc, char* argv[])
{
    // A run cut short by Ctrl-C, a kill or a closed console must not lose lines already printed.
    ConsoleSetUp();
    Options options;
    int first = 1;
    int ended = ParseSwitches(argc, argv, &first, &options);
    if (ended >= 0)
        return ended;
    if (!StartRun(options, argc, argv))
        return exit_failed;
    int status = options.list_ports ? ListSerialPorts(options.probe)
                                    : RunOnPort(argc - first, argv + first, options);
    EndRun();
    return status;
}
