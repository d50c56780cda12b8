// The command line: the switches before the port word, read into the run's record, and the words
// after them. Nothing here opens a port; a session can run a parsed line without `main`.
#pragma once

#include <string>
#include <vector>

#include "commands/Commands.h"

// Exit statuses.
constexpr int exit_ok = 0;
// Usage, a bad switch, the port not opened, a command that reported a failure, a --wait that did
// not end idle, or output that could not be written in full.
constexpr int exit_failed = 1;
constexpr int exit_get_state = 2;
constexpr int exit_set_state = 4;

// What the switches before the port word asked for. With none, the run is exactly as without
// this record.
struct RunOptions {
    bool help = false;
    bool version = false;
    int timeout_ms = 0;  // --timeout; the build's own line time-out without it
    bool list_ports = false;
    bool probe = false;
    int retries = 0;
    bool trace = false;
    std::string log_path;  // --log; empty without it
    bool progress_plain = false;
    UpgradeOptions upgrade;  // --format and --base
    int wait_ms = 0;         // --wait; 0: the motion commands return once the board accepted them
    bool json = false;
    int wait_port_ms = 0;     // --wait-port
    bool keep_going = false;  // --keep-going: a shell runs on past a failed command
    bool each = false;        // --each: the port word is a comma-separated set of ports
    int jobs = 0;             // --jobs: how many of the set run together; 0: all of them
};

// A command line read and found runnable.
struct CommandLine {
    RunOptions options;
    std::vector<std::string> typed;  // every word as typed, the program's name left out
    std::vector<std::string> words;  // after the switches: the port word, the command, its words
};

// The program's version, as --version and the log's first line name it.
extern const char* const program_version;

// Reads the switches off the front of argv (a word that starts with "--", and -h and -V, are never
// a port word) into *line, with `timeout_ms` the line time-out when --timeout is not given.
// Returns -1 to go on with the run, or the exit status of a run that ends here (--help,
// --version, a refused switch), its lines printed.
int ParseCommandLine(int argc, char* argv[], int timeout_ms, CommandLine* line);

// Reads a decimal number of seconds within [low, high] into milliseconds; false when the word is
// not one.
bool ParseSeconds(const char* word, double low, double high, int* ms);
// Reads a whole number within [low, high]; false when the word is not one.
bool ParseCount(const char* word, long low, long high, int* value);
// Whether a word is one of the switches that stand before the port word.
bool IsSwitchWord(const std::string& word);
