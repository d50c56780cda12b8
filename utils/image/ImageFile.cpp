// The upgrade's image file. A HEX or S-record file is checked whole before the board hears of
// the upgrade: a file cut short or damaged in a mail must never become half an image.
#include "ImageFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace {

constexpr int bs = image_block_size;


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
