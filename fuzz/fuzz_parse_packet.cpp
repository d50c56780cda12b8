// ParsePacket fed the way a stream reader feeds it: bytes arrive in chunks, the unconsumed rest is
// kept, the new chunk appended behind it, and the scanner called until it has nothing more.
// Input: [chunk count] [chunk sizes...] [stream...]; a chunk of 0 is a call with nothing new.
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "FuzzPort.h"
#include "proto/Scanner.h"

namespace {

using Found = std::vector<std::pair<size_t, size_t>>;  // stream offset and size of each frame

// The scanner's contract applied to the whole stream at once: chunking must not change the result.
Found ReferenceScan(const uint8_t* bytes, size_t count)
{
    Found found;
    size_t i = 0;
    while (i < count) {
        if (bytes[i] != 0x55 || count - i <= 4) {
            if (bytes[i] == 0x55)
                break;
            ++i;
            continue;
        }
        const size_t frame_size = bytes[i + 1];
        if (frame_size < 7 || frame_size > 64) {
            ++i;
            continue;
        }
        if (frame_size > count - i)
            break;
        if (!ReferenceFrameValid(bytes + i, frame_size)) {
            ++i;
            continue;
        }
        found.emplace_back(i, frame_size);
        i += frame_size;
    }
    return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t chunk_count = data[0] % 33;
    if (size < 1 + chunk_count)
        return 0;
    const uint8_t* chunks = data + 1;
    const uint8_t* stream = data + 1 + chunk_count;
    const size_t total = size - 1 - chunk_count;
    size_t chunk_sum = 0;
    for (size_t i = 0; i < chunk_count; ++i)
        chunk_sum += chunks[i];

    Found found;
    std::vector<uint8_t> kept;  // the bytes from the cursor on, as the caller keeps them
    size_t appended = 0;
    size_t consumed = 0;
    size_t step = 0;
    for (;;) {
        // Without any nonzero chunk, everything arrives at once.
        size_t chunk = chunk_sum == 0 ? total : chunks[step % chunk_count];
        ++step;
        if (chunk > total - appended)
            chunk = total - appended;
        const size_t count = kept.size() + chunk;
        // A buffer of exactly the kept and new bytes: a read beyond them is an ASan report.
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[count]);
        if (!kept.empty())
            memcpy(buffer.get(), kept.data(), kept.size());
        if (chunk != 0)
            memcpy(buffer.get() + kept.size(), stream + appended, chunk);
        appended += chunk;

        uint8_t* const begin = buffer.get();
        uint8_t* const end = begin + count;
        uint8_t* cursor = begin;
        uint32_t left = static_cast<uint32_t>(count);
        for (;;) {
            uint8_t* const before = cursor;
            const uint32_t left_before = left;
            Packet* packet = ParsePacket(&cursor, &left);
            FUZZ_CHECK(cursor >= before && cursor <= end);
            FUZZ_CHECK(left <= left_before);
            FUZZ_CHECK(static_cast<size_t>(cursor - begin) + left == count);
            if (packet == nullptr) {
                // It waits only on a sync byte whose frame cannot be judged yet.
                if (left != 0) {
                    FUZZ_CHECK(cursor[0] == 0x55);
                    FUZZ_CHECK(left <= 4 ||
                               (cursor[1] >= 7 && cursor[1] <= 64 && cursor[1] > left));
                }
                break;
            }
            const uint8_t* frame = reinterpret_cast<const uint8_t*>(packet);
            FUZZ_CHECK(frame >= before && frame + 7 <= cursor);
            const size_t frame_size = frame[1];
            FUZZ_CHECK(frame_size >= 7 && frame_size <= 64);
            FUZZ_CHECK(frame + frame_size == cursor);
            FUZZ_CHECK(ReferenceFrameValid(frame, frame_size));
            found.emplace_back(consumed + static_cast<size_t>(frame - begin), frame_size);
        }
        consumed += static_cast<size_t>(cursor - begin);
        FUZZ_CHECK(consumed <= appended);
        kept.assign(cursor, end);
        if (appended == total)
            break;
    }
    FUZZ_CHECK(consumed + kept.size() == total);
    FUZZ_CHECK(found == ReferenceScan(stream, total));
    return 0;
}
