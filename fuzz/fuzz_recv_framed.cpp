// RecvPacket against frames whose checksum is fixed up, so the fuzzer explores what lies past the
// checksum test: noise before the frame, an out-of-range size byte, a damaged byte, error replies.
// Input: [flags] [noise] [data length] [size byte] [damage at] [damage xor] [piece count]
//        [pieces...] [tmp1 tmp2 cmd data... noise... tail...]
// flags: bit 0 the line's end is a failed read; bit 1 the size byte is replaced; bit 2 one byte
// behind the size byte is damaged; bit 3 adds 50 noise bytes (so 255 and 256 are both reachable).
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzPort.h"
#include "proto/Exchange.h"

namespace {

// Reads the input front to back; past its end it yields zeros.
struct Cursor {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint8_t Next() { return at < size ? data[at++] : 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Cursor in{data, size};
    const uint8_t flags = in.Next();
    const size_t noise = in.Next() + ((flags & 8) ? 50u : 0u);
    size_t data_count = in.Next() % 248;
    const uint8_t size_choice = in.Next();
    const uint8_t damage_at = in.Next();
    const uint8_t damage_xor = in.Next();
    const size_t piece_count = in.Next() % 17;
    std::vector<uint8_t> pieces;
    for (size_t i = 0; i < piece_count; ++i)
        pieces.push_back(in.Next());

    const bool size_replaced = flags & 2;
    const bool size_in_range = !size_replaced || (size_choice >= 7 && size_choice <= 254);
    // A replacement in range is simply another honest frame length.
    if (size_replaced && size_in_range)
        data_count = size_choice - 7u;
    const size_t frame_size = 7 + data_count;

    std::vector<uint8_t> frame(frame_size);
    frame[0] = 0x55;
    frame[1] = size_replaced ? size_choice : static_cast<uint8_t>(frame_size);
    for (size_t i = 2; i < frame_size - 2; ++i)
        frame[i] = in.Next();
    const uint16_t crc = ReferenceCrc(frame.data(), frame_size - 2);
    frame[frame_size - 2] = static_cast<uint8_t>(crc & 0xFF);
    frame[frame_size - 1] = static_cast<uint8_t>(crc >> 8);
    const uint8_t cmd = frame[4];
    // Any one damaged byte is a burst of at most 8 bits, which CRC-16 always detects. The sync and
    // size bytes are left alone: damaging those changes where the frame is, not whether it is good.
    const bool damaged = flags & 4;
    if (damaged)
        frame[2 + damage_at % (frame_size - 2)] ^= damage_xor ? damage_xor : 1;

    std::vector<uint8_t> wire;
    for (size_t i = 0; i < noise; ++i) {
        uint8_t b = in.Next();
        wire.push_back(b == 0x55 ? 0x54 : b);  // noise never holds a sync byte
    }
    wire.insert(wire.end(), frame.begin(), frame.end());
    while (in.at < in.size)
        wire.push_back(in.Next());  // whatever follows must be left on the line
    // Exactly the line's bytes on the heap, so reading past them is an ASan report.
    std::unique_ptr<uint8_t[]> line_bytes(new uint8_t[wire.size()]);
    memcpy(line_bytes.get(), wire.data(), wire.size());

    FuzzLine line;
    line.bytes = line_bytes.get();
    line.size = wire.size();
    line.pieces = pieces.data();
    line.piece_count = pieces.size();
    line.fail_at_end = flags & 1;

    std::unique_ptr<Packet> packet(new Packet);
    uint8_t* record = reinterpret_cast<uint8_t*>(packet.get());
    const uint8_t fill = static_cast<uint8_t>(~flags);
    memset(record, fill, sizeof(Packet));
    line.window = record;
    line.window_size = sizeof(Packet);

    FuzzLineAttach(&line);
    const bool accepted = RecvPacket(SilentLink(), packet.get());
    FuzzLineAttach(nullptr);

    if (noise >= 256) {
        FUZZ_CHECK(!accepted);
        FUZZ_CHECK(line.consumed == 256);
    } else if (!size_in_range) {
        FUZZ_CHECK(!accepted);
        FUZZ_CHECK(line.consumed == noise + 4);
    } else {
        FUZZ_CHECK(accepted == (!damaged && cmd != 0));
        FUZZ_CHECK(line.consumed == noise + frame_size);
        FUZZ_CHECK(memcmp(record, frame.data(), frame_size) == 0);
        for (size_t i = frame_size; i < sizeof(Packet); ++i)
            FUZZ_CHECK(record[i] == fill);
    }
    FUZZ_CHECK(line.reads <= 256 + 3 + (size_in_range ? frame_size - 4 : 0));
    FUZZ_CHECK(line.reads <= line.consumed + 1);
    return 0;
}
