// Known-answer vectors for the checksum and the frame layout. The tool and the simulated board
// share this code, so round trips alone would hide a bug common to both: compare with fixed bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "proto/Packet.h"
#include "proto/Protocol.h"
#include "proto/Turnaround.h"

namespace {

std::vector<uint8_t> FrameBytes(const Packet& packet)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&packet);
    return std::vector<uint8_t>(p, p + packet.size);
}

// A frame built in a record full of other bytes, so a field the builder forgets shows.
Packet Stamped(uint8_t cmd, const std::vector<uint8_t>& data,
               std::vector<uint8_t>* returned = nullptr)
{
    Packet packet;
    std::memset(&packet, 0xAA, sizeof(packet));
    std::vector<uint8_t> frame = BuildFrame(&packet, cmd, data.data(), data.size());
    if (returned)
        *returned = frame;
    return packet;
}

}  // namespace

TEST(Crc, KnownAnswers)
{
    EXPECT_EQ(GetCRC16(nullptr, 0), 0u);
    const char* digits = "123456789";
    EXPECT_EQ(GetCRC16(reinterpret_cast<const uint8_t*>(digits), 9), 0x2189u);
    const uint8_t ping[] = {0x55, 0x07, 0x00, 0x00, 0x01};
    EXPECT_EQ(GetCRC16(ping, sizeof(ping)), 0x159Eu);
}

TEST(Crc, NeverAboveSixteenBits)
{
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 37 + 11);
    for (uint32_t n = 0; n <= data.size(); n += 7)
        EXPECT_LE(GetCRC16(data.data(), n), 0xFFFFu);
}

struct FrameCase {
    const char* name;
    uint8_t cmd;
    std::vector<uint8_t> data;
    std::vector<uint8_t> wire;
};

TEST(Frame, RequestsOnTheWire)
{
    std::vector<uint8_t> block(36);
    block[3] = 0x40;
    for (int i = 0; i < 32; ++i)
        block[4 + i] = static_cast<uint8_t>(i);
    std::vector<uint8_t> block_wire = {0x55, 0x2B, 0x00, 0x00, 0xFE};
    // Room up front: GCC 12 at -O2 otherwise warns (wrongly) about the growth path of insert.
    block_wire.reserve(43);
    block_wire.insert(block_wire.end(), block.begin(), block.end());
    block_wire.push_back(0xED);
    block_wire.push_back(0x33);

    const FrameCase cases[] = {
        {"ping", HPROTO_CMD_PING, {}, {0x55, 0x07, 0x00, 0x00, 0x01, 0x9E, 0x15}},
        {"id", HPROTO_CMD_ID, {}, {0x55, 0x07, 0x00, 0x00, 0xFF, 0x6F, 0x0B}},
        {"status", HPROTO_CMD_STATUS, {}, {0x55, 0x07, 0x00, 0x00, 0x03, 0x8C, 0x36}},
        {"home", HPROTO_CMD_GOHOME, {}, {0x55, 0x07, 0x00, 0x00, 0x09, 0xD6, 0x99}},
        {"recover", HPROTO_CMD_RECOVER, {}, {0x55, 0x07, 0x00, 0x00, 0x06, 0x21, 0x61}},
        {"debug", HPROTO_CMD_DEBUG, {}, {0x55, 0x07, 0x00, 0x00, 0xFD, 0x7D, 0x28}},
        {"vend 1", HPROTO_CMD_VEND, {1}, {0x55, 0x08, 0x00, 0x00, 0x04, 0x01, 0x2F, 0x78}},
        {"calibrate 1",
         HPROTO_CMD_CALIBRATE,
         {1},
         {0x55, 0x08, 0x00, 0x00, 0x08, 0x01, 0x8F, 0xD1}},
        {"precalibrate 1",
         HPROTO_CMD_PRECALIBRATE,
         {1},
         {0x55, 0x08, 0x00, 0x00, 0x0A, 0x01, 0x3F, 0xE2}},
        {"move x fwd 10",
         HPROTO_CMD_MOVE,
         {1, 2, 10},
         {0x55, 0x0A, 0x00, 0x00, 0x07, 0x01, 0x02, 0x0A, 0xA8, 0xD1}},
        {"move all mark 0",
         HPROTO_CMD_MOVE,
         {0, 0, 0},
         {0x55, 0x0A, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x9E, 0x17}},
        {"status reply",
         HPROTO_CMD_STATUS,
         {1, 5, 0, 0, 0},
         {0x55, 0x0C, 0x00, 0x00, 0x03, 0x01, 0x05, 0x00, 0x00, 0x00, 0xD3, 0x36}},
        {"status idle",
         HPROTO_CMD_STATUS,
         {2, 0, 0, 0, 0},
         {0x55, 0x0C, 0x00, 0x00, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x48, 0x45}},
        {"block at 64", HPROTO_CMD_UPGRADE, block, block_wire},
    };
    for (const FrameCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> returned;
        Packet packet = Stamped(c.cmd, c.data, &returned);
        EXPECT_EQ(FrameBytes(packet), c.wire);
        EXPECT_EQ(returned, c.wire);
        EXPECT_EQ(GetCRC(&packet), CalcCRC(&packet));
        EXPECT_EQ(reinterpret_cast<const uint8_t*>(&packet)[c.wire.size()], 0xAA)
            << "past the frame";
    }
}

TEST(Frame, ValidityCoversEveryByteBeforeTheChecksum)
{
    Packet packet = Stamped(HPROTO_CMD_PING, {});
    EXPECT_EQ(GetCRC(&packet), 0x159E);

    Packet swapped = packet;
    std::swap(swapped.cmd_data[0], swapped.cmd_data[1]);
    EXPECT_NE(GetCRC(&swapped), CalcCRC(&swapped));

    for (int offset : {2, 3, 4}) {
        SCOPED_TRACE(offset);
        Packet changed = packet;
        reinterpret_cast<uint8_t*>(&changed)[offset] ^= 0x01;
        EXPECT_NE(GetCRC(&changed), CalcCRC(&changed));
    }
}

TEST(Frame, SetCrcTouchesOnlyTheChecksumBytes)
{
    Packet packet;
    std::memset(&packet, 0x5A, sizeof(packet));
    packet.size = 7;
    Packet before = packet;
    SetCRC(&packet);
    const uint8_t* a = reinterpret_cast<const uint8_t*>(&before);
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&packet);
    for (size_t i = 0; i < sizeof(Packet); ++i) {
        if (i != 5 && i != 6) {
            EXPECT_EQ(a[i], b[i]) << "byte " << i;
        }
    }

    // The longest frame puts its checksum in the record's last two bytes.
    std::memset(&packet, 0x00, sizeof(packet));
    packet.size = 254;
    packet.cmd = 0xFD;
    SetCRC(&packet);
    uint16_t crc = CalcCRC(&packet);
    EXPECT_EQ(packet.cmd_data[247], crc & 0xFF);
    EXPECT_EQ(packet.cmd_data[248], crc >> 8);
    EXPECT_EQ(GetCRC(&packet), crc);
}

TEST(ResultCodes, Texts)
{
    const std::pair<int, const char*> cases[] = {
        {1, "Invalid command"}, {2, "Invalid data"},  {3, "Invalid state"}, {5, "Busy"},
        {0, "Unknown error"},   {4, "Unknown error"}, {6, "Unknown error"}, {255, "Unknown error"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(GetErrorByResultCode(static_cast<HProtoResult>(c.first)), c.second) << c.first;
}

// The slow-adapter hint's judgement and its arithmetic: a block exchange is 43 + 7 bytes, 4.34 ms
// on the wire.
TEST(SlowReplies, JudgementAndCost)
{
    const double block_ms = WireMs(request_block_size + proto_base_size);
    EXPECT_NEAR(block_ms, 4.34, 0.01);
    std::vector<double> late(late_window - 1, 20.0);
    EXPECT_EQ(TypicalLateMs(late), -1);  // too few to judge
    late.insert(late.begin(), {0, 0, 0});
    late.push_back(7.9);
    EXPECT_DOUBLE_EQ(TypicalLateMs(late), 20.0);  // the last window only
    late.resize(late.size() - late_window / 2);
    late.insert(late.end(), late_window / 2, 7.9);
    EXPECT_DOUBLE_EQ(TypicalLateMs(late), (7.9 + 20.0) / 2);
    EXPECT_TRUE(SlowRepliesJudged(8.0, 8, 16));
    EXPECT_FALSE(SlowRepliesJudged(7.99, 16, 16));
    EXPECT_FALSE(SlowRepliesJudged(20.0, 16, 1000));  // a burst late in a long upload
    EXPECT_TRUE(SlowRepliesJudged(2.0, 8, 16, net_late_threshold_ms));
    EXPECT_FALSE(SlowRepliesJudged(1.99, 16, 16, net_late_threshold_ms));
    EXPECT_EQ(SlowReplyCost(16, block_ms, 2040),
              "replies arrive 16 ms late: the rest of this upload (2040 blocks) will take about "
              "41 s instead of 9 s");
    EXPECT_EQ(SlowReplyCost(16, block_ms, 100),
              "replies arrive 16 ms late: the rest of this upload (100 blocks) will take about "
              "2.0 s instead of 0.4 s");
    EXPECT_EQ(SlowReplyCost(15.6, WireMs(14), 0),
              "replies arrive 16 ms late: each exchange takes 17 ms where the line needs 1.2 ms");
}
