// The HPROTO frame: the packet record, protocol codes and the CRC-16/KERMIT checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The record's bytes are the frame as it travels on the line: a frame is sent by writing the
// first `size` bytes and received by reading into the record from its first byte.
struct Packet {
    uint8_t sync;
    uint8_t size;
    uint8_t tmp1;
    uint8_t tmp2;
    uint8_t cmd;
    uint8_t cmd_data[249];
};

static_assert(sizeof(Packet) == 254, "Packet must be exactly one maximal frame");
static_assert(offsetof(Packet, sync) == 0, "frame offset of sync");
static_assert(offsetof(Packet, size) == 1, "frame offset of size");
static_assert(offsetof(Packet, tmp1) == 2, "frame offset of tmp1");
static_assert(offsetof(Packet, tmp2) == 3, "frame offset of tmp2");
static_assert(offsetof(Packet, cmd) == 4, "frame offset of cmd");
static_assert(offsetof(Packet, cmd_data) == 5, "frame offset of cmd_data");

constexpr uint8_t hproto_sync = 0x55;
constexpr uint8_t proto_base_size = 7;  // header (5) + checksum (2), no data
// The checksum has to fit inside the record, so 254 rather than 255 is the longest frame.
constexpr uint8_t proto_max_size = sizeof(Packet);

// The request codes; everything else known of each request is its row in request_table
// (Protocol.h).
enum {
    HPROTO_CMD_PING = 1,
    HPROTO_CMD_STATUS = 3,
    HPROTO_CMD_VEND = 4,
    HPROTO_CMD_RECOVER = 6,
    HPROTO_CMD_MOVE = 7,
    HPROTO_CMD_CALIBRATE = 8,
    HPROTO_CMD_GOHOME = 9,
    HPROTO_CMD_PRECALIBRATE = 10,
    HPROTO_CMD_SWITCH_BOOT_APP = 252,
    HPROTO_CMD_DEBUG = 253,
    HPROTO_CMD_UPGRADE = 254,
    HPROTO_CMD_ID = 255,
};

// Carried in cmd_data[0] of an error reply (a reply whose cmd is 0). The board may send any byte
// there, so the type is fixed to one byte: every value a reply can carry is then a valid value of
// the type, and converting an unlisted one is not undefined behaviour.
enum HProtoResult : uint8_t {
    HPROTO_OK = 0,
    HPROTO_ERROR_INVALID_CMD = 1,
    HPROTO_ERROR_INVALID_DATA = 2,
    HPROTO_ERROR_INVALID_STATE = 3,
    HPROTO_ERROR_BUSY = 5,
};

// CRC-16/KERMIT, bitwise: polynomial 0x1021 reflected (0x8408), initial value 0, no final XOR.
uint32_t GetCRC16(const uint8_t* bufData, uint32_t sizeData);

// The three checksum operations take the frame length from packet->size, which the caller keeps
// within 7..254. The checksum goes low byte first, directly behind the data.
uint16_t CalcCRC(const Packet* packet);
void SetCRC(Packet* packet);
uint16_t GetCRC(const Packet* packet);

// Stamps what every frame carries besides its command and data: the sync byte, zero reserved
// bytes and the checksum over the first packet->size bytes.
void SealFrame(Packet* packet);
// Lays out a whole frame in `packet` (size, cmd, `count` data bytes, then sealed as above) and
// returns its bytes. The caller keeps `count` within 0..247; the record past the frame is left as
// it was. The one frame builder of the board and the tests, so both send what the tool sends.
std::vector<uint8_t> BuildFrame(Packet* packet, uint8_t cmd, const uint8_t* data, size_t count);

// Text for the result code of an error reply; "Unknown error" for anything unlisted.
const char* GetErrorByResultCode(HProtoResult result);
