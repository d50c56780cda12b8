// The console as the run sees it: standard output's buffering, its flush when the run is cut
// short, and its diversion into the log. The only other place, beside the serial layer, that
// knows the operating system.
#pragma once

#include <cstddef>

// Gives every standard descriptor (0, 1, 2) that the run was started without a null device, so
// that nothing opened later (the port above all) takes its number and gets the console's text.
// Then sets up standard output so that a run ended by Ctrl-C, a kill or a closed console loses
// none of the lines it printed: on POSIX each line is written as it ends; on Windows, where the C
// runtime has no line buffering, the console's interrupt and close events flush what is pending.
void ConsoleSetUp();

// Sends everything later written to stdout through a pipe to `sink`, on a thread of its own, in
// order; the sink passes what the console should show to ConsoleWrite. At the end of the
// diversion the sink gets a call with no bytes. For --log; false when there is no pipe to be had.
bool ConsoleDivert(void (*sink)(const char* bytes, size_t count));
// Writes to where stdout went before the diversion.
void ConsoleWrite(const char* bytes, size_t count);
// Flushes stdout, ends the diversion and waits until the sink has had every byte. False when a
// write to where stdout went before failed (a full disk, a closed reader).
bool ConsoleRestore();

// Shows what stdout holds when it goes to a console, before the run waits on the line.
void ShowPrinted();

// Whether stdout is a terminal, where a line rewritten with '\r' shows as one line.
bool StdoutIsTerminal();

// The run's process id, as the system's process list shows it.
int RunProcessId();
