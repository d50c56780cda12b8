// RecvPacket against any bytes a line can carry, delivered in pieces the input chooses.
// Input: [flags] [piece count] [pieces...] [line bytes...]; flags bit 0: the end of the line is a
// failed read rather than a read of 0 bytes; the flags byte also fills the record beforehand.
#include <cstdio>
#include <cstring>
#include <memory>

#include "FuzzPort.h"
#include "proto/Exchange.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    FUZZ_CHECK(ReferenceCrc(digits, sizeof(digits)) == 0x2189);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const uint8_t flags = data[0];
    const size_t piece_count = data[1] % 17;
    if (size < 2 + piece_count)
        return 0;
    FuzzLine line;
    line.pieces = data + 2;
    line.piece_count = piece_count;
    line.bytes = data + 2 + piece_count;
    line.size = size - 2 - piece_count;
    line.fail_at_end = flags & 1;

    // Exactly one record on the heap: a byte read or written beyond it is an ASan report.
    std::unique_ptr<Packet> packet(new Packet);
    uint8_t* record = reinterpret_cast<uint8_t*>(packet.get());
    memset(record, flags, sizeof(Packet));
    line.window = record;
    line.window_size = sizeof(Packet);

    FuzzLineAttach(&line);
    const bool accepted = RecvPacket(SilentLink(), packet.get());
    FuzzLineAttach(nullptr);

    // Where the receiver must have stopped, worked out from the line alone.
    const uint8_t* bytes = line.bytes;
    const size_t n = line.size;
    const size_t hunt = n < 256 ? n : 256;
    size_t sync_at = hunt;
    for (size_t i = 0; i < hunt; ++i) {
        if (bytes[i] == 0x55) {
            sync_at = i;
            break;
        }
    }
    size_t body_reads = 0;  // size - 4 once the size byte is known to be in range
    bool expect_accept = false;
    size_t expect_consumed;
    if (sync_at == hunt) {
        expect_consumed = hunt;
    } else if (n < sync_at + 4) {
        expect_consumed = n;
    } else if (bytes[sync_at + 1] < 7 || bytes[sync_at + 1] > 254) {
        // Nothing may be read behind a size byte that cannot describe a frame.
        expect_consumed = sync_at + 4;
        for (size_t i = 4; i < sizeof(Packet); ++i)
            FUZZ_CHECK(record[i] == flags);
    } else if (n < sync_at + bytes[sync_at + 1]) {
        body_reads = bytes[sync_at + 1] - 4u;
        expect_consumed = n;
    } else {
        const size_t frame_size = bytes[sync_at + 1];
        body_reads = frame_size - 4;
        expect_consumed = sync_at + frame_size;
        expect_accept = ReferenceFrameValid(bytes + sync_at, frame_size) && bytes[sync_at + 4] != 0;
        // The frame lands at the start of the record and nothing behind it is touched.
        FUZZ_CHECK(memcmp(record, bytes + sync_at, frame_size) == 0);
        for (size_t i = frame_size; i < sizeof(Packet); ++i)
            FUZZ_CHECK(record[i] == flags);
    }
    FUZZ_CHECK(line.consumed == expect_consumed);
    FUZZ_CHECK(accepted == expect_accept);
    if (accepted) {
        FUZZ_CHECK(packet->size >= 7 && packet->size <= 254);
        FUZZ_CHECK(ReferenceFrameValid(record, packet->size));
        FUZZ_CHECK(packet->cmd != 0);
    }
    // One byte per hunt read, at most 3 header reads, at most size - 4 reads for the rest; every
    // read but a final failing one moves at least one byte.
    FUZZ_CHECK(line.reads <= 256 + 3 + body_reads);
    FUZZ_CHECK(line.reads <= line.consumed + 1);
    return 0;
}
