// The command words and what the run needs to know of each: the handler, and how its outcome and
// the switches bear on the rest of the run.
#pragma once

#include <string>

#include "Commands.h"

// `ends_run` marks the commands whose failed exchange ends the run before the debug trace:
// without a board that answers there is nothing to trace.
struct CommandRow {
    const char* word;  // the word of the request the command sends (the upgrade's is its block)
    Handler handler;   // null for the upgrade, which takes the run's upgrade switches
    bool ends_run;
    ReportingHandler reporter;  // --json: the handler that also fills the run's report
    bool moves;                 // sets the mechanism going, so --wait may follow it
};

// The row of the command word; null when there is none.
const CommandRow* FindCommand(const std::string& word);
