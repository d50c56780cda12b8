// The reading of Intel HEX and S-record files, from any text.
// Input: [flags] [text...]; flags bit 0 picks S-record over Intel HEX, bit 1 gives a base of
// 0x08000000 (as --base would).
#include <algorithm>
#include <cstring>
#include <string>

#include "FuzzPort.h"
#include "image/ImageFile.h"

namespace {

bool SameMap(const ImageMap& a, const ImageMap& b)
{
    if (a.base != b.base || a.size != b.size || a.extents.size() != b.extents.size())
        return false;
    for (size_t i = 0; i < a.extents.size(); ++i) {
        const ImageExtent& x = a.extents[i];
        const ImageExtent& y = b.extents[i];
        if (x.offset != y.offset || x.length != y.length ||
            std::memcmp(&a.bytes[x.start], &b.bytes[y.start], x.length) != 0)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const ImageFormat format = data[0] & 1 ? IMAGE_FORMAT_SREC : IMAGE_FORMAT_IHEX;
    ImageBase base;
    base.given = (data[0] & 2) != 0;
    base.address = 0x08000000;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    ImageMap map;
    ImageFault fault;
    const bool good = ReadRecordText(text, format, base, &map, &fault);

    // The same file with Windows line ends reads the same: every line end, LF, CR LF or a lone
    // CR, made a CR LF.
    std::string crlf;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && i > 0 && text[i - 1] == '\r')
            continue;
        if (text[i] == '\n' || text[i] == '\r')
            crlf += "\r\n";
        else
            crlf.push_back(text[i]);
    }
    ImageMap crlf_map;
    ImageFault crlf_fault;
    FUZZ_CHECK(ReadRecordText(crlf, format, base, &crlf_map, &crlf_fault) == good);

    if (!good) {
        FUZZ_CHECK(!fault.what.empty());
        FUZZ_CHECK(fault.line == crlf_fault.line && fault.what == crlf_fault.what);
        // LF, CR LF and a lone CR each end a line.
        size_t lines = 1;
        for (size_t i = 0; i < text.size(); ++i)
            lines += text[i] == '\r' || (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'));
        FUZZ_CHECK(fault.line >= 0 && static_cast<size_t>(fault.line) <= lines + 1);
        return 0;
    }
    FUZZ_CHECK(SameMap(map, crlf_map));
    // And with the line ends of old Macs, CR alone.
    if (text.find('\r') == std::string::npos) {
        std::string cr = text;
        std::replace(cr.begin(), cr.end(), '\n', '\r');
        ImageMap cr_map;
        ImageFault cr_fault;
        FUZZ_CHECK(ReadRecordText(cr, format, base, &cr_map, &cr_fault));
        FUZZ_CHECK(SameMap(map, cr_map));
    }
    // Runs in order, apart, inside the image; the image starts at the base and ends with data.
    FUZZ_CHECK(!map.extents.empty());
    FUZZ_CHECK(map.size > 0 && map.size <= max_image_size);
    FUZZ_CHECK(!base.given || map.base == base.address);
    FUZZ_CHECK(base.given || map.extents[0].offset == 0);
    size_t held = 0;
    for (size_t i = 0; i < map.extents.size(); ++i) {
        const ImageExtent& extent = map.extents[i];
        FUZZ_CHECK(extent.length > 0 && extent.offset >= 0);
        FUZZ_CHECK(extent.start + extent.length <= map.bytes.size());
        if (i > 0) {
            const ImageExtent& before = map.extents[i - 1];
            FUZZ_CHECK(before.offset + static_cast<int64_t>(before.length) < extent.offset);
        }
        held += extent.length;
    }
    const ImageExtent& last = map.extents.back();
    FUZZ_CHECK(last.offset + static_cast<int64_t>(last.length) == map.size);
    FUZZ_CHECK(held <= map.bytes.size());

    // Every block that holds data, built as the upload builds it: the runs' bytes, 0xFF between.
    size_t cursor = 0;
    int64_t next = 0;  // blocks below this offset are checked
    size_t first = 0;  // the first run a block may touch
    uint8_t block[32];
    for (const ImageExtent& extent : map.extents) {
        int64_t offset = extent.offset / 32 * 32;
        if (offset < next)
            offset = next;
        for (; offset < extent.offset + static_cast<int64_t>(extent.length); offset += 32) {
            FillBlock(map, offset, &cursor, block);
            for (int k = 0; k < 32; ++k) {
                const int64_t at = offset + k;
                while (first < map.extents.size() &&
                       map.extents[first].offset +
                               static_cast<int64_t>(map.extents[first].length) <=
                           at)
                    ++first;
                uint8_t expect = 0xFF;
                if (first < map.extents.size() && map.extents[first].offset <= at)
                    expect = map.bytes[map.extents[first].start +
                                       static_cast<size_t>(at - map.extents[first].offset)];
                FUZZ_CHECK(block[k] == expect);
            }
        }
        next = offset;
    }
    return 0;
}
