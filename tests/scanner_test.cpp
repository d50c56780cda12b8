// The stream scanner and the hex dump, against fixed byte strings and fixed texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "proto/Scanner.h"
#include "support/Bytes.h"

namespace {

const Bytes ping = {0x55, 0x07, 0x00, 0x00, 0x01, 0x9E, 0x15};
const Bytes status = {0x55, 0x07, 0x00, 0x00, 0x03, 0x8C, 0x36};

Bytes Head(const Bytes& bytes, size_t n)
{
    return Bytes(bytes.begin(), bytes.begin() + static_cast<long>(n));
}

// A valid frame of `size` bytes (any size, even above the scanner's limit) with zero data.
Bytes FrameOfSize(uint8_t size)
{
    const Bytes zeros(size - proto_base_size);
    Packet packet{};
    return BuildFrame(&packet, HPROTO_CMD_DEBUG, zeros.data(), zeros.size());
}

struct ScanCase {
    const char* name;
    Bytes buffer;
    std::vector<size_t> frames;  // offset of each frame returned, in order
    size_t final_cursor;         // offset of the cursor after the call that returned null
};

}  // namespace

TEST(ParsePacket, ScansBuffers)
{
    Bytes bad_crc = ping;
    bad_crc[6] ^= 0x01;
    // A 10-byte frame header whose would-be checksum lands inside a ping that starts at offset 4.
    Bytes frame_in_bad_frame = Concat({{0x55, 0x0A, 0x00, 0x00}, ping});
    const ScanCase cases[] = {
        {"empty buffer", {}, {}, 0},
        {"no sync byte at all", {0x01, 0x02, 0xAA, 0xFF}, {}, 4},
        {"noise, frame, more noise", Concat({{0x01, 0x02}, ping, {0x03}}), {2}, 10},
        {"two frames back to back", Concat({ping, status}), {0, 7}, 14},
        {"frame with only five bytes in", Head(ping, 5), {}, 0},
        {"noise then a frame missing its last byte", Concat({{0x00}, Head(ping, 6)}), {}, 1},
        {"lone sync byte", {0x01, 0x55}, {}, 1},
        {"sync with four bytes left", {0x55, 0x07, 0x00, 0x00}, {}, 0},
        {"sync with an impossible size and two bytes left", {0x55, 0xFF, 0x00}, {}, 0},
        {"damaged checksum consumed byte by byte", bad_crc, {}, 7},
        {"frame starting inside a damaged one", frame_in_bad_frame, {4}, 11},
        {"size 64 is accepted", FrameOfSize(64), {0}, 64},
        {"size 65 is noise even when complete", Concat({FrameOfSize(65), ping}), {65}, 72},
        {"size 254 is noise", Concat({FrameOfSize(254), status}), {254}, 261},
        {"size 6 is noise", Concat({{0x55, 0x06, 0x00, 0x00, 0x01, 0x00}, ping}), {6}, 13},
        {"size 0 is noise", Concat({{0x55, 0x00, 0x55, 0x00, 0x00}, ping}), {5}, 12},
        {"size 7 frame ending the buffer", Concat({{0x55, 0x02}, status}), {2}, 9},
    };
    for (const ScanCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes buffer = c.buffer;
        uint8_t* cursor = buffer.data();
        uint32_t count = static_cast<uint32_t>(buffer.size());
        std::vector<size_t> found;
        for (;;) {
            uint8_t* before = cursor;
            uint32_t before_count = count;
            Packet* packet = ParsePacket(&cursor, &count);
            EXPECT_EQ(count, buffer.size() - static_cast<size_t>(cursor - buffer.data()));
            if (!packet)
                break;
            size_t offset = static_cast<size_t>(reinterpret_cast<uint8_t*>(packet) - buffer.data());
            found.push_back(offset);
            EXPECT_EQ(cursor, reinterpret_cast<uint8_t*>(packet) + packet->size);
            ASSERT_LT(count, before_count);
            ASSERT_GT(cursor, before);
        }
        EXPECT_EQ(found, c.frames);
        EXPECT_EQ(static_cast<size_t>(cursor - buffer.data()), c.final_cursor);
    }
}

TEST(ParsePacket, EmptyCountLeavesCursorAlone)
{
    uint8_t byte = 0x55;
    uint8_t* cursor = &byte;
    uint32_t count = 0;
    EXPECT_EQ(ParsePacket(&cursor, &count), nullptr);
    EXPECT_EQ(cursor, &byte);
    EXPECT_EQ(count, 0u);
}

TEST(ParsePacket, WaitsForTheRestThenReturnsIt)
{
    Bytes buffer = Concat({{0x7E}, ping, status});
    uint8_t* cursor = buffer.data();
    for (uint32_t arrived = 1; arrived < 8; ++arrived) {
        uint32_t count = arrived - static_cast<uint32_t>(cursor - buffer.data());
        EXPECT_EQ(ParsePacket(&cursor, &count), nullptr) << arrived << " bytes in";
        EXPECT_EQ(cursor, buffer.data() + 1);
    }
    uint32_t count = static_cast<uint32_t>(buffer.size()) - 1;
    Packet* first = ParsePacket(&cursor, &count);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->cmd, HPROTO_CMD_PING);
    Packet* second = ParsePacket(&cursor, &count);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->cmd, HPROTO_CMD_STATUS);
    EXPECT_EQ(count, 0u);
}

namespace {

struct DumpCase {
    const char* name;
    Bytes record;  // the record's leading bytes; byte 1 is its size
    std::string text;
};

}  // namespace

TEST(DumpHex, RendersFrames)
{
    const DumpCase cases[] = {
        {"ping request", ping, "55 07 00 00 01 9E 15 " + std::string(27, ' ') + "| U......"},
        {"sixteen bytes: one full line, every listed punctuation mark",
         {0x55, 0x10, 0x00, 0x00, 0x41, 0x62, 0x63, 0x2B, 0x2D, 0x3D, 0x5F, 0x2F, 0x5C, 0x27, 0x22,
          0x2E},
         "55 10 00 00 41 62 63 2B 2D 3D 5F 2F 5C 27 22 2E | U...Abc+-=_/\\'\"."},
        {"seventeen bytes: second line padded",
         {0x55, 0x11, 0x00, 0x00, 0x2C, 0x20, 0x7A, 0x5A, 0x30, 0x39, 0x80, 0xFF, 0x7F, 0x3A, 0x40,
          0x5B, 0x60},
         "55 11 00 00 2C 20 7A 5A 30 39 80 FF 7F 3A 40 5B | U..., zZ09......\n"
         "60 " +
             std::string(45, ' ') + "| ."},
        {"size zero", {0x55, 0x00}, "| "},
    };
    for (const DumpCase& c : cases) {
        SCOPED_TRACE(c.name);
        Packet packet;
        std::memset(&packet, 0xEE, sizeof(packet));
        std::memcpy(&packet, c.record.data(), c.record.size());
        EXPECT_EQ(DumpHex(&packet), c.text);
    }
}

TEST(DumpHex, LargestRecordKeepsTheColumnsAligned)
{
    // 255 is a size byte a line can deliver; the dump must still end with the record. On the heap,
    // so that the sanitizers see a read past its end.
    for (uint8_t size : {proto_max_size, uint8_t{255}}) {
        SCOPED_TRACE(size);
        auto packet = std::make_unique<Packet>();
        uint8_t* bytes = reinterpret_cast<uint8_t*>(packet.get());
        for (size_t i = 0; i < sizeof(Packet); ++i)
            bytes[i] = static_cast<uint8_t>(i);
        packet->size = size;
        std::string text = DumpHex(packet.get());
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
            lines.push_back(text.substr(start, nl - start));
        lines.push_back(text.substr(start));
        ASSERT_EQ(lines.size(), 16u);
        for (size_t i = 0; i + 1 < lines.size(); ++i)
            EXPECT_EQ(lines[i].size(), 66u) << "line " << i;
        EXPECT_EQ(lines.back().size(),
                  64u);  // 14 bytes on the last line, still padded to column 48
        EXPECT_EQ(lines.back().substr(0, 6), "F0 F1 ");
        EXPECT_EQ(lines.back().substr(48), "| ..............");
        EXPECT_EQ(lines[3].substr(48), "| 0123456789...=..");
    }
}
