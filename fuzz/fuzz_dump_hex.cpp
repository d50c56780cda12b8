// DumpHex of a record with any size 0..254 and any contents.
// Input: [size] [record bytes...]; the record is zero-padded to its 254 bytes.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "FuzzPort.h"
#include "proto/Scanner.h"

namespace {

bool Readable(uint8_t c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           (c != 0 && strchr("+-=_/\\'\". ,", c) != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    std::unique_ptr<Packet> packet(new Packet);
    uint8_t* record = reinterpret_cast<uint8_t*>(packet.get());
    memset(record, 0, sizeof(Packet));
    const size_t copy = size - 1 < sizeof(Packet) ? size - 1 : sizeof(Packet);
    memcpy(record, data + 1, copy);
    const size_t count = data[0] % 255;
    packet->size = static_cast<uint8_t>(count);

    const std::string dump = DumpHex(packet.get());

    // Full lines are 16 "XX " groups, "| " and 16 characters, then "\n"; the last line is padded
    // to the same 48 columns of groups but carries only its own characters and no "\n".
    size_t expect_length = 2;
    if (count != 0) {
        const size_t lines = (count + 15) / 16;
        const size_t last = count - 16 * (lines - 1);
        expect_length = lines * (48 + 2 + 16) + (lines - 1) - (16 - last);
    }
    FUZZ_CHECK(dump.size() == expect_length);
    for (char c : dump)
        FUZZ_CHECK(c == '\n' || (c >= 0x20 && c < 0x7F));

    if (count == 0) {
        FUZZ_CHECK(dump == "| ");
        return 0;
    }
    // Every group and character says the byte it stands for.
    size_t at = 0;
    for (size_t start = 0; start < count; start += 16) {
        const size_t on_line = count - start < 16 ? count - start : 16;
        for (size_t i = 0; i < 16; ++i, at += 3) {
            char group[4] = "   ";
            if (i < on_line)
                snprintf(group, sizeof(group), "%02X ", record[start + i]);
            FUZZ_CHECK(dump.compare(at, 3, group) == 0);
        }
        FUZZ_CHECK(dump.compare(at, 2, "| ") == 0);
        at += 2;
        for (size_t i = 0; i < on_line; ++i, ++at) {
            const uint8_t b = record[start + i];
            FUZZ_CHECK(dump[at] == (Readable(b) ? static_cast<char>(b) : '.'));
        }
        if (start + 16 < count) {
            FUZZ_CHECK(dump[at] == '\n');
            ++at;
        }
    }
    FUZZ_CHECK(at == dump.size());
    return 0;
}
