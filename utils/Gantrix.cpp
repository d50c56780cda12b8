// gantrix: drive a vending machine's controller board by hand over a serial line.
// One run: read the words, open and set up the port, run one command, optionally follow the
// board's debug text, and end with a status that says how far it got.
#include <cstdio>
#include <cstring>
#include <string>

#include "commands/Commands.h"
#include "proto/Exchange.h"
#include "serial/Serial.h"

namespace {

// Exit statuses.
constexpr int exit_ok = 0;
constexpr int exit_failed = 1;  // usage, port not opened, or a command that reported a failure
constexpr int exit_get_state = 2;
constexpr int exit_set_state = 4;

// How long one read or write may wait for the line. The test build of the tool gets a short
// limit, so that runs against a silent or unplugged board take a fraction of a second.
#ifndef GANTRIX_LINE_TIMEOUT_MS
#define GANTRIX_LINE_TIMEOUT_MS 5000
#endif
constexpr int line_timeout_ms = GANTRIX_LINE_TIMEOUT_MS;

void usage()
{
    puts("OSTREL gantrix\n"
         "\n"
         "Usage: gantrix <port> [debug]\t\t\t\t\t\n"
         "\t\tid\t\t\t\t\t\t\t\t\n"
         "\t\tping\t\t\t\t\t\t\t\t\n"
         "\t\tupgrade\t<firmware path>\t\t\t\t\t\t\t\n"
         "\t\tstatus \t\t\t\t\t\t\t\t\t\t\t\n"
         "\t\thome \t\t\t\t\t\t\t\t\t\t\t\n"
         "\t\tmove [x|y|z|z1] [fwd|bwd] <steps>\t\t\t\t\t\t\t\t\t\t\t\n"
         "\t\tcalibrate <cell>\t\t\t\t\t\t\t\t\t\t\t\n"
         "\t\tprecalibrate <cell>\t\t\t\t\t\t\t\t\t\t\t\n"
         "\t\tvend <cell>\t\t\t\t\t\t\t\t\t\t\t\n"
         "\t\trecover      \n"
         "Automated: https://gantrix.example.org/");
}

// The command words in the order they are matched. `ends_run` marks the commands whose failed
// exchange ends the run before the debug trace: without a board that answers there is nothing to
// trace.
struct CommandRow {
    const char* word;
    Handler handler;
    bool ends_run;
};

constexpr CommandRow command_table[] = {
    {"ping", Ping, true},
    {"id", Id, true},
    {"upgrade", Upgrade, false},
    {"calibrate", Calibrate, false},
    {"precalibrate", PreCalibrate, false},
    {"vend", Vend, false},
    {"home", Home, false},
    {"recover", Recover, false},
    {"status", Status, false},
    {"move", Move, false},
};

// Runs the command named by the words on a port that is open and set up; returns the exit status.
int RunCommand(Port port, int argc, char* argv[])
{
    std::string cmd = argv[2];
    int arg = 3;
    bool need_debug = false;
    if (cmd == "debug" && argc > 3) {
        cmd = argv[3];
        arg = 4;
        need_debug = true;
    }
    Args args(argv + arg, argv + argc);

    // An empty command word runs nothing and goes straight to the trace.
    int result = COMMAND_OK;
    if (!cmd.empty()) {
        const CommandRow* row = nullptr;
        for (const CommandRow& candidate : command_table)
            if (cmd == candidate.word) {
                row = &candidate;
                break;
            }
        if (!row) {
            usage();
            return exit_failed;
        }
        result = row->handler(port, args);
        if (result == COMMAND_USAGE) {
            usage();
            return exit_failed;
        }
        if (row->ends_run && result == COMMAND_NO_EXCHANGE)
            return exit_failed;
    }

    if (need_debug)
        Debug(port);
    return result == COMMAND_OK ? exit_ok : exit_failed;
}

}  // namespace

int main(int argc, char* argv[])
{
    // A run cut short by Ctrl-C, a kill or a closed console must not lose lines already printed.
    ConsoleSetUp();
    if (argc < 3) {
        usage();
        return exit_failed;
    }

    std::string path = PortPath(argv[1]);
    Port port;
    if (!PortOpen(path, line_timeout_ms, &port)) {
        printf("Failed to open port");
        return exit_failed;
    }
    LineSettings dcb;
    if (!PortGetSettings(port, &dcb)) {
        printf("Failed to get COM state");
        PortClose(port);
        return exit_get_state;
    }
    dcb.baud_rate = 115200;
    dcb.parity = 0;
    dcb.stop_bits = 0;
    dcb.byte_size = 8;
    if (!PortSetSettings(port, &dcb)) {
        printf("Failed to set COM state");
        PortClose(port);
        return exit_set_state;
    }
    PortPurge(port);
    PortSetQueues(port, 256, 256);

    int status = RunCommand(port, argc, argv);
    // Closing clears the port's exclusive mark, which would otherwise outlive the run.
    PortClose(port);
    return status;
}
