// gantrix: drive a vending machine's controller board by hand over a serial line.
// One run: read the words, open and set up the port, run one command, optionally follow the
// board's debug text, and end with a status that says how far it got.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "cli/Run.h"
#include "console/Console.h"

namespace {

// How long one read or write may wait for the line. The test build of the tool gets a short
// limit, so that runs against a silent or unplugged board take a fraction of a second.
#ifndef GANTRIX_LINE_TIMEOUT_MS
#define GANTRIX_LINE_TIMEOUT_MS 5000
#endif
constexpr int line_timeout_ms = GANTRIX_LINE_TIMEOUT_MS;

#ifndef GANTRIX_VERSION
#define GANTRIX_VERSION "unknown"
#endif

}  // namespace

int main(int argc, char* argv[])
{
    // First of all, before anything takes the number of a closed standard descriptor; and a run
    // cut short by Ctrl-C, a kill or a closed console must not lose lines already printed.
    ConsoleSetUp();
    Options options;
    options.timeout_ms = line_timeout_ms;
    options.tool_version = GANTRIX_VERSION;
    int first = 1;
    int status = ParseSwitches(argc, argv, &first, &options);
    std::string failure;
    if (status < 0) {
        if (!StartRun(options, argc, argv))
            return exit_failed;
        if (options.list_ports)
            status = ListSerialPorts(options.probe, options.json);
        else
            status = RunWords(std::vector<std::string>(argv + first, argv + argc), options);
        EndRun(options, &failure);
    }
    // A full disk or a closed reader would otherwise pass for a run that printed its lines.
    if ((fflush(stdout) != 0 || ferror(stdout)) && failure.empty())
        failure = output_lost;
    if (!failure.empty()) {
        fprintf(stderr, "%s\n", failure.c_str());
        if (status == exit_ok)
            status = exit_failed;
    }
    return status;
}
