// The Windows build under Wine against the simulated board, its COM port mapped to the board's
// pty: one case per command and per kind of failure, as a user on Windows would see them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Board.h"
#include "Ser2net.h"
#include "TestSupport.h"
#include "Wine.h"
#include "late_soak.h"
#include "proto/Packet.h"

namespace {

class WineBoard : public ::testing::Test {
protected:
    bool Start(const std::vector<std::string>& args) { return line_.Start(args); }
    int Stop() { return line_.Stop(); }

    RunResult Tool(std::vector<std::string> words, bool quick = false)
    {
        words.insert(words.begin(), line_.com);
        return quick ? RunWindowsQuickTool(words) : RunWindowsTool(words);
    }

    WineBoardLine line_;
};

TEST_F(WineBoard, EachCommandOutputStatusAndRequest)
{
    ASSERT_TRUE(Start({"--id", "3A:2.7", "--motion-ms", "1"}));
    struct Run {
        std::vector<std::string> words;
        std::string request;
        std::string out;
        int status;
    };
    // clang-format off
    const Run runs[] = {
      // words                       request                                  out                            status
        {{"ping"},                   FrameHex(HPROTO_CMD_PING, {}),           "PING OK\n",                   0},
        {{"id"},                     FrameHex(HPROTO_CMD_ID, {}),             "ID: device 3A version 2.7\n", 0},
        {{"status"},                 FrameHex(HPROTO_CMD_STATUS, {}),         "Status: idle[2]  \n",         0},
        {{"move", "y", "bwd", "19"}, FrameHex(HPROTO_CMD_MOVE, {2, 1, 0x13}), "",                            0},
        {{"home"},                   FrameHex(HPROTO_CMD_GOHOME, {}),         "",                            0},
        {{"vend", "17"},             FrameHex(HPROTO_CMD_VEND, {0x11}),       "",                            0},
        {{"calibrate", "255"},       FrameHex(HPROTO_CMD_CALIBRATE, {0xFF}),  "",                            0},
        {{"recover"},                FrameHex(HPROTO_CMD_RECOVER, {}),        "RECOVER OK\n",                0},
    };
    // clang-format on
    for (const Run& run : runs) {
        SCOPED_TRACE(run.words[0]);
        RunResult result = Tool(run.words);
        EXPECT_EQ(result.out, run.out);
        EXPECT_EQ(result.status, run.status);
        std::vector<std::string> frames = RecordedFrames(line_.board);
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames.back(), run.request);
        // Motions last 1 ms on this board; the next run starts well after.
    }
    EXPECT_EQ(Stop(), 0);
}

TEST_F(WineBoard, StatusOfABoardInError)
{
    ASSERT_TRUE(Start({"--fault", "motor_jam"}));
    RunResult result = Tool({"status"});
    EXPECT_EQ(result.out, "Status: error[1]  motor_jam[1] \n");
    EXPECT_EQ(result.status, 0);
}

TEST_F(WineBoard, UpgradeImageArrivesIntact)
{
    char dir[] = "/tmp/gantrix-wine-image-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string base = dir;
    const std::string image_path = base + "/image.bin";
    Bytes firmware = SeededBytes(100, 11);
    // Bytes a text-mode or flow-controlled line would change, and a blank block never sent.
    const Bytes special = {0x11, 0x13, 0x00, 0xFF, 0x0D, 0x0A, 0x1A, 0x0A};
    std::copy(special.begin(), special.end(), firmware.begin() + 8);
    std::fill(firmware.begin() + 32, firmware.begin() + 64, 0xFF);
    {
        std::ofstream out(base + "/firmware.bin", std::ios::binary);
        out.write(reinterpret_cast<const char*>(firmware.data()),
                  static_cast<std::streamsize>(firmware.size()));
        // A HEX file with the line ends of Windows, across 64 KiB and with a gap.
        std::string hex = IntelHex({{0x0000FFE0, SeededBytes(64, 12)}, {0x00010100, {1, 2, 3}}});
        for (size_t at = 0; (at = hex.find('\n', at)) != std::string::npos; at += 2)
            hex.insert(at, "\r");
        std::ofstream(base + "/firmware.hex", std::ios::binary) << hex;
    }
    if (!Objcopy("ihex", "binary", base + "/firmware.hex", base + "/hex.bin"))
        GTEST_SKIP() << "no objcopy (Debian binutils) to tell the expected image";
    struct Case {
        const char* file;
        const char* expected;
        const char* progress;
    };
    const char* const four_blocks =
        "Uploading... 00 %\rUploading... 32 %\rUploading... 64 %\rUploading... 96 %\r";
    // clang-format off
    const Case cases[] = {
      // file            expected        progress
        {"firmware.bin", "firmware.bin", four_blocks},
        {"firmware.hex", "hex.bin",      nullptr},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        ASSERT_TRUE(Start({"--image-out", image_path}));
        // Wine hands the exe a Unix path through its Z: drive. The long line limit catches reads
        // that wait it out although the reply is in: four exchanges would outlast the hang guard.
        RunResult result =
            RunWindowsTool({"--timeout", "30", line_.com, "upgrade", "Z:" + base + "/" + c.file});
        if (c.progress) {
            EXPECT_EQ(result.out, "Switch to boot mode...\n[OK] Switched to boot mode\n" +
                                      std::string(c.progress) + "Upload done 100%     \n");
        }
        EXPECT_NE(result.out.find("Upload done 100%     \n"), std::string::npos);
        EXPECT_EQ(result.status, 0);
        EXPECT_LT(result.seconds, hang_guard_s);
        EXPECT_EQ(Stop(), 0);

        Bytes expected = ReadWholeFile(base + "/" + c.expected);
        expected.resize((expected.size() + 31) / 32 * 32, 0xFF);  // the last block goes out padded
        EXPECT_EQ(ReadWholeFile(image_path), expected);
        unlink(image_path.c_str());
    }
    for (const char* name : {"firmware.bin", "firmware.hex", "hex.bin"})
        unlink((base + "/" + name).c_str());
    rmdir(dir);
}

// A script with Windows line ends: checked whole first, then run on the one open COM port.
TEST_F(WineBoard, ShellRunsAScript)
{
    ASSERT_TRUE(Start({}));
    struct Script {
        std::string text;
        std::string out;
        std::string err_has;
        int status;
        size_t frames;  // in all, on the one board
    };
    // clang-format off
    const Script scripts[] = {
      // text                                          out                                                                             err_has                                    status  frames
        {"ping\r\nbogus\r\n",                          "",                                                                             ":2: unknown command bogus",               1,      0},
        {"ping\r\nid\r\n# note\r\nrepeat 2 status\r\n", "PING OK\nID: device 2B version 1.4\nStatus: idle[2]  \nStatus: idle[2]  \n", "gantrix: shell: 4 commands run, 0 failed", 0,      4},
    };
    // clang-format on
    for (const Script& script : scripts) {
        TempFile file(Bytes(script.text.begin(), script.text.end()));
        RunResult result = Tool({"shell", "Z:" + file.path});
        EXPECT_EQ(result.out, script.out);
        EXPECT_NE(result.err.find(script.err_has), std::string::npos) << result.err;
        EXPECT_EQ(result.status, script.status);
        EXPECT_EQ(RecordedFrames(line_.board).size(), script.frames);
    }
}

// A program drives the Windows build's shell through pipes: each line's JSON answer comes before
// it writes the next, and the end of its input ends the shell with the summary.
TEST_F(WineBoard, ShellAnswersACoProcessLineByLine)
{
    ASSERT_TRUE(Start({}));
    int in[2], out[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    const pid_t pid =
        SpawnProgram(WindowsQuickToolArgv({"--json", line_.com, "shell"}), in[0], out[1], -1);
    close(in[0]);
    close(out[1]);
    const std::pair<std::string, std::string> exchanges[] = {
        {"ping\r\n", R"("command":"ping","ok":true)"},
        {"status\r\n", R"("state":"idle")"},
        {"", R"("command":"shell","ok":true,"commands":2,"failed":0)"},
    };
    for (const auto& exchange : exchanges) {
        SCOPED_TRACE(exchange.first);
        if (exchange.first.empty())
            close(in[1]);
        else
            ASSERT_EQ(write(in[1], exchange.first.data(), exchange.first.size()),
                      static_cast<ssize_t>(exchange.first.size()));
        const std::string answer = ReadAnswer(out[0]);
        EXPECT_NE(answer.find(exchange.second), std::string::npos) << answer;
    }
    int wstatus = 0;
    EXPECT_TRUE(WaitProgram(pid, static_cast<int>(hang_guard_s * 1000), &wstatus));
    EXPECT_EQ(WEXITSTATUS(wstatus), 0);
    close(out[0]);
    EXPECT_EQ(RecordedFrames(line_.board).size(), 2u);
}

TEST_F(WineBoard, DebugTraceFollowsTheCommand)
{
    // Request 1 is the ping, 2 and 3 fetch debug text, 4 gets an error reply that ends the trace.
    ASSERT_TRUE(Start({"--debug-text", "boot\\x11\\x13 ok\\n", "--inject", "error:1@4"}));
    RunResult result = Tool({"debug", "ping"});
    EXPECT_EQ(result.out.rfind("PING OK\nboot\x11\x13 ok\n", 0), 0u) << result.out;
    EXPECT_NE(result.out.find("Error in response: "), std::string::npos) << result.out;
    EXPECT_EQ(result.status, 0);
}

// The operator's switches on Windows: the retry, the trace on stderr, the plain progress and the
// log file through the Z: drive, with the console as without them.
TEST_F(WineBoard, OperatorSwitches)
{
    TempFile firmware(SeededBytes(1024, 5));
    TempFile log(Bytes{});
    struct SwitchRun {
        std::vector<std::string> switches;
        const char* inject;
        std::vector<std::string> words;
        std::vector<std::string> out_has;
        std::string err_has;
        int requests;
    };
    const std::vector<std::string> plain_progress = {
        "Switch to boot mode...\n[OK] Switched to boot mode\n",
        "Uploading... 50 % 512 of 1024 bytes, 16 of 32 blocks sent, ",
        "Upload done 100%: 1024 bytes, 32 blocks sent, "};
    // clang-format off
    const SwitchRun runs[] = {
      // switches                    inject      words                              out_has                          err_has                                             requests
        {{"--retries", "2"},         "badcrc@1", {"ping"},                          {"PING OK\n"},                   "gantrix: retry 1 of 2 (ping): Bad CRC: ",          3},  // the ping, the fence's ping, the ping again
        {{"--trace"},                "noise:2",  {"id"},                            {"ID: device 2B version 1.4\n"}, " ms RX noise skipped by the sync hunt, 2 bytes\n", 1},
        {{"--progress", "plain"},    "",         {"upgrade", "Z:" + firmware.path}, plain_progress,                  "",                                                 33},
        {{"--log", "Z:" + log.path}, "",         {"status"},                        {"Status: idle[2]  \n"},         "",                                                 1},
    };
    // clang-format on
    for (const SwitchRun& run : runs) {
        SCOPED_TRACE(run.switches[0]);
        std::vector<std::string> board_args;
        if (*run.inject)
            board_args = {"--inject", run.inject};
        ASSERT_TRUE(Start(board_args));
        std::vector<std::string> args = run.switches;
        args.push_back(line_.com);
        args.insert(args.end(), run.words.begin(), run.words.end());
        RunResult result = RunWindowsQuickTool(args);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out.rfind(run.out_has[0], 0), 0u) << result.out;
        for (const std::string& text : run.out_has)
            EXPECT_NE(result.out.find(text), std::string::npos) << result.out;
        EXPECT_NE(result.err.find(run.err_has), std::string::npos) << result.err;
        EXPECT_EQ(static_cast<int>(RecordedFrames(line_.board).size()), run.requests);
        Stop();
    }
    const std::string text = ReadTextFile(log.path);
    EXPECT_NE(text.find(" ms TX status size 7 checksum good"), std::string::npos) << text;
    // After the timestamp, the run's process id.
    EXPECT_TRUE(std::regex_search(text, std::regex("Z [0-9]+ out   Status: idle\\[2\\]\r\n")))
        << text;
}

// --json and --wait in the Windows build: the object alone on stdout (the capture of the text
// lines works on the Windows console layer too), and the final status after a vend: idle, past
// vended.
TEST_F(WineBoard, JsonStatusAndWaitForAVend)
{
    ASSERT_TRUE(Start({"--motion-ms", "300"}));
    RunResult json = RunWindowsQuickTool({"--json", line_.com, "status"});
    EXPECT_EQ(json.out, "{\"schema\":1,\"command\":\"status\",\"ok\":true,\"state\":\"idle\","
                        "\"state_value\":2,\"errors\":[],\"error_mask\":0}\n");
    EXPECT_EQ(json.status, 0);
    RunResult wait = RunWindowsQuickTool({"--wait", "10", line_.com, "vend", "3"});
    EXPECT_EQ(wait.out, "Status: idle[2]  \n");
    EXPECT_EQ(wait.status, 0);
    std::vector<std::string> frames = RecordedFrames(line_.board);
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames[1], FrameHex(HPROTO_CMD_VEND, {3}));
    EXPECT_EQ(frames.back(), FrameHex(HPROTO_CMD_STATUS, {}));
}

// An FTDI adapter behind the board's COM port, as its driver leaves it in the registry: the listing
// shows its ids and latency timer, a usb: word finds the port, and the slow-adapter hint for the
// board's --latency points at Device Manager.
TEST_F(WineBoard, AdapterByItsIdsLatencyTimerAndSlowHint)
{
    ASSERT_TRUE(Start({"--latency", "20"}));
    const std::string serial = "GX" + line_.com.substr(3);  // one adapter per test's port
    const std::string key = "HKLM\\System\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+" +
                            serial + "A\\0000\\Device Parameters";
    ASSERT_EQ(RunWineProgram("reg", {"add", key, "/v", "PortName", "/d", line_.com, "/f"}).status,
              0);
    ASSERT_EQ(RunWineProgram("reg", {"add", key, "/v", "LatencyTimer", "/t", "REG_DWORD", "/d",
                                     "16", "/f"})
                  .status,
              0);
    RunResult listed = RunWindowsTool({"--list-ports"});
    EXPECT_NE(listed.out.find(line_.com + "  usb 0403:6001  serial " + serial +
                              "  latency 16 ms\n"),
              std::string::npos)
        << listed.out;
    TempFile firmware(SeededBytes(640, 9));
    const std::string word = "usb:0403:6001:" + serial;
    RunResult ping = RunWindowsTool({word, "ping"});
    EXPECT_EQ(ping.out, "PING OK\n");
    EXPECT_EQ(ping.err.find("replies arrive"), std::string::npos) << ping.err;
    RunResult upgrade = RunWindowsTool({word, "upgrade", "Z:" + firmware.path});
    EXPECT_EQ(upgrade.status, 0);
    EXPECT_NE(upgrade.out.find("Upload done 100%"), std::string::npos) << upgrade.out;
    EXPECT_NE(upgrade.err.find("gantrix: replies arrive "), std::string::npos) << upgrade.err;
    EXPECT_NE(upgrade.err.find("Device Manager, Ports (COM & LPT), the port's Properties, Port "
                               "Settings, Advanced, Latency Timer (msec)\n"),
              std::string::npos)
        << upgrade.err;
    RunWineProgram("reg", {"delete", key.substr(0, key.rfind("\\0000")), "/f"});
}

// --wait-port on Windows: the COM port appears (its dosdevices link is made) while the run waits.
TEST_F(WineBoard, WaitPortForAComPortThatAppears)
{
    ASSERT_TRUE(Start({}));
    UnmapComPort(line_.com);
    std::thread later([this] {
        std::this_thread::sleep_for(std::chrono::seconds(3));  // Wine's start-up is well within
        MapComPort(line_.board.path);
    });
    RunResult result = RunWindowsTool({"--wait-port", "30", line_.com, "ping"});
    later.join();
    EXPECT_EQ(result.out, "PING OK\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.err.find("gantrix: waiting up to 30 s for " + line_.com + " to be there\n"),
              std::string::npos)
        << result.err;
}

const std::string lost_ping = std::string(silence_lines) + "Failed to ping device\n";

TEST_F(WineBoard, FailuresOfTheExchange)
{
    struct FaultRun {
        const char* inject;
        std::string out;  // the whole output, or its start when `prefix_only`
        bool prefix_only;
    };
    // clang-format off
    const FaultRun runs[] = {
      // inject       out                                                 prefix_only
        {"error:5",   "Error in response: Busy\nFailed to ping device\n", false},
        {"badcrc",    "Bad CRC: ",                                        true},
        {"noise:256", "Out of sync\nFailed to ping device\n",             false},
        {"silence",   lost_ping,                                          false},
        // Wine reports a vanished peer as an expired read time-out, not as an error.
        {"hangup",    lost_ping,                                          false},
    };
    // clang-format on
    for (const FaultRun& run : runs) {
        SCOPED_TRACE(run.inject);
        ASSERT_TRUE(Start({"--inject", run.inject}));
        RunResult result = Tool({"ping"}, true);
        if (run.prefix_only) {
            EXPECT_EQ(result.out.rfind(run.out, 0), 0u) << result.out;
            const std::string last = "\nFailed to ping device\n";
            EXPECT_TRUE(result.out.size() > last.size() &&
                        result.out.compare(result.out.size() - last.size(), last.size(), last) == 0)
                << result.out;
        } else
            EXPECT_EQ(result.out, run.out);
        EXPECT_EQ(result.status, 1);
        EXPECT_LT(result.seconds, hang_guard_s);
        Stop();
    }
}

// The late-reply soak, shorter, with the Windows build: no run says "Upload done" over an image
// unlike the file.
TEST_F(WineBoard, LateRepliesAndDroppedRequestsNeverEndInAFalseDone)
{
    late_soak::Tally tally;
    for (uint32_t seed = 5001; seed <= 5024; ++seed) {
        late_soak::Run(
            seed,
            [&](const std::vector<std::string>& args) {
                return Start(args) ? &line_.board : nullptr;
            },
            [&](const std::string& file) {
                return RunWindowsTool(
                    {"--timeout", "0.1", "--retries", "5", line_.com, "upgrade", "Z:" + file});
            },
            [&] { Stop(); }, &tally);
    }
    late_soak::Judge("late-reply soak under Wine", tally);
}

}  // namespace

// Three COM ports at once under Wine: two boards take the image, a silent one fails alone, and
// one port under two spellings is refused before anything is sent.
TEST(WineBoardFleet, EachUpgradesEveryBoardThatAnswers)
{
    TempFile firmware(SeededBytes(2048, 34));
    char dir[] = "/tmp/gantrix-wine-fleet-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::vector<std::string> faults = {"", "", "silence"};
    WineBoardLine lines[3];
    std::string set;
    for (size_t k = 0; k < faults.size(); ++k) {
        std::vector<std::string> args = {"--image-out", std::string(dir) + "/" + std::to_string(k)};
        if (!faults[k].empty())
            args.insert(args.end(), {"--inject", faults[k]});
        ASSERT_TRUE(lines[k].Start(args));
        set += (set.empty() ? "" : ",") + lines[k].com;
    }
    std::string lower = lines[0].com;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    RunResult twice = RunWindowsQuickTool({"--each", lines[0].com + "," + lower, "ping"});
    EXPECT_EQ(twice.err, "gantrix: " + lines[0].com + " and " + lower + " are the same device\n");
    EXPECT_EQ(twice.status, 1);

    RunResult result = RunWindowsQuickTool({"--each", set, "upgrade", "Z:" + firmware.path});
    EXPECT_EQ(result.status, 1);
    EXPECT_LT(result.seconds, hang_guard_s);
    for (size_t k = 0; k < faults.size(); ++k) {
        SCOPED_TRACE(lines[k].com);
        const bool healthy = faults[k].empty();
        EXPECT_EQ(result.out.find(lines[k].com + ": Upload done 100%     \n") != std::string::npos,
                  healthy)
            << result.out;
        const std::regex row("\n" + lines[k].com + " +- +" + (healthy ? "ok" : "status 1") + " ");
        EXPECT_TRUE(std::regex_search(result.err, row)) << result.err;
        EXPECT_EQ(lines[k].Stop(), 0);
        const std::string image = std::string(dir) + "/" + std::to_string(k);
        if (healthy) {
            EXPECT_EQ(ReadWholeFile(image), ReadWholeFile(firmware.path));
        }
        unlink(image.c_str());
    }
    rmdir(dir);
}

// The Windows build through Winsock to the same ser2net: a ping, and an upgrade full of 0xFF
// that lands exactly; both port words.
TEST(WineNetwork, PingAndUpgradeThroughSer2net)
{
    if (Ser2netPath().empty())
        GTEST_SKIP() << "ser2net is not installed (scripts/install-deps.sh installs it)";
    ASSERT_TRUE(PrepareWine());
    Bytes image = SeededBytes(2048, 33);
    for (size_t i = 0; i < image.size(); i += 3)
        image[i] = 0xFF;
    std::fill(image.begin() + 32, image.begin() + 96, 0xFF);  // two blank blocks
    const std::string hex = IntelHex({{0x0000FF00, image}});
    TempFile file(Bytes(hex.begin(), hex.end()));
    for (bool raw : {true, false}) {
        SCOPED_TRACE(raw ? "tcp" : "rfc2217");
        char dir[] = "/tmp/gantrix-wine-net-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        const std::string out = std::string(dir) + "/image.bin";
        Ser2netBoard server;
        ASSERT_TRUE(server.Start({"--image-out", out}));
        const std::string word = raw ? server.tcp_word : server.rfc2217_word;
        RunResult ping = RunWindowsQuickTool({word, "ping"});
        EXPECT_EQ(ping.out, "PING OK\n");
        EXPECT_EQ(ping.status, 0) << ping.err;
        ASSERT_TRUE(server.Settle());
        RunResult upgrade = RunWindowsQuickTool({word, "upgrade", "Z:" + file.path});
        EXPECT_EQ(upgrade.status, 0) << upgrade.out << upgrade.err;
        EXPECT_NE(upgrade.out.find("Upload done 100%     \n"), std::string::npos) << upgrade.out;
        EXPECT_EQ(server.Stop(), 0);
        EXPECT_EQ(ReadWholeFile(out), image);
        unlink(out.c_str());
        rmdir(dir);
    }
}
