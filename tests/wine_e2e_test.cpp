// The Windows build of the tool under Wine, its COM port mapped to a Linux pty whose master end
// plays the board: what a user on Windows would see, byte for byte on the wire.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "TestSupport.h"
#include "Wine.h"
#include "proto/Packet.h"

namespace {

// Every byte value but the sync byte: 255 bytes of line noise the tool must skip.
Bytes AllButSync()
{
    Bytes out;
    for (int v = 0; v < 256; ++v)
        if (v != hproto_sync)
            out.push_back(static_cast<uint8_t>(v));
    return out;
}

enum class Peer { answer, silent, hang_up };

struct ExchangeCase {
    const char* name;
    std::vector<std::string> words;  // after the port
    Bytes request;                   // expected on the wire
    Peer peer;
    Bytes reply;
    bool quick;  // the tool built with a 1 s line time-out
    std::string out;
    int status;
};

std::string ErrorLine(HProtoResult code)
{
    return std::string("Error in response: ") + GetErrorByResultCode(code) + "\n";
}

const std::string lost_ping = std::string(silence_lines) + "Failed to ping device\n";

std::vector<ExchangeCase> Cases()
{
    const Bytes ping = Frame(HPROTO_CMD_PING, {});
    const Bytes id = Frame(HPROTO_CMD_ID, {});
    const Bytes vended = Frame(HPROTO_CMD_VEND, {});
    const Bytes bad_crc = {0x55, 0x07, 0x00, 0x00, 0x01, 0x00, 0x00};
    const std::string busy = ErrorLine(HPROTO_ERROR_BUSY) + "Failed to ping device\n";
    // clang-format off
    return {
      // name                                                words            request                         peer           reply                                           quick  out                                             status
        {"ping",                                             {"ping"},        ping,                           Peer::answer,  ping,                                           false, "PING OK\n",                                    0},
        {"ping answered by another command",                 {"ping"},        ping,                           Peer::answer,  Frame(HPROTO_CMD_STATUS, {}),                   false, "PING FAILED\n",                                1},
        {"id",                                               {"id"},          id,                             Peer::answer,  Frame(HPROTO_CMD_ID, {0x2A, 1, 7}),             false, "ID: device 2A version 1.7\n",                  0},
        {"id reply too short",                               {"id"},          id,                             Peer::answer,  Frame(HPROTO_CMD_ID, {0x2A, 1}),                false, "Reply too short\n",                            1},
        {"flow-control and edge bytes in a reply",           {"id"},          id,                             Peer::answer,  Frame(HPROTO_CMD_ID, {0x11, 0x13, 0xFF, 0x00}), false, "ID: device 11 version 19.255\n",               0},
        {"XON in a request",                                 {"vend", "17"},  Frame(HPROTO_CMD_VEND, {0x11}), Peer::answer,  vended,                                         false, "",                                             0},
        {"XOFF in a request",                                {"vend", "19"},  Frame(HPROTO_CMD_VEND, {0x13}), Peer::answer,  vended,                                         false, "",                                             0},
        {"0xFF in a request",                                {"vend", "255"}, Frame(HPROTO_CMD_VEND, {0xFF}), Peer::answer,  vended,                                         false, "",                                             0},
        {"every other byte value as noise before the reply", {"ping"},        ping,                           Peer::answer,  Concat({AllButSync(), ping}),                   false, "PING OK\n",                                    0},
        {"error reply",                                      {"ping"},        ping,                           Peer::answer,  Frame(0, {HPROTO_ERROR_BUSY}),                  false, busy,                                           1},
        {"bad checksum",                                     {"ping"},        ping,                           Peer::answer,  bad_crc,                                        false, "Bad CRC: 0  != 159E\nFailed to ping device\n", 1},
        {"silent board",                                     {"ping"},        ping,                           Peer::silent,  {},                                             true,  lost_ping,                                      1},
        // Wine reports a vanished peer as an expired read time-out, not as an error.
        {"board hangs up",                                   {"ping"},        ping,                           Peer::hang_up, {},                                             true,  lost_ping,                                      1},
    };
    // clang-format on
}

// Names the case in failure reports instead of dumping its bytes.
void PrintTo(const ExchangeCase& c, std::ostream* os)
{
    *os << c.name;
}

class WineExchange : public ::testing::TestWithParam<ExchangeCase> {};

TEST_P(WineExchange, OutputStatusAndWire)
{
    const ExchangeCase& c = GetParam();
    WineLine line;
    ASSERT_TRUE(line.ok());

    Bytes request;
    std::thread peer([&] {
        request = ReadBytes(line.pty.master, c.request.size(), 30000);
        if (c.peer == Peer::answer)
            WriteBytes(line.pty.master, c.reply);
        if (c.peer == Peer::hang_up) {
            close(line.pty.master);
            line.pty.master = -1;
        }
    });
    std::vector<std::string> args = {line.com};
    args.insert(args.end(), c.words.begin(), c.words.end());
    RunResult r = c.quick ? RunWindowsQuickTool(args) : RunWindowsTool(args);
    peer.join();

    EXPECT_EQ(request, c.request);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_LT(r.seconds, hang_guard_s);
}

INSTANTIATE_TEST_SUITE_P(Wine, WineExchange, ::testing::ValuesIn(Cases()), CaseName());

TEST(WineFrontEnd, PortWithoutDeviceIsNotOpened)
{
    ASSERT_TRUE(PrepareWine());
    const std::string com = UnmappedComPort();
    RunResult r = RunWindowsTool({com, "ping"});
    EXPECT_EQ(r.out, "Failed to open port");
    EXPECT_EQ(r.status, 1);
    // Which ports there are depends on the prefix and on the tests running beside this one.
    EXPECT_NE(r.err.find("gantrix: cannot open " + com + ": no such port"), std::string::npos)
        << r.err;
}

TEST(WineFrontEnd, ListsAComPortMappedByHand)
{
    // Wine's SetupAPI lists no COM port, and QueryDosDevice not those made as dosdevices links:
    // the listing's last resort finds them.
    WineLine line;
    ASSERT_TRUE(line.ok());
    RunResult r = RunWindowsTool({"--list-ports"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(("\n" + r.out).find("\n" + line.com + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(("\n" + r.out).find("\n" + UnmappedComPort() + "\n"), std::string::npos) << r.out;
}

TEST(WineFrontEnd, NoWordsPrintsUsage)
{
    ASSERT_TRUE(PrepareWine());
    RunResult windows = RunWindowsTool({});
    RunResult native = RunProgram({ToolPath()});
    EXPECT_EQ(windows.status, 1);
    EXPECT_EQ(windows.out, native.out);
    EXPECT_NE(windows.out.find("Usage: gantrix <port>"), std::string::npos);
}

TEST(WineFrontEnd, CommandLinesAnsweredAsNative)
{
    ASSERT_TRUE(PrepareWine());
    // Refused or answered before any port is opened: the same bytes and status as the native tool.
    const std::vector<std::vector<std::string>> cases = {
        {"-V"},
        {"-h"},
        {"COM99", "upgrade", "fw.bin", "--retries", "3"},
        {"--timeout", "0x10", "COM99", "ping"},
    };
    for (const auto& words : cases) {
        SCOPED_TRACE(words[0]);
        std::vector<std::string> argv = words;
        argv.insert(argv.begin(), ToolPath());
        RunResult native = RunProgram(argv);
        RunResult windows = RunWindowsTool(words);
        EXPECT_EQ(windows.out, native.out);
        EXPECT_EQ(windows.err, native.err);
        EXPECT_EQ(windows.status, native.status);
    }
    // A device that is no serial port says so, as on Linux.
    RunResult nul = RunWindowsTool({"NUL", "ping"});
    EXPECT_EQ(nul.out, "Failed to get COM state");
    EXPECT_EQ(nul.status, 2);
    EXPECT_EQ(nul.err.rfind("gantrix: cannot use NUL as a serial port: ", 0), 0u) << nul.err;
}

TEST(WineFrontEnd, RunWithoutStandardHandlesWritesToNul)
{
    ASSERT_TRUE(PrepareWine());
    TempFile log({});
    const std::string tool = "Z:" + WindowsToolPath();
    // The output has somewhere to go: not lost with a failure, nor on a port opened later.
    EXPECT_EQ(RunWindowsTestProgram("gantrix_no_std_handles.exe", {tool, "--help"}).status, 0);
    RunResult logged =
        RunWindowsTestProgram("gantrix_no_std_handles.exe",
                              {tool, "--log", "Z:" + log.path, UnmappedComPort(), "ping"});
    EXPECT_EQ(logged.status, 1);
    const std::string text = ReadTextFile(log.path);
    EXPECT_NE(text.find(" out   Failed to open port"), std::string::npos) << text;
}

}  // namespace
