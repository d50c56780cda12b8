// The prompt on Windows: the console's own line editing, which gives a line read from it the
// arrow keys, F7's history list and the rest without any code of ours.
#include "Prompt.h"

#include <io.h>

#include <cstdio>

struct PromptEditor {
    std::string prompt;
};

bool InputIsTerminal()
{
    return _isatty(_fileno(stdin)) != 0;
}

LinePrompt::LinePrompt(const std::string& prompt) : editor_(new PromptEditor{prompt}) {}

LinePrompt::~LinePrompt()
{
    delete editor_;
}

bool LinePrompt::Read(std::string* line)
{
    std::fputs(editor_->prompt.c_str(), stderr);
    std::fflush(stderr);
    line->clear();
    int c;
    while ((c = std::getc(stdin)) != EOF && c != '\n')
        line->push_back(static_cast<char>(c));
    if (c == EOF && line->empty())
        return false;
    if (!line->empty() && line->back() == '\r')
        line->pop_back();
    return true;
}
