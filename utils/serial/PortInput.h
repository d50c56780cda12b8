// What a port has taken off the line beyond what the last read asked for. The exchange reads a
// reply in three pieces (sync byte, header, rest); one read of everything the driver holds serves
// all three and keeps the surplus, byte for byte, for the next read. Both platforms share it.
#pragma once

#include <cstdint>

struct PortInput {
    static constexpr uint32_t capacity = 512;  // two of the longest frames
    uint8_t bytes[capacity];
    uint32_t start = 0;
    uint32_t count = 0;
};

// Moves up to `size` held bytes to `data`; false when none are held.
bool TakeHeld(PortInput* input, void* data, uint32_t size, uint32_t* bytes);

// Reads through the hold: held bytes first; otherwise, for a read smaller than the hold, one
// `read_line` call into the hold (it may fill less than the hold's size) whose surplus is kept.
// `read_line` is the platform's bounded read (false on failure, true with 0 bytes on time-out).
template <typename ReadLine>
bool ReadThroughHold(PortInput* input, void* data, uint32_t size, uint32_t* bytes,
                     ReadLine read_line)
{
    if (!input || size >= PortInput::capacity)
        return read_line(data, size, bytes);
    if (TakeHeld(input, data, size, bytes))
        return true;
    uint32_t got = 0;
    if (!read_line(input->bytes, PortInput::capacity, &got))
        return false;
    input->start = 0;
    input->count = got;
    if (!TakeHeld(input, data, size, bytes))
        *bytes = 0;  // timed out with nothing
    return true;
}

inline void DropHeld(PortInput* input)
{
    if (input)
        input->start = input->count = 0;
}
