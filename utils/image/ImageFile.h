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
#include "Records.h"
#include "Sha256.h"

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
