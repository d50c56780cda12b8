#include "PortInput.h"

#include <cstring>

bool TakeHeld(PortInput* input, void* data, uint32_t size, uint32_t* bytes)
{
    if (input->count == 0)
        return false;
    const uint32_t n = size < input->count ? size : input->count;
    std::memcpy(data, input->bytes + input->start, n);
    input->start += n;
    input->count -= n;
    if (input->count == 0)
        input->start = 0;
    *bytes = n;
    return true;
}
