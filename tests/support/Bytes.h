// Byte strings and the lines every test expects of a lost reply; header-only, so the unit tests
// built for Windows share them too.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

using Bytes = std::vector<uint8_t>;

// The parts one after another, as they go down the line.
inline Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// What the tool prints when no reply came: the board went quiet, or the line went away before
// a byte.
inline constexpr char silence_lines[] =
    "Failed to read from port\nFailed to read sync\nOut of sync\n";
