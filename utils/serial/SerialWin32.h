// Windows-only pieces of the port code that the Windows unit tests check directly.
#pragma once

#include <windows.h>

// Turns off everything in a DCB that would drop, replace or hold back a byte of a frame, and
// leaves hardware flow control as it is.
void MakeLineBinaryClean(DCB* dcb);
