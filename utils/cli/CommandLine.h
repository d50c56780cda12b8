// The command line: the switches before the port word and the run's record they fill, the usage
// text, and the table of command words. Nothing here opens a port or sends a byte, so a line of
// words can be checked before anything runs.
#pragma once

#include <cstdio>
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
struct Options {
    bool help = false;
    bool version = false;
    int timeout_ms = 5000;  // the build of the tool may give another default
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
    // The tool's own version, as main knows it: --version, and the log's first line.
    const char* tool_version = "unknown";
};

// The usage text: on stdout, as scripts know it; on stderr under --json, where stdout carries the
// object alone.
void Usage(FILE* out = stdout);

// Takes the switches off the front of the words into *options (a word that starts with "--",
// and -h and -V, are never a port word). Returns -1 to go on with the run, *first_word then the
// index of the port word; or the exit status of a run that ends here (help, version, a refused
// switch, a switch after the port word), its lines printed.
int ParseSwitches(int argc, char* argv[], int* first_word, Options* options);

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
// The row of the command word; null when there is none.
const CommandRow* FindCommand(const std::string& word);

// Why the switches do not fit the command words (words[0] the port word, at least one word
// after it); null when they do. Checked before the port is opened, so that nothing is sent.
const char* SwitchesMisfit(const std::vector<std::string>& words, const Options& options);
