// The upgrade's image file: a raw image read block by block, or an Intel HEX or S-record file
// read whole into the runs of bytes it gives, from which each block is built when it is sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "Blocks.h"
#include "Sha256.h"

enum ImageFormat {
    IMAGE_FORMAT_AUTO,  // by the file's content
    IMAGE_FORMAT_RAW,
    IMAGE_FORMAT_IHEX,
    IMAGE_FORMAT_SREC,
};

// Block offsets travel in 32 bits; an image stops at the signed 32-bit size the upgrade has
// always taken, and the refusal's message names that figure.
constexpr int64_t max_image_size = INT32_MAX;

// Where a HEX or S-record image starts: --base, or else the lowest data address.
struct ImageBase {
    bool given = false;
    uint32_t address = 0;
};

// A run of image bytes: `length` bytes of ImageMap::bytes from `start`, at `offset` in the image.
struct ImageExtent {
    int64_t offset;
    size_t start;
    size_t length;
};

// What a HEX or S-record file puts where: the runs in offset order, apart and not touching; the
// gaps between them are not held (a sparse file costs no memory for its span).
struct ImageMap {
    std::vector<uint8_t> bytes;
    std::vector<ImageExtent> extents;
    uint32_t base = 0;
    int64_t size = 0;  // from the base to the end of the highest data
};

// A data record as read, before the records are put in address order.
struct RecordPiece {
    uint64_t address;
    size_t start;  // of its bytes in RecordReader::bytes
    size_t length;
    int line;
};

// The reading of a HEX or S-record file, a line at a time.
struct RecordReader {
    ImageFormat format = IMAGE_FORMAT_IHEX;
    int line = 0;            // the line last read, from 1
    uint64_t upper = 0;      // Intel HEX: the address the extended-address record gave
    bool segmented = false;  // Intel HEX: `upper` came from a segment record (02)
    bool ended = false;      // the end record was read
    int64_t data_count = 0;  // S-record: data records so far, for the count record
    std::vector<uint8_t> bytes;
    std::vector<RecordPiece> pieces;
    std::string partial;    // the line being gathered, up to its line end
    bool too_long = false;  // that line is longer than any record
    bool after_cr = false;  // the last byte was a CR: a LF after it ends no other line
};

// What is wrong with a HEX or S-record file, and where (line 0: the file as a whole).
struct ImageFault {
    int line = 0;
    std::string what;
};

// Reads one line, without its line end; false on a fault.
bool ReadRecordLine(RecordReader* reader, const std::string& line, ImageFault* fault);
// Reads the next bytes of the file, a line at each LF, CR LF or CR; false on a fault.
bool ReadRecordBytes(RecordReader* reader, const char* data, size_t count, ImageFault* fault);
// After the last byte: reads the last line and puts the records in order at their offsets from
// the base.
bool FinishRecords(RecordReader* reader, ImageBase base, ImageMap* map, ImageFault* fault);
// A whole HEX or S-record text, as a file of it is read.
bool ReadRecordText(const std::string& text, ImageFormat format, ImageBase base, ImageMap* map,
                    ImageFault* fault);
// Fills `block` with the 32 image bytes at `offset`, 0xFF where no record put data. `cursor`
// starts at 0 and follows calls whose offsets do not decrease.
void FillBlock(const ImageMap& map, int64_t offset, size_t* cursor, uint8_t* block);

// What a file is: IMAGE_FORMAT_IHEX or IMAGE_FORMAT_SREC when its first bytes (after a byte
// order mark, blank lines and white space) open such a record, or else when its name ends in
// such a file's extension; else IMAGE_FORMAT_RAW. A text file must never be sent as an image.
ImageFormat DetectFormat(const uint8_t* head, size_t count, const std::string& name);
ImageFormat FormatByName(const std::string& name);
bool IsElf(const uint8_t* head, size_t count);
const char* FormatName(ImageFormat format);

// An image file from being opened and checked to the end of the upload.
struct ImageFile {
    std::string path;
    ImageFormat format = IMAGE_FORMAT_RAW;
    FILE* file = nullptr;  // a raw image, read again during the upload
    ImageMap map;          // a HEX or S-record image
    size_t cursor = 0;
    int64_t size = 0;         // of the image
    int64_t sent_blocks = 0;  // blocks the upload exchanges: first, last and those not blank
    std::string sha256;       // of the file
    // The file as it was when opened, to tell a file changed during the upload.
    int64_t file_size = 0;
    time_t modified = 0;
    Sha256 reread;  // a raw image: of the bytes read for the upload
    // Why the last call below failed: the one line for the caller to print on stdout.
    std::string failure;
};

// Opens and reads the image: refuses what is no image before anything is sent, with the line
// naming the file in `failure`. The image's size, digest and the blocks to send are known after it.
bool OpenImageFile(const std::string& path, ImageFormat format, ImageBase base, ImageFile* image);
// The 32 image bytes of the block at `offset` (blocks are read in order); false with the line in
// `failure` when the file cannot be read or is no longer what it was.
bool ReadImageBlock(ImageFile* image, int64_t offset, uint8_t* block);
// After the last block: false with the line in `failure` when the file changed during the upload.
bool ImageFileUnchanged(ImageFile* image);
void CloseImageFile(ImageFile* image);
// "raw, 100 bytes" or "Intel HEX, addresses 0x08000000-0x08000063, 100 bytes".
std::string DescribeImage(const ImageFile& image);
