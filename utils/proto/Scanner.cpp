// Stream scanner and hex dump.
#include "Scanner.h"

#include <cstdio>

namespace {

// Punctuation shown as itself in the text column; compared in full, no terminator.
constexpr uint8_t read_chars[11] = {'+', '-', '=', '_', '/', '\\', '\'', '"', '.', ',', ' '};

constexpr uint32_t dump_bytes_per_line = 16;

bool IsReadable(uint8_t c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    for (uint8_t r : read_chars) {
        if (c == r)
            return true;
    }
    return false;
}

void AppendText(std::string* out, const uint8_t* line, uint32_t count)
{
    out->append("| ");
    for (uint32_t i = 0; i < count; ++i)
        out->push_back(IsReadable(line[i]) ? static_cast<char>(line[i]) : '.');
}

void Skip(uint8_t** p, uint32_t* size, uint32_t count)
{
    *p += count;
    *size -= count;
}

}  // namespace

Packet* ParsePacket(uint8_t** p, uint32_t* size)
{
    while (*size != 0) {
        uint8_t* at = *p;
        if (at[0] != hproto_sync) {
            Skip(p, size, 1);
            continue;
        }
        if (*size <= 4)
            return nullptr;
        uint8_t frame_size = at[1];
        // Below 7 there is no room for the header and checksum: the checksum would be taken over
        // a negative length, so such a size cannot begin a frame.
        if (frame_size > scanner_max_size || frame_size < proto_base_size) {
            Skip(p, size, 1);
            continue;
        }
        if (frame_size > *size)
            return nullptr;
        Packet* packet = reinterpret_cast<Packet*>(at);
        if (GetCRC(packet) != CalcCRC(packet)) {
            Skip(p, size, 1);
            continue;
        }
        Skip(p, size, frame_size);
        return packet;
    }
    return nullptr;
}

std::string DumpHex(const Packet* packet)
{
    // The size byte may be anything a line delivered, 255 included: the dump ends with the record.
    uint32_t count = packet->size < sizeof(Packet) ? packet->size : sizeof(Packet);
    return DumpBytes(reinterpret_cast<const uint8_t*>(packet), count);
}

std::string DumpBytes(const uint8_t* bytes, uint32_t count)
{
    std::string out;
    out.reserve((count / dump_bytes_per_line + 1) * 68);
    uint32_t line_start = 0;
    for (uint32_t i = 0; i < count; ++i) {
        char group[4];
        snprintf(group, sizeof(group), "%.2X ", bytes[i]);
        out.append(group);
        if ((i + 1) % dump_bytes_per_line == 0 && i + 1 < count) {
            AppendText(&out, bytes + line_start, dump_bytes_per_line);
            out.push_back('\n');
            line_start = i + 1;
        }
    }
    uint32_t last_count = count - line_start;
    // An empty record has no line to pad: its dump is the bare text column.
    if (count != 0) {
        for (uint32_t i = last_count; i < dump_bytes_per_line; ++i)
            out.append("   ");
    }
    AppendText(&out, bytes + line_start, last_count);
    return out;
}
