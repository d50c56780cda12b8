// The fault matrix: every command of the tool against every reply fault the simulated board can
// inject, one cell each: the exact output, the exit status, what the board received, and that a
// silent or vanished board ends the run in time and without spinning.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "Board.h"
#include "TestSupport.h"
#include "fault_cells.h"

namespace {

using namespace fault_cells;

// The quick tool's line time-out.
constexpr double line_timeout_s = 1.0;

std::vector<Cell> AllCells()
{
    std::vector<Cell> cells;
    for (const Command& command : Commands())
        for (const Fault& fault : Faults())
            cells.push_back({command, fault});
    return cells;
}

class FaultMatrix : public ::testing::TestWithParam<Cell> {
protected:
    void TearDown() override
    {
        if (board_.pid > 0 || !board_.dir.empty())
            StopBoard(&board_);
    }

    std::string WriteImage()
    {
        image_ = std::make_unique<TempFile>(MatrixImage());
        return image_->path;
    }

    BoardProcess board_;
    std::unique_ptr<TempFile> image_;
};

TEST_P(FaultMatrix, OutputStatusAndWhatTheBoardReceived)
{
    const Cell& cell = GetParam();
    const Outcome expected = Expect(cell.command, cell.fault);

    board_ = StartBoard(CellBoardArgs(cell));
    ASSERT_GT(board_.pid, 0);
    const std::vector<std::string> argv =
        CellWords({QuickToolPath(), board_.path}, cell, [this] { return WriteImage(); });
    ASSERT_EQ(std::count(argv.begin(), argv.end(), ""), 0);
    RunResult run = RunProgram(argv, 20000);
    ExpectOutcome(expected, run, RecordedFrames(board_));
    if (cell.command.kind == Kind::upgrade_switch)
        ExpectOnlyRequestBytes(&board_, expected.requests);

    if (expected.waits_out) {
        EXPECT_GE(run.seconds, line_timeout_s);
    }
    EXPECT_LT(run.seconds, hang_guard_s);
    if (expected.waits_out || expected.hangs_up) {
        const RunResult reference =
            RunProgram({QuickToolPath(), "/nonexistent/gantrix-port", "ping"});
        EXPECT_LT(run.cpu_seconds, SpinFreeCpuLimit(reference))
            << "reference " << reference.cpu_seconds;
    }
}

INSTANTIATE_TEST_SUITE_P(CommandsByFaults, FaultMatrix, ::testing::ValuesIn(AllCells()), CellName);

// A switch that failed leaves its reply, or part of it, on the line; the upload that goes on by
// design must not take that stale reply as the answer to a block. Were it taken, every later
// reply would answer the block before, and a refused last block would pass for done.
TEST(FaultMatrixStale, FailedSwitchThenRefusedLastBlockIsAFailure)
{
    // cmd:254 is a late block reply of an earlier run, answering the switch in its place.
    const std::vector<std::string> switch_faults = {"noise:256", "size:3", "size:255", "cmd:254"};
    for (const std::string& fault : switch_faults) {
        SCOPED_TRACE(fault);
        BoardProcess board =
            StartBoard({"--inject", fault + "@switch", "--inject", "error:2@upgrade#4"});
        ASSERT_GT(board.pid, 0);
        TempFile image(MatrixImage());
        ASSERT_FALSE(image.path.empty());
        RunResult run = RunProgram({QuickToolPath(), board.path, "upgrade", image.path}, 20000);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out.find("Upload done"), std::string::npos) << run.out;
        const std::string refused = Progress(4) + "Error in response: Invalid data\n";
        EXPECT_TRUE(run.out.size() >= refused.size() &&
                    run.out.compare(run.out.size() - refused.size(), refused.size(), refused) == 0)
            << run.out;
        EXPECT_NE(run.out.find("[FAILED] Switch to boot mode failed, try as is..\n"),
                  std::string::npos)
            << run.out;
        EXPECT_EQ(RecordedFrames(board).size(), 5u);  // the switch and 4 blocks
        StopBoard(&board);
    }
}

}  // namespace
