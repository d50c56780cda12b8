#include "Blocks.h"

int64_t ImageBlockCount(int64_t image_size)
{
    return image_size <= 0 ? 0 : (image_size - 1) / image_block_size + 1;
}

bool IsBlankBlock(const uint8_t* block)
{
    for (int i = 0; i < image_block_size; ++i)
        if (block[i] != 0xFF)
            return false;
    return true;
}

bool BlockIsSent(int64_t block, int64_t blocks, const uint8_t* bytes)
{
    return block == 0 || block + 1 == blocks || !IsBlankBlock(bytes);
}
