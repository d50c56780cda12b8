// The Linux tool under valgrind's memcheck, end to end against the simulated board: runs that go
// through, runs whose exchange fails, and runs that never reach the line. Memcheck sees the
// uninitialised reads and leaks of the real binary that ASan does not look for.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "Board.h"
#include "TestSupport.h"

namespace {

// Memcheck's own exit status for a run with reports; the tool never ends with it.
constexpr int valgrind_error_status = 99;

struct Case {
    const char* name;
    std::vector<std::string> board_args;
    std::vector<std::string> words;  // after the port; "IMAGE" stands for the image file
    const char* port;                // the board's when null; none at all when ""
    bool quick;                      // the 1 s line time-out, for a silent board
    std::string out;                 // the tool's whole output, or a part when `out_part`
    int status;
    bool out_part = false;
};

// Two blocks, the last one short: its padding is read from the tool's buffer.
constexpr size_t image_size = 40;

std::string UploadOk()
{
    char second[32];
    std::snprintf(second, sizeof(second), "Uploading... %02d %%\r",
                  static_cast<int>(32 * 100 / image_size));
    return "Switch to boot mode...\n[OK] Switched to boot mode\nUploading... 00 %\r" +
           std::string(second) + "Upload done 100%     \n";
}

std::vector<Case> Cases()
{
    // clang-format off
    return {
      // name                 board_args                                                    words                 port                         quick  out                                                       status  out_part
        {"Ping",              {},                                                           {"ping"},             nullptr,                     false, "PING OK\n",                                              0},
        {"Id",                {"--id", "3A:2.7"},                                           {"id"},               nullptr,                     false, "ID: device 3A version 2.7\n",                            0},
        {"Status",            {"--fault", "motor_jam"},                                     {"status"},           nullptr,                     false, "Status: error[1]  motor_jam[1] \n",                      0},
        {"Vend",              {"--motion-ms", "1"},                                         {"vend", "17"},       nullptr,                     false, "",                                                       0},
        {"Upgrade",           {},                                                           {"upgrade", "IMAGE"}, nullptr,                     false, UploadOk(),                                               0},
        {"ErrorReply",        {"--inject", "error:5@ping"},                                 {"ping"},             nullptr,                     false, "Error in response: Busy\nFailed to ping device\n",       1},
        {"Silence",           {"--inject", "silence@ping"},                                 {"ping"},             nullptr,                     true,  std::string(silence_lines) + "Failed to ping device\n",   1},
        // The zero byte hides the board's own log of the ping from what the trace shows.
        {"TraceAfterCommand", {"--debug-text", "boot ok\\n\\x00", "--inject", "error:1@3"}, {"debug", "ping"},    nullptr,                     false, "PING OK\nboot ok\nError in response: Invalid command\n", 0},
        {"NoSuchPort",        {},                                                           {"ping"},             "/nonexistent/gantrix-port", false, "Failed to open port",                                    1},
        {"Usage",             {},                                                           {},                   "",                          false, "Usage: gantrix <port>",                                  1,      true},
        // This machine's ports, whatever they are: only memcheck's verdict counts.
        {"ListPorts",         {},                                                           {"--list-ports"},     "",                          false, "",                                                       0,      true},
    };
    // clang-format on
}

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

class Valgrind : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override
    {
        if (access(GANTRIX_VALGRIND, X_OK) != 0)
            GTEST_SKIP() << "valgrind not found (" << GANTRIX_VALGRIND
                         << "): memcheck runs left out";
        char dir[] = "/tmp/gantrix-valgrind-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }

    void TearDown() override
    {
        if (board_.pid > 0)
            StopBoard(&board_);
        for (const std::string& file : {log_path(), image_path()})
            unlink(file.c_str());
        if (!dir_.empty())
            rmdir(dir_.c_str());
    }

    std::string log_path() const { return dir_ + "/memcheck.log"; }
    std::string image_path() const { return dir_ + "/image.bin"; }

    BoardProcess board_;
    std::string dir_;
};

TEST_P(Valgrind, NoMemcheckReports)
{
    const Case& c = GetParam();
    std::string port = c.port ? c.port : "";
    if (!c.port) {
        board_ = StartBoard(c.board_args);
        ASSERT_GT(board_.pid, 0);
        port = board_.path;
    }
    std::vector<std::string> argv = {GANTRIX_VALGRIND,
                                     "--error-exitcode=99",
                                     "--leak-check=full",
                                     "--errors-for-leak-kinds=definite",
                                     "--log-file=" + log_path(),
                                     c.quick ? QuickToolPath() : ToolPath()};
    if (!port.empty())
        argv.push_back(port);
    for (const std::string& word : c.words) {
        if (word == "IMAGE") {
            std::vector<uint8_t> image = SeededBytes(image_size, 5);
            std::ofstream(image_path(), std::ios::binary)
                .write(reinterpret_cast<const char*>(image.data()),
                       static_cast<std::streamsize>(image.size()));
            argv.push_back(image_path());
        } else
            argv.push_back(word);
    }
    RunResult run = RunProgram(argv, 120000);

    const std::string log = ReadTextFile(log_path());
    EXPECT_NE(run.status, valgrind_error_status) << log;
    EXPECT_EQ(run.status, c.status) << log;
    if (c.out_part) {
        EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
    } else {
        EXPECT_EQ(run.out, c.out);
    }
    EXPECT_NE(log.find("ERROR SUMMARY: 0 errors from 0 contexts"), std::string::npos) << log;
    // The summary must be memcheck's final one for the tool, not a line of an aborted run.
    EXPECT_NE(log.find("HEAP SUMMARY"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, Valgrind, ::testing::ValuesIn(Cases()), CaseName());

}  // namespace
