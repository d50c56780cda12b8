// The line time-out shared by both platforms' port code.
#include "Serial.h"

namespace {

int io_timeout_ms = port_default_timeout_ms;

}  // namespace

void SetPortTimeout(int timeout_ms)
{
    io_timeout_ms = timeout_ms;
}

int GetPortTimeout()
{
    return io_timeout_ms;
}
