// The reading of HEX and S-record files and the image's digest: a corpus of small files, each
// with the image it must give or the fault it must be refused with.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "image/ImageFile.h"
#include "image/Sha256.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The whole image, built block by block as the upload builds it.
Bytes Flatten(const ImageMap& map)
{
    Bytes image;
    size_t cursor = 0;
    uint8_t block[32];
    for (int64_t offset = 0; offset < map.size; offset += 32) {
        FillBlock(map, offset, &cursor, block);
        image.insert(image.end(), block, block + 32);
    }
    image.resize(static_cast<size_t>(map.size));
    return image;
}

Bytes With(Bytes image, size_t at, const Bytes& bytes)
{
    image.resize(std::max(image.size(), at + bytes.size()), 0xFF);
    std::copy(bytes.begin(), bytes.end(), image.begin() + at);
    return image;
}

// What reading a file gives: an image at its base, or a fault as the refusal names it.
struct Reading {
    uint32_t base;
    Bytes image;
    std::string fault;
};

Reading Good(uint32_t base, const Bytes& image)
{
    return {base, image, ""};
}

Reading Refused(const std::string& fault)
{
    return {0, {}, fault};
}

ImageBase Base(uint32_t address)
{
    return {true, address};
}

TEST(ImageFile, CorpusOfHexAndSRecordFiles)
{
    const ImageBase none;
    const ImageFormat hex = IMAGE_FORMAT_IHEX;
    const ImageFormat srec = IMAGE_FORMAT_SREC;
    struct Case {
        const char* name;
        ImageFormat format;
        ImageBase base;
        std::string text;
        Reading reading;
    };
    const Case cases[] = {
        {"data and end, LF, after a UTF-8 mark", hex, none,
         "\xEF\xBB\xBF:0400000001020304F2\n:00000001FF\n", Good(0, {1, 2, 3, 4})},
        {"CRLF, lower case, start records 03 and 05", hex, none,
         ":0400000001020304f2\r\n:0400000300001234B3\r\n:0400000508000010DF\r\n:00000001ff\r\n",
         Good(0, {1, 2, 3, 4})},
        {"04 across 64 KiB", hex, none,
         ":04FFFC00A0A1A2A37B\n:020000040001F9\n:02000000B0B19D\n:00000001FF",
         Good(0xFFFC, {0xA0, 0xA1, 0xA2, 0xA3, 0xB0, 0xB1})},
        {"02 segment, --base below the data", hex, Base(0x10000),
         ":020000021000EC\n:02001000C0C16D\n:00000001FF\n",
         Good(0x10000, With({}, 16, {0xC0, 0xC1}))},
        {"gap of whole blank blocks", hex, none, ":020000000102FB\n:02008000030477\n:00000001FF\n",
         Good(0, With({1, 2}, 0x80, {3, 4}))},
        {"overlap with equal bytes, out of order", hex, none,
         ":0400040005060708DE\n:06000000010203040506E5\n:00000001FF\n",
         Good(0, {1, 2, 3, 4, 5, 6, 7, 8})},
        {"overlap with other bytes", hex, none,
         ":0400000001020304F2\n:0100080009EE\n:020002000309F0\n:00000001FF\n",
         Refused("line 3: address 0x00000003 given other bytes by line 1")},
        {"bad checksum", hex, none, ":0100000001FE\n:0100010002FD\n:00000001FF\n",
         Refused("line 2: bad record checksum")},
        {"no end record", hex, none, ":0100000001FE\n:0100010002FC\n",
         Refused("line 3: no end record")},
        {"unknown type", hex, none, ":0100000001FE\n:020000060000F8\n",
         Refused("line 2: unknown record type 06")},
        {"count against length", hex, none, ":030000000102\n:00000001FF\n",
         Refused("line 1: byte count does not match the record's length")},
        {"CR line ends, blanks around records, 0x1A after the end", hex, none,
         " \t:0400000001020304F2 \r\t:00000001FF\r\x1A\x1A", Good(0, {1, 2, 3, 4})},
        {"0x1A before the end record", hex, none, ":0400000001020304F2\x1A\n:00000001FF\n",
         Refused("line 1: malformed line")},
        {"02 offset wraps in its segment", hex, none,
         ":020000021000EC\n:10FFF800101112131415161718191A1B1C1D1E1F81\n:00000001FF\n",
         Good(0x10000, With({0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F}, 0xFFF8,
                            {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17}))},
        {"04 address does not wrap", hex, none,
         ":020000040000FA\n:04FFFE00A0A1A2A379\n:00000001FF\n",
         Good(0xFFFE, {0xA0, 0xA1, 0xA2, 0xA3})},
        {"malformed", hex, none, ":0100000001FE\n\nfirmware\n", Refused("line 3: malformed line")},
        {"data below --base", hex, Base(0x100), ":0101000001FD\n:0100F000020D\n:00000001FF\n",
         Refused("line 2: data at 0x000000F0 below the base 0x00000100")},
        {"span over 2^31 - 1", hex, none,
         ":0100000001FE\n:0200000480007A\n:0100000002FD\n:00000001FF\n",
         Refused("line 3: the image would span 2147483649 bytes from 0x00000000, over the limit of "
                 "2147483647")},
        {"no data", hex, none, ":00000001FF\n", Refused("empty image (no data records)")},
        {"record after the end", hex, none, ":0100000001FE\n:00000001FF\n:0100010002FC\n",
         Refused("line 3: a record after the end record")},
        {"S0 S1 S2 S3 S5 S9, CRLF", srec, none,
         "S005000066771D\r\nS10500100102E7\r\nS2060000120304E0\r\nS3060000001405E0\r\n"
         "S5030003F9\r\nS9030010EC\r\n",
         Good(0x10, {1, 2, 3, 4, 5})},
        {"S3 S7 with a gap", srec, none, "S30708000000AABB8B\nS30608000040CCE5\nS70508000000F2\n",
         Good(0x08000000, With({0xAA, 0xBB}, 0x40, {0xCC}))},
        {"S2 S6 S8", srec, none, "S205012345078A\nS604000001FA\nS804000000FB\n",
         Good(0x012345, {7})},
        {"S5 count above", srec, none, "S104000001FA\nS5030002FA\nS9030000FC\n",
         Refused("line 2: count record says 2, data records before it: 1")},
        {"S5 count below", srec, none, "S104000001FA\nS104000102F8\nS5030001FB\nS9030000FC\n",
         Refused("line 3: count record says 1, data records before it: 2")},
        {"S5 with a 3-byte count", srec, none,
         "S104000001FA\nS104000102F8\nS504000002F9\nS9030000FC\n",
         Refused("line 3: bad length for record type S5: byte count 04, not 03")},
        {"S-record bad checksum", srec, none, "S104000001FB\nS9030000FC\n",
         Refused("line 1: bad record checksum")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DetectFormat(reinterpret_cast<const uint8_t*>(c.text.data()), c.text.size(), ""),
                  c.format);
        ImageMap map;
        ImageFault fault;
        Reading reading;
        if (ReadRecordText(c.text, c.format, c.base, &map, &fault))
            reading = Good(map.base, Flatten(map));
        else
            reading = Refused((fault.line ? "line " + std::to_string(fault.line) + ": " : "") +
                              fault.what);
        EXPECT_EQ(reading.fault, c.reading.fault);
        EXPECT_EQ(reading.base, c.reading.base);
        EXPECT_EQ(reading.image, c.reading.image);
    }
    // A sparse file at the limit holds its records' bytes, not its span.
    ImageMap sparse;
    ImageFault fault;
    ASSERT_TRUE(ReadRecordText(":0100000001FE\n:020000047FFF7C\n:02FFFD000203FD\n:00000001FF\n",
                               hex, none, &sparse, &fault))
        << fault.what;
    EXPECT_EQ(sparse.size, INT32_MAX);
    EXPECT_EQ(sparse.bytes.size(), 3u);
    size_t cursor = 0;
    uint8_t block[32];
    FillBlock(sparse, INT32_MAX - 31, &cursor, block);
    EXPECT_EQ(Bytes(block, block + 32), With(Bytes(29, 0xFF), 29, {2, 3, 0xFF}));

    // Text that opens no record, in a file not named as one, is a raw image as before.
    for (const std::string& head :
         {std::string("\x7F"
                      "ELF\x02\x01",
                      6),
          std::string("S1\n"), std::string(":)\n"), std::string("Some text\n"), std::string("")})
        EXPECT_EQ(DetectFormat(reinterpret_cast<const uint8_t*>(head.data()), head.size(),
                               "fw.bin"),
                  IMAGE_FORMAT_RAW)
            << head;
}

// Files as the upgrade opens them with no --format: each gives its image or a refusal before
// anything is sent, and a text or a file named as one never goes out as a raw image.
TEST(ImageFile, AutoModeNeverSendsText)
{
    const ImageBase none;
    const std::string hex = ":0400000001020304F2\n:00000001FF\n";
    const std::string binary("\x00\x20\x00\x20\xC1\x01\x00\x08", 8);
    const std::string name_hint = " (read as Intel HEX for its name; --format raw sends the file "
                                  "as it is)";
    struct Case {
        const char* name;
        std::string file;
        ImageBase base;
        std::string described;  // the start of DescribeImage, or the refusal on stdout
        Bytes image;
    };
    const Case cases[] = {
        {"fw.img", "\n" + hex, none, "Intel HEX, addresses 0x00000000-0x00000003", {1, 2, 3, 4}},
        {"fw.img",
         "\xEF\xBB\xBF\r\n:0400000001020304F2\r\n:00000001FF\r\n",
         none,
         "Intel HEX, addresses 0x00000000-0x00000003",
         {1, 2, 3, 4}},
        {"fw.img", " \t" + hex, none, "Intel HEX, addresses 0x00000000-0x00000003", {1, 2, 3, 4}},
        {"fw.img",
         ":0400000001020304F2\r:00000001FF\r\x1A",
         none,
         "Intel HEX, addresses 0x00000000-0x00000003",
         {1, 2, 3, 4}},
        {"fw.img",
         "\r\n\nS104000001FA\r\nS9030000FC\r\n",
         none,
         "S-record, addresses 0x00000000-0x00000000",
         {1}},
        {"fw.img",
         std::string(":04000000\0", 10) + "01020304F2\n:00000001FF\n",
         none,
         "line 1: malformed line",
         {}},
        {"fw.img", ":040000000102030F2\n:00000001FF\n", none, "line 1: malformed line", {}},
        {"fw.img",
         "S00600004844521C\nS104000001FA\nS9030000FC\n",
         none,
         "line 1: bad record checksum",
         {}},
        {"FW.HEX", binary, none, "line 1: malformed line" + name_hint, {}},
        {"fw.Mot",
         binary,
         none,
         "line 1: malformed line (read as S-record for its name; --format raw sends the file as "
         "it is)",
         {}},
        {"fw.bin",
         binary,
         {true, 0x08000000},
         "--base places a HEX or S-record file; a raw image has no addresses",
         {}},
        {"fw.bin", binary, none, "raw, 8 bytes", Bytes(binary.begin(), binary.end())},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + (": " + c.file));
        const std::string path = std::string("auto-") + c.name;
        {
            std::ofstream(path, std::ios::binary) << c.file;
        }
        ImageFile image;
        const bool opened = OpenImageFile(path, IMAGE_FORMAT_AUTO, c.base, &image);
        Bytes read;
        uint8_t block[32];
        for (int64_t offset = 0; opened && offset < image.size; offset += 32) {
            ASSERT_TRUE(ReadImageBlock(&image, offset, block));
            read.insert(read.end(), block, block + 32);
        }
        read.resize(static_cast<size_t>(image.size));
        CloseImageFile(&image);
        std::remove(path.c_str());
        if (c.image.empty()) {
            EXPECT_FALSE(opened);
            EXPECT_EQ(image.failure, "Failed to open file " + path + ": " + c.described);
        } else {
            EXPECT_EQ(image.failure, "");
            EXPECT_EQ(DescribeImage(image).rfind(c.described, 0), 0u) << DescribeImage(image);
            EXPECT_EQ(read, c.image);
        }
    }
}

// The last block must end the upload for every size the size check lets through, 2^31 - 1
// included: a 32-bit position stepped by 32 wrapped there and the upload never ended.
TEST(ImageFile, LastBlockEndsEveryAcceptedSize)
{
    const int64_t cases[][2] = {
        {0, 0},
        {1, 1},
        {32, 1},
        {33, 2},
        {64, 2},
        {2147483616, 67108863},
        {2147483617, 67108864},
        {2147483647, 67108864},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        const int64_t blocks = ImageBlockCount(c[0]);
        EXPECT_EQ(blocks, c[1]);
        if (blocks > 0) {
            const int64_t last_offset = (blocks - 1) * 32;
            EXPECT_LT(last_offset, c[0]);
            EXPECT_GE(last_offset + 32, c[0]);
            EXPECT_LE(last_offset, int64_t{UINT32_MAX});  // it travels as 4 bytes
        }
    }
}

std::string Digest(const std::string& text, size_t piece)
{
    Sha256 sha;
    Sha256Start(&sha);
    for (size_t at = 0; at < text.size(); at += piece)
        Sha256Add(&sha, text.data() + at, std::min(piece, text.size() - at));
    return Sha256Finish(&sha);
}

// The standard test vectors; the million 'a' also added in pieces that straddle the 64-byte
// blocks, as a file's chunks do.
TEST(ImageFile, Sha256TestVectors)
{
    const std::string million(1000000, 'a');
    const struct {
        std::string text;
        size_t piece;
        const char* digest;
    } cases[] = {
        {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", 3, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 56,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         112, "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {million, million.size(),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {million, 7, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Digest(c.text, c.piece), c.digest) << c.text.substr(0, 20) << " " << c.piece;
}

}  // namespace
