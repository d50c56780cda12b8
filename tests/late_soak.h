// The late-reply soak: seeded uploads of 1 KiB against a board that answers some requests late,
// ignores others and flips bits both ways, each judged by the image the board kept. Shared by the
// native soak and the shorter one of the Windows build under Wine.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "Board.h"
#include "TestSupport.h"

namespace late_soak {

struct Tally {
    uint64_t runs = 0, late = 0, dropped = 0, corrupted = 0, uploads_done = 0, false_done = 0;
};

// The board's switches for one seed: a reply written late (in single bytes 150 ms apart, or whole
// after a pause) at a block, a block request ignored in half the runs, and in half the runs a
// late or ignored request by its number, which may be the switch or a fence.
inline std::vector<std::string> BoardArgs(uint32_t seed)
{
    std::mt19937 pick(seed);
    auto upto = [&](uint32_t n) { return 1 + pick() % n; };
    const std::string block = "@upgrade#" + std::to_string(upto(32));
    // Lenient: a repeated block's fence needs a ping's reply, which a strict boot loader never
    // gives, and the repeats under late replies are what this soak is about.
    std::vector<std::string> args = {"--boot-loader",
                                     "lenient",
                                     "--inject",
                                     "corrupt:0.3:" + std::to_string(seed),
                                     "--inject",
                                     (pick() % 2 ? "split:1:150"
                                                 : "delay:" + std::to_string(100 + pick() % 300)) +
                                         block};
    if (pick() % 2)
        args.insert(args.end(), {"--inject", "drop@upgrade#" + std::to_string(upto(32))});
    if (pick() % 2) {
        const std::string late = "delay:" + std::to_string(100 + pick() % 300);
        args.insert(args.end(),
                    {"--inject", (pick() % 2 ? "drop" : late) + "@" + std::to_string(upto(40))});
    }
    return args;
}

// One run: `start` brings up a board with the given switches (null when it failed), `upload` runs
// the tool on it with the image's path, and `stop` stops the board, which writes the image it kept.
inline void Run(uint32_t seed,
                const std::function<const BoardProcess*(const std::vector<std::string>&)>& start,
                const std::function<RunResult(const std::string&)>& upload,
                const std::function<void()>& stop, Tally* tally)
{
    char dir[] = "/tmp/gantrix-late-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/firmware.bin";
    const std::string kept = std::string(dir) + "/image.bin";
    Bytes image = SeededBytes(1024, seed);
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.data()), 1024);
    }
    std::vector<std::string> args = BoardArgs(seed);
    args.insert(args.end(), {"--image-out", kept});
    const BoardProcess* board = start(args);
    ASSERT_NE(board, nullptr);
    const RunResult run = upload(file);
    std::map<std::string, uint64_t> stats = BoardStats(*board);
    stop();
    const Bytes on_board = ReadWholeFile(kept);
    ++tally->runs;
    tally->late += stats["late"];
    tally->dropped += stats["dropped"];
    tally->corrupted += stats["corrupted"];
    const bool done = run.out.find("Upload done 100%") != std::string::npos;
    EXPECT_EQ(done, run.status == 0) << "seed " << seed << ": " << run.out;
    if (done) {
        ++tally->uploads_done;
        if (on_board != image) {
            ++tally->false_done;
            ADD_FAILURE() << "seed " << seed << ": \"Upload done\" over an image unlike the file";
        }
    }
    unlink(file.c_str());
    unlink(kept.c_str());
    rmdir(dir);
}

// The figures, and that the faults were there to be survived: a soak that met no late reply or
// no dropped request proves nothing.
inline void Judge(const char* name, const Tally& t)
{
    std::printf("%s: %llu runs, %llu late replies, %llu dropped requests, %llu bytes corrupted, "
                "%llu uploads done, %llu false done\n",
                name, static_cast<unsigned long long>(t.runs),
                static_cast<unsigned long long>(t.late), static_cast<unsigned long long>(t.dropped),
                static_cast<unsigned long long>(t.corrupted),
                static_cast<unsigned long long>(t.uploads_done),
                static_cast<unsigned long long>(t.false_done));
    EXPECT_EQ(t.false_done, 0u);
    EXPECT_GT(t.late, 0u);
    EXPECT_GT(t.dropped, 0u);
    EXPECT_GT(t.corrupted, 0u);
    EXPECT_GT(t.uploads_done, 0u);
}

}  // namespace late_soak
