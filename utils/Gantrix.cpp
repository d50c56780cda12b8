// gantrix: drive a vending machine's controller board by hand over a serial line.
// One run: read the words, open and set up the port, run one command, optionally follow the
// board's debug text, and end with a status that says how far it got.
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands/Commands.h"
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

// Exit statuses.
constexpr int exit_ok = 0;
// Usage, a bad switch, the port not opened, a command that reported a failure, a --wait that did
// not end idle, or output that could not be written in full.
constexpr int exit_failed = 1;
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

// On stdout, as scripts know it; on stderr under --json, where stdout carries the object alone.
void usage(FILE* out = stdout)
{
    fputs("OSTREL gantrix\n"
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
          "Automated: https://gantrix.example.org/\n",
          out);
}

// The switches' own lines, shown by --help only: the plain usage text stays as scripts know it.
void SwitchUsage()
{
    puts(
        "\n"
        "Switches, before the port word (after it they are refused):\n"
        "  -h, --help          this text\n"
        "  -V, --version       the tool's version\n"
        "  --timeout SECONDS   bound of every read and write on the line, decimal, 0.1 to 60\n"
        "                      (default 5)\n"
        "  --retries N         repeat an exchange that failed on the line up to N times, 0 to 10\n"
        "                      (default 0): ping, id, status and upgrade blocks only (the boot\n"
        "                      switch is sent once); a block is repeated only after a ping that\n"
        "                      the boot loader answers, else the upgrade stops with status 1\n"
        "  --trace             every frame both ways on stderr, decoded and dumped\n"
        "  --log FILE          append the output and the trace to FILE, with UTC timestamps\n"
        "                      and the run's process id\n"
        "  --progress plain    upgrade progress as a line per 10 % and a summary\n"
        "  --format FORMAT     read the upgrade's file as raw, ihex (Intel HEX) or srec\n"
        "                      (S-record); without it, by its first record or else its name\n"
        "                      (.hex .ihx .ihex, .srec .s19 .s28 .s37 .mot); raw sends any file\n"
        "  --base ADDR         address of the image's first byte in a HEX or S-record file,\n"
        "                      0x hex or decimal (default: the lowest data address); refused\n"
        "                      for a raw image\n"
        "  --wait SECONDS      after move, home, calibrate, precalibrate, vend or recover, poll\n"
        "                      the status until the board is idle again (past vended: until then\n"
        "                      it refuses the next motion as busy), 1 to 600; exit status 1\n"
        "                      unless it ends idle without error flags\n"
        "  --json              the result as one JSON object on stdout (not with debug or --log);\n"
        "                      a refused command line too, with the usage on stderr\n"
        "  --list-ports        the serial ports: name, description, USB ids, serial number,\n"
        "                      latency timer, /dev/serial/by-id link, busy; no port word needed\n"
        "  --probe             with --list-ports: ping each free port, mark where a board answers\n"
        "  --wait-port SECONDS wait up to SECONDS (0 to 600) for a missing or busy port\n"
        "\n"
        "The port word usb:VID:PID or usb:VID:PID:SERIAL names the USB adapter, with its ids and\n"
        "serial number as --list-ports shows them; any other word names the device.\n"
        "\n"
        "Output that cannot be written (a full disk, stdout or the log) ends the run with\n"
        "status 1 and a line on stderr.");
}

// What the switches before the port word asked for. With none, the run is exactly as without
// this record.
struct Options {
    bool help = false;
    bool version = false;
    int timeout_ms = line_timeout_ms;
    bool list_ports = false;
    bool probe = false;
    int retries = 0;
    bool trace = false;
    const char* log_path = nullptr;
    bool progress_plain = false;
    UpgradeOptions upgrade;  // --format and --base
    int wait_ms = 0;         // --wait; 0: the motion commands return once the board accepted them
    bool json = false;
    int wait_port_ms = 0;  // --wait-port
};

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

// Reads a decimal number of seconds within [low, high] into milliseconds; false when the word is
// not one. strtod alone would take hex ("0x10" as 16 s), exponents, "inf" and "nan".
bool ParseSeconds(const char* word, double low, double high, int* ms)
{
    if (std::strspn(word, "0123456789.") != std::strlen(word) ||
        std::strchr(word, '.') != std::strrchr(word, '.'))
        return false;
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
bool StartRun(const Options& options, int argc, char* argv[])
{
    if (options.log_path) {
        std::string run = "gantrix " GANTRIX_VERSION ":";
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

// The line that says the output was not all written; for stdout as for the log.
const char output_lost[] = "gantrix: the output could not be written in full";

// Puts stdout back and waits until the log has every line. False, with the line for stderr in
// *failure, when the log or the console behind it could not be written.
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

// Reads an address, hex after "0x" or decimal, within 32 bits; false when the word is not one.
bool ParseAddress(const char* word, uint32_t* address)
{
    const bool hex = word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
    const char* digits = hex ? word + 2 : word;
    if (!std::isxdigit(static_cast<unsigned char>(digits[0])))
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long number = std::strtoull(digits, &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || number > UINT32_MAX)
        return false;
    *address = static_cast<uint32_t>(number);
    return true;
}

// The switches: the word, its short form, and for a switch that takes a value the line that
// refuses a bad one. `apply` reads the value (null for a switch without one) into the options.
struct SwitchRow {
    const char* word;
    const char* short_word;
    const char* refusal;
    bool (*apply)(const char* value, Options* options);
};

const SwitchRow switch_table[] = {
    {"--help", "-h", nullptr, [](const char*, Options* o) { return o->help = true; }},
    {"--version", "-V", nullptr, [](const char*, Options* o) { return o->version = true; }},
    {"--timeout", nullptr, "--timeout takes seconds from 0.1 to 60",
     [](const char* value, Options* o) { return ParseSeconds(value, 0.1, 60, &o->timeout_ms); }},
    {"--retries", nullptr, "--retries takes a number from 0 to 10",
     [](const char* value, Options* o) { return ParseCount(value, 0, 10, &o->retries); }},
    {"--trace", nullptr, nullptr, [](const char*, Options* o) { return o->trace = true; }},
    {"--log", nullptr, "--log takes a file name",
     [](const char* value, Options* o) {
         o->log_path = value;
         return value[0] != '\0';
     }},
    {"--progress", nullptr, "--progress takes plain",
     [](const char* value, Options* o) {
         return o->progress_plain = std::strcmp(value, "plain") == 0;
     }},
    {"--format", nullptr, "--format takes raw, ihex or srec",
     [](const char* value, Options* o) {
         const char* names[] = {"raw", "ihex", "srec"};
         const ImageFormat formats[] = {IMAGE_FORMAT_RAW, IMAGE_FORMAT_IHEX, IMAGE_FORMAT_SREC};
         o->upgrade.format = IMAGE_FORMAT_AUTO;
         for (int k = 0; k < 3; ++k)
             if (std::strcmp(value, names[k]) == 0)
                 o->upgrade.format = formats[k];
         return o->upgrade.format != IMAGE_FORMAT_AUTO;
     }},
    {"--base", nullptr, "--base takes an address, 0x hex or decimal, up to 0xFFFFFFFF",
     [](const char* value, Options* o) {
         return o->upgrade.base.given = ParseAddress(value, &o->upgrade.base.address);
     }},
    {"--wait", nullptr, "--wait takes seconds from 1 to 600",
     [](const char* value, Options* o) { return ParseSeconds(value, 1, 600, &o->wait_ms); }},
    {"--json", nullptr, nullptr, [](const char*, Options* o) { return o->json = true; }},
    {"--wait-port", nullptr, "--wait-port takes seconds from 0 to 600",
     [](const char* value, Options* o) { return ParseSeconds(value, 0, 600, &o->wait_port_ms); }},
    {"--list-ports", nullptr, nullptr,
     [](const char*, Options* o) { return o->list_ports = true; }},
    {"--probe", nullptr, nullptr, [](const char*, Options* o) { return o->probe = true; }},
};

const SwitchRow* FindSwitch(const char* word)
{
    for (const SwitchRow& row : switch_table)
        if (std::strcmp(word, row.word) == 0 ||
            (row.short_word && std::strcmp(word, row.short_word) == 0))
            return &row;
    return nullptr;
}

// A word as a shell takes it back.
std::string ShellWord(const std::string& word)
{
    if (!word.empty() &&
        word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                               "@%+=:,./_-") == std::string::npos)
        return word;
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// A switch word after the port word would be taken as a command's word and silently change
// nothing: the run is refused, with the command as it should have been written. False when there
// is none.
bool SwitchAfterPortWord(int argc, char* argv[], int first, bool json)
{
    std::vector<std::string> moved;
    std::vector<std::string> rest;
    for (int i = first + 1; i < argc; ++i) {
        const SwitchRow* row = FindSwitch(argv[i]);
        if (!row) {
            rest.push_back(argv[i]);
            continue;
        }
        moved.push_back(argv[i]);
        if (row->refusal && i + 1 < argc)
            moved.push_back(argv[++i]);
    }
    if (moved.empty())
        return false;
    std::string command = "gantrix";
    for (int i = 1; i < first; ++i)
        command += " " + ShellWord(argv[i]);
    for (const std::string& word : moved)
        command += " " + ShellWord(word);
    command += " " + ShellWord(argv[first]);
    for (const std::string& word : rest)
        command += " " + ShellWord(word);
    usage(json ? stderr : stdout);
    const std::string reason = "switches go before the port word: " + command;
    fprintf(stderr, "gantrix: %s\n", reason.c_str());
    if (json)
        puts(JsonRefusal("", reason).c_str());
    return true;
}

// Whether --json stands among the switches before the port word, so that a run refused on a
// switch before it is reported as an object too.
bool JsonAmongSwitches(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i) {
        const SwitchRow* row = FindSwitch(argv[i]);
        if (!row && std::strncmp(argv[i], "--", 2) != 0)
            return false;
        if (row && row->refusal)
            ++i;  // its value
        else if (std::strcmp(argv[i], "--json") == 0)
            return true;
    }
    return false;
}

// Takes the switches off the front of the words (a word that starts with "--", and -h and -V,
// are never a port word). Returns -1 to go on with the run, or the exit status of a run that
// ends here.
int ParseSwitches(int argc, char* argv[], int* first_word, Options* options)
{
    const bool json = JsonAmongSwitches(argc, argv);
    // The line on stderr, and under --json the object on stdout.
    const auto refuse = [json](const std::string& reason) {
        fprintf(stderr, "gantrix: %s\n", reason.c_str());
        if (json)
            puts(JsonRefusal("", reason).c_str());
        return exit_failed;
    };
    int i = 1;
    for (; i < argc; ++i) {
        const SwitchRow* row = FindSwitch(argv[i]);
        if (!row && std::strncmp(argv[i], "--", 2) != 0)
            break;
        if (!row)
            return refuse("unknown switch " + std::string(argv[i]) + " (see gantrix --help)");
        if (!row->refusal) {
            row->apply(nullptr, options);
        } else if (i + 1 < argc && row->apply(argv[i + 1], options)) {
            ++i;
        } else {
            return refuse(row->refusal);
        }
        if (options->help) {
            usage();
            SwitchUsage();
            return exit_ok;
        }
        if (options->version) {
            // --json may come after it.
            if (!json) {
                puts("gantrix " GANTRIX_VERSION);
                return exit_ok;
            }
            JsonObject object = JsonStart("version", true);
            JsonAddString(&object, "version", GANTRIX_VERSION);
            puts(JsonText(object).c_str());
            return exit_ok;
        }
    }
    if (options->probe && !options->list_ports)
        return refuse("--probe goes with --list-ports");
    // Both take stdout through the one diversion there is: --json to hold the text lines back,
    // --log to copy them into the file.
    if (options->json && options->log_path)
        return refuse("--json and --log do not go together");
    if (i < argc && SwitchAfterPortWord(argc, argv, i, json))
        return exit_failed;
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
    ReportingHandler reporter;  // --json: the handler that also fills the run's report
    bool moves;                 // sets the mechanism going, so --wait may follow it
};

// clang-format off
constexpr CommandRow command_table[] = {
    {RequestWord(HPROTO_CMD_PING),         Ping,         true,  nullptr,          false},
    {RequestWord(HPROTO_CMD_ID),           Id,           true,  IdReported,       false},
    {RequestWord(HPROTO_CMD_UPGRADE),      nullptr,      false, nullptr,          false},  // Upgrade
    {RequestWord(HPROTO_CMD_CALIBRATE),    Calibrate,    false, nullptr,          true},
    {RequestWord(HPROTO_CMD_PRECALIBRATE), PreCalibrate, false, nullptr,          true},
    {RequestWord(HPROTO_CMD_VEND),         Vend,         false, nullptr,          true},
    {RequestWord(HPROTO_CMD_GOHOME),       Home,         false, nullptr,          true},
    {RequestWord(HPROTO_CMD_RECOVER),      Recover,      false, nullptr,          true},
    {RequestWord(HPROTO_CMD_STATUS),       Status,       false, StatusReported,   false},
    {RequestWord(HPROTO_CMD_MOVE),         Move,         false, nullptr,          true},
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

// The row of the command word; null when there is none.
const CommandRow* FindCommand(const std::string& word)
{
    for (const CommandRow& row : command_table)
        if (word == row.word)
            return &row;
    return nullptr;
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
        usage();
        return exit_failed;
    }
    usage(stderr);
    puts(reason.c_str());
    return exit_failed;
}

// Runs the command named by the words (words[0] the port word) on a port that is open and set
// up; returns the exit status. With a report (--json) the command fills it.
int RunCommand(Port port, int count, char* words[], const Options& options, RunReport* report)
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


// Why the switches do not fit the command words (words[0] the port word); null when they do.
// Checked before the port is opened, so that nothing is sent.
const char* SwitchesMisfit(int count, char* words[], const Options& options)
{
    const bool debug = std::strcmp(words[1], "debug") == 0;
    if (options.json && debug)
        return "debug does not go with --json: its trace is a stream, not one result";
    const char* word = debug && count > 2 ? words[2] : words[1];
    const CommandRow* row = FindCommand(word);
    if (options.wait_ms > 0 && row && !row->moves)
        return "--wait goes with move, home, calibrate, precalibrate, vend and recover";
    return nullptr;
}

// The run on the port named by words[0]: open and set it up, run the command; the exit status.
int RunOnPort(int count, char* words[], const Options& options, RunReport* report)
{
    if (count < 2)
        return RefuseWords(options, "a port word and a command word are needed");
    if (const char* misfit = SwitchesMisfit(count, words, options)) {
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

    int status = RunCommand(port, count, words, options, report);
    // Closing clears the port's exclusive mark, which would otherwise outlive the run.
    PortClose(port);
    return status;
}

// --json: the run with its text lines held back, then one object for them on stdout.
int RunJson(int count, char* words[], const Options& options)
{
    const std::string command = count < 2 ? "" : words[1];
    RunReport report;
    if (!CaptureStart()) {
        fprintf(stderr, "gantrix: cannot hold the output back for --json\n");
        return exit_failed;
    }
    const int status = RunOnPort(count, words, options, &report);
    const std::string text = CaptureEnd();
    puts(JsonRun(command, status == exit_ok, text, report).c_str());
    return status;
}

}  // namespace

int main(int argc, char* argv[])
{
    // First of all, before anything takes the number of a closed standard descriptor; and a run
    // cut short by Ctrl-C, a kill or a closed console must not lose lines already printed.
    ConsoleSetUp();
    Options options;
    int first = 1;
    int status = ParseSwitches(argc, argv, &first, &options);
    std::string failure;
    if (status < 0) {
        if (!StartRun(options, argc, argv))
            return exit_failed;
        if (options.list_ports)
            status = ListSerialPorts(options.probe, options.json);
        else if (options.json)
            status = RunJson(argc - first, argv + first, options);
        else
            status = RunOnPort(argc - first, argv + first, options, nullptr);
        EndRun(options, &failure);
    }
    // A full disk or a closed reader would otherwise pass for a run that printed its lines.
    if ((fflush(stdout) != 0 || ferror(stdout)) && failure.empty())
        failure = output_lost;
    if (!failure.empty()) {
        fprintf(stderr, "%s\n", failure.c_str());
        if (status == exit_ok)
            status = exit_failed;
    }
    return status;
}
