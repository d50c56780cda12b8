// Frames picked out of a received byte stream, and a printable dump of one frame, for callers that
// read the line as a stream or trace its traffic.
#pragma once

#include <cstdint>
#include <string>

#include "Packet.h"

// Frames longer than this are never returned, even when valid on the line.
constexpr uint8_t scanner_max_size = 64;

// Finds the next valid frame from *p on, within *size bytes, and moves the cursor and count past
// it; returns a pointer into the caller's buffer, or null when there is none yet. On null the
// cursor stands on the start of an incomplete frame (or at the end, everything consumed): keep the
// bytes from there on, append new ones and call again. Anything that cannot start a frame (a size
// byte below 7 or above the limit, a checksum mismatch) gives up exactly one byte, so a frame that
// begins inside rejected bytes is still found.
Packet* ParsePacket(uint8_t** p, uint32_t* size);

// The record's first `size` bytes (at most 254) as "%.2X " groups, 16 to a line, each line
// followed by "| " and the bytes as letters, digits or a few punctuation marks ('.' for the rest).
// No newline after the last line.
std::string DumpHex(const Packet* packet);
// The same layout for any run of bytes: the noise and broken frames a trace shows.
std::string DumpBytes(const uint8_t* bytes, uint32_t count);
