// The real tool against the simulated board, both as built: what a user would see.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/file.h>
#include <thread>

#include "Board.h"
#include "TestSupport.h"
#include "proto/Packet.h"

namespace {

class BoardEndToEnd : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (board_.pid > 0)
            StopBoard(&board_);
    }

    bool Start(const std::vector<std::string>& args)
    {
        board_ = StartBoard(args);
        return board_.pid > 0;
    }

    RunResult Tool(std::vector<std::string> words, bool quick = false,
                   const std::vector<std::string>& switches = {})
    {
        words.insert(words.begin(), board_.path);
        words.insert(words.begin(), switches.begin(), switches.end());
        words.insert(words.begin(), quick ? QuickToolPath() : ToolPath());
        return RunProgram(words, 10000);
    }

    BoardProcess board_;
};

const char* const ping_frame = "55 07 00 00 01 9E 15";
const char* const id_frame = "55 07 00 00 FF 6F 0B";
const char* const status_frame = "55 07 00 00 03 8C 36";

// Whether the tty at `path` still carries TIOCEXCL, which refuses every opener but root.
bool ExclusiveMark(const std::string& path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        ADD_FAILURE() << path << ": " << strerror(errno);
        return true;
    }
    int mark = 1;
    if (ioctl(fd, TIOCGEXCL, &mark) != 0)
        ADD_FAILURE() << "TIOCGEXCL: " << strerror(errno);
    close(fd);
    return mark != 0;
}

}  // namespace

TEST_F(BoardEndToEnd, PingIdStatusWithConfiguredValues)
{
    ASSERT_TRUE(Start({"--id", "3A:2.7", "--motion-ms", "5000"}));
    struct Run {
        std::vector<std::string> words;
        int status;
        std::string out;
    };
    // clang-format off
    const Run runs[] = {
      // words           status  out
        {{"ping"},       0,      "PING OK\n"},
        {{"id"},         0,      "ID: device 3A version 2.7\n"},
        {{"status"},     0,      "Status: idle[2]  \n"},
        {{"vend", "12"}, 0,      ""},
        {{"status"},     0,      "Status: vend[4]  \n"},
        {{"home"},       1,      "Error in response: Busy\nFailed to go home\n"},
    };
    // clang-format on
    for (const Run& run : runs) {
        RunResult result = Tool(run.words);
        EXPECT_EQ(result.status, run.status) << run.words[0];
        EXPECT_EQ(result.out, run.out) << run.words[0];
    }
    std::vector<std::string> frames = RecordedFrames(board_);
    ASSERT_EQ(frames.size(), 6u);
    EXPECT_EQ(frames[0], ping_frame);
    EXPECT_EQ(frames[1], id_frame);
    EXPECT_EQ(frames[2], status_frame);
    EXPECT_EQ(frames[3], "55 08 00 00 04 0C CA A3");
    EXPECT_EQ(StopBoard(&board_), 0);
}

TEST_F(BoardEndToEnd, InjectedRepliesMakeThePingFail)
{
    struct FaultRun {
        const char* inject;
        int status;
        std::string out;
    };
    // clang-format off
    const FaultRun runs[] = {
      // inject        status  out
        {"cmd:9",      1,      "PING FAILED\n"},
        {"badcrc",     1,      ""},
        {"error:5",    1,      "Error in response: Busy\n"},
        {"noise:255",  0,      "PING OK\n"},
        {"split:2:20", 0,      "PING OK\n"},
    };
    // clang-format on
    for (const FaultRun& run : runs) {
        SCOPED_TRACE(run.inject);
        ASSERT_TRUE(Start({"--inject", run.inject}));
        RunResult result = Tool({"ping"}, true);
        EXPECT_EQ(result.status, run.status);
        EXPECT_EQ(result.out.substr(0, run.out.size()), run.out);
        EXPECT_EQ(result.out.find("PING OK") != std::string::npos, run.status == 0);
        StopBoard(&board_);
    }
}

TEST_F(BoardEndToEnd, HangUpThenANewDeviceServesTheNextRun)
{
    char link_dir[] = "/tmp/gantrix-link-XXXXXX";
    ASSERT_NE(mkdtemp(link_dir), nullptr);
    std::string link = std::string(link_dir) + "/board";
    ASSERT_TRUE(Start({"--link", link, "--inject", "hangup@1"}));
    std::string first_path = board_.path;

    RunResult cut = Tool({"ping"}, true);
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(cut.out.find("PING OK"), std::string::npos);
    ASSERT_TRUE(NextBoardPath(&board_));
    EXPECT_NE(board_.path, first_path);
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof(target) - 1), 0);
    EXPECT_EQ(std::string(target), board_.path);

    RunResult again = RunProgram({ToolPath(), link, "ping"}, 10000);
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, "PING OK\n");

    EXPECT_EQ(StopBoard(&board_), 0);
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "link left behind";
    rmdir(link_dir);
}

// The board's image equals the file for a raw image, and for a HEX or S-record file what objcopy
// makes of it; the board's image runs to the end of the highest block, padded with 0xFF.
TEST_F(BoardEndToEnd, UpgradeLandsInTheImageFile)
{
    char dir[] = "/tmp/gantrix-image-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string base = dir;
    std::vector<uint8_t> firmware = SeededBytes(100, 7);
    std::fill(firmware.begin() + 32, firmware.begin() + 64, 0xFF);  // a blank block, never sent
    {
        std::ofstream out(base + "/fw.bin", std::ios::binary);
        out.write(reinterpret_cast<const char*>(firmware.data()),
                  static_cast<long>(firmware.size()));
        // Across 64 KiB, then a gap of whole blank blocks.
        const std::string hex =
            IntelHex({{0x0800FF10, SeededBytes(0x150, 8)}, {0x08010400, SeededBytes(40, 9)}});
        std::ofstream(base + "/fw.hex") << hex;
        // Known by its first record after a byte order mark and a blank line, with CR line ends.
        std::string cr = "\xEF\xBB\xBF\r\n" + hex;
        std::replace(cr.begin() + 5, cr.end(), '\n', '\r');
        std::ofstream(base + "/lead.img", std::ios::binary) << cr;
        // A segment's offset wraps within its 64 KiB; the file closed by a DOS end-of-file byte.
        std::ofstream(base + "/wrap.hex", std::ios::binary)
            << ":020000021000EC\r\n:10FFF800101112131415161718191A1B1C1D1E1F81\r\n"
               ":00000001FF\r\n\x1A";
        std::vector<uint8_t> wrap(0x10000, 0xFF);
        for (int i = 0; i < 8; ++i) {
            wrap[i] = static_cast<uint8_t>(0x18 + i);
            wrap[0xFFF8 + i] = static_cast<uint8_t>(0x10 + i);
        }
        std::ofstream(base + "/wrap.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(wrap.data()), static_cast<long>(wrap.size()));
    }
    if (!Objcopy("ihex", "srec", base + "/fw.hex", base + "/fw.srec") ||
        !Objcopy("ihex", "binary", base + "/fw.hex", base + "/hex.bin") ||
        !Objcopy("srec", "binary", base + "/fw.srec", base + "/srec.bin"))
        GTEST_SKIP() << "no objcopy (Debian binutils) to tell the expected images";
    struct Case {
        const char* file;
        const char* expected;  // the file objcopy made of it
        const char* stderr_has;
    };
    // clang-format off
    const Case cases[] = {
      // file       expected    stderr_has
        {"fw.bin",  "fw.bin",   ": raw, 100 bytes, SHA-256 "},
        {"fw.hex",  "hex.bin",  ": Intel HEX, addresses 0x0800FF10-0x08010427, 1304 bytes, SHA-256 "},
        {"fw.srec", "srec.bin", ": S-record, addresses 0x0800FF10-0x08010427, 1304 bytes, "},
        {"lead.img", "hex.bin", ": Intel HEX, addresses 0x0800FF10-0x08010427, 1304 bytes, "},
        {"wrap.hex", "wrap.bin", ": Intel HEX, addresses 0x00010000-0x0001FFFF, 65536 bytes, "},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string image_path = base + "/image.bin";
        ASSERT_TRUE(Start({"--image-out", image_path}));
        RunResult result = Tool({"upgrade", base + "/" + c.file});
        EXPECT_EQ(result.status, 0);
        EXPECT_NE(result.out.find("[OK] Switched to boot mode\n"), std::string::npos);
        EXPECT_NE(result.out.find("Upload done 100%     \n"), std::string::npos);
        // A progress line per new figure, not per block: 2048 blocks of a sparse image give 100.
        if (c.file == std::string("wrap.hex")) {
            EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\r'), 100);
        }
        EXPECT_EQ(result.err.rfind("gantrix: upgrade image " + base + "/" + c.file + c.stderr_has,
                                   0),
                  0u)
            << result.err;
        EXPECT_EQ(StopBoard(&board_), 0);

        std::vector<uint8_t> expected = ReadWholeFile(base + "/" + c.expected);
        ASSERT_FALSE(expected.empty());
        expected.resize((expected.size() + 31) / 32 * 32, 0xFF);
        EXPECT_EQ(ReadWholeFile(image_path), expected);
        unlink(image_path.c_str());
    }
    for (const char* name :
         {"fw.bin", "fw.hex", "fw.srec", "hex.bin", "srec.bin", "lead.img", "wrap.hex", "wrap.bin"})
        unlink((base + "/" + name).c_str());
    rmdir(dir);
}

// The operator's switches: what each adds on stderr or in a file, and that stdout and the wire
// stay as without them wherever the line was clean.
TEST_F(BoardEndToEnd, OperatorSwitches)
{
    TempFile firmware(SeededBytes(4096, 3));
    const std::string hex_text = IntelHex({{0x08000000, SeededBytes(64, 2)}});  // 204 bytes
    TempFile hex(Bytes(hex_text.begin(), hex_text.end()));
    const std::string lost = "Failed to read from port; Failed to read sync; Out of sync";
    struct SwitchRun {
        std::vector<std::string> switches;
        const char* inject;
        std::vector<std::string> words;
        std::vector<std::string> out_has;  // the whole stdout when it holds one text
        int status;
        std::vector<std::string> err_has;  // "" for an empty stderr
        int requests;                      // frames the board received
    };
    const std::vector<std::string> upgrade_ok = {"[OK] Switched to boot mode\n",
                                                 "Upload done 100%     \n"};
    // The boot loader answers blocks only: the repeat's fence gets no reply to its ping.
    const std::vector<std::string> fence_unanswered = {
        "[OK] Switched to boot mode\n", "Uploading... 00 %\rThe boot loader did "
                                        "not answer the ping that puts the line back in step; the "
                                        "upload can be run without --retries\n"};
    const std::vector<std::string> crc_retries = {
        "retry 1 of 3 (ping): Bad CRC", "retry 3 of 3 (ping): no reply to the fence: Bad CRC"};
    const std::vector<std::string> trace_noise = {
        " ms TX ping size 7 checksum good\n55 07 00 00 01 9E 15 ",
        " ms RX noise skipped by the sync hunt, 3 bytes\n", " ms RX ping size 7 checksum good\n"};
    const std::vector<std::string> plain_progress = {
        "Uploading... 10 % 416 of 4096 bytes, 13 of 128 blocks sent, ",
        "Uploading... 90 % 3712 of 4096 bytes, 116 of 128 blocks sent, ",
        "Upload done 100%: 4096 bytes, 128 blocks sent, 0 blanks skipped, "};
    const std::string raw_image =
        "gantrix: upgrade image " + firmware.path + ": raw, 4096 bytes, SHA-256 ";
    const std::string based_hex =
        ": Intel HEX, addresses 0x07FFFFE0-0x0800003F, 96 bytes, SHA-256 ";
    // --retries 2 with badcrc@1: the ping, the fence's ping, the ping again. --retries 3 with
    // badcrc: each repeat's fence gets a bad reply, so the ping is not sent again. The board's own
    // answer is not the line's fault; a write of a motion is never repeated.
    // clang-format off
    const SwitchRun runs[] = {
      // switches                               inject               words                       out_has                                     status  err_has                                             requests
        {{"--retries", "2"},                    "badcrc@1",          {"ping"},                   {"PING OK\n"},                              0,      {"gantrix: retry 1 of 2 (ping): Bad CRC: "},        3},
        {{"--retries", "2"},                    "silence@1",         {"status"},                 {"Status: idle[2]  \n"},                    0,      {"gantrix: retry 1 of 2 (status): " + lost + "\n"}, 3},
        {{"--retries", "2"},                    "error:5",           {"id"},                     {"Error in response: Busy\n"},              1,      {""},                                               1},
        {{"--retries", "2"},                    "badcrc",            {"vend", "3"},              {"Bad CRC: ", "Failed to vend\n"},          1,      {""},                                               1},
        {{"--retries", "3"},                    "badcrc",            {"ping"},                   {"Bad CRC: ", "\nFailed to ping device\n"}, 1,      crc_retries,                                        4},
        {{"--retries", "1"},                    "silence@upgrade#2", {"upgrade", firmware.path}, fence_unanswered,                           1,      {"retry 1 of 1 (upgrade block): " + lost},          4},
        {{"--trace"},                           "noise:3",           {"ping"},                   {"PING OK\n"},                              0,      trace_noise,                                        1},
        {{"--trace"},                           "badcrc",            {"ping"},                   {"Bad CRC: "},                              1,      {" ms RX ping size 7 checksum bad\n"},              1},
        {{"--progress", "plain"},               "",                  {"upgrade", firmware.path}, plain_progress,                             0,      {raw_image},                                        129},
        {{"--format", "raw"},                   "",                  {"upgrade", hex.path},      upgrade_ok,                                 0,      {": raw, 204 bytes, SHA-256 "},                     1 + 7},
        {{"--base", "0x07FFFFE0"},              "",                  {"upgrade", hex.path},      upgrade_ok,                                 0,      {based_hex},                                        1 + 3},
        {{"--format", "hex"},                   "",                  {"ping"},                   {""},                                       1,      {"--format takes raw, ihex or srec"},               0},
        {{"--base", "0x100000000"},             "",                  {"ping"},                   {""},                                       1,      {"--base takes an address"},                        0},
        {{"--base", "12abc"},                   "",                  {"ping"},                   {""},                                       1,      {"--base takes an address"},                        0},
        {{"--retries", "11"},                   "",                  {"ping"},                   {""},                                       1,      {"--retries takes a number from 0 to 10"},          0},
        {{"--progress", "bar"},                 "",                  {"ping"},                   {""},                                       1,      {"--progress takes plain"},                         0},
        {{"--log", "/nonexistent/gantrix.log"}, "",                  {"ping"},                   {""},                                       1,      {"cannot open the log"},                            0},
        {{"--wait", "0"},                       "",                  {"vend", "3"},              {""},                                       1,      {"--wait takes seconds from 1 to 600"},             0},
        {{"--wait", "5"},                       "",                  {"status"},                 {""},                                       1,      {"--wait goes with move, home, "},                  0},
        {{"--json", "--log", "x.log"},          "",                  {"ping"},                   {""},                                       1,      {"--json and --log do not go"},                     0},
    };
    // clang-format on
    for (const SwitchRun& run : runs) {
        SCOPED_TRACE(run.switches[0] + " " + run.inject + " " + run.words[0]);
        std::vector<std::string> board_args;
        if (*run.inject)
            board_args = {"--inject", run.inject};
        ASSERT_TRUE(Start(board_args));
        RunResult result = Tool(run.words, true, run.switches);
        EXPECT_EQ(result.status, run.status);
        if (run.out_has.size() == 1) {
            EXPECT_EQ(result.out.substr(0, run.out_has[0].size()), run.out_has[0]) << result.out;
        }
        for (const std::string& text : run.out_has)
            EXPECT_NE(result.out.find(text), std::string::npos) << result.out;
        // Only the last attempt's failure lines reach stdout.
        EXPECT_EQ(result.out.find("Bad CRC"), result.out.rfind("Bad CRC")) << result.out;
        EXPECT_EQ(result.out.find('\r') == std::string::npos,
                  run.switches[0] == "--progress" || run.words[0] != "upgrade");
        for (const std::string& text : run.err_has) {
            if (text.empty()) {
                EXPECT_EQ(result.err, "");
            } else {
                EXPECT_NE(result.err.find(text), std::string::npos) << result.err;
            }
        }
        EXPECT_EQ(static_cast<int>(RecordedFrames(board_).size()), run.requests);
        StopBoard(&board_);
    }
}

// A paced line carries at most 32 image bytes per 50 bytes of block and reply: skipped blank
// blocks must not count as carried, or the rate runs far above the line and the time left to 0.
TEST_F(BoardEndToEnd, PlainProgressCountsTheBlocksExchanged)
{
    Bytes firmware = SeededBytes(4096, 4);
    std::fill(firmware.begin() + 8 * 32, firmware.begin() + 120 * 32, 0xFF);
    TempFile file(firmware);
    ASSERT_TRUE(Start({"--baud", "19200"}));
    RunResult result = Tool({"upgrade", file.path}, false, {"--progress", "plain"});
    EXPECT_EQ(result.status, 0);
    const double line_limit = 19200 / 10 * 32.0 / 50;
    int lines = 0;
    size_t at = 0;
    while ((at = result.out.find("Uploading... ", at)) != std::string::npos) {
        int percent, sent, total;
        long long done, size;
        double rate, left;
        ASSERT_EQ(
            sscanf(result.out.c_str() + at,
                   "Uploading... %d %% %lld of %lld bytes, %d of %d blocks sent, %lf bytes/s, "
                   "%lf s left",
                   &percent, &done, &size, &sent, &total, &rate, &left),
            7);
        EXPECT_EQ(total, 16);
        EXPECT_LE(rate, line_limit) << result.out;
        if (sent < total) {
            EXPECT_GT(left, 0) << result.out;
        }
        ++lines;
        ++at;
    }
    EXPECT_EQ(lines, 9);
    EXPECT_NE(result.out.find("Upload done 100%: 4096 bytes, 16 blocks sent, 112 blanks skipped, "),
              std::string::npos)
        << result.out;
}

// --wait: after the command's own output, the final status and what it means; every request
// after the command is a status poll (or a fence's ping), polls at least 50 ms apart.
TEST_F(BoardEndToEnd, WaitFollowsTheMechanismToItsEnd)
{
    const std::string lost = silence_lines;
    const std::string endless = "4000000000";
    struct WaitRun {
        std::vector<std::string> board;
        std::vector<std::string> switches;
        std::vector<std::string> words;
        std::string out;
        int status;
        int max_requests;  // polls no faster than the interval allows; 0: not bounded
    };
    // clang-format off
    const WaitRun runs[] = {
      // board                                                switches                            words                      out                                                                         status  max_requests
        {{"--motion-ms", "300"},                              {"--wait", "10"},                   {"vend", "3"},             "Status: idle[2]  \n",                                                     0,      0},
        {{},                                                  {"--wait", "10"},                   {"recover"},               "RECOVER OK\nStatus: idle[2]  \n",                                          0,      0},
        {{"--motion-ms", "300", "--fault", "motor_jam@move"}, {"--wait", "10"},                   {"move", "x", "fwd", "9"}, "Status: error[1]  motor_jam[1] \nWait failed: the board ended in error\n", 1,      0},
        {{"--motion-ms", endless},                            {"--wait", "1"},                    {"home"},                  "Status: gohome[6]  \nWait failed: still in gohome after 1 s\n",            1,      2 + 1000 / 50},
        {{"--motion-ms", endless, "--inject", "silence@3"},   {"--wait", "10"},                   {"calibrate", "7"},        lost + "Wait failed: no status from the board\n",                           1,      0},
        {{"--motion-ms", "300", "--inject", "silence@3"},     {"--retries", "1", "--wait", "10"}, {"precalibrate", "7"},     "Status: idle[2]  \n",                                                      0,      0},
    };
    // clang-format on
    for (const WaitRun& run : runs) {
        SCOPED_TRACE(run.words[0]);
        ASSERT_TRUE(Start(run.board));
        RunResult result = Tool(run.words, true, run.switches);
        EXPECT_EQ(result.out, run.out);
        EXPECT_EQ(result.status, run.status);
        std::vector<std::string> frames = RecordedFrames(board_);
        ASSERT_GE(frames.size(), 2u);
        // A repeated poll is preceded by the fence's ping.
        for (size_t i = 1; i < frames.size(); ++i)
            EXPECT_TRUE(frames[i] == status_frame || frames[i] == ping_frame) << frames[i];
        if (run.max_requests > 0) {
            EXPECT_LE(static_cast<int>(frames.size()), run.max_requests);
        }
        StopBoard(&board_);
    }
}

// The slow-adapter hint, judged from the tool's own turnaround against the board's adapter model:
// once, on stderr and in the log, for replies held back 20 ms; never for a plain line, one below
// the threshold, or a run of one exchange. stdout is as without it.
TEST_F(BoardEndToEnd, SlowAdapterHintFromTheMeasuredTurnaround)
{
    TempFile firmware(SeededBytes(640, 4));  // 20 blocks: 21 exchanges with the switch
    const std::string hint = "gantrix: replies arrive ";
    const std::string upload = "Switch to boot mode...\n[OK] Switched to boot mode\n";
    struct Run {
        const char* latency;
        std::vector<std::string> words;
        bool hinted;
    };
    // clang-format off
    const Run runs[] = {
      // latency  words                       hinted
        {"20",    {"upgrade", firmware.path}, true},
        {"",      {"upgrade", firmware.path}, false},
        {"4",     {"upgrade", firmware.path}, false},
        {"20",    {"ping"},                   false},
    };
    // clang-format on
    for (const Run& run : runs) {
        SCOPED_TRACE(std::string(run.latency) + " " + run.words[0]);
        TempFile log(Bytes{});
        std::vector<std::string> board_args;
        if (*run.latency)
            board_args = {"--latency", run.latency};
        ASSERT_TRUE(Start(board_args));
        RunResult result = Tool(run.words, false, {"--log", log.path});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out.rfind(run.words[0] == "ping" ? "PING OK\n" : upload, 0), 0u);
        const std::string logged = ReadTextFile(log.path);
        // What an upgrade says of its image comes first, hint or not.
        std::string err = result.err;
        if (run.words[0] == "upgrade")
            err.erase(0, err.find('\n') + 1);
        if (!run.hinted) {
            EXPECT_EQ(err, "");
            EXPECT_EQ(logged.find("replies arrive"), std::string::npos);
        } else {
            EXPECT_EQ(err.rfind(hint, 0), 0u) << err;
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
            EXPECT_NE(err.find(" ms late: the rest of this upload (5 blocks) will take "
                               "about "),
                      std::string::npos)
                << err;
            // A pty: no adapter in sysfs, and no driver that takes the low-latency request.
            EXPECT_NE(err.find("has no latency_timer under /sys/bus/usb-serial/devices"),
                      std::string::npos)
                << err;
            EXPECT_NE(logged.find(" ms " + err.substr(9, 20)), std::string::npos) << logged;
        }
        StopBoard(&board_);
    }
}

// --wait-port: a port that appears, or is let go, while the run waits; one that never does.
TEST_F(BoardEndToEnd, WaitPortWaitsForAMissingOrBusyPort)
{
    ASSERT_TRUE(Start({}));
    const std::string late = board_.dir + "/late";
    struct Run {
        const char* wait;
        std::string word;
        bool appears;  // the link to the board is made (or its lock let go) after a while
        bool busy;
        int status;
        std::string out;
        std::string err_head;
    };
    const std::string waited_in = "gantrix: waiting up to 5 s for " + late + " to be there\n";
    const std::string waited_free =
        "gantrix: waiting up to 5 s for " + board_.path + " to be free\n";
    const std::string cannot = "gantrix: cannot open " + late;
    const std::string never_in =
        "gantrix: waiting up to 0.3 s for " + late + " to be there\n" + cannot + ": no such device";
    const std::string bad_wait = "gantrix: --wait-port takes seconds from 0 to 600\n";
    const std::string no_usb = "gantrix: waiting up to 0.3 s for usb:ffff:fffe to be plugged in\n"
                               "gantrix: no serial port is usb:ffff:fffe; ";
    const std::string bad_usb = "gantrix: usb:ffff is not usb:VID:PID or usb:VID:PID:SERIAL";
    const char* const no_open = "Failed to open port";
    // The usb: rows: an adapter looked for by its ids (none on a test machine) is waited for alike.
    // clang-format off
    const Run runs[] = {
      // wait   word             appears  busy   status  out          err_head
        {"5",   late,            true,    false, 0,      "PING OK\n", waited_in},
        {"5",   board_.path,     true,    true,  0,      "PING OK\n", waited_free},
        {"0.3", late,            false,   false, 1,      no_open,     never_in},
        {"0",   late,            false,   false, 1,      no_open,     cannot},
        {"601", late,            false,   false, 1,      "",          bad_wait},
        {"0.3", "usb:ffff:fffe", false,   false, 1,      no_open,     no_usb},
        {"0",   "usb:ffff",      false,   false, 1,      no_open,     bad_usb},
    };
    // clang-format on
    for (const Run& run : runs) {
        SCOPED_TRACE(std::string(run.wait) + " " + run.word);
        unlink(late.c_str());
        int holder = -1;
        if (run.busy) {
            holder = open(run.word.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
        }
        std::thread later([&run, &late, &holder, this] {
            if (!run.appears)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (run.busy)
                close(holder);
            else
                EXPECT_EQ(symlink(board_.path.c_str(), late.c_str()), 0);
        });
        RunResult result =
            RunProgram({ToolPath(), "--wait-port", run.wait, run.word, "ping"}, 10000);
        later.join();
        if (run.busy && !run.appears)
            close(holder);
        EXPECT_EQ(result.status, run.status);
        EXPECT_EQ(result.out, run.out);
        EXPECT_EQ(result.err.rfind(run.err_head, 0), 0u) << result.err;
    }
    unlink(late.c_str());
}

// --log keeps the output and the trace in a file, run after run; the console is as without it.
TEST_F(BoardEndToEnd, LogKeepsOutputAndTraceOfEveryRun)
{
    TempFile log(Bytes{});
    ASSERT_TRUE(Start({}));
    RunResult ping = Tool({"ping"}, false, {"--log", log.path});
    EXPECT_EQ(ping.out, "PING OK\n");
    EXPECT_EQ(ping.err, "");
    RunResult status = Tool({"status"}, false, {"--log", log.path, "--trace"});
    EXPECT_EQ(status.out, "Status: idle[2]  \n");
    EXPECT_NE(status.err.find(" ms TX status size 7 checksum good\n"), std::string::npos);

    std::istringstream in(ReadTextFile(log.path));
    std::vector<std::string> lines;
    std::vector<std::string> ids;  // each run's lines carry its own
    for (std::string line; std::getline(in, line);) {
        const size_t id = line.find(' ') + 1;  // after the UTC timestamp
        const size_t rest = line.find(' ', id) + 1;
        ids.push_back(line.substr(id, rest - id));
        lines.push_back(line.substr(rest));
    }
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), ids[0]), 6);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), ids[6]), 6);
    EXPECT_NE(ids[0], ids[6]);
    EXPECT_EQ(lines[0].rfind("run   gantrix ", 0), 0u);
    EXPECT_NE(lines[0].find(": --log " + log.path + " " + board_.path + " ping"),
              std::string::npos);
    EXPECT_NE(lines[1].find("trace "), std::string::npos);
    EXPECT_NE(lines[1].find(" ms TX ping size 7 checksum good"), std::string::npos);
    EXPECT_EQ(lines[2], "trace 55 07 00 00 01 9E 15                            | U......");
    EXPECT_NE(lines[3].find(" ms RX ping size 7 checksum good"), std::string::npos);
    EXPECT_EQ(lines[5], "out   PING OK");
    EXPECT_EQ(lines[6].rfind("run   gantrix ", 0), 0u);
    EXPECT_EQ(lines[11], "out   Status: idle[2]");

    // What an upgrade sends goes into the run's record, before the switch.
    TempFile firmware(SeededBytes(100, 1));
    RunResult upgrade = Tool({"upgrade", firmware.path}, false, {"--log", log.path});
    EXPECT_EQ(upgrade.status, 0);
    const std::string text = ReadTextFile(log.path);
    const std::string image_line = "gantrix: upgrade image " + firmware.path +
                                   ": raw, 100 bytes, "
                                   "SHA-256 ";
    EXPECT_EQ(upgrade.err.rfind(image_line, 0), 0u) << upgrade.err;
    const size_t at = text.find("run   " + image_line);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_LT(at, text.find("out   Switch to boot mode...")) << text;
}

// A run killed while it follows the debug trace leaves in the log what it had printed, and the
// board's empty answers as counts, not one entry per poll.
TEST_F(BoardEndToEnd, KilledDebugRunLeavesItsLogWithEmptyPollsCounted)
{
    TempFile log(Bytes{});
    ASSERT_TRUE(Start({}));
    auto log_text = [&log] { return ReadTextFile(log.path); };
    const char counted[] = " debug polls answered without text since the last count";
    // The kill comes once a count is in the file: a second after the start at the earliest.
    const Interrupt counted_once{SIGTERM,
                                 [&] { return log_text().find(counted) != std::string::npos; }};
    RunResult run = RunProgram({ToolPath(), "--log", log.path, board_.path, "debug", "status"},
                               10000, &counted_once);
    EXPECT_EQ(run.signal, SIGTERM);
    // The board's text: the name of the command it answered.
    EXPECT_EQ(run.out, "Status: idle[2]  \nstatus\n");
    const std::string text = log_text();
    EXPECT_NE(text.find(" run   gantrix "), std::string::npos) << text;
    EXPECT_NE(text.find(" out   Status: idle[2]\n"), std::string::npos) << text;
    // Only the poll that had text.
    const size_t poll = text.find(" TX debug poll size");
    EXPECT_NE(poll, std::string::npos) << text;
    EXPECT_EQ(poll, text.rfind(" TX debug poll size")) << text;
}

// Ctrl-C, a kill or a closed terminal ends a run where it stands, here in the debug trace with
// stdout a file: the command's line must already be out, and the port's exclusive mark must go
// with the run, or a user who is not root could not open that line again.
TEST_F(BoardEndToEnd, SignalEndsATraceWithItsLinesOutAndThePortFree)
{
    const std::string debug_frame = FrameHex(HPROTO_CMD_DEBUG, {});
    // A shell stopped in its last line has every earlier line's output out too.
    const std::string lines = "ping\ndebug status\n";
    TempFile script(Bytes(lines.begin(), lines.end()));
    struct Stop {
        int sig;
        std::vector<std::string> words;
        size_t frames;  // once the trace's poll is among them
        std::string out;
    };
    const Stop stops[] = {
        {SIGINT, {"debug", "status"}, 2, "Status: idle[2]  \n"},
        {SIGTERM, {"debug", "status"}, 2, "Status: idle[2]  \n"},
        {SIGHUP, {"debug", "status"}, 2, "Status: idle[2]  \n"},
        {SIGINT, {"shell", script.path}, 3, "PING OK\nStatus: idle[2]  \n"},
    };
    for (const Stop& stop : stops) {
        SCOPED_TRACE(strsignal(stop.sig) + (" " + stop.words[0]));
        // The trace's first poll goes unanswered, so no piece of board text flushes the output.
        ASSERT_TRUE(Start({"--inject", "silence@debug"}));
        const Interrupt in_trace{stop.sig, [&] {
                                     std::vector<std::string> frames = RecordedFrames(board_);
                                     return frames.size() == stop.frames &&
                                            frames.back() == debug_frame;
                                 }};
        std::vector<std::string> argv = {ToolPath(), board_.path};
        argv.insert(argv.end(), stop.words.begin(), stop.words.end());
        RunResult run = RunProgram(argv, 10000, &in_trace);
        EXPECT_EQ(run.signal, stop.sig);
        EXPECT_EQ(run.out, stop.out);
        EXPECT_FALSE(ExclusiveMark(board_.path));
        StopBoard(&board_);
    }
    ASSERT_TRUE(Start({}));
    EXPECT_EQ(Tool({"ping"}).status, 0);
    EXPECT_FALSE(ExclusiveMark(board_.path)) << "after a run that ended by itself";
}

namespace {

Bytes TextBytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

// The wire as a shell and separate runs must both give it: a status poll repeated by --wait
// counts as one, since how often the board is asked depends on the clock alone.
std::vector<std::string> FoldedPolls(std::vector<std::string> frames)
{
    frames.erase(std::unique(frames.begin(), frames.end(),
                             [](const std::string& a, const std::string& b) {
                                 return a == b && a == status_frame;
                             }),
                 frames.end());
    return frames;
}

}  // namespace

// A script prints what the same lines print as separate runs, and sends the same requests.
TEST_F(BoardEndToEnd, ShellPrintsWhatSeparateRunsPrint)
{
    TempFile hex(TextBytes(IntelHex({{0x08000000, SeededBytes(200, 5)}})));
    // The second debug poll gets an error reply, which ends the trace in either case.
    const std::vector<std::string> board = {"--boot-loader", "lenient",  "--debug-text",
                                            "hello\\n",      "--inject", "error:5@3",
                                            "--motion-ms",   "300"};
    const std::vector<std::string> wait = {"--wait", "10"};
    const std::vector<std::vector<std::string>> lines = {
        {"debug", "ping"},  {"id"},   {"status"}, {"move", "x", "fwd", "10"},
        {"calibrate", "3"}, {"ping"}, {"ping"},   {"upgrade", hex.path},
        {"status"},
    };
    ASSERT_TRUE(Start(board));
    std::string separate;
    for (const std::vector<std::string>& words : lines) {
        const bool moves = words[0] == "move" || words[0] == "calibrate";
        RunResult run = Tool(words, false, moves ? wait : std::vector<std::string>{});
        EXPECT_EQ(run.status, 0) << words[0] << run.err;
        separate += run.out;
    }
    const std::vector<std::string> separate_frames = FoldedPolls(RecordedFrames(board_));
    StopBoard(&board_);
    EXPECT_NE(separate.find("hello\n"), std::string::npos);
    EXPECT_NE(separate.find("Upload done 100%"), std::string::npos);

    TempFile script(TextBytes("# the bench's round\ndebug ping\nid\n\nstatus\nmove x fwd 10\n"
                              "calibrate 3\nrepeat 2 ping\nsleep 0.01\nupgrade " +
                              hex.path + "\nstatus\nquit\nping\n"));
    ASSERT_TRUE(Start(board));
    TempFile log(Bytes{});
    std::vector<std::string> switches = wait;
    switches.insert(switches.end(), {"--log", log.path});
    RunResult shell = Tool({"shell", script.path}, false, switches);
    EXPECT_EQ(shell.status, 0) << shell.err;
    EXPECT_EQ(shell.out, separate);
    EXPECT_NE(ReadTextFile(log.path).find("shell line 10: upgrade " + hex.path), std::string::npos);
    EXPECT_EQ(FoldedPolls(RecordedFrames(board_)), separate_frames);
    EXPECT_NE(shell.err.find("gantrix: shell: 10 commands run, 0 failed, "), std::string::npos)
        << shell.err;
}

// A script with a line that would not run is refused whole, naming the line, before a byte is
// sent; a command that fails while running ends the shell unless --keep-going.
TEST_F(BoardEndToEnd, ShellRefusesABadScriptAndStopsAtAFailure)
{
    TempFile broken_hex(TextBytes(":10000000zz\n"));
    struct Refusal {
        std::string line;
        std::string reason;
    };
    const Refusal refusals[] = {
        {"frobnicate 3", "unknown command frobnicate"},
        {"vend", "Invalid params"},
        {"move q fwd 1", "Unknown channel q"},
        {"upgrade", "upgrade needs more words"},
        {"upgrade /nonexistent/fw.hex", "Failed to open file /nonexistent/fw.hex"},
        {"upgrade " + broken_hex.path,
         "Failed to open file " + broken_hex.path + ": line 1: malformed line"},
        {"--retries 2 ping", "switches go before the port word: --retries"},
        {"repeat 0 ping", "repeat takes a count from 1 to 1000000 and a command"},
        {"sleep soon", "sleep takes seconds from 0 to 3600"},
        {std::string(1 << 20, 'p'), "a line longer than 4096 bytes"},
        {std::string("pi\0ng", 5), "a NUL byte in the line"},
    };
    ASSERT_TRUE(Start({"--inject", "error:5@2"}));
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.reason);
        TempFile script(TextBytes("ping\n" + refusal.line + "\nstatus\n"));
        RunResult run = Tool({"shell", script.path});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(script.path + ":2: " + refusal.reason), std::string::npos)
            << run.err;
    }
    EXPECT_TRUE(RecordedFrames(board_).empty());

    // The status, the board's second request, gets an error reply.
    struct Failure {
        std::vector<std::string> switches;
        size_t frames;
        const char* summary;
    };
    const Failure failures[] = {
        {{}, 2, "gantrix: shell: 2 commands run, 1 failed, "},
        {{"--keep-going"}, 3, "gantrix: shell: 3 commands run, 1 failed, "},
    };
    for (const Failure& failure : failures) {
        StopBoard(&board_);
        ASSERT_TRUE(Start({"--inject", "error:5@2"}));
        TempFile script(TextBytes("ping\nstatus\nid\n"));
        RunResult run = Tool({"shell", script.path}, false, failure.switches);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(script.path + ":2: status failed with status 1"), std::string::npos)
            << run.err;
        EXPECT_NE(run.err.find(failure.summary), std::string::npos) << run.err;
        EXPECT_EQ(RecordedFrames(board_).size(), failure.frames);
    }
}

// A board that restarts under a shell takes its port away: --wait-port opens it again for the
// next command; without it the shell ends there, naming the line.
TEST_F(BoardEndToEnd, ShellOpensALostPortAgainWithWaitPort)
{
    char link_dir[] = "/tmp/gantrix-link-XXXXXX";
    ASSERT_NE(mkdtemp(link_dir), nullptr);
    const std::string link = std::string(link_dir) + "/board";
    TempFile script(TextBytes("ping\nstatus\nping\n"));
    struct Loss {
        std::vector<std::string> switches;
        std::string out_tail;  // after the status's failure lines
        std::string err_has;
        size_t frames;  // on the board's second device
    };
    const Loss losses[] = {
        {{"--keep-going", "--wait-port", "5"},
         "PING OK\n",
         ":3: the port was lost, opening it again",
         1},
        {{"--keep-going"}, "", ":3: the port is gone (--wait-port waits for it to come back)", 0},
    };
    for (const Loss& loss : losses) {
        SCOPED_TRACE(loss.switches.size());
        ASSERT_TRUE(Start({"--link", link, "--inject", "hangup@2"}));
        std::vector<std::string> argv = {QuickToolPath()};
        argv.insert(argv.end(), loss.switches.begin(), loss.switches.end());
        argv.insert(argv.end(), {link, "shell", script.path});
        RunResult run = RunProgram(argv, 10000);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out.rfind("PING OK\n", 0), 0u) << run.out;
        EXPECT_EQ(run.out.substr(run.out.size() - loss.out_tail.size()), loss.out_tail);
        EXPECT_NE(run.err.find(":2: status failed with status 1"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(loss.err_has), std::string::npos) << run.err;
        ASSERT_TRUE(NextBoardPath(&board_));
        EXPECT_EQ(RecordedFrames(board_).size(), 2 + loss.frames);
        StopBoard(&board_);
    }
    rmdir(link_dir);
}

// A program drives the shell through a pipe: each line's JSON answer comes before it sends the
// next, and a line it got wrong is answered too, so it never waits for nothing.
TEST_F(BoardEndToEnd, ShellAnswersACoProcessLineByLine)
{
    ASSERT_TRUE(Start({}));
    int in[2], out[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    pid_t pid = SpawnProgram({ToolPath(), "--json", board_.path, "shell"}, in[0], out[1], -1);
    close(in[0]);
    close(out[1]);
    struct Exchange {
        const char* line;
        std::vector<std::string> answer_has;
    };
    const Exchange exchanges[] = {
        {"ping", {R"("command":"ping","ok":true)", R"("line":1,"words":["ping"])"}},
        {"status", {R"("state":"idle")", R"("line":2,"words":["status"])"}},
        {"# a note", {}},
        {"vend 999", {R"("ok":false,"error":"Invalid cell no, 1-255","line":4)"}},
        // The refusal ended the shell: its summary follows unasked.
        {nullptr, {R"("command":"shell","ok":false,"commands":2,"failed":1)"}},
    };
    for (const Exchange& exchange : exchanges) {
        const std::string line = exchange.line ? std::string(exchange.line) + "\n" : "";
        SCOPED_TRACE(line);
        if (!line.empty()) {
            ASSERT_EQ(write(in[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
        }
        if (exchange.answer_has.empty())
            continue;
        const std::string answer = ReadAnswer(out[0]);
        for (const std::string& part : exchange.answer_has)
            EXPECT_NE(answer.find(part), std::string::npos) << answer;
    }
    close(in[1]);
    int wstatus = 0;
    EXPECT_TRUE(WaitProgram(pid, static_cast<int>(hang_guard_s * 1000), &wstatus));
    EXPECT_EQ(WEXITSTATUS(wstatus), 1);
    close(out[0]);
    EXPECT_EQ(RecordedFrames(board_).size(), 2u);
}

// The prompt in a real terminal: tmux types at it and reads the screen back.
TEST_F(BoardEndToEnd, ShellPromptAtATerminal)
{
    const std::string tmux = "/usr/bin/tmux";
    if (access(tmux.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no tmux (Debian tmux) to type at the prompt";
    ASSERT_TRUE(Start({}));
    const std::string socket = board_.dir + "/tmux";
    auto run = [&](std::vector<std::string> words) {
        words.insert(words.begin(), {tmux, "-S", socket});
        return RunProgram(words, 10000);
    };
    // The screen once it shows `text` `count` times; what it shows when the guard runs out.
    auto screen_with = [&](const std::string& text, int count) {
        std::string screen;
        for (auto end = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<int>(hang_guard_s * 1000));
             std::chrono::steady_clock::now() < end;) {
            screen = run({"capture-pane", "-p"}).out;
            int seen = 0;
            for (size_t at = 0; (at = screen.find(text, at)) != std::string::npos;
                 at += text.size())
                ++seen;
            if (seen >= count)
                return screen;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "no " << count << " x '" << text << "' on the screen:\n" << screen;
        return screen;
    };
    ASSERT_EQ(run({"new-session", "-d", "-x", "100", "-y", "20",
                   "'" + ToolPath() + "' '" + board_.path + "' shell; echo status=$?; sleep 60"})
                  .status,
              0);
    screen_with("gantrix>", 1);
    run({"send-keys", "status", "Enter"});
    screen_with("Status: idle[2]", 1);
    // The up arrow brings the last line back; Enter runs it again.
    run({"send-keys", "Up"});
    screen_with("gantrix> status", 2);
    run({"send-keys", "Enter"});
    screen_with("Status: idle[2]", 2);
    run({"send-keys", "C-d"});
    screen_with("status=0", 1);
    run({"kill-server"});
    EXPECT_EQ(RecordedFrames(board_).size(), 2u);
}


// Eight boards at once, each with its own fault: the healthy ones get the whole image whatever
// the others do, every line says whose it is, and the report and status tell who failed.
TEST(BoardFleet, EachPortRunsOnItsOwnAndTheReportTellsWhichFailed)
{
    TempFile firmware(SeededBytes(4096, 33));
    char dir[] = "/tmp/gantrix-fleet-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    struct Member {
        std::vector<std::string> args;
        const char* id_row;       // the id run's table row after the port: board and result
        const char* upgrade_row;  // the upgrade's; "ok" ones must hold the whole image
    };
    // clang-format off
    const Member members[] = {
        {{"--id", "11:1.0"},                    "11 ok",        "- ok"},
        {{"--id", "12:1.0"},                    "12 ok",        "- ok"},
        {{"--id", "13:1.0"},                    "13 ok",        "- ok"},
        {{"--id", "14:1.0"},                    "14 ok",        "- ok"},
        {{"--inject", "error:5@upgrade#3"},     "2B ok",        "- status 1"},
        {{"--inject", "hangup@upgrade#5"},      "2B ok",        "- status 1"},
        {{"--inject", "silence"},               "- status 1",   "- status 1"},
        {{"--baud", "38400", "--id", "18:1.0"}, "18 ok",        "- ok"},
    };
    // clang-format on
    std::vector<BoardProcess> boards;
    std::string set;
    for (const Member& member : members) {
        std::vector<std::string> args = member.args;
        args.push_back("--image-out");
        args.push_back(std::string(dir) + "/" + std::to_string(boards.size()) + ".img");
        boards.push_back(StartBoard(args));
        ASSERT_GT(boards.back().pid, 0);
        set += (set.empty() ? "" : ",") + boards.back().path;
    }
    // A port's row of the table without the port and the time: "2B ok".
    const auto row = [](const std::string& err, const std::string& port) {
        const size_t at = err.find("\n" + port + " ");
        if (at == std::string::npos)
            return std::string("(no row)");
        std::istringstream line(err.substr(at + 1, err.find('\n', at + 1) - at - 1));
        std::vector<std::string> words{std::istream_iterator<std::string>(line), {}};
        std::string folded;
        for (size_t k = 1; k + 2 < words.size(); ++k)
            folded += (k > 1 ? " " : "") + words[k];
        return folded;
    };

    RunResult id = RunProgram({QuickToolPath(), "--json", "--each", set, "id"});
    const std::string log = std::string(dir) + "/run.log";
    RunResult upgrade =
        RunProgram({QuickToolPath(), "--log", log, "--each", set, "upgrade", firmware.path});
    const std::string logged = ReadTextFile(log);
    unlink(log.c_str());
    EXPECT_EQ(id.status, 1);
    EXPECT_EQ(upgrade.status, 1);
    EXPECT_LT(upgrade.seconds, hang_guard_s);
    // Whole lines, each tagged with its port.
    std::istringstream lines(upgrade.out);
    for (std::string line; std::getline(lines, line);)
        EXPECT_NE((set + ",").find(line.substr(0, line.find(": ")) + ","), std::string::npos)
            << line;
    const Bytes expected = ReadWholeFile(firmware.path);
    for (size_t k = 0; k < boards.size(); ++k) {
        const Member& member = members[k];
        const std::string& port = boards[k].path;
        SCOPED_TRACE(port);
        const bool answered = member.id_row[0] != '-';
        const std::string object =
            "{\"port\":\"" + port +
            "\",\"schema\":1,\"command\":\"id\",\"ok\":" + (answered ? "true" : "false");
        EXPECT_NE(id.out.find(object), std::string::npos) << id.out;
        EXPECT_EQ(row(id.err, port), member.id_row) << id.err;
        EXPECT_EQ(row(upgrade.err, port), member.upgrade_row) << upgrade.err;
        const bool healthy = std::string(member.upgrade_row) == "- ok";
        EXPECT_EQ(upgrade.out.find(port + ": Upload done 100%") != std::string::npos, healthy)
            << upgrade.out;
        EXPECT_EQ(logged.find(" out   " + port + ": Upload done 100%\n") != std::string::npos,
                  healthy)
            << logged;
        StopBoard(&boards[k]);
        const std::string image = std::string(dir) + "/" + std::to_string(k) + ".img";
        if (healthy) {
            EXPECT_EQ(ReadWholeFile(image), expected);
        }
        unlink(image.c_str());
    }
    rmdir(dir);
    EXPECT_NE(id.out.find("{\"schema\":1,\"command\":\"id\",\"ok\":false,\"ports\":8,"
                          "\"failed\":1,\"status\":1}\n"),
              std::string::npos)
        << id.out;
}

// One device under two words, or a word left empty, is refused before anything reaches a board.
TEST_F(BoardEndToEnd, EachRefusesASetThatIsNotOneWordPerDevice)
{
    ASSERT_TRUE(Start({}));
    const std::string again = "/dev/../dev/" + board_.path.substr(5);
    struct Case {
        std::string set;
        std::string err;
    };
    const Case cases[] = {
        {board_.path + "," + again, board_.path + " and " + again + " are the same device"},
        {board_.path + ",", "an empty port word in the set " + board_.path + ","},
    };
    for (const Case& c : cases) {
        RunResult result = RunProgram({ToolPath(), "--each", c.set, "ping"});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "gantrix: " + c.err + "\n");
    }
    EXPECT_TRUE(RecordedFrames(board_).empty());
}

// At a terminal the ports' uploads share one progress line, kept below the tagged lines and gone
// at the end.
TEST(BoardFleet, AtATerminalTheUploadsShareOneProgressLine)
{
    TempFile firmware(SeededBytes(2048, 35));
    BoardProcess boards[] = {StartBoard({}), StartBoard({})};
    PtyPair terminal;
    ASSERT_TRUE(OpenPtyPair(&terminal));
    std::string shown;
    // Read as it comes: a terminal holds only so much before the writer waits.
    std::thread reader([&] {
        const Bytes bytes = Drain(terminal.master, 3000);
        shown.assign(bytes.begin(), bytes.end());
    });
    const pid_t pid = SpawnProgram({ToolPath(), "--each", boards[0].path + "," + boards[1].path,
                                    "upgrade", firmware.path},
                                   -1, terminal.slave, -1);
    int wstatus = -1;
    EXPECT_TRUE(WaitProgram(pid, 20000, &wstatus));
    reader.join();
    ClosePtyPair(&terminal);
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
    for (BoardProcess& board : boards) {
        EXPECT_NE(shown.find(" " + board.path + " "), std::string::npos) << shown;
        EXPECT_NE(shown.find(board.path + ": Upload done 100%"), std::string::npos) << shown;
        EXPECT_EQ(shown.find(board.path + ": Uploading"), std::string::npos) << shown;
        StopBoard(&board);
    }
    EXPECT_NE(shown.find("Uploading... "), std::string::npos) << shown;
    EXPECT_NE(shown.find("%  (0 finished, 0 failed)\r"), std::string::npos) << shown;
    // What the terminal shows last: the combined line blanked out.
    const std::string last = shown.substr(shown.rfind('\n') + 1);
    const size_t blank = last.rfind('\r', last.size() - 2) + 1;
    EXPECT_EQ(last.back(), '\r') << shown;
    EXPECT_EQ(last.find_first_not_of(' ', blank), last.size() - 1) << shown;
}

// --jobs bounds how many ports run together: with one at a time a silent board's lines come
// before those of a board that answers at once; with all together, after them.
TEST(BoardFleet, JobsBoundsThePortsRunTogether)
{
    BoardProcess silent = StartBoard({"--inject", "silence"});
    BoardProcess healthy = StartBoard({});
    const std::string set = silent.path + "," + healthy.path;
    struct Case {
        std::vector<std::string> switches;
        std::string first;  // the port whose line comes first
    };
    const Case cases[] = {
        {{"--jobs", "1"}, silent.path},
        {{}, healthy.path},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {QuickToolPath()};
        argv.insert(argv.end(), c.switches.begin(), c.switches.end());
        argv.insert(argv.end(), {"--each", set, "id"});
        RunResult result = RunProgram(argv);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out.compare(0, c.first.size() + 2, c.first + ": "), 0) << result.out;
        EXPECT_NE(result.out.find(healthy.path + ": ID: device 2B version 1.4\n"),
                  std::string::npos);
    }
    StopBoard(&silent);
    StopBoard(&healthy);
}

// A shell on a set: every port runs the whole script on its own, its lines tagged; a script from
// standard input, which one process cannot hand to many shells, is refused with nothing sent.
TEST(BoardFleet, EachPortRunsTheWholeScript)
{
    BoardProcess one = StartBoard({});
    BoardProcess two = StartBoard({});
    const std::string set = one.path + "," + two.path;
    const std::string script = "ping\n# a comment\nstatus\n";
    TempFile file(std::vector<uint8_t>(script.begin(), script.end()));
    RunResult result = RunProgram({QuickToolPath(), "--each", set, "shell", file.path});
    EXPECT_EQ(result.status, 0) << result.err;
    for (const BoardProcess* board : {&one, &two}) {
        // The two ports' lines interleave; each port's own come in the script's order.
        const size_t ping = result.out.find(board->path + ": PING OK\n");
        const size_t status = result.out.find(board->path + ": Status: idle[2]  \n");
        EXPECT_NE(ping, std::string::npos) << result.out;
        EXPECT_NE(status, std::string::npos) << result.out;
        EXPECT_LT(ping, status) << result.out;
    }
    RunResult refused = RunProgram({QuickToolPath(), "--each", set, "shell"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("reads its script from a FILE"), std::string::npos) << refused.err;
    EXPECT_EQ(RecordedFrames(one).size(), 2u);
    EXPECT_EQ(RecordedFrames(two).size(), 2u);
    StopBoard(&one);
    StopBoard(&two);
}
