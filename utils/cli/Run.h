// Running a parsed command line: the run's set-up (the log), a command on its port, the --json
// object, the port listing. The command line itself is cli/CommandLine.h.
#pragma once

#include <string>
#include <vector>

#include "CommandLine.h"

// Opens the log and diverts stdout into it, for --log; `argv` names the run in the log's first
// line. False, with a line on stderr, when the log cannot be opened.
bool StartRun(const Options& options, int argc, char* argv[]);
// Puts stdout back and waits until the log has every line. False, with the line for stderr in
// *failure, when the log or the console behind it could not be written.
bool EndRun(const Options& options, std::string* failure);
// The line that says the output was not all written; for stdout as for the log.
extern const char output_lost[];

// --list-ports: one line per port on stdout (one object under --json); the exit status.
int ListSerialPorts(bool probe, bool json);
// The command on the port named by words[0] (the words after the switches): the port opened
// and set up, the command run, the port closed; under --json one object on stdout. The exit
// status.
int RunWords(const std::vector<std::string>& words, const Options& options);
