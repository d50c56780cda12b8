// Firmware upgrade: check the image, switch the board to its boot loader, then send the image in
// 32-byte blocks.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

#include "Commands.h"
#include "image/ImageFile.h"
#include "proto/Exchange.h"
#include "proto/Protocol.h"
#include "proto/Turnaround.h"

namespace {

constexpr int bs = upgrade_block_size;
static_assert(bs == image_block_size, "the image is cut in the blocks the protocol carries");

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// How far the upload is: where in the image, and what the line has carried.
struct Tally {
    int64_t done = 0;  // image bytes dealt with, sent or skipped
    int64_t sent_blocks = 0;
    int64_t skipped_blocks = 0;
    int next_mark = 10;  // --progress plain: the next tenth to print
    Clock::time_point start;
};

// --progress plain: a line at each tenth of the image, for logs that keep every line. Skipped
// blank blocks cost no time on the line, so the rate and the time left count exchanged blocks.
void PrintPlainProgress(Output& out, const ImageFile& image, Tally* tally)
{
    const int percent = static_cast<int>(tally->done * 100 / image.size);
    if (percent < tally->next_mark || percent >= 100)
        return;
    const double seconds = SecondsSince(tally->start);
    const double rate = seconds > 0 ? static_cast<double>(tally->sent_blocks) * bs / seconds : 0;
    const double left =
        rate > 0 ? static_cast<double>(image.sent_blocks - tally->sent_blocks) * bs / rate : 0;
    out.Print("Uploading... %d %% %lld of %lld bytes, %lld of %lld blocks sent, %.0f bytes/s, "
              "%.1f s left\n",
              percent, static_cast<long long>(tally->done), static_cast<long long>(image.size),
              static_cast<long long>(tally->sent_blocks), static_cast<long long>(image.sent_blocks),
              rate, left);
    out.Show();
    tally->next_mark = percent / 10 * 10 + 10;
}

// The technician's check of what goes to the board, on stderr before the switch (stdout stays
// as scripts know it), and in the log's run record.
void AnnounceImage(Output& out, const ImageFile& image)
{
    const std::string line = "gantrix: upgrade image " + image.path + ": " + DescribeImage(image) +
                             ", SHA-256 " + image.sha256;
    out.Show();
    out.Note(line);
    out.Record(line);
}

enum SwitchOutcome {
    SWITCH_TAKEN,
    SWITCH_REFUSED,     // the upload goes on, as the board may already be in its boot loader
    SWITCH_UNANSWERED,  // refused by silence: its reply may still come, ahead of the first block's
};

// The boot-loader switch, sent once. Nothing is sent to bring the line back in step after a
// failed one: a board already in its boot loader (its last upload cut off) is the one that most
// needs the upload to go on, and a boot loader need answer nothing but blocks.
SwitchOutcome SwitchToBootLoader(Link& link)
{
    link.out->Line("Switch to boot mode...");
    Packet packet = Request(HPROTO_CMD_SWITCH_BOOT_APP);
    const ExchangeEnd end = ExchangeTold(link, &packet, 0);
    bool switched = end == EXCHANGE_DONE;
    // A late reply to a request of a run before this one (held up on the board behind line
    // noise, or by a board the scheduler kept waiting) would pass for the switch's: the switch's
    // own reply would then answer the first block, and a block lost on the line would pass.
    if (switched && LateReply(link, packet, HPROTO_CMD_SWITCH_BOOT_APP))
        switched = false;
    if (switched)
        link.out->Line("[OK] Switched to boot mode");
    else
        link.out->Line("[FAILED] Switch to boot mode failed, try as is..");
    link.out->Show();
    // What is left of a failed switch's reply (cut short, or behind a bad size byte) would be
    // hunted through for the first block's reply.
    if (!switched)
        link.port.Purge();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return switched                     ? SWITCH_TAKEN
           : end == EXCHANGE_UNANSWERED ? SWITCH_UNANSWERED
                                        : SWITCH_REFUSED;
}

// How the upload shows its progress.
enum Progress {
    PROGRESS_LINE,   // one line rewritten in place with '\r'
    PROGRESS_PLAIN,  // --progress plain: a line at each tenth and a summary
    PROGRESS_NONE,   // --json: the summary goes into the run's report
};

// The block's request, offset first: the boot loader reads it most significant byte first.
void FrameBlock(int64_t pos, Packet* packet)
{
    packet->cmd = HPROTO_CMD_UPGRADE;
    packet->size = request_block_size;
    packet->cmd_data[0] = static_cast<uint8_t>(static_cast<uint32_t>(pos) >> 24);
    packet->cmd_data[1] = static_cast<uint8_t>(static_cast<uint32_t>(pos) >> 16);
    packet->cmd_data[2] = static_cast<uint8_t>(static_cast<uint32_t>(pos) >> 8);
    packet->cmd_data[3] = static_cast<uint8_t>(static_cast<uint32_t>(pos));
}

// The '\r' progress line, printed when its figure changes: the same text again would look the
// same on a terminal, and a sparse image of 2 GiB would write gigabytes of it to a log.
void ShowProgressLine(Output& out, int64_t pos, int64_t size, int* shown_percent)
{
    const int percent = static_cast<int>(pos * 100 / size);
    if (percent == *shown_percent)
        return;
    out.Print("Uploading... %02d %%\r", percent);
    out.Show();
    *shown_percent = percent;
}

// A request held up on the board (behind line noise, or in a run before this one) is answered
// late, into a later exchange: its reply would pass for this block's, and every later reply for
// the block before it, so a refused or lost block could end in "Upload done". Nothing is known of
// what a boot loader answers a block, so only the codes of this run's other requests are judged:
// a ping's is a fence's late reply; the switch's is late after a failed switch (an unanswered
// one's reply is read past once, ahead of the first block's), and after a first block whose
// reply carried another code (a boot loader answers blocks alike).
bool LateBlockReply(uint8_t reply_cmd, bool switched, int64_t sent_blocks, uint8_t first_reply_cmd)
{
    return reply_cmd == HPROTO_CMD_PING ||
           (reply_cmd == HPROTO_CMD_SWITCH_BOOT_APP &&
            (!switched || (sent_blocks > 0 && first_reply_cmd != HPROTO_CMD_SWITCH_BOOT_APP)));
}

// Every block from offset 0 on: blank ones skipped but the first and the last; false when a
// block could not be read or its exchange failed.
bool SendBlocks(Link& link, ImageFile* image, SwitchOutcome outcome, Progress progress,
                Tally* tally)
{
    int shown_percent = -1;
    uint8_t first_reply_cmd = 0;  // the command byte of the first block's reply
    Packet packet;
    tally->start = Clock::now();
    const int64_t blocks = ImageBlockCount(image->size);
    for (int64_t block = 0; block < blocks; ++block) {
        const int64_t pos = block * bs;
        FrameBlock(pos, &packet);
        if (progress == PROGRESS_LINE)
            ShowProgressLine(*link.out, pos, image->size, &shown_percent);
        if (!ReadImageBlock(image, pos, packet.cmd_data + 4)) {
            link.out->Line(image->failure);
            link.out->Show();
            return false;
        }
        tally->done = pos + bs < image->size ? pos + bs : image->size;
        if (!BlockIsSent(block, blocks, packet.cmd_data + 4)) {
            ++tally->skipped_blocks;
            if (progress == PROGRESS_PLAIN)
                PrintPlainProgress(*link.out, *image, tally);
            continue;
        }
        TurnaroundWorkLeft(&link.turnarounds, blocks - block);
        const uint8_t late_cmd =
            outcome == SWITCH_UNANSWERED && block == 0 ? HPROTO_CMD_SWITCH_BOOT_APP : 0;
        const ExchangeEnd end = ExchangeTold(link, &packet, late_cmd);
        if (end == EXCHANGE_FENCE_UNANSWERED)
            link.out->Line(
                "The boot loader did not answer the ping that puts the line back in step; the "
                "upload can be run without --retries");
        if (end != EXCHANGE_DONE) {
            link.out->Show();
            return false;
        }
        const bool late = LateBlockReply(packet.cmd, outcome == SWITCH_TAKEN, tally->sent_blocks,
                                         first_reply_cmd);
        if (tally->sent_blocks == 0)
            first_reply_cmd = packet.cmd;
        if (late) {
            link.out->Print("Wrong reply to block: cmd %d\n", packet.cmd);
            link.out->Show();
            return false;
        }
        ++tally->sent_blocks;
        if (progress == PROGRESS_PLAIN)
            PrintPlainProgress(*link.out, *image, tally);
    }
    return true;
}

void PrintSummary(Output& out, const ImageFile& image, const Tally& tally, Progress progress)
{
    if (progress == PROGRESS_PLAIN) {
        const double seconds = SecondsSince(tally.start);
        out.Print("Upload done 100%%: %lld bytes, %lld blocks sent, %lld blanks skipped, %.3f s, "
                  "%.0f bytes/s\n",
                  static_cast<long long>(image.size), static_cast<long long>(tally.sent_blocks),
                  static_cast<long long>(tally.skipped_blocks), seconds,
                  seconds > 0 ? static_cast<double>(tally.sent_blocks) * bs / seconds : 0.0);
    } else {
        out.Print("Upload done 100%%     \n");
    }
    out.Show();
}

}  // namespace

int Upgrade(Link& link, Args args, const UpgradeOptions& options, RunReport* report)
{
    const Progress progress = report                   ? PROGRESS_NONE
                              : options.progress_plain ? PROGRESS_PLAIN
                                                       : PROGRESS_LINE;
    if (args.empty())
        return COMMAND_USAGE;
    ImageFile image;
    bool done = OpenImageFile(args[0], options.format, options.base, &image);
    if (!done)
        link.out->Line(image.failure);
    if (done) {
        AnnounceImage(*link.out, image);
        const SwitchOutcome outcome = SwitchToBootLoader(link);
        if (report)
            report->boot_switch = outcome == SWITCH_TAKEN ? "ok" : "failed";
        Tally tally;
        done = SendBlocks(link, &image, outcome, progress, &tally);
        if (done && !ImageFileUnchanged(&image)) {
            link.out->Line(image.failure);
            done = false;
        }
        if (done)
            PrintSummary(*link.out, image, tally, progress);
        if (done && report) {
            report->has_upload = true;
            report->upload = {tally.sent_blocks, tally.skipped_blocks, image.size,
                              SecondsSince(tally.start)};
        }
    }
    CloseImageFile(&image);
    return done ? COMMAND_OK : COMMAND_FAILED;
}
