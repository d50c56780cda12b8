// Running a parsed command line: the log, the port, the command, the JSON object, the status.
#pragma once

#include <string>

#include "CommandLine.h"
#include "output/Output.h"
#include "serial/Serial.h"

class Output;
class Port;
struct Link;
struct RunReport;

// The line that says the output was not all written; for stdout as for the log.
constexpr char output_lost[] = "gantrix: the output could not be written in full";

// Runs `line` to its end and returns its exit status. A log or a console behind it that could not be
// written in full leaves its stderr line in *failure; stdout itself is the caller's to check.
int RunCommandLine(const CommandLine& line, std::string* failure);

// The pieces of a run that a shell repeats on its one port.
// Opens the port named by `port_word` and sets up its line into *opened; the exit status of a run
// that ends there, its lines printed, or exit_ok.
int OpenRunPort(const std::string& port_word, const RunOptions& options, Output& out, Port* opened);
// What a network line had to say (trace lines, stderr lines) told through `out`; false, with its
// line, when it refused a setting, which ends the run.
bool TellNews(Output& out, const LineNews& news);
// Why the switches do not fit the command words (words[0] the port word); null when they do.
// Checked before the port is opened, so that nothing is sent.
const char* SwitchesMisfit(const std::vector<std::string>& words, const RunOptions& options);
// Runs the command named by the words (words[0] the port word) on a port that is open and set
// up; returns the exit status. With a report (--json) the command fills it.
int RunCommand(Link& link, const std::vector<std::string>& words, const RunOptions& options,
               RunReport* report);
// The run on the port named by words[0]: open and set it up, run the command; the exit status.
// With a report the command fills it where it can.
int RunOnPort(const std::vector<std::string>& words, const RunOptions& options, Output& out,
              RunReport* report);
