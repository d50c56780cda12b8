// A fake line for the fuzz targets: a transport whose reads are served from a scripted FuzzLine.
#include "FuzzPort.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "proto/Exchange.h"
#include "serial/Serial.h"

namespace {

FuzzLine* attached = nullptr;

}  // namespace

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

namespace {

// The line below the targets' port: reads from the attached FuzzLine; nothing else is used.
class FuzzTransport final : public Transport {
public:
    bool Read(void* data, uint32_t size, uint32_t* bytes) override
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

    bool Write(const void*, uint32_t size, uint32_t* bytes) override
    {
        // The targets only receive; a write would mean the receiver talks back.
        (void)size;
        *bytes = 0;
        FuzzFail("a write called by a receiver");
    }

    bool GetSettings(LineSettings*) override { return true; }
    bool SetSettings(const LineSettings*) override { return true; }
    void Purge() override {}
    void SetQueues(uint32_t, uint32_t) override {}

    std::string SlowAdapterAdvice() override
    {
        // The hint needs a request sent and timed; the targets only receive.
        FuzzFail("SlowAdapterAdvice called by a receiver");
    }
};

}  // namespace

Link& SilentLink()
{
    static Port port(std::make_unique<FuzzTransport>(), 0);
    // Anew for every input, so that nothing one input taught the exchange carries to the next.
    static std::unique_ptr<Link> link;
    link = std::make_unique<Link>(port);
    link->silent = true;
    return *link;
}
