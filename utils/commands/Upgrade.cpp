// Firmware upgrade: switch the board to its boot loader, then send the image in 32-byte blocks.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <thread>

#include "Commands.h"
#include "proto/Exchange.h"
#include "proto/Protocol.h"
#include "proto/Turnaround.h"

namespace {

constexpr int bs = upgrade_block_size;
// Offsets travel in 32 bits and the percentage arithmetic is done on a signed 32-bit size.
constexpr int64_t max_image_size = INT32_MAX;

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// --progress plain: a line at each tenth of the image, for logs that keep every line.
void PrintPlainProgress(int64_t done, int32_t filesize, Clock::time_point start, int* next_mark)
{
    const int percent = static_cast<int>(done * 100 / filesize);
    if (percent < *next_mark || percent >= 100)
        return;
    const double seconds = SecondsSince(start);
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    const double left = rate > 0 ? static_cast<double>(filesize - done) / rate : 0;
    printf("Uploading... %d %% %lld of %d bytes sent, %.0f bytes/s, %.1f s left\n", percent,
           static_cast<long long>(done), static_cast<int>(filesize), rate, left);
    fflush(stdout);
    *next_mark = percent / 10 * 10 + 10;
}

bool IsBlank(const uint8_t* image)
{
    for (int i = 0; i < bs; ++i)
        if (image[i] != 0xFF)
            return false;
    return true;
}

}  // namespace

bool upgrade_progress_plain = false;

int64_t UpgradeBlockCount(int64_t image_size)
{
    return image_size <= 0 ? 0 : (image_size - 1) / bs + 1;
}

int Upgrade(Port port, Args args)
{
    if (args.empty())
        return COMMAND_USAGE;
    const std::string& filepath = args[0];
    // A directory opens as a file on POSIX, where its size reads as garbage; on Windows it fails
    // with "Permission denied". Either way the true reason is the better message.
    struct stat info {};
    if (stat(filepath.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        printf("Failed to open file %s: %s\n", filepath.c_str(), strerror(EISDIR));
        return COMMAND_FAILED;
    }
    // Binary mode: no newline translation and no end-of-file byte on Windows.
    FILE* file = fopen(filepath.c_str(), "rb");
    if (!file) {
        printf("Failed to open file %s: %s\n", filepath.c_str(), strerror(errno));
        return COMMAND_FAILED;
    }
    if (fseeko(file, 0, SEEK_END) != 0) {
        printf("Failed to obtain file size %s: %s\n", filepath.c_str(), strerror(errno));
        fclose(file);
        return COMMAND_FAILED;
    }
    int64_t size64 = ftello(file);
    if (size64 < 0 || fseeko(file, 0, SEEK_SET) != 0) {
        printf("Failed to obtain file size %s: %s\n", filepath.c_str(), strerror(errno));
        fclose(file);
        return COMMAND_FAILED;
    }
    if (size64 > max_image_size) {
        printf("Failed to obtain file size %s: %s\n", filepath.c_str(),
               "File too large (limit 2147483647 bytes)");
        fclose(file);
        return COMMAND_FAILED;
    }
    const int32_t filesize = static_cast<int32_t>(size64);

    puts("Switch to boot mode...");
    Packet packet;
    packet.size = request_switch_size;
    packet.cmd = HPROTO_CMD_SWITCH_BOOT_APP;
    std::memset(packet.cmd_data, 0, 4);
    bool switched = ExchangeRepeatable(port, &packet);
    // A late reply to a request of a run before this one (held up on the board behind line
    // noise, or by a board the scheduler kept waiting) would pass for the switch's: the switch's
    // own reply would then answer the first block, and a block lost on the line would pass.
    if (switched && AnswersAnotherRequest(packet.cmd, HPROTO_CMD_SWITCH_BOOT_APP)) {
        printf("Wrong reply to switch: cmd %d\n", packet.cmd);
        switched = false;
    }
    if (switched)
        puts("[OK] Switched to boot mode");
    else
        puts("[FAILED] Switch to boot mode failed, try as is..");
    fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // What is left of the failed switch's reply would be taken as the first block's answer, and
    // every later reply as the answer to the block before: a refused last block would pass.
    if (!switched)
        PortPurge(port);

    int shown_percent = -1;
    int next_mark = 10;
    int64_t sent_blocks = 0;
    int64_t skipped_blocks = 0;
    uint8_t first_reply_cmd = 0;  // the command byte of the first block's reply
    const Clock::time_point start = Clock::now();
    // Counted in blocks, not stepped in bytes: a 32-bit position stepped by 32 wraps for the
    // last blocks of an image near 2 GiB, and the upload would never end.
    const int64_t blocks = UpgradeBlockCount(filesize);
    for (int64_t block = 0; block < blocks; ++block) {
        const int64_t pos = block * bs;
        packet.cmd = HPROTO_CMD_UPGRADE;
        packet.size = request_block_size;
        // The boot loader reads the offset most significant byte first.
        packet.cmd_data[0] = static_cast<uint8_t>(static_cast<uint32_t>(pos) >> 24);
        packet.cmd_data[1] = static_cast<uint8_t>(static_cast<uint32_t>(pos) >> 16);
        packet.cmd_data[2] = static_cast<uint8_t>(static_cast<uint32_t>(pos) >> 8);
        packet.cmd_data[3] = static_cast<uint8_t>(static_cast<uint32_t>(pos));
        uint8_t* image = packet.cmd_data + 4;
        std::memset(image, 0xFF, bs);

        if (!upgrade_progress_plain) {
            int percent = static_cast<int>(pos * 100 / filesize);
            printf("Uploading... %02d %%\r", percent);
            // The line is printed for every block, but only a new figure is worth a write to the
            // terminal: a flush per block cost a system call per block.
            if (percent != shown_percent) {
                fflush(stdout);
                shown_percent = percent;
            }
        }

        fread(image, 1, bs, file);
        if (ferror(file)) {
            printf("Failed to read file: %s\n", strerror(errno));
            fclose(file);
            return COMMAND_FAILED;
        }
        bool first = block == 0;
        bool last = block + 1 == blocks;
        const int64_t done = pos + bs < filesize ? pos + bs : filesize;
        if (!first && !last && IsBlank(image)) {
            ++skipped_blocks;
            if (upgrade_progress_plain)
                PrintPlainProgress(done, filesize, start, &next_mark);
            continue;
        }
        TurnaroundWorkLeft(blocks - block);
        if (!ExchangeRepeatable(port, &packet)) {
            fflush(stdout);
            fclose(file);
            return COMMAND_FAILED;
        }
        // A request held up on the board (behind line noise, or in a run before this one) is
        // answered late, into a later exchange: its reply would pass for this block's, and every
        // later reply for the block before it, so a refused or lost block could end in "Upload
        // done". Nothing is known of what a boot loader answers a block, so only the switch's
        // own code is judged: after a failed switch it is a late reply, and so it is after a
        // first block whose reply carried another code (a boot loader answers blocks alike).
        const bool late =
            packet.cmd == HPROTO_CMD_SWITCH_BOOT_APP &&
            (!switched || (sent_blocks > 0 && first_reply_cmd != HPROTO_CMD_SWITCH_BOOT_APP));
        if (sent_blocks == 0)
            first_reply_cmd = packet.cmd;
        if (late) {
            printf("Wrong reply to block: cmd %d\n", packet.cmd);
            fflush(stdout);
            fclose(file);
            return COMMAND_FAILED;
        }
        ++sent_blocks;
        if (upgrade_progress_plain)
            PrintPlainProgress(done, filesize, start, &next_mark);
    }
    if (upgrade_progress_plain) {
        const double seconds = SecondsSince(start);
        printf("Upload done 100%%: %lld blocks sent, %lld blanks skipped, %.3f s, %.0f bytes/s\n",
               static_cast<long long>(sent_blocks), static_cast<long long>(skipped_blocks), seconds,
               seconds > 0 ? filesize / seconds : 0.0);
    } else {
        printf("Upload done 100%%     \n");
    }
    fflush(stdout);
    fclose(file);
    return COMMAND_OK;
}
