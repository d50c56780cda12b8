// An upgrade loses nothing: runs over a line that corrupts bytes at random, and uploads cut off
// at a given block, each checked against what the board received and kept.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Board.h"
#include "TestSupport.h"
#include "late_soak.h"
#include "proto/Packet.h"

namespace {

using Bytes = std::vector<uint8_t>;

void WriteFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// An image without blank blocks, so that every block goes out.
Bytes ImageOf(size_t size, uint32_t seed)
{
    Bytes image = SeededBytes(size, seed);
    for (size_t i = 0; i < image.size(); i += 32)
        image[i] = 0x11;
    return image;
}

Bytes ParseHex(const std::string& hex)
{
    Bytes out;
    std::istringstream in(hex);
    std::string byte;
    while (in >> byte)
        out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    return out;
}

struct Block {
    uint32_t offset;
    Bytes data;
};

// The upgrade blocks among request frames, in the order they arrived.
std::vector<Block> Blocks(const std::vector<std::string>& frames)
{
    std::vector<Block> blocks;
    for (const std::string& hex : frames) {
        Bytes frame = ParseHex(hex);
        if (frame.size() != 7 + 4 + 32 || frame[4] != HPROTO_CMD_UPGRADE)
            continue;
        uint32_t offset = static_cast<uint32_t>(frame[5]) << 24 |
                          static_cast<uint32_t>(frame[6]) << 16 |
                          static_cast<uint32_t>(frame[7]) << 8 | frame[8];
        blocks.push_back({offset, Bytes(frame.begin() + 9, frame.begin() + 41)});
    }
    return blocks;
}

// The record lines appended since `*offset`, which moves past them.
std::vector<std::string> NewFrames(const BoardProcess& board, std::streamoff* offset)
{
    std::ifstream in(board.record_path);
    in.seekg(*offset);
    std::vector<std::string> frames;
    std::string line;
    while (std::getline(in, line) && !in.eof())
        if (line.rfind("RX ", 0) == 0)
            frames.push_back(line.substr(3));
    in.clear();
    in.seekg(0, std::ios::end);
    *offset = in.tellg();
    return frames;
}

// What one lane of the soak saw; merged and judged on the main thread.
struct SoakTally {
    uint64_t runs = 0, succeeded = 0, failed = 0;
    uint64_t exchanges = 0, corrupted = 0, uploads_done = 0;
    std::vector<std::string> problems;
};

// The lanes share one exchange count, so a slow lane (a sanitized build, a loaded machine) does
// not shorten the soak; the time cap only guards the test's own time-out.
struct SoakBudget {
    std::atomic<uint64_t> exchanges{0};
    uint64_t target;
    double cap_seconds;
};

// Runs the tool against one corrupting board until the lanes together reach the target.
void SoakLane(uint32_t seed, SoakBudget* budget, SoakTally* tally)
{
    // Lenient: one board serves every run, and the pings, statuses and ids between uploads must
    // be answered once an upload has left it in its boot loader.
    BoardProcess board =
        StartBoard({"--boot-loader", "lenient", "--inject", "corrupt:2:" + std::to_string(seed)});
    if (board.pid <= 0) {
        tally->problems.push_back("board did not start");
        return;
    }
    const std::string image_path = board.dir + "/firmware.bin";
    const auto start = std::chrono::steady_clock::now();
    std::streamoff record_offset = 0;
    Bytes previous_upload;
    auto problem = [&](const std::string& what, const RunResult& run) {
        tally->problems.push_back("lane " + std::to_string(seed) + " run " +
                                  std::to_string(tally->runs) + ": " + what + ": " +
                                  ::testing::PrintToString(run.out));
    };
    for (uint32_t n = 0;; ++n) {
        double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed > budget->cap_seconds || budget->exchanges.load() >= budget->target)
            break;
        // Mostly short runs, some small uploads that can get through, now and then a large one.
        const uint32_t pick = n % 10;
        std::vector<std::string> words;
        Bytes image;
        if (pick < 4) {
            static const size_t sizes[] = {32, 64, 96, 160};
            image = ImageOf(sizes[n % 4], seed * 100000 + n);
        } else if (pick == 9) {
            image = ImageOf(16 * 1024, seed * 100000 + n);
        }
        if (!image.empty()) {
            WriteFile(image_path, image);
            words = {"upgrade", image_path};
        } else {
            static const char* const others[] = {"ping", "status", "id", "ping", "status"};
            words = {others[pick - 4]};
        }
        std::vector<std::string> argv = {QuickToolPath(), board.path};
        argv.insert(argv.end(), words.begin(), words.end());
        RunResult run = RunProgram(argv, 30000);
        std::vector<std::string> frames = NewFrames(board, &record_offset);
        budget->exchanges += frames.size();
        ++tally->runs;
        if (run.status == 0)
            ++tally->succeeded;
        else if (run.status == 1)
            ++tally->failed;
        else
            problem("exit status " + std::to_string(run.status), run);

        const std::string& cmd = words[0];
        if (cmd == "ping") {
            // PING OK only from a good reply; a late reply to an earlier run's request (held up
            // on the board behind noise) is a good frame of another command, and must fail.
            if ((run.status == 0) != (run.out == "PING OK\n"))
                problem("ping", run);
        } else if (cmd == "status") {
            // The board is idle until its first upload, in its boot loader (state none) after.
            bool good = run.out == "Status: idle[2]  \n" || run.out == "Status: none[0]  \n";
            if ((run.status == 0) != good)
                problem("status", run);
        } else if (cmd == "id") {
            if ((run.status == 0) != (run.out == "ID: device 2B version 1.4\n"))
                problem("id", run);
        } else {
            // Every block the board took carries the bytes of this file at its offset, or of the
            // previous upload's (a request of that run held up on the board, answered late).
            std::vector<Block> blocks = Blocks(frames);
            Bytes padded = image;
            padded.resize((image.size() + 31) / 32 * 32, 0xFF);
            auto holds = [](const Bytes& file, const Block& block) {
                return block.offset + 32 <= file.size() &&
                       std::equal(block.data.begin(), block.data.end(),
                                  file.begin() + block.offset);
            };
            std::map<uint32_t, bool> seen;  // offset -> the last block there is this file's
            for (const Block& block : blocks) {
                if (!holds(padded, block) && !holds(previous_upload, block))
                    problem("board took a block unlike the file at " + std::to_string(block.offset),
                            run);
                seen[block.offset] = holds(padded, block);
            }
            previous_upload = padded;
            bool done = run.out.find("Upload done 100%") != std::string::npos;
            if (done != (run.status == 0))
                problem("upload result and status disagree", run);
            if (done) {
                ++tally->uploads_done;
                for (uint32_t offset = 0; offset < padded.size(); offset += 32)
                    if (!seen[offset])
                        problem("reported done, block " + std::to_string(offset) +
                                    " not on the board",
                                run);
            }
        }
    }
    unlink(image_path.c_str());
    std::map<std::string, uint64_t> stats = BoardStats(board);
    tally->exchanges += stats["requests"];
    tally->corrupted += stats["corrupted"];
    if (StopBoard(&board) != 0)
        tally->problems.push_back("board did not stop cleanly");
}

TEST(UpgradeSoak, TwoPercentCorruptBytesNeverPassForGoodData)
{
    // Lanes spend most of their time waiting out a lost reply, so several share two cores well.
    constexpr uint32_t lanes = 12;
    SoakBudget budget;
    budget.target = 2400;
    budget.cap_seconds = 600;  // a hang guard only, below the test's own time-out
    std::vector<SoakTally> tallies(lanes);
    std::vector<std::thread> threads;
    for (uint32_t lane = 0; lane < lanes; ++lane)
        threads.emplace_back(SoakLane, 1000 + lane, &budget, &tallies[lane]);
    for (std::thread& thread : threads)
        thread.join();

    SoakTally total;
    for (const SoakTally& tally : tallies) {
        total.runs += tally.runs;
        total.succeeded += tally.succeeded;
        total.failed += tally.failed;
        total.exchanges += tally.exchanges;
        total.corrupted += tally.corrupted;
        total.uploads_done += tally.uploads_done;
        for (const std::string& p : tally.problems)
            ADD_FAILURE() << p;
    }
    std::printf(
        "soak: %llu runs (%llu succeeded, %llu failed), %llu exchanges, %llu bytes corrupted, "
        "%llu uploads done\n",
        static_cast<unsigned long long>(total.runs),
        static_cast<unsigned long long>(total.succeeded),
        static_cast<unsigned long long>(total.failed),
        static_cast<unsigned long long>(total.exchanges),
        static_cast<unsigned long long>(total.corrupted),
        static_cast<unsigned long long>(total.uploads_done));
    // The lanes stop at the target; falling short means the hang guard ended them.
    EXPECT_GE(budget.exchanges.load(), budget.target);
    EXPECT_GT(total.corrupted, 0u);
    // The line must be bad enough to fail runs and good enough to let some through, uploads too.
    EXPECT_GT(total.failed, 0u);
    EXPECT_GT(total.succeeded, 0u);
    EXPECT_GT(total.uploads_done, 0u);
}

// Late replies, ignored requests and corruption, mixed by seed: with retries the tool repeats
// blocks and fences the line, and no run may say "Upload done" over an image unlike the file.
TEST(UpgradeSoak, LateRepliesAndDroppedRequestsNeverEndInAFalseDone)
{
    constexpr uint32_t lanes = 8, runs_per_lane = 26;
    std::vector<late_soak::Tally> tallies(lanes);
    std::vector<std::thread> threads;
    for (uint32_t lane = 0; lane < lanes; ++lane)
        threads.emplace_back([lane, &tallies] {
            for (uint32_t n = 0; n < runs_per_lane; ++n) {
                BoardProcess board;
                late_soak::Run(
                    1 + lane * runs_per_lane + n,
                    [&](const std::vector<std::string>& args) {
                        board = StartBoard(args);
                        return board.pid > 0 ? &board : nullptr;
                    },
                    [&](const std::string& file) {
                        return RunProgram({ToolPath(), "--timeout", "0.1", "--retries", "5",
                                           board.path, "upgrade", file},
                                          60000);
                    },
                    [&] { StopBoard(&board); }, &tallies[lane]);
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    late_soak::Tally total;
    for (const late_soak::Tally& t : tallies) {
        total.runs += t.runs;
        total.late += t.late;
        total.dropped += t.dropped;
        total.corrupted += t.corrupted;
        total.uploads_done += t.uploads_done;
        total.false_done += t.false_done;
    }
    late_soak::Judge("late-reply soak", total);
}

// An upload cut off at a block ends in failure with exactly the blocks before it received, and
// the next run puts the whole image on the board.
TEST(InterruptedUpload, StopsAtTheBlockAndARepeatDeliversTheImage)
{
    const Bytes image = ImageOf(8 * 32, 77);
    const uint32_t block_numbers[] = {1, 4, 8};
    const char* const faults[] = {"hangup", "silence", "error:5"};
    for (uint32_t k : block_numbers) {
        for (const char* fault : faults) {
            SCOPED_TRACE(std::string(fault) + " at block " + std::to_string(k));
            char dir[] = "/tmp/gantrix-interrupt-XXXXXX";
            ASSERT_NE(mkdtemp(dir), nullptr);
            const std::string image_path = std::string(dir) + "/firmware.bin";
            const std::string out_path = std::string(dir) + "/image.bin";
            WriteFile(image_path, image);
            BoardProcess board = StartBoard({"--image-out", out_path, "--inject",
                                             std::string(fault) + "@upgrade#" + std::to_string(k)});
            ASSERT_GT(board.pid, 0);

            RunResult cut = RunProgram({QuickToolPath(), board.path, "upgrade", image_path}, 20000);
            EXPECT_EQ(cut.status, 1);
            EXPECT_EQ(cut.out.find("Upload done"), std::string::npos) << cut.out;
            // The cut block is the last thing received: blocks 0..k-2 went through before it.
            std::vector<Block> blocks = Blocks(RecordedFrames(board));
            ASSERT_EQ(blocks.size(), k);
            for (uint32_t i = 0; i < k; ++i) {
                EXPECT_EQ(blocks[i].offset, i * 32);
                EXPECT_TRUE(std::equal(blocks[i].data.begin(), blocks[i].data.end(),
                                       image.begin() + i * 32));
            }
            if (std::string(fault) == "hangup") {
                ASSERT_TRUE(NextBoardPath(&board));
            }

            RunResult again = RunProgram({ToolPath(), board.path, "upgrade", image_path}, 20000);
            EXPECT_EQ(again.status, 0);
            EXPECT_NE(again.out.find("Upload done 100%"), std::string::npos) << again.out;
            EXPECT_EQ(StopBoard(&board, true), 0);
            EXPECT_EQ(ReadWholeFile(out_path), image);
            unlink(image_path.c_str());
            unlink(out_path.c_str());
            unlink(board.record_path.c_str());
            unlink(board.stats_path.c_str());
            rmdir(board.dir.c_str());
            rmdir(dir);
        }
    }
}

}  // namespace
