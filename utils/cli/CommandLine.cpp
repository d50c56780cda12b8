// The command line: switches, usage text, command words.
#include "CommandLine.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands/JsonOut.h"
#include "proto/Protocol.h"

namespace {

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

}  // namespace

// The row of the command word; null when there is none.
const CommandRow* FindCommand(const std::string& word)
{
    for (const CommandRow& row : command_table)
        if (word == row.word)
            return &row;
    return nullptr;
}

// The usage text.
void Usage(FILE* out)
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


namespace {

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
    Usage(json ? stderr : stdout);
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

}  // namespace

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
            Usage();
            SwitchUsage();
            return exit_ok;
        }
        if (options->version) {
            // --json may come after it.
            if (!json) {
                printf("gantrix %s\n", options->tool_version);
                return exit_ok;
            }
            JsonObject object = JsonStart("version", true);
            JsonAddString(&object, "version", options->tool_version);
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

const char* SwitchesMisfit(const std::vector<std::string>& words, const Options& options)
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
