// The shell's lines before they run: read from a stream, split into words, and checked as the
// single command would check them, without a byte sent.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "CommandLine.h"

namespace shell_lines {

using Words = std::vector<std::string>;

// Longer than any command someone writes: a binary file or a runaway program, refused before it
// fills memory.
constexpr size_t longest_line = 4096;
constexpr int most_repeats = 1000000;

extern const char shell_words[];

// A line of the shell's input, numbered from 1.
struct ShellLine {
    int number = 0;
    std::string text;
    bool too_long = false;
};

// The line split at blanks (no quoting).
Words SplitWords(const std::string& text);
std::string JoinWords(const Words& words);
// The words as a JSON array.
std::string JsonWords(const Words& words);
// The switches as they hold for one line: --wait follows the motions only, so that a script can
// mix them with pings and statuses.
RunOptions LineOptions(const RunOptions& options, const Words& words);
// The port word before a line's words, as a single command line has them.
Words CommandLineWords(const std::string& port_word, const Words& words);
// Why a line would not run; empty when it would. Blank and comment lines are never checked.
std::string RefuseLine(const std::string& port_word, const Words& words, const RunOptions& options);
// Why the raw line cannot be words at all; empty when it can.
std::string RefuseText(const ShellLine& line);
// A blank line or a comment.
bool Skipped(const Words& words);
// Reads one line of a stream, as it arrives; false at the end of the stream with nothing read.
bool ReadStreamLine(FILE* stream, ShellLine* line);

}  // namespace shell_lines
