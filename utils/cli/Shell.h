// The shell: many command lines run on one open port, from a script, a program's pipe or a
// person at a prompt, each as the single command with the same words would run.
#pragma once

#include <string>
#include <vector>

#include "CommandLine.h"

class Output;

// Whether the words after the switches (the port word first) ask for a shell.
bool IsShell(const std::vector<std::string>& words);
// Runs the shell the command line asks for through the run's output; the exit status: that of the
// first command that failed, 1 for a refused script or a port lost, else 0.
int RunShell(const CommandLine& line, Output& out);
