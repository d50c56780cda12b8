// Intel HEX and S-record text: the records read a line at a time into the runs of bytes they
// give, checked whole, then laid out at their offsets from the image's base.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Blocks.h"

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

// The longest record either format allows (255 data bytes) with room for trailing blanks.
constexpr size_t max_line_length = 600;

// Shared with the detection of a file's format.
int HexDigit(char c);
bool IsBlankByte(uint8_t c);
bool IsDigit(uint8_t c);
// Where the text starts: after a byte order mark, blank lines and white space.
size_t LeadingBlanks(const uint8_t* head, size_t count);
// Sets the fault; false, for the caller to return.
bool Fail(ImageFault* fault, int line, const std::string& what);
// A message with one or two numbers in it.
std::string Printf(const char* format, long long a, long long b = 0);
