// One command on a set of ports at once (--each): the set read and checked before any port is
// opened, a thread per port with its own port, link and output, every line tagged with its port
// word, and one report at the end.
#pragma once

#include <string>
#include <vector>

#include "CommandLine.h"
#include "output/Output.h"
#include "serial/PortList.h"

// One port of the set: the word its lines are tagged with, and the word that opens it.
struct FleetPort {
    std::string tag;
    std::string word;
};

// Reads the comma-separated set: device names and usb: words, where usb:VID:PID without a serial
// number stands for every adapter with those ids in `listing`. False, with the stderr line in
// *failure, for an empty word, a usb: word that names nothing, or one device named twice.
bool ReadPortSet(const std::string& set, const std::vector<PortInfo>& listing,
                 std::vector<FleetPort>* ports, std::string* failure);

// Runs the command line's command on every port of its set, `out` for what belongs to the whole
// run; the exit status: 0 when every port succeeded, else the highest any port gave.
int RunFleet(const CommandLine& line, Output& out);
