// Running a parsed command line: the log, the port, the command, the JSON object, the status.
#pragma once

#include <string>

#include "CommandLine.h"

// The line that says the output was not all written; for stdout as for the log.
constexpr char output_lost[] = "gantrix: the output could not be written in full";

// Runs `line` to its end and returns its exit status. A log or a console behind it that could not be
// written in full leaves its stderr line in *failure; stdout itself is the caller's to check.
int RunCommandLine(const CommandLine& line, std::string* failure);
