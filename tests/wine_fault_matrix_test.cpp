// The fault matrix's core for the Windows build under Wine: every kind of reply fault against a
// few commands, with the outcomes the native matrix works out, so the Windows serial layer is
// held to the same lines, statuses and requests sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "Board.h"
#include "TestSupport.h"
#include "Wine.h"
#include "fault_cells.h"

namespace {

using namespace fault_cells;

// The quick exe's line time-out.
constexpr double line_timeout_s = 1.0;

// Each command kind with a different end after a failure: its own failure line, none, the upload
// stopped mid-way, the trace ending a run that had gone through.
const char* const core_commands[] = {"Ping",          "Status",
                                     "Vend255",       "UpgradeMiddleBlock",
                                     "UpgradeSwitch", "UpgradeSwitchRetry",
                                     "DebugTrace"};
// One fault of each kind; the other result codes take the same path as these two.
const char* const core_faults[] = {"noise:255",  "noise:256", "split:1:1",   "badcrc",
                                   "error:5",    "error:4",   "cmd:200",     "cmd:9",
                                   "short",      "size:3",    "size:255",    "silence",
                                   "delay:1500", "hangup",    "hangup-mid:3"};

std::vector<Cell> CoreCells()
{
    std::vector<Cell> cells;
    const std::vector<Fault> faults = Faults();
    for (const Command& command : Commands()) {
        if (std::find_if(std::begin(core_commands), std::end(core_commands), [&](const char* name) {
                return command.name == std::string(name);
            }) == std::end(core_commands))
            continue;
        for (const char* inject : core_faults) {
            auto fault = std::find_if(faults.begin(), faults.end(),
                                      [&](const Fault& f) { return f.inject == inject; });
            if (fault != faults.end())
                cells.push_back({command, *fault});
        }
    }
    return cells;
}

class WineFaultMatrix : public ::testing::TestWithParam<Cell> {
protected:
    // The exe reaches Linux files through Wine's Z: drive.
    std::string WriteImage()
    {
        image_ = std::make_unique<TempFile>(MatrixImage());
        return image_->path.empty() ? "" : "Z:" + image_->path;
    }

    WineBoardLine line_;
    std::unique_ptr<TempFile> image_;
};

TEST_P(WineFaultMatrix, OutputStatusAndWhatTheBoardReceived)
{
    const Cell& cell = GetParam();
    const Outcome expected = Expect(cell.command, cell.fault);

    ASSERT_TRUE(line_.Start(CellBoardArgs(cell)));
    const std::vector<std::string> words =
        CellWords({line_.com}, cell, [this] { return WriteImage(); });
    ASSERT_EQ(std::count(words.begin(), words.end(), ""), 0);
    RunResult run = RunWindowsQuickTool(words, 20000);
    ExpectOutcome(expected, run, RecordedFrames(line_.board));
    if (cell.command.kind == Kind::upgrade_switch)
        ExpectOnlyRequestBytes(&line_.board, expected.requests);

    // A silent line is waited on, not polled. A vanished one is only held to the time limit: Wine's
    // ReadFile itself mostly spins on the hung-up pty until the time-out, inside the tool's single
    // read call, and now and then returns at once.
    if (expected.waits_out) {
        EXPECT_GE(run.seconds, line_timeout_s);
        // The reference run starts the exe under Wine just the same, and ends at the usage text.
        const RunResult reference = RunWindowsQuickTool({});
        EXPECT_LT(run.cpu_seconds, SpinFreeCpuLimit(reference))
            << "reference " << reference.cpu_seconds;
    }
    EXPECT_LT(run.seconds, hang_guard_s);
}

INSTANTIATE_TEST_SUITE_P(CoreCommandsByFaults, WineFaultMatrix, ::testing::ValuesIn(CoreCells()),
                         CellName);

// Guards the table above: a renamed command or fault would otherwise shrink the matrix quietly.
TEST(WineFaultMatrixCells, EveryCoreCommandAndFaultIsInTheMatrix)
{
    EXPECT_EQ(CoreCells().size(), std::size(core_commands) * std::size(core_faults));
}

}  // namespace
