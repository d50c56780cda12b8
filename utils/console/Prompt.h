// The shell's prompt at a terminal: a line as the person typed it, with the platform's own line
// editing and history (libedit on POSIX, the console's on Windows).
#pragma once

#include <string>

// Whether standard input is a terminal, a person typing, rather than a file or a program's pipe.
bool InputIsTerminal();

struct PromptEditor;  // prompt_posix.cpp, prompt_win32.cpp

// Reads typed lines, keeping each in the history that the arrow keys walk.
class LinePrompt {
public:
    // `prompt` goes to stderr, so that stdout carries the commands' output alone.
    explicit LinePrompt(const std::string& prompt);
    ~LinePrompt();
    LinePrompt(const LinePrompt&) = delete;
    LinePrompt& operator=(const LinePrompt&) = delete;

    // One line into *line without its line end; false at the end of input (Ctrl-D, Ctrl-Z).
    bool Read(std::string* line);

private:
    PromptEditor* editor_;
};
