// The usage texts, word for word as scripts and operators know them.
#include "Usage.h"

std::string UsageText()
{
    return "OSTREL gantrix\n"
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
           "Automated: https://gantrix.example.org/\n";
}

void PrintUsage(FILE* out)
{
    fputs(UsageText().c_str(), out);
}

void PrintSwitchUsage()
{
    puts(
        "\n"
        "Switches, before the port word (after it they are refused):\n"
        "  -h, --help          this text\n"
        "  -V, --version       the tool's version\n"
        "  --timeout SECONDS   bound of every read and write on the line, decimal, 0.1 to 60\n"
        "                      (default 5)\n"
        "  --retries N         repeat an exchange that failed on the line up to N times, 0 to 10\n"
        "                      (default 0): ping, id, status and upgrade blocks only (the boot\n"
        "                      switch is sent once); a block is repeated only after a ping that\n"
        "                      the boot loader answers, else the upgrade stops with status 1\n"
        "  --trace             every frame both ways on stderr, decoded and dumped\n"
        "  --log FILE          append the output and the trace to FILE, with UTC timestamps\n"
        "                      and the run's process id\n"
        "  --progress plain    upgrade progress as a line per 10 % and a summary\n"
        "  --format FORMAT     read the upgrade's file as raw, ihex (Intel HEX) or srec\n"
        "                      (S-record); without it, by its first record or else its name\n"
        "                      (.hex .ihx .ihex, .srec .s19 .s28 .s37 .mot); raw sends any file\n"
        "  --base ADDR         address of the image's first byte in a HEX or S-record file,\n"
        "                      0x hex or decimal (default: the lowest data address); refused\n"
        "                      for a raw image\n"
        "  --wait SECONDS      after move, home, calibrate, precalibrate, vend or recover, poll\n"
        "                      the status until the board is idle again (past vended: until then\n"
        "                      it refuses the next motion as busy), 1 to 600; exit status 1\n"
        "                      unless it ends idle without error flags\n"
        "  --json              the result as one JSON object on stdout (not with debug or --log);\n"
        "                      a refused command line too, with the usage on stderr\n"
        "  --list-ports        the serial ports: name, description, USB ids, serial number,\n"
        "                      latency timer, /dev/serial/by-id link, busy; no port word needed\n"
        "  --probe             with --list-ports: ping every free port at once, mark where a\n"
        "                      board answers\n"
        "  --wait-port SECONDS wait up to SECONDS (0 to 600) for a missing or busy port; in a\n"
        "                      shell, for a port lost between commands\n"
        "  --keep-going        in a shell, run on past a failed command\n"
        "  --each              the port word is a set, PORT,PORT,...: the command runs on every\n"
        "                      port at once, each line tagged with its port, a table on stderr\n"
        "                      at the end; usb:VID:PID is every such adapter (not with debug)\n"
        "  --jobs N            with --each: at most N ports (1 to 256) at once (default: all)\n"
        "\n"
        "gantrix [switches] <port> shell [FILE] runs many command lines on the one open port,\n"
        "from FILE (checked whole before anything is sent) or standard input: the words after\n"
        "the port word, one command a line, and sleep SECONDS, wait SECONDS, repeat N COMMAND...,\n"
        "quit, help; # starts a comment.\n"
        "\n"
        "The port word usb:VID:PID or usb:VID:PID:SERIAL names the USB adapter, with its ids and\n"
        "serial number as --list-ports shows them; tcp://HOST:PORT (raw) and\n"
        "rfc2217://HOST:PORT (Telnet, RFC 2217) reach a board behind a serial device server\n"
        "(HOST a name, an IPv4 address or [IPv6]); any other word names the device.\n"
        "\n"
        "Output that cannot be written (a full disk, stdout or the log) ends the run with\n"
        "status 1 and a line on stderr.");
}
