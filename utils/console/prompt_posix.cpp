// The prompt on POSIX: libedit's editor and history, so the keys behave as in any other prompt
// (arrows, Ctrl-R, ~/.editrc) without terminal code of our own.
#include "Prompt.h"

#include <histedit.h>
#include <unistd.h>

#include <cstdio>

struct PromptEditor {
    EditLine* line = nullptr;
    History* history = nullptr;
    std::string prompt;
};

namespace {

char* ShowPrompt(EditLine* line)
{
    void* data = nullptr;
    el_get(line, EL_CLIENTDATA, &data);
    return &static_cast<PromptEditor*>(data)->prompt[0];
}

}  // namespace

bool InputIsTerminal()
{
    return isatty(STDIN_FILENO) != 0;
}

LinePrompt::LinePrompt(const std::string& prompt) : editor_(new PromptEditor)
{
    editor_->prompt = prompt;
    editor_->line = el_init("gantrix", stdin, stderr, stderr);
    editor_->history = history_init();
    HistEvent event;
    history(editor_->history, &event, H_SETSIZE, 1000);
    // A line typed twice in a row is recalled once.
    history(editor_->history, &event, H_SETUNIQUE, 1);
    el_set(editor_->line, EL_EDITOR, "emacs");
    el_set(editor_->line, EL_CLIENTDATA, editor_);
    el_set(editor_->line, EL_PROMPT, ShowPrompt);
    el_set(editor_->line, EL_HIST, history, editor_->history);
    // The terminal put back in its own mode before Ctrl-C or a stop takes the process.
    el_set(editor_->line, EL_SIGNAL, 1);
    el_source(editor_->line, nullptr);
}

LinePrompt::~LinePrompt()
{
    el_end(editor_->line);
    history_end(editor_->history);
    delete editor_;
}

bool LinePrompt::Read(std::string* line)
{
    int count = 0;
    const char* text = el_gets(editor_->line, &count);
    if (!text || count <= 0)
        return false;
    line->assign(text, static_cast<size_t>(count));
    while (!line->empty() && (line->back() == '\n' || line->back() == '\r'))
        line->pop_back();
    if (!line->empty()) {
        HistEvent event;
        history(editor_->history, &event, H_ENTER, line->c_str());
    }
    return true;
}
