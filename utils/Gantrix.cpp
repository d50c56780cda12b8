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

// "ping": PING OK only when the board answers with the ping command itself.
int Ping(Port port)
{
    Packet packet;
    packet.size = proto_base_size;
    packet.cmd = HPROTO_CMD_PING;
    if (!ExchangePacket(port, &packet)) {
        puts("Failed to ping device");
        return -1;
    }
    bool ok = packet.cmd == HPROTO_CMD_PING;
    printf("PING %s\n", ok ? "OK" : "FAILED");
    return ok ? 0 : 1;
}

// "id": device number and firmware version from the first three data bytes of the reply.
int Id(Port port)
{
    Packet packet;
    packet.size = proto_base_size;
    packet.cmd = HPROTO_CMD_ID;
    if (!ExchangePacket(port, &packet))
        return -1;
    if (packet.size < proto_base_size + 3) {
        puts("Reply too short");
        return 1;
    }
    unsigned device = packet.cmd_data[0];
    int major = packet.cmd_data[1];
    int minor = packet.cmd_data[2];
    printf("ID: device %X version %d.%d\n", device, major, minor);
    return 0;
}

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

    // The result of the command: 0 success, > 0 a reported failure (the trace still runs),
    // < 0 a failed ping or id exchange (the run ends at once).
    int result = 0;
    if (cmd == "ping")
        result = Ping(port);
    else if (cmd == "id")
        result = Id(port);
    else if (cmd == "upgrade" && !args.empty())
        result = Upgrade(port, args[0]);
    else if (cmd == "calibrate")
        result = Calibrate(port, args);
    else if (cmd == "precalibrate")
        result = PreCalibrate(port, args);
    else if (cmd == "vend")
        result = Vend(port, args);
    else if (cmd == "home")
        result = Home(port, args);
    else if (cmd == "recover")
        result = Recover(port, args);
    else if (cmd == "status")
        result = Status(port, args);
    else if (cmd == "move")
        result = Move(port, args);
    else if (!cmd.empty()) {
        usage();
        return exit_failed;
    }
    if (result < 0 && (cmd == "ping" || cmd == "id"))
        return exit_failed;

    if (need_debug)
        Debug(port);
    return result == 0 ? exit_ok : exit_failed;
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
    if (!PortOpen(path, &port)) {
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
