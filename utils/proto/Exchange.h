// One request and one reply over the serial port. Failures are printed where they are found
// (stdout, one line each) and passed up as false.
#pragma once

#include "Packet.h"
#include "serial/Serial.h"

// Stamps sync, the reserved bytes and the checksum, then writes the first `size` bytes.
bool SendPacket(Port port, Packet* packet);
// Reads exactly `size` bytes, in as many reads as the line needs.
bool RecvData(Port port, char* data, int size);
// Hunts for the sync byte (at most 256 bytes), then reads and checks one frame into `packet`.
// False for any failure, a bad checksum and an error reply (cmd 0).
bool RecvPacket(Port port, Packet* packet);

// While set, the failure lines are not printed: for the port listing's probe, whose output is
// its own lines only.
extern bool exchange_quiet;

// The one shape of every exchange: send, and only if that worked, receive into the same record.
bool ExchangePacket(Port port, Packet* packet);
