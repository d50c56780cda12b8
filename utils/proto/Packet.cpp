// Checksum and result-code texts of the HPROTO frame.
#include "Packet.h"

uint32_t GetCRC16(const uint8_t* bufData, uint32_t sizeData)
{
    constexpr uint32_t polynomial = 0x8408;
    uint32_t crc = 0;
    for (uint32_t i = 0; i < sizeData; ++i) {
        crc ^= bufData[i];
        for (int bit = 0; bit < 8; ++bit) {
            if (crc & 1)
                crc = (crc >> 1) ^ polynomial;
            else
                crc >>= 1;
        }
    }
    return crc;
}

uint16_t CalcCRC(const Packet* packet)
{
    return static_cast<uint16_t>(GetCRC16(reinterpret_cast<const uint8_t*>(packet),
                                          static_cast<uint32_t>(packet->size - 2)));
}

void SetCRC(Packet* packet)
{
    uint8_t* frame = reinterpret_cast<uint8_t*>(packet);
    uint16_t crc = CalcCRC(packet);
    frame[packet->size - 2] = static_cast<uint8_t>(crc & 0xFF);
    frame[packet->size - 1] = static_cast<uint8_t>(crc >> 8);
}

uint16_t GetCRC(const Packet* packet)
{
    const uint8_t* frame = reinterpret_cast<const uint8_t*>(packet);
    return static_cast<uint16_t>(frame[packet->size - 2] | (frame[packet->size - 1] << 8));
}

void SealFrame(Packet* packet)
{
    packet->sync = hproto_sync;
    packet->tmp1 = 0;
    packet->tmp2 = 0;
    SetCRC(packet);
}

std::vector<uint8_t> BuildFrame(Packet* packet, uint8_t cmd, const uint8_t* data, size_t count)
{
    packet->size = static_cast<uint8_t>(proto_base_size + count);
    packet->cmd = cmd;
    // A loop rather than memcpy: an empty vector hands over a null `data`.
    for (size_t i = 0; i < count; ++i)
        packet->cmd_data[i] = data[i];
    SealFrame(packet);
    const uint8_t* frame = reinterpret_cast<const uint8_t*>(packet);
    return std::vector<uint8_t>(frame, frame + packet->size);
}

const char* GetErrorByResultCode(HProtoResult result)
{
    switch (result) {
    case HPROTO_ERROR_INVALID_CMD:
        return "Invalid command";
    case HPROTO_ERROR_INVALID_DATA:
        return "Invalid data";
    case HPROTO_ERROR_INVALID_STATE:
        return "Invalid state";
    case HPROTO_ERROR_BUSY:
        return "Busy";
    default:
        return "Unknown error";
    }
}
