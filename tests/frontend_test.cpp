// The front end as a user meets it: the built binary run with words, against a scripted board on a
// pty, with its output and exit status compared exactly.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ScriptedPeer.h"
#include "TestSupport.h"
#include "proto/Packet.h"
#include "serial/PortList.h"
#include "serial/Serial.h"

namespace {

const char usage_text[] = "OSTREL gantrix\n"
                          "\n"
                          "Usage: gantrix <port> [debug]\t\t\t\t\t\n"
                          "\t\tid\t\t\t\t\t\t\t\t\n"
                          "\t\tping\t\t\t\t\t\t\t\t\n"
                          "\t\tupgrade\t<firmware path>\t\t\t\t\t\t\t\n"
                          "\t\tstatus \t\t\t\t\t\t\t\t\t\t\t\n"
                          "\t\thome \t\t\t\t\t\t\t\t\t\t\t\n"
                          "\t\tmove [x|y|z|z1] [fwd|bwd] <steps>\t\t\t\t\t\t\t\t\t\t\t\n"
                          "\t\tcalibrate <cell>\t\t\t\t\t\t\t\t\t\t\t\n"
                          "\t\tprecalibrate <cell>\t\t\t\t\t\t\t\t\t\t\t\n"
                          "\t\tvend <cell>\t\t\t\t\t\t\t\t\t\t\t\n"
                          "\t\trecover      \n"
                          "Automated: https://gantrix.example.org/\n";

const Bytes ping_request = {0x55, 0x07, 0x00, 0x00, 0x01, 0x9E, 0x15};
const Bytes id_request = {0x55, 0x07, 0x00, 0x00, 0xFF, 0x6F, 0x0B};
const Bytes debug_request = {0x55, 0x07, 0x00, 0x00, 0xFD, 0x7D, 0x28};
const Bytes status_request = {0x55, 0x07, 0x00, 0x00, 0x03, 0x8C, 0x36};

class FrontEndTest : public PtyLineTest {
protected:
    RunResult Run(std::vector<std::string> words, const std::string& tool = ToolPath())
    {
        words.insert(words.begin(), tool);
        return RunProgram(words, 10000);
    }

    // One run against a board that answers the first request with `reply`.
    RunResult RunAgainst(const std::vector<std::string>& words, Bytes reply,
                         std::vector<Bytes>* requests)
    {
        ScriptedPeer peer(&pty_.master, [&](const Bytes&, size_t) { return Reply(reply); });
        RunResult result = Run(words);
        *requests = peer.Requests();
        EXPECT_EQ(peer.Leftover(), Bytes());
        return result;
    }
};

TEST_F(FrontEndTest, TooFewWordsPrintUsageAndOpenNothing)
{
    // A port word naming nothing would fail to open: usage instead shows nothing was opened.
    const std::vector<std::vector<std::string>> cases = {{}, {"/nonexistent/ttyQ9"}, {"ttyQ9"}};
    for (const auto& words : cases) {
        SCOPED_TRACE(words.size());
        RunResult result = Run(words);
        EXPECT_EQ(result.out, usage_text);
        EXPECT_EQ(result.status, 1);
    }
}

TEST_F(FrontEndTest, PortSetUpFailuresEndWithoutLineEnd)
{
    TempFile file({});
    const std::string fifo = file.path + ".fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // The reason on stderr, as the library words it for the error the open must have met.
    auto no_device = [](const std::string& path) {
        return DescribeOpenFailure(path, {ENOENT, false}, SystemRoots{}) + "\n";
    };
    auto no_tty = [](const std::string& path, const std::string& kind) {
        return "gantrix: cannot use " + path + " as a serial port: it is " + kind + " (" +
               strerror(ENOTTY) + ")\n";
    };
    const std::string no_tty_device = "a character device that is no terminal";
    struct Case {
        std::string port;
        const char* out;
        int status;
        std::string err;
        bool refuse_settings = false;  // the driver refuses 115200 8N1
    };
    const Case cases[] = {
        {"/nonexistent/ttyQ9", "Failed to open port", 1, no_device("/nonexistent/ttyQ9")},
        {"ttyQ9-not-there", "Failed to open port", 1, no_device("/dev/ttyQ9-not-there")},
        // Files that open but are no terminal: the settings cannot be read. A FIFO must not wait
        // for a writer.
        {file.path, "Failed to get COM state", 2, no_tty(file.path, "a regular file")},
        {fifo, "Failed to get COM state", 2, no_tty(fifo, "a FIFO")},
        {"/dev/null", "Failed to get COM state", 2, no_tty("/dev/null", no_tty_device)},
        // A word without '/' is a name under /dev.
        {"null", "Failed to get COM state", 2, no_tty("/dev/null", no_tty_device)},
        {pty_.slave_path, "Failed to set COM state", 4, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        std::vector<std::string> argv = {ToolPath(), c.port, "ping"};
        if (c.refuse_settings)
            argv.insert(argv.begin(), {"/usr/bin/env", "LD_PRELOAD=" GANTRIX_REFUSE_SETTINGS,
                                       "ASAN_OPTIONS=verify_asan_link_order=0"});
        RunResult result = RunProgram(argv, 10000);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err, c.err);
    }
    EXPECT_EQ(Drain(pty_.master, 20), Bytes());
    unlink(fifo.c_str());
}

TEST_F(FrontEndTest, CommandLinesRefusedBeforeThePortIsOpened)
{
    // A port that cannot open: a run that got as far as opening it would say so.
    const std::string port = "/nonexistent/ttyQ9";
    const std::string after = "gantrix: switches go before the port word: gantrix ";
    const std::string timeout = "gantrix: --timeout takes seconds from 0.1 to 60\n";
    struct Case {
        std::vector<std::string> words;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {{port, "upgrade", "fw.bin", "--retries", "3"},
         usage_text,
         after + "--retries 3 " + port + " upgrade fw.bin\n"},
        {{port, "--timeout", "1", "ping"}, usage_text, after + "--timeout 1 " + port + " ping\n"},
        {{"--trace", port, "debug", "status", "-h", "a b"},
         usage_text,
         after + "--trace -h " + port + " debug status 'a b'\n"},
        {{"--timeout", "0x10", port, "ping"}, "", timeout},
        {{"--timeout", "1e1", port, "ping"}, "", timeout},
        {{"--timeout", "inf", port, "ping"}, "", timeout},
        {{"--timeout", "nan", port, "ping"}, "", timeout},
        {{"--timeout", "1.5.", port, "ping"}, "", timeout},
        {{"--jobs", "2", port, "ping"}, "", "gantrix: --jobs goes with --each\n"},
        {{"--each", "--jobs", "0", port, "ping"},
         "",
         "gantrix: --jobs takes a number from 1 to 256\n"},
        {{"--each", "--list-ports"}, "", "gantrix: --each does not go with --list-ports\n"},
        {{"--each", port + "," + port, "debug"},
         "",
         "gantrix: debug does not go with --each: its trace is the stream of one board\n"},
        {{"--each", port + ",ttyQ8", "frobnicate"}, "", "gantrix: unknown command frobnicate\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        RunResult result = Run(c.words);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.status, 1);
    }
    // The short forms answer as the long ones do, and before any port word.
    for (const char* word : {"-h", "-V"}) {
        SCOPED_TRACE(word);
        RunResult result = Run({word, port, "ping"});
        RunResult long_form = Run({word[1] == 'h' ? "--help" : "--version"});
        EXPECT_EQ(result.out, long_form.out);
        EXPECT_NE(result.out.find(word[1] == 'h' ? usage_text : "gantrix "), std::string::npos);
        EXPECT_EQ(result.status, 0);
    }
}

TEST_F(FrontEndTest, UnknownCommandWordsPrintUsageAndSendNothing)
{
    const std::vector<std::vector<std::string>> cases = {
        {"frobnicate"},     {"PING"},    {"Status"},           {"debug"},
        {"debug", "debug"}, {"upgrade"}, {"debug", "upgrade"}, {"debug", "PING", "x"},
    };
    for (const auto& words : cases) {
        std::string trace;
        for (const std::string& w : words)
            trace += w + " ";
        SCOPED_TRACE(trace);
        std::vector<std::string> argv = {pty_.slave_path};
        argv.insert(argv.end(), words.begin(), words.end());
        RunResult result = Run(argv);
        EXPECT_EQ(result.out, usage_text);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(Drain(pty_.master, 20), Bytes());
    }
}

TEST_F(FrontEndTest, EmptyCommandWordRunsNothing)
{
    RunResult result = Run({pty_.slave_path, ""});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(Drain(pty_.master, 20), Bytes());
}

TEST_F(FrontEndTest, PingReports)
{
    struct Case {
        const char* name;
        Bytes reply;
        const char* out;
        int status;
    };
    const Case cases[] = {
        {"ok", Frame(HPROTO_CMD_PING, {}), "PING OK\n", 0},
        {"ok with data", Frame(HPROTO_CMD_PING, {1, 2, 3}), "PING OK\n", 0},
        {"other command", Frame(HPROTO_CMD_ID, {}), "PING FAILED\n", 1},
        {"busy", ErrorFrame(HPROTO_ERROR_BUSY), "Error in response: Busy\nFailed to ping device\n",
         1},
        {"bad checksum",
         {0x55, 0x07, 0x00, 0x00, 0x01, 0x00, 0x00},
         "Bad CRC: 0  != 159E\nFailed to ping device\n",
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Bytes> requests;
        RunResult result =
            RunAgainst({pty_.slave_path, "ping", "extra", "words"}, c.reply, &requests);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(requests, std::vector<Bytes>({ping_request}));
    }
}

TEST_F(FrontEndTest, IdReports)
{
    struct Case {
        const char* name;
        Bytes reply;
        const char* out;
        int status;
        Bytes stale = {};  // already on the line when the run starts: the set-up purges it
    };
    const Case cases[] = {
        {"device A", Frame(HPROTO_CMD_ID, {0x0A, 0x01, 0x05}), "ID: device A version 1.5\n", 0},
        {"stale reply before the run", Frame(HPROTO_CMD_ID, {0x0A, 0x01, 0x05}),
         "ID: device A version 1.5\n", 0, Frame(HPROTO_CMD_ID, {0x66, 0x06, 0x06})},
        {"device 2B", Frame(HPROTO_CMD_ID, {0x2B, 0x10, 0x00}), "ID: device 2B version 16.0\n", 0},
        {"device FF", Frame(HPROTO_CMD_ID, {0xFF, 0xFF, 0x09, 0x77}),
         "ID: device FF version 255.9\n", 0},
        {"two bytes", Frame(HPROTO_CMD_ID, {0x0A, 0x01}), "Reply too short\n", 1},
        {"no data", Frame(HPROTO_CMD_ID, {}), "Reply too short\n", 1},
        // The late answer to an upgrade block, whose offset bytes would read as an id.
        {"block's reply", Frame(HPROTO_CMD_UPGRADE, {0, 0, 0, 0}), "Wrong reply to id: cmd 254\n",
         1},
        {"unknown cmd byte", Frame(200, {0x0A, 0x01, 0x05}), "ID: device A version 1.5\n", 0},
        {"invalid state", ErrorFrame(HPROTO_ERROR_INVALID_STATE),
         "Error in response: Invalid state\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(pty_.master, c.stale);
        std::vector<Bytes> requests;
        RunResult result = RunAgainst({pty_.slave_path, "id"}, c.reply, &requests);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(requests, std::vector<Bytes>({id_request}));
    }
}

// Each wait lasts the line time-out and no longer. The upper bound only tells a run that ended on
// the given time-out from one that waited out the shipped 5 s.
TEST_F(FrontEndTest, SilentBoardEndsTheRunQuickly)
{
    struct Case {
        std::vector<std::string> words;
        std::string tool;
        std::string out;
        double at_least;
    };
    const std::string lost_ping = std::string(silence_lines) + "Failed to ping device\n";
    const Case cases[] = {
        {{pty_.slave_path, "ping"}, QuickToolPath(), lost_ping, 1.0},
        {{pty_.slave_path, "id"}, QuickToolPath(), silence_lines, 1.0},
        // Seconds in thousandths: 0.5 is half a second, not 50 ms.
        {{"--timeout", "0.5", pty_.slave_path, "id"}, ToolPath(), silence_lines, 0.5},
        // Opened a second time, /dev/ptmx is another pty: only the one opened bounds the wait.
        {{"--timeout", "0.5", "/dev/ptmx", "ping"}, ToolPath(), lost_ping, 0.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words[c.words.size() - 2]);
        RunResult result = Run(c.words, c.tool);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.status, 1);
        EXPECT_GE(result.seconds, c.at_least);
        EXPECT_LT(result.seconds, 4.5);
        Drain(pty_.master, 20);
    }
}

TEST_F(FrontEndTest, ShippedToolGivesUpAfterFiveSeconds)
{
    RunResult result = Run({pty_.slave_path, "id"});
    EXPECT_EQ(result.out, silence_lines);
    EXPECT_EQ(result.status, 1);
    EXPECT_GE(result.seconds, 4.5);
    EXPECT_LT(result.seconds, hang_guard_s);
}

TEST_F(FrontEndTest, PortHeldByThisProcessIsRefused)
{
    PortOpening held = ::OpenPort(pty_.slave_path, 200);
    ASSERT_TRUE(held.port.IsOpen());
    RunResult result = Run({pty_.slave_path, "ping"});
    held.port.Close();
    EXPECT_EQ(result.out, "Failed to open port");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(Drain(pty_.master, 20), Bytes());
    // Found in the lock table; this test program's name starts like the tool's.
    EXPECT_TRUE(std::regex_match(
        result.err, std::regex("gantrix: cannot open " + pty_.slave_path +
                               ": busy: another run of gantrix \\(pid " + std::to_string(getpid()) +
                               "\\) holds it; wait for it to end, or stop it(; .*)?\n")))
        << result.err;
}

TEST_F(FrontEndTest, PermissionDeniedNamesTheGroupToJoin)
{
    // Root opens a file of mode 0, so as root the tool runs as nobody for this.
    TempFile device({});
    ASSERT_EQ(chmod(device.path.c_str(), 0), 0);
    std::vector<std::string> argv = {ToolPath(), device.path, "ping"};
    if (geteuid() == 0) {
        if (access("/usr/bin/setpriv", X_OK) != 0)
            GTEST_SKIP() << "running as root without setpriv: cannot open as another user";
        argv.insert(argv.begin(),
                    {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    RunResult result = RunProgram(argv, 10000);
    if (result.status == 127)
        GTEST_SKIP() << "nobody may not run " << ToolPath();
    EXPECT_EQ(result.out, "Failed to open port");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, DescribeOpenFailure(device.path, {EACCES, false}, SystemRoots{}) + "\n");
    EXPECT_NE(result.err.find(": permission denied: add your user to group "), std::string::npos);
}

TEST_F(FrontEndTest, SecondRunOnABusyPortIsRefused)
{
    // The first run follows the debug trace of an empty command word and keeps the port while the
    // board answers; it ends when the board falls silent.
    std::atomic<int> polls{0};
    std::atomic<bool> silent{false};
    ScriptedPeer peer(&pty_.master, [&](const Bytes&, size_t) {
        ++polls;
        return silent ? PeerAction{} : Reply(Frame(HPROTO_CMD_DEBUG, {}));
    });
    RunResult first;
    std::thread first_run([&] { first = Run({pty_.slave_path, "debug", ""}, QuickToolPath()); });
    for (int i = 0; i < 300 && polls < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(polls.load(), 3);
    RunResult second = Run({pty_.slave_path, "ping"});
    silent = true;
    first_run.join();
    std::vector<Bytes> requests = peer.Requests();

    EXPECT_EQ(second.out, "Failed to open port");
    EXPECT_EQ(second.status, 1);
    EXPECT_TRUE(std::regex_match(
        second.err,
        std::regex(
            "gantrix: cannot open " + pty_.slave_path +
            ": busy: another run of gantrix \\(pid [0-9]+\\) holds it; wait for it to end, or stop "
            "it(; .*)?\n")))
        << second.err;
    EXPECT_EQ(first.out, silence_lines);
    EXPECT_EQ(first.status, 0);
    for (const Bytes& request : requests)
        EXPECT_EQ(request, debug_request);
}

// A board that answers the command with `reply`, the first debug poll with text and the second
// with an error reply, which ends the trace.
ScriptedPeer::Script CommandThenTrace(Bytes reply)
{
    auto polls = std::make_shared<int>(0);
    return [reply, polls](const Bytes& request, size_t) {
        if (request[4] != HPROTO_CMD_DEBUG)
            return Reply(reply);
        return Reply(++*polls == 1 ? Frame(HPROTO_CMD_DEBUG, {'t', 'r'}) : ErrorFrame(5));
    };
}

TEST_F(FrontEndTest, HandlerResultsSetTheExitStatus)
{
    const std::string missing = "/nonexistent-gantrix-dir/image.bin";
    struct Case {
        std::vector<std::string> words;
        Bytes reply;
        std::string out;
        int status;
        size_t requests;
    };
    const Case cases[] = {
        {{"vend", "3"}, Frame(HPROTO_CMD_VEND, {}), "", 0, 1},
        {{"vend", "0"}, {}, "Invalid cell no, 1-255\n", 1, 0},
        {{"move", "x"}, {}, "Invalid params\n", 1, 0},
        {{"move", "w", "fwd", "1"}, {}, "Unknown channel w\n", 1, 0},
        {{"move", "x", "fwd", "300"}, {}, "Invalid steps, max 255\n", 1, 0},
        {{"vend", "3"}, ErrorFrame(5), "Error in response: Busy\nFailed to vend\n", 1, 1},
        {{"recover"}, Frame(HPROTO_CMD_RECOVER, {}), "RECOVER OK\n", 0, 1},
        {{"recover"}, Frame(HPROTO_CMD_GOHOME, {}), "RECOVER FAILED\n", 1, 1},
        {{"status"}, Frame(HPROTO_CMD_STATUS, {2, 0, 0, 0, 0}), "Status: idle[2]  \n", 0, 1},
        {{"status"}, Frame(HPROTO_CMD_STATUS, {2}), "Reply too short\n", 1, 1},
        {{"upgrade", missing, "more"},
         {},
         "Failed to open file " + missing + ": " + strerror(ENOENT) + "\n",
         1,
         0},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {pty_.slave_path};
        argv.insert(argv.end(), c.words.begin(), c.words.end());
        SCOPED_TRACE(c.out);
        ScriptedPeer peer(&pty_.master, [&](const Bytes&, size_t) { return Reply(c.reply); });
        RunResult result = Run(argv);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(peer.Requests().size(), c.requests);
        EXPECT_EQ(peer.Leftover(), Bytes());
    }
}

TEST_F(FrontEndTest, DebugTraceFollowsTheCommand)
{
    struct Case {
        const char* name;
        std::vector<std::string> words;
        Bytes reply;
        std::string out;
        int status;
    };
    const std::string trace = "trError in response: Busy\n";
    const Case cases[] = {
        {"after success", {"debug", "vend", "5"}, Frame(HPROTO_CMD_VEND, {}), trace, 0},
        {"after a refused cell", {"debug", "vend", "0"}, {}, "Invalid cell no, 1-255\n" + trace, 1},
        {"after a failed exchange",
         {"debug", "home"},
         ErrorFrame(3),
         "Error in response: Invalid state\nFailed to go home\n" + trace,
         1},
        {"after ping", {"debug", "ping"}, Frame(HPROTO_CMD_PING, {}), "PING OK\n" + trace, 0},
        {"after PING FAILED",
         {"debug", "ping"},
         Frame(HPROTO_CMD_ID, {}),
         "PING FAILED\n" + trace,
         1},
        {"after an empty word", {"debug", ""}, {}, trace, 0},
        {"not after a failed ping",
         {"debug", "ping"},
         ErrorFrame(5),
         "Error in response: Busy\nFailed to ping device\n",
         1},
        {"not after a failed id", {"debug", "id"}, ErrorFrame(5), "Error in response: Busy\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> argv = {pty_.slave_path};
        argv.insert(argv.end(), c.words.begin(), c.words.end());
        ScriptedPeer peer(&pty_.master, CommandThenTrace(c.reply));
        RunResult result = Run(argv);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(peer.Leftover(), Bytes());
    }
}

// A closed standard descriptor must not become the port (the board would get the console's text),
// and output that cannot be written must not pass for a run that printed its lines.
TEST_F(FrontEndTest, OutputThatCannotGoWhereItShould)
{
    TempFile log({});
    const std::string lost = "gantrix: the output could not be written in full\n";
    const std::string status_line = "Status: idle[2]  \n";
    struct Case {
        const char* redirect;
        std::vector<std::string> switches;
        std::string command;
        std::string out;
        std::string err;
        int status;
        std::vector<Bytes> requests;
    };
    const Case cases[] = {
        {">&-", {}, "status", "", "", 0, {status_request}},
        {"2>&-", {"--trace"}, "ping", "PING OK\n", "", 0, {ping_request}},
        {"<&- >&-", {"--log", log.path}, "status", "", "", 0, {status_request}},
        {">/dev/full", {}, "status", "", lost, 1, {status_request}},
        {">/dev/full", {"--help"}, "status", "", lost, 1, {}},
        {"",
         {"--log", "/dev/full"},
         "status",
         status_line,
         "gantrix: cannot write the log /dev/full: " + std::string(strerror(ENOSPC)) + "\n",
         1,
         {status_request}},
        {">/dev/full", {"--log", log.path}, "status", "", lost, 1, {status_request}},
        // A run that failed keeps its status.
        {">/dev/full", {}, "recover", "", lost, 1, {Frame(HPROTO_CMD_RECOVER, {})}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.redirect) + " " + c.command);
        std::vector<std::string> argv = {"/bin/sh", "-c",
                                         std::string("exec \"$0\" \"$@\" ") + c.redirect,
                                         ToolPath()};
        argv.insert(argv.end(), c.switches.begin(), c.switches.end());
        argv.insert(argv.end(), {pty_.slave_path, c.command});
        ScriptedPeer peer(&pty_.master, [](const Bytes& request, size_t) {
            return Reply(request[4] == HPROTO_CMD_PING ? Frame(HPROTO_CMD_PING, {})
                                                       : Frame(HPROTO_CMD_STATUS, {2, 0, 0, 0, 0}));
        });
        RunResult result = RunProgram(argv, 10000);
        peer.Stop();
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(peer.Requests(), c.requests);
        EXPECT_EQ(peer.Leftover(), Bytes());
    }
}

// Board text without a line end is shown as it comes: a pipe must have it before the board is
// asked again.
TEST_F(FrontEndTest, DebugTextReachesAPipeBeforeTheNextPoll)
{
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    Bytes shown;
    ScriptedPeer peer(&pty_.master, [&](const Bytes&, size_t index) {
        if (index == 0)
            return Reply(Frame(HPROTO_CMD_DEBUG, {'t', 'r'}));
        shown = ReadBytes(out[0], 2, 3000);
        return Reply(ErrorFrame(5));
    });
    // The line's time-out outlasts the wait for the text: no message of a lost reply flushes it.
    pid_t pid =
        SpawnProgram({ToolPath(), "--timeout", "10", pty_.slave_path, "debug", ""}, -1, out[1], -1);
    close(out[1]);
    int wstatus = 0;
    EXPECT_TRUE(WaitProgram(pid, 10000, &wstatus));
    peer.Stop();
    close(out[0]);
    EXPECT_EQ(shown, Bytes({'t', 'r'}));
    EXPECT_EQ(peer.Requests(), std::vector<Bytes>({debug_request, debug_request}));
}

}  // namespace
