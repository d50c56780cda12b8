// Reading the command line: the switch table, the values it takes, and the refusals.
#include "CommandLine.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Usage.h"
#include "commands/JsonOut.h"

#ifndef GANTRIX_VERSION
#define GANTRIX_VERSION "unknown"
#endif

const char* const program_version = GANTRIX_VERSION;

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

namespace {

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
    bool (*apply)(const char* value, RunOptions* options);
};

const SwitchRow switch_table[] = {
    {"--help", "-h", nullptr, [](const char*, RunOptions* o) { return o->help = true; }},
    {"--version", "-V", nullptr, [](const char*, RunOptions* o) { return o->version = true; }},
    {"--timeout", nullptr, "--timeout takes seconds from 0.1 to 60",
     [](const char* value, RunOptions* o) { return ParseSeconds(value, 0.1, 60, &o->timeout_ms); }},
    {"--retries", nullptr, "--retries takes a number from 0 to 10",
     [](const char* value, RunOptions* o) { return ParseCount(value, 0, 10, &o->retries); }},
    {"--trace", nullptr, nullptr, [](const char*, RunOptions* o) { return o->trace = true; }},
    {"--log", nullptr, "--log takes a file name",
     [](const char* value, RunOptions* o) {
         o->log_path = value;
         return value[0] != '\0';
     }},
    {"--progress", nullptr, "--progress takes plain",
     [](const char* value, RunOptions* o) {
         return o->progress_plain = std::strcmp(value, "plain") == 0;
     }},
    {"--format", nullptr, "--format takes raw, ihex or srec",
     [](const char* value, RunOptions* o) {
         const char* names[] = {"raw", "ihex", "srec"};
         const ImageFormat formats[] = {IMAGE_FORMAT_RAW, IMAGE_FORMAT_IHEX, IMAGE_FORMAT_SREC};
         o->upgrade.format = IMAGE_FORMAT_AUTO;
         for (int k = 0; k < 3; ++k)
             if (std::strcmp(value, names[k]) == 0)
                 o->upgrade.format = formats[k];
         return o->upgrade.format != IMAGE_FORMAT_AUTO;
     }},
    {"--base", nullptr, "--base takes an address, 0x hex or decimal, up to 0xFFFFFFFF",
     [](const char* value, RunOptions* o) {
         return o->upgrade.base.given = ParseAddress(value, &o->upgrade.base.address);
     }},
    {"--wait", nullptr, "--wait takes seconds from 1 to 600",
     [](const char* value, RunOptions* o) { return ParseSeconds(value, 1, 600, &o->wait_ms); }},
    {"--json", nullptr, nullptr, [](const char*, RunOptions* o) { return o->json = true; }},
    {"--wait-port", nullptr, "--wait-port takes seconds from 0 to 600",
     [](const char* value, RunOptions* o) {
         return ParseSeconds(value, 0, 600, &o->wait_port_ms);
     }},
    {"--list-ports", nullptr, nullptr,
     [](const char*, RunOptions* o) { return o->list_ports = true; }},
    {"--probe", nullptr, nullptr, [](const char*, RunOptions* o) { return o->probe = true; }},
    {"--keep-going", nullptr, nullptr,
     [](const char*, RunOptions* o) { return o->keep_going = true; }},
    {"--each", nullptr, nullptr, [](const char*, RunOptions* o) { return o->each = true; }},
    {"--jobs", nullptr, "--jobs takes a number from 1 to 256",
     [](const char* value, RunOptions* o) { return ParseCount(value, 1, 256, &o->jobs); }},
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
    PrintUsage(json ? stderr : stdout);
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
int ParseSwitches(int argc, char* argv[], int* first_word, RunOptions* options)
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
            PrintUsage();
            PrintSwitchUsage();
            return exit_ok;
        }
        if (options->version) {
            // --json may come after it.
            if (!json) {
                printf("gantrix %s\n", program_version);
                return exit_ok;
            }
            JsonObject object = JsonStart("version", true);
            JsonAddString(&object, "version", program_version);
            puts(JsonText(object).c_str());
            return exit_ok;
        }
    }
    if (options->probe && !options->list_ports)
        return refuse("--probe goes with --list-ports");
    if (options->jobs > 0 && !options->each)
        return refuse("--jobs goes with --each");
    if (options->each && options->list_ports)
        return refuse("--each does not go with --list-ports");
    // Both take stdout through the one diversion there is: --json to hold the text lines back,
    // --log to copy them into the file.
    if (options->json && !options->log_path.empty())
        return refuse("--json and --log do not go together");
    if (i < argc && SwitchAfterPortWord(argc, argv, i, json))
        return exit_failed;
    *first_word = i;
    return -1;
}

}  // namespace

bool IsSwitchWord(const std::string& word)
{
    return FindSwitch(word.c_str()) || word.compare(0, 2, "--") == 0;
}

int ParseCommandLine(int argc, char* argv[], int timeout_ms, CommandLine* line)
{
    line->options.timeout_ms = timeout_ms;
    int first = 1;
    const int status = ParseSwitches(argc, argv, &first, &line->options);
    line->typed.assign(argv + 1, argv + argc);
    line->words.assign(argv + first, argv + argc);
    return status;
}
