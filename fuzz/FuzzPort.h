// The serial line as a fuzz target scripts it: the exchange layer runs unmodified and its reads are
// served from an in-memory byte string, in piece sizes the fuzz input chooses.
#pragma once

#include <cstddef>
#include <cstdint>

#include "proto/Exchange.h"

struct FuzzLine {
    const uint8_t* bytes = nullptr;  // what the board sends, in order
    size_t size = 0;
    const uint8_t* pieces = nullptr;  // cycled; a piece of 0 gives whatever the read asks for
    size_t piece_count = 0;
    // Once the bytes run out: a failed read, or a read that succeeds with 0 bytes.
    bool fail_at_end = false;
    // Every read must land inside this window (the receiver's record).
    const uint8_t* window = nullptr;
    size_t window_size = 0;

    size_t consumed = 0;
    size_t reads = 0;
    size_t next_piece = 0;
};

// The line that the port's reads serve from now on; null detaches it (any read then aborts).
void FuzzLineAttach(FuzzLine* line);
// A link over the attached line whose exchange prints nothing: the receiver reports each failure,
// and at millions of runs that is only noise.
Link& SilentLink();

// Stops the run with a message on stderr, so libFuzzer records the input as a crash.
[[noreturn]] void FuzzFail(const char* what);
#define FUZZ_CHECK(cond)                                     \
    do {                                                     \
        if (!(cond))                                         \
            FuzzFail(__FILE__ ": invariant broken: " #cond); \
    } while (0)

// CRC-16/KERMIT written out independently of the code under test, so a bug there is not shared.
uint16_t ReferenceCrc(const uint8_t* bytes, size_t count);
// True when bytes[0..size) is a frame whose stored checksum matches.
bool ReferenceFrameValid(const uint8_t* bytes, size_t size);
