// The upgrade's image file. A HEX or S-record file is checked whole before the board hears of
// the upgrade: a file cut short or damaged in a mail must never become half an image.
#include "ImageFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace {

constexpr int bs = image_block_size;
// The longest record either format allows (255 data bytes) with room for trailing blanks.
constexpr size_t max_line_length = 600;
constexpr uint64_t address_limit = uint64_t{1} << 32;

std::string Printf(const char* format, long long a, long long b = 0)
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

// The byte order mark some Windows editors put before the first line.
const char utf8_mark[] = "\xEF\xBB\xBF";

// White space that may stand around a record.
const char blanks[] = " \t\r";

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

bool Regular(const struct stat& info)
{
    return (info.st_mode & S_IFMT) == S_IFREG;
}

// The refusal of the file, in the shape of the other failures to open it.
bool Refuse(ImageFile* image, const std::string& why)
{
    image->failure = "Failed to open file " + image->path + ": " + why;
    return false;
}

// A raw image: its digest and the blocks it will take, read once before anything is sent.
bool ScanRawImage(ImageFile* image)
{
    Sha256 sha;
    Sha256Start(&sha);
    const int64_t blocks = ImageBlockCount(image->size);
    int64_t sent = 0;
    int64_t read = 0;
    std::vector<uint8_t> buffer(64 * 1024);  // a multiple of the block size
    uint8_t* chunk = buffer.data();
    size_t n;
    while ((n = fread(chunk, 1, buffer.size(), image->file)) > 0) {
        Sha256Add(&sha, chunk, n);
        std::memset(chunk + n, 0xFF, buffer.size() - n);
        for (size_t at = 0; at < n; at += bs) {
            const int64_t block = (read + static_cast<int64_t>(at)) / bs;
            sent += BlockIsSent(block, blocks, chunk + at);
        }
        read += static_cast<int64_t>(n);
    }
    if (ferror(image->file))
        return Refuse(image, strerror(errno));
    if (read != image->size)
        return Refuse(image, "changed while it was read");
    image->sha256 = Sha256Finish(&sha);
    image->sent_blocks = sent;
    if (fseeko(image->file, 0, SEEK_SET) != 0) {
        image->failure = "Failed to obtain file size " + image->path + ": " + strerror(errno);
        return false;
    }
    Sha256Start(&image->reread);
    return true;
}

int64_t CountSentBlocks(const ImageMap& map)
{
    const int64_t blocks = ImageBlockCount(map.size);
    // The first block goes even when it lies in the gap below the data (--base below it); the
    // last one holds the highest data.
    int64_t sent = map.extents.empty() || map.extents[0].offset >= bs ? 1 : 0;
    int64_t done = 0;  // blocks below this one are counted
    size_t cursor = 0;
    uint8_t block[bs];
    for (const ImageExtent& extent : map.extents) {
        int64_t last = (extent.offset + static_cast<int64_t>(extent.length) - 1) / bs;
        for (int64_t b = std::max(done, extent.offset / bs); b <= last; ++b) {
            FillBlock(map, b * bs, &cursor, block);
            sent += BlockIsSent(b, blocks, block);
        }
        done = std::max(done, last + 1);
    }
    return sent;
}

// A HEX or S-record file: read line by line into its records, the digest taken on the way.
// `by_name`: the format was taken from the file's name, not from its first record.
bool ReadRecordFile(ImageFile* image, FILE* file, ImageBase base, bool by_name)
{
    RecordReader reader;
    reader.format = image->format;
    ImageFault fault;
    Sha256 sha;
    Sha256Start(&sha);
    bool good = true;
    char chunk[4096];
    size_t n;
    while (good && (n = fread(chunk, 1, sizeof(chunk), file)) > 0) {
        Sha256Add(&sha, chunk, n);
        good = ReadRecordBytes(&reader, chunk, n, &fault);
    }
    if (good && ferror(file))
        return Refuse(image, strerror(errno));
    if (good)
        good = FinishRecords(&reader, base, &image->map, &fault);
    if (!good) {
        std::string why = fault.what;
        if (fault.line > 0)
            why = Printf("line %lld: ", fault.line) + why;
        if (by_name)
            why += std::string(" (read as ") + FormatName(image->format) +
                   " for its name; --format raw sends the file as it is)";
        return Refuse(image, why);
    }
    image->sha256 = Sha256Finish(&sha);
    image->size = image->map.size;
    image->sent_blocks = CountSentBlocks(image->map);
    return true;
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

ImageFormat DetectFormat(const uint8_t* head, size_t count, const std::string& name)
{
    const size_t at = LeadingBlanks(head, count);
    const uint8_t* text = head + at;
    const size_t left = count - at;
    if (left >= 2 && text[0] == ':' && HexDigit(static_cast<char>(text[1])) >= 0)
        return IMAGE_FORMAT_IHEX;
    if (left >= 3 && (text[0] == 'S' || text[0] == 's') && IsDigit(text[1]) &&
        HexDigit(static_cast<char>(text[2])) >= 0)
        return IMAGE_FORMAT_SREC;
    return FormatByName(name);
}

ImageFormat FormatByName(const std::string& name)
{
    const size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || name.find_first_of("/\\", dot) != std::string::npos)
        return IMAGE_FORMAT_RAW;
    std::string extension = name.substr(dot + 1);
    for (char& c : extension)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (const char* hex : {"hex", "ihx", "ihex"})
        if (extension == hex)
            return IMAGE_FORMAT_IHEX;
    for (const char* srec : {"srec", "s19", "s28", "s37", "mot"})
        if (extension == srec)
            return IMAGE_FORMAT_SREC;
    return IMAGE_FORMAT_RAW;
}

bool IsElf(const uint8_t* head, size_t count)
{
    return count >= 4 && std::memcmp(head,
                                     "\x7F"
                                     "ELF",
                                     4) == 0;
}

const char* FormatName(ImageFormat format)
{
    switch (format) {
    case IMAGE_FORMAT_IHEX:
        return "Intel HEX";
    case IMAGE_FORMAT_SREC:
        return "S-record";
    default:
        return "raw";
    }
}

bool OpenImageFile(const std::string& path, ImageFormat format, ImageBase base, ImageFile* image)
{
    image->path = path;
    // A directory opens as a file on POSIX, where its size reads as garbage; on Windows it fails
    // with "Permission denied". A FIFO would keep the open waiting for a writer, and a device or
    // a file of /proc has no size to upload: all are refused before they are opened.
    struct stat info {};
    if (stat(path.c_str(), &info) == 0) {
        if ((info.st_mode & S_IFMT) == S_IFDIR)
            return Refuse(image, strerror(EISDIR));
        if (!Regular(info))
            return Refuse(image, "not a regular file");
    }
    // Binary mode: no newline translation and no end-of-file byte on Windows.
    FILE* file = fopen(path.c_str(), "rb");
    if (!file)
        return Refuse(image, strerror(errno));
    image->file = file;
    // What was opened is what counts: the name may have changed hands since the look above.
    if (fstat(fileno(file), &info) != 0 || !Regular(info))
        return Refuse(image, "not a regular file");
    image->file_size = info.st_size;
    image->modified = info.st_mtime;
    if (info.st_size == 0)
        return Refuse(image, "empty image");

    uint8_t head[max_line_length];
    size_t count = fread(head, 1, sizeof(head), file);
    if (format == IMAGE_FORMAT_AUTO && IsElf(head, count))
        return Refuse(image,
                      "an ELF file, not an image: convert it first, e.g. objcopy -O binary " +
                          path + " fw.bin (or -O ihex to fw.hex)");
    // A text opening with more blank lines than one read holds is judged by what follows them.
    size_t blank = LeadingBlanks(head, count);
    while (format == IMAGE_FORMAT_AUTO && count == sizeof(head) && blank == count) {
        count = fread(head, 1, sizeof(head), file);
        blank = 0;
        while (blank < count && IsBlankByte(head[blank]))
            ++blank;
    }
    if (ferror(file) || fseeko(file, 0, SEEK_SET) != 0)
        return Refuse(image, strerror(errno));
    const ImageFormat by_content =
        format == IMAGE_FORMAT_AUTO ? DetectFormat(head + blank, count - blank, "") : format;
    image->format = format == IMAGE_FORMAT_AUTO && by_content == IMAGE_FORMAT_RAW
                        ? FormatByName(path)
                        : by_content;

    if (image->format != IMAGE_FORMAT_RAW) {
        bool good = ReadRecordFile(image, file, base, image->format != by_content);
        fclose(file);
        image->file = nullptr;
        return good;
    }
    if (base.given)
        return Refuse(image, "--base places a HEX or S-record file; a raw image has no addresses");
    if (info.st_size > max_image_size) {
        image->failure =
            "Failed to obtain file size " + path + ": File too large (limit 2147483647 bytes)";
        return false;
    }
    image->size = info.st_size;
    return ScanRawImage(image);
}

bool ReadImageBlock(ImageFile* image, int64_t offset, uint8_t* block)
{
    if (!image->file) {
        FillBlock(image->map, offset, &image->cursor, block);
        return true;
    }
    std::memset(block, 0xFF, bs);
    const size_t expected = static_cast<size_t>(std::min<int64_t>(bs, image->size - offset));
    const size_t n = fread(block, 1, expected, image->file);
    if (ferror(image->file)) {
        image->failure = std::string("Failed to read file: ") + strerror(errno);
        return false;
    }
    if (n != expected) {
        image->failure = "Failed to read file " + image->path + ": changed during the upload";
        return false;
    }
    Sha256Add(&image->reread, block, n);
    return true;
}

bool ImageFileUnchanged(ImageFile* image)
{
    struct stat info {};
    bool same = stat(image->path.c_str(), &info) == 0 && info.st_size == image->file_size &&
                info.st_mtime == image->modified;
    // Bytes read for the upload that differ from those the digest was taken of.
    if (image->file)
        same = same && Sha256Finish(&image->reread) == image->sha256;
    if (!same)
        image->failure = "Failed to read file " + image->path + ": changed during the upload";
    return same;
}

void CloseImageFile(ImageFile* image)
{
    if (image->file)
        fclose(image->file);
    image->file = nullptr;
}

std::string DescribeImage(const ImageFile& image)
{
    std::string text = FormatName(image.format);
    if (image.format != IMAGE_FORMAT_RAW)
        text += Printf(", addresses 0x%08llX-0x%08llX", image.map.base,
                       image.map.base + image.size - 1);
    return text + Printf(", %lld bytes", image.size);
}
