// Intel HEX and S-record text.
#include "Records.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// The byte order mark some Windows editors put before the first line.
const char utf8_mark[] = "\xEF\xBB\xBF";

}  // namespace

std::string Printf(const char* format, long long a, long long b)
{
    char text[160];
    snprintf(text, sizeof(text), format, a, b);
    return text;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool IsBlankByte(uint8_t c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Where the text starts: after a byte order mark, blank lines and white space.
size_t LeadingBlanks(const uint8_t* head, size_t count)
{
    size_t at = count >= 3 && std::memcmp(head, utf8_mark, 3) == 0 ? 3 : 0;
    while (at < count && IsBlankByte(head[at]))
        ++at;
    return at;
}

bool IsDigit(uint8_t c)
{
    return c >= '0' && c <= '9';
}

bool Fail(ImageFault* fault, int line, const std::string& what)
{
    fault->line = line;
    fault->what = what;
    return false;
}

namespace {

constexpr uint64_t address_limit = uint64_t{1} << 32;

// The bytes the hex digits from `from` on stand for; false when they are not pairs of digits.
bool DecodeHex(const std::string& line, size_t from, std::vector<uint8_t>* bytes)
{
    if ((line.size() - from) % 2 != 0)
        return false;
    bytes->clear();
    for (size_t i = from; i < line.size(); i += 2) {
        int high = HexDigit(line[i]);
        int low = HexDigit(line[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes->push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return true;
}


// White space that may stand around a record.
const char blanks[] = " \t\r";

bool AddData(RecordReader* reader, uint64_t address, const uint8_t* data, size_t length,
             ImageFault* fault)
{
    if (address + length > address_limit)
        return Fail(fault, reader->line, "data runs past address 0xFFFFFFFF");
    if (length == 0)
        return true;
    reader->pieces.push_back(RecordPiece{address, reader->bytes.size(), length, reader->line});
    reader->bytes.insert(reader->bytes.end(), data, data + length);
    return true;
}

// The record's bytes summed modulo 256, its checksum byte included.
uint8_t ByteSum(const std::vector<uint8_t>& record)
{
    uint8_t sum = 0;
    for (uint8_t b : record)
        sum = static_cast<uint8_t>(sum + b);
    return sum;
}

uint32_t BigEndian(const uint8_t* bytes, int count)
{
    uint32_t value = 0;
    for (int i = 0; i < count; ++i)
        value = value << 8 | bytes[i];
    return value;
}

// ":" count, address (2 bytes), type, data, checksum: the bytes add up to 0.
bool ReadHexRecord(RecordReader* reader, const std::string& line, ImageFault* fault)
{
    std::vector<uint8_t> record;
    if (line[0] != ':' || !DecodeHex(line, 1, &record) || record.size() < 5)
        return Fail(fault, reader->line, "malformed line");
    const size_t count = record[0];
    if (record.size() != count + 5)
        return Fail(fault, reader->line, "byte count does not match the record's length");
    if (ByteSum(record) != 0)
        return Fail(fault, reader->line, "bad record checksum");
    const uint32_t address = BigEndian(&record[1], 2);
    const int type = record[3];
    const uint8_t* data = &record[4];
    const size_t lengths[] = {count, 0, 2, 4, 2, 4};  // what each type must carry
    if (type > 5)
        return Fail(fault, reader->line, Printf("unknown record type %02llX", type));
    if (count != lengths[type])
        return Fail(fault, reader->line, Printf("bad length for record type %02llX", type));
    switch (type) {
    case 0:
        // Under a segment (02) the 16-bit offset wraps within the segment's 64 KiB: a record
        // running past offset 0xFFFF goes on at the segment's start.
        if (reader->segmented && address + count > 0x10000) {
            const size_t head = 0x10000 - address;
            return AddData(reader, reader->upper + address, data, head, fault) &&
                   AddData(reader, reader->upper, data + head, count - head, fault);
        }
        return AddData(reader, reader->upper + address, data, count, fault);
    case 1:
        reader->ended = true;
        return true;
    case 2:
        reader->upper = uint64_t{BigEndian(data, 2)} << 4;
        reader->segmented = true;
        return true;
    case 4:
        reader->upper = uint64_t{BigEndian(data, 2)} << 16;
        reader->segmented = false;
        return true;
    default:  // 03 and 05, start addresses: nothing to upload
        return true;
    }
}

// "S", type, count, address (2 to 4 bytes), data, checksum: the bytes from the count on add up
// to 0xFF.
bool ReadSRecord(RecordReader* reader, const std::string& line, ImageFault* fault)
{
    std::vector<uint8_t> record;
    if ((line[0] != 'S' && line[0] != 's') || line.size() < 2 || line[1] < '0' || line[1] > '9' ||
        !DecodeHex(line, 2, &record) || record.empty())
        return Fail(fault, reader->line, "malformed line");
    const int type = line[1] - '0';
    const int address_sizes[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    if (type == 4)
        return Fail(fault, reader->line, "unknown record type S4");
    const size_t address_size = static_cast<size_t>(address_sizes[type]);
    const size_t count = record[0];
    if (record.size() != count + 1 || count < address_size + 1)
        return Fail(fault, reader->line, "byte count does not match the record's length");
    // An S-record's checksum is the ones' complement of the sum, an Intel HEX one the two's.
    if (ByteSum(record) != 0xFF)
        return Fail(fault, reader->line, "bad record checksum");
    const uint32_t address = BigEndian(&record[1], static_cast<int>(address_size));
    const size_t length = count - address_size - 1;
    if (type >= 1 && type <= 3) {
        ++reader->data_count;
        return AddData(reader, address, &record[1 + address_size], length, fault);
    }
    if (type == 5 || type == 6) {
        // An S5 with the 3-byte count of an S6 would pass for a 2-byte count and a data byte.
        if (length != 0)
            return Fail(fault, reader->line,
                        Printf("bad length for record type S%lld: byte count %02llX", type,
                               static_cast<long long>(count)) +
                            Printf(", not %02llX", static_cast<long long>(address_size + 1)));
        if (address != reader->data_count)
            return Fail(fault, reader->line,
                        Printf("count record says %lld, data records before it: %lld", address,
                               reader->data_count));
        return true;
    }
    if (type >= 7)
        reader->ended = true;
    return true;  // S0, the header
}

// The other record that gives `address` a byte: for the message of an overlap.
int LineHolding(const std::vector<RecordPiece>& pieces, size_t before, uint64_t address)
{
    for (size_t i = 0; i < before; ++i)
        if (pieces[i].address <= address && address < pieces[i].address + pieces[i].length)
            return pieces[i].line;
    return 0;
}

}  // namespace

bool ReadRecordLine(RecordReader* reader, const std::string& line, ImageFault* fault)
{
    ++reader->line;
    std::string text = line;
    if (reader->line == 1 && text.compare(0, 3, utf8_mark) == 0)
        text.erase(0, 3);
    // DOS editors close a file with 0x1A: taken after the end record, a malformed line before it.
    size_t end = text.find_last_not_of(blanks);
    const bool dos_end = end != std::string::npos && text[end] == '\x1A';
    end = text.find_last_not_of(std::string(blanks) + '\x1A');
    const size_t start = text.find_first_not_of(blanks);
    text = end == std::string::npos ? std::string() : text.substr(start, end + 1 - start);
    if (text.empty() && !dos_end)
        return true;
    if (reader->ended && !text.empty())
        return Fail(fault, reader->line, "a record after the end record");
    if (!text.empty()) {
        const bool good = reader->format == IMAGE_FORMAT_SREC ? ReadSRecord(reader, text, fault)
                                                              : ReadHexRecord(reader, text, fault);
        if (!good)
            return false;
    }
    if (dos_end && !reader->ended)
        return Fail(fault, reader->line, "malformed line");
    return true;
}

bool ReadRecordBytes(RecordReader* reader, const char* data, size_t count, ImageFault* fault)
{
    for (size_t i = 0; i < count; ++i) {
        const char c = data[i];
        // LF, CR LF and a lone CR each end a line.
        const bool after_cr = reader->after_cr;
        reader->after_cr = c == '\r';
        if (c == '\n' && after_cr)
            continue;
        if (c != '\n' && c != '\r') {
            reader->too_long = reader->too_long || reader->partial.size() >= max_line_length;
            if (!reader->too_long)
                reader->partial.push_back(c);
            continue;
        }
        if (reader->too_long)
            return Fail(fault, reader->line + 1, "line too long");
        if (!ReadRecordLine(reader, reader->partial, fault))
            return false;
        reader->partial.clear();
    }
    return true;
}

namespace {

// Sorts the pieces by address and finds where the image starts and how far it reaches; false
// when data lies below the base or the image would grow past the largest one sent.
bool MeasureSpan(std::vector<RecordPiece>* pieces, ImageBase base, uint64_t* low, uint64_t* span,
                 ImageFault* fault)
{
    std::stable_sort(pieces->begin(), pieces->end(),
                     [](const RecordPiece& a, const RecordPiece& b) {
                         return a.address < b.address;
                     });
    const RecordPiece& lowest = pieces->front();
    *low = base.given ? base.address : lowest.address;
    if (lowest.address < *low)
        return Fail(fault, lowest.line,
                    Printf("data at 0x%08llX below the base 0x%08llX",
                           static_cast<long long>(lowest.address), static_cast<long long>(*low)));
    const RecordPiece* highest = &lowest;
    for (const RecordPiece& piece : *pieces)
        if (piece.address + piece.length > highest->address + highest->length)
            highest = &piece;
    *span = highest->address + highest->length - *low;
    if (*span > static_cast<uint64_t>(max_image_size))
        return Fail(fault, highest->line,
                    Printf("the image would span %lld bytes from 0x%08llX, over the limit of "
                           "2147483647",
                           static_cast<long long>(*span), static_cast<long long>(*low)));
    return true;
}

// Lays the sorted pieces out as the map's extents: touching or overlapping pieces join one
// extent, and bytes another record gave already must be the same bytes.
bool PlacePieces(const RecordReader& reader, uint64_t low, ImageMap* map, ImageFault* fault)
{
    const std::vector<RecordPiece>& pieces = reader.pieces;
    uint64_t end = 0;  // of the data placed so far
    for (size_t i = 0; i < pieces.size(); ++i) {
        const RecordPiece& piece = pieces[i];
        const uint8_t* data = &reader.bytes[piece.start];
        size_t skip = 0;
        if (!map->extents.empty() && piece.address < end) {
            skip = static_cast<size_t>(std::min<uint64_t>(end - piece.address, piece.length));
            const uint8_t* placed = &map->bytes[map->bytes.size() - (end - piece.address)];
            for (size_t k = 0; k < skip; ++k) {
                if (placed[k] == data[k])
                    continue;
                const uint64_t address = piece.address + k;
                const int other = LineHolding(pieces, i, address);
                return Fail(fault, std::max(piece.line, other),
                            Printf("address 0x%08llX given other bytes by line %lld",
                                   static_cast<long long>(address), std::min(piece.line, other)));
            }
        }
        if (skip == piece.length)
            continue;
        if (map->extents.empty() || piece.address > end)
            map->extents.push_back(
                ImageExtent{static_cast<int64_t>(piece.address - low), map->bytes.size(), 0});
        map->bytes.insert(map->bytes.end(), data + skip, data + piece.length);
        map->extents.back().length += piece.length - skip;
        end = piece.address + piece.length;
    }
    return true;
}

}  // namespace

bool FinishRecords(RecordReader* reader, ImageBase base, ImageMap* map, ImageFault* fault)
{
    if (reader->too_long)
        return Fail(fault, reader->line + 1, "line too long");
    if (!reader->partial.empty() && !ReadRecordLine(reader, reader->partial, fault))
        return false;
    reader->partial.clear();
    if (!reader->ended)
        return Fail(fault, reader->line + 1, "no end record");
    if (reader->pieces.empty())
        return Fail(fault, 0, "empty image (no data records)");
    uint64_t low = 0, span = 0;
    if (!MeasureSpan(&reader->pieces, base, &low, &span, fault))
        return false;
    map->bytes.clear();
    map->extents.clear();
    map->base = static_cast<uint32_t>(low);
    map->size = static_cast<int64_t>(span);
    if (!PlacePieces(*reader, low, map, fault))
        return false;
    std::vector<uint8_t>().swap(reader->bytes);
    return true;
}

bool ReadRecordText(const std::string& text, ImageFormat format, ImageBase base, ImageMap* map,
                    ImageFault* fault)
{
    RecordReader reader;
    reader.format = format;
    return ReadRecordBytes(&reader, text.data(), text.size(), fault) &&
           FinishRecords(&reader, base, map, fault);
}

void FillBlock(const ImageMap& map, int64_t offset, size_t* cursor, uint8_t* block)
{
    constexpr int bs = image_block_size;
    std::memset(block, 0xFF, bs);
    const std::vector<ImageExtent>& extents = map.extents;
    while (*cursor < extents.size() &&
           extents[*cursor].offset + static_cast<int64_t>(extents[*cursor].length) <= offset)
        ++*cursor;
    for (size_t i = *cursor; i < extents.size() && extents[i].offset < offset + bs; ++i) {
        const ImageExtent& extent = extents[i];
        const int64_t from = std::max(offset, extent.offset);
        const int64_t to =
            std::min(offset + bs, extent.offset + static_cast<int64_t>(extent.length));
        std::memcpy(block + (from - offset), &map.bytes[extent.start + (from - extent.offset)],
                    static_cast<size_t>(to - from));
    }
}