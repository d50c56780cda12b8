// The line set-up every user of a port makes, the same on every platform.
#include "Serial.h"

namespace {

// What the board's firmware speaks: 115200 baud, 8 data bits, no parity, one stop bit.
constexpr uint32_t line_baud_rate = 115200;
constexpr uint8_t line_byte_size = 8;
constexpr uint8_t line_parity_none = 0;
constexpr uint8_t line_one_stop_bit = 0;
// The driver's queues in each direction: room for a whole frame and more.
constexpr uint32_t line_queue_size = 256;

}  // namespace

LineSetUp PortSetUp(Port& port)
{
    LineSettings settings;
    if (!port.GetSettings(&settings))
        return LINE_NO_SETTINGS;
    settings.baud_rate = line_baud_rate;
    settings.parity = line_parity_none;
    settings.stop_bits = line_one_stop_bit;
    settings.byte_size = line_byte_size;
    if (!port.SetSettings(&settings))
        return LINE_SETTINGS_REFUSED;
    port.Purge();
    port.SetQueues(line_queue_size, line_queue_size);
    return LINE_READY;
}
