// How an image goes to the board: in blocks of 32 bytes, each tagged with its offset, the blank
// ones (all 0xFF) left out but the first and the last.
#pragma once

#include <cstdint>

constexpr int image_block_size = 32;

// The blocks that cover `image_size` bytes, the last one padded with 0xFF. Counted, not stepped
// in bytes: a 32-bit position stepped by 32 wraps for the last blocks of an image near 2 GiB.
int64_t ImageBlockCount(int64_t image_size);

bool IsBlankBlock(const uint8_t* block);

// Whether block `block` of `blocks`, holding `bytes`, is exchanged: the first and the last
// always are; between them, those that are not blank.
bool BlockIsSent(int64_t block, int64_t blocks, const uint8_t* bytes);
