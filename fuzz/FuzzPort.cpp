// A fake serial layer for the fuzz targets: PortRead and PortWrite over a scripted FuzzLine.
#include "FuzzPort.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/Console.h"
#include "proto/Exchange.h"
#include "serial/PortList.h"
#include "serial/Serial.h"

namespace {

FuzzLine* attached = nullptr;

}  // namespace

Port SilentPort()
{
    // Anew for every input, so that nothing one input taught the exchange carries to the next.
    static ExchangeRun run;
    run = ExchangeRun();
    run.silent = true;
    Port port;
    port.run = &run;
    return port;
}

void FuzzLineAttach(FuzzLine* line)
{
    attached = line;
}

void FuzzFail(const char* what)
{
    fprintf(stderr, "%s\n", what);
    abort();
}

uint16_t ReferenceCrc(const uint8_t* bytes, size_t count)
{
    // Reflected CRC-CCITT, one nibble at a time: a different shape from the bitwise loop in proto.
    static const uint16_t nibble_table[16] = {
        0x0000, 0x1081, 0x2102, 0x3183, 0x4204, 0x5285, 0x6306, 0x7387,
        0x8408, 0x9489, 0xA50A, 0xB58B, 0xC60C, 0xD68D, 0xE70E, 0xF78F,
    };
    uint16_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc = static_cast<uint16_t>((crc >> 4) ^ nibble_table[(crc ^ bytes[i]) & 0x0F]);
        crc = static_cast<uint16_t>((crc >> 4) ^ nibble_table[(crc ^ (bytes[i] >> 4)) & 0x0F]);
    }
    return crc;
}

bool ReferenceFrameValid(const uint8_t* bytes, size_t size)
{
    if (size < 7 || size > 254 || bytes[0] != 0x55 || bytes[1] != size)
        return false;
    uint16_t stored = static_cast<uint16_t>(bytes[size - 2] | (bytes[size - 1] << 8));
    return stored == ReferenceCrc(bytes, size - 2);
}

bool PortRead(Port, void* data, uint32_t size, uint32_t* bytes)
{
    FuzzLine* line = attached;
    FUZZ_CHECK(line != nullptr);
    ++line->reads;
    *bytes = 0;
    const uint8_t* dest = static_cast<const uint8_t*>(data);
    // A request that reaches beyond the record is a fault even if the line has fewer bytes to give.
    FUZZ_CHECK(size > 0);
    FUZZ_CHECK(dest >= line->window && dest + size <= line->window + line->window_size);
    if (line->consumed >= line->size)
        return !line->fail_at_end;
    size_t give = size;
    if (line->piece_count != 0) {
        size_t piece = line->pieces[line->next_piece % line->piece_count];
        ++line->next_piece;
        if (piece != 0 && piece < give)
            give = piece;
    }
    if (give > line->size - line->consumed)
        give = line->size - line->consumed;
    memcpy(data, line->bytes + line->consumed, give);
    line->consumed += give;
    *bytes = static_cast<uint32_t>(give);
    return true;
}

bool PortWrite(Port, const void*, uint32_t size, uint32_t* bytes)
{
    // The targets only receive; a write would mean the receiver talks back.
    (void)size;
    *bytes = 0;
    FuzzFail("PortWrite called by a receiver");
}

void ConsoleWrite(const char*, size_t)
{
    // The log's console side; no target writes a log.
}

std::string SlowAdapterAdvice(const Port&)
{
    // The hint needs a request sent and timed; the targets only receive.
    FuzzFail("SlowAdapterAdvice called by a receiver");
}
