// The command handlers in-process, against a scripted board on a pty: request bytes on the wire,
// argument checks, the exact lines printed and the results returned.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "ScriptedPeer.h"
#include "TestSupport.h"
#include "commands/Commands.h"
#include "proto/Exchange.h"
#include "proto/Packet.h"

namespace {

using Handler = std::function<int(Link&)>;

const Bytes debug_request = {0x55, 0x07, 0x00, 0x00, 0xFD, 0x7D, 0x28};

// Answers every request with a frame of the request's own command and no data.
PeerAction Acknowledge(const Bytes& request, size_t)
{
    return Reply(Frame(request[4], {}));
}

Handler Call(int (*handler)(Link&, Args), Args args)
{
    return [handler, args](Link& link) { return handler(link, args); };
}

struct Outcome {
    int result = 0;
    std::string out;
    std::vector<Bytes> requests;
    Bytes leftover;
};

// A refused argument: the handler's line and result, and nothing on the wire either way.
void ExpectRefusedUnsent(const Outcome& outcome, int result, const std::string& out)
{
    EXPECT_EQ(outcome.result, result);
    EXPECT_EQ(outcome.out, out);
    EXPECT_TRUE(outcome.requests.empty());
    EXPECT_EQ(outcome.leftover, Bytes());
}

class CommandsTest : public PtyLineTest {
protected:
    void SetUp() override
    {
        PtyLineTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(OpenPort());
    }

    Outcome RunHandler(const Handler& handler, ScriptedPeer::Script script = Acknowledge)
    {
        Outcome outcome;
        ScriptedPeer peer(&pty_.master, std::move(script));
        {
            StdoutCapture capture;
            Link link(port_);
            outcome.result = handler(link);
            outcome.out = capture.Finish();
        }
        outcome.requests = peer.Requests();
        outcome.leftover = peer.Leftover();
        return outcome;
    }
};

// ---------------------------------------------------------------- motion and cell commands

TEST_F(CommandsTest, RequestsOnTheWire)
{
    struct Case {
        const char* name;
        Handler handler;
        Bytes wire;
        const char* out;
    };
    const Case cases[] = {
        {"move x fwd 10",
         Call(Move, {"x", "fwd", "10"}),
         {0x55, 0x0A, 0x00, 0x00, 0x07, 0x01, 0x02, 0x0A, 0xA8, 0xD1},
         ""},
        {"move all mark 0",
         Call(Move, {"all", "mark", "0"}),
         {0x55, 0x0A, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x9E, 0x17},
         ""},
        {"move z1 b 7", Call(Move, {"z1", "b", "7"}), Frame(HPROTO_CMD_MOVE, {4, 1, 7}), ""},
        {"move y f 3 extra", Call(Move, {"y", "f", "3", "extra"}),
         Frame(HPROTO_CMD_MOVE, {2, 2, 3}), ""},
        {"move z bwd 1", Call(Move, {"z", "bwd", "1"}), Frame(HPROTO_CMD_MOVE, {3, 1, 1}), ""},
        {"move x fwd 255", Call(Move, {"x", "fwd", "255"}), Frame(HPROTO_CMD_MOVE, {1, 2, 0xFF}),
         ""},
        {"move x fwd 0", Call(Move, {"x", "fwd", "0"}), Frame(HPROTO_CMD_MOVE, {1, 2, 0}), ""},
        {"move x fwd abc", Call(Move, {"x", "fwd", "abc"}), Frame(HPROTO_CMD_MOVE, {1, 2, 0}), ""},
        {"move x fwd -0", Call(Move, {"x", "fwd", "-0"}), Frame(HPROTO_CMD_MOVE, {1, 2, 0}), ""},
        {"home", Call(Home, {}), {0x55, 0x07, 0x00, 0x00, 0x09, 0xD6, 0x99}, ""},
        {"home with words", Call(Home, {"x", "1"}), {0x55, 0x07, 0x00, 0x00, 0x09, 0xD6, 0x99}, ""},
        {"recover", Call(Recover, {}), {0x55, 0x07, 0x00, 0x00, 0x06, 0x21, 0x61}, "RECOVER OK\n"},
        {"vend 1", Call(Vend, {"1"}), {0x55, 0x08, 0x00, 0x00, 0x04, 0x01, 0x2F, 0x78}, ""},
        {"calibrate 1",
         Call(Calibrate, {"1"}),
         {0x55, 0x08, 0x00, 0x00, 0x08, 0x01, 0x8F, 0xD1},
         ""},
        {"precalibrate 1",
         Call(PreCalibrate, {"1"}),
         {0x55, 0x08, 0x00, 0x00, 0x0A, 0x01, 0x3F, 0xE2},
         ""},
        {"vend 255", Call(Vend, {"255"}), Frame(HPROTO_CMD_VEND, {0xFF}), ""},
        {"vend 12abc", Call(Vend, {"12abc"}), Frame(HPROTO_CMD_VEND, {12}), ""},
        {"vend 12 13", Call(Vend, {"12", "13"}), Frame(HPROTO_CMD_VEND, {12}), ""},
        {"vend blank 7", Call(Vend, {" 7"}), Frame(HPROTO_CMD_VEND, {7}), ""},
        {"calibrate 200", Call(Calibrate, {"200"}), Frame(HPROTO_CMD_CALIBRATE, {200}), ""},
        {"precalibrate 85", Call(PreCalibrate, {"85"}), Frame(HPROTO_CMD_PRECALIBRATE, {0x55}), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome outcome = RunHandler(c.handler);
        EXPECT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_EQ(outcome.requests, std::vector<Bytes>({c.wire}));
        EXPECT_EQ(outcome.leftover, Bytes());
    }
}

TEST_F(CommandsTest, ArgumentChecksSendNothing)
{
    struct Case {
        const char* name;
        Handler handler;
        const char* out;
        int result;
    };
    const Case cases[] = {
        {"move no words", Call(Move, {}), "Invalid params\n", -1},
        {"move two words", Call(Move, {"x", "fwd"}), "Invalid params\n", -1},
        {"move two bad words", Call(Move, {"q", "zz"}), "Invalid params\n", -1},
        {"move X", Call(Move, {"X", "fwd", "5"}), "Unknown channel X\n", -2},
        {"move q zz", Call(Move, {"q", "zz", "5"}), "Unknown channel q\n", -2},
        {"move empty channel", Call(Move, {"", "fwd", "5"}), "Unknown channel \n", -2},
        {"move %s channel", Call(Move, {"%s", "fwd", "5"}), "Unknown channel %s\n", -2},
        {"move x up", Call(Move, {"x", "up", "5"}), "Unknown direction up\n", -2},
        {"move x Fwd", Call(Move, {"x", "Fwd", "5"}), "Unknown direction Fwd\n", -2},
        {"move x fwd 256", Call(Move, {"x", "fwd", "256"}), "Invalid steps, max 255\n", -3},
        {"move x fwd huge", Call(Move, {"x", "fwd", "99999999999"}), "Invalid steps, max 255\n",
         -3},
        {"move x fwd -1", Call(Move, {"x", "fwd", "-1"}), "Invalid steps, min 0\n", -3},
        {"move x fwd -256", Call(Move, {"x", "fwd", "-256"}), "Invalid steps, min 0\n", -3},
        {"move x fwd huge negative", Call(Move, {"x", "fwd", "-99999999999"}),
         "Invalid steps, min 0\n", -3},
        {"move x fwd huge bad", Call(Move, {"x", "zz", "99999"}), "Unknown direction zz\n", -2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ExpectRefusedUnsent(RunHandler(c.handler), c.result, c.out);
    }
}

TEST_F(CommandsTest, CellChecksSendNothing)
{
    struct Named {
        const char* name;
        int (*handler)(Link&, Args);
    };
    const Named handlers[] = {{"vend", Vend},
                              {"calibrate", Calibrate},
                              {"precalibrate", PreCalibrate}};
    struct Case {
        Args args;
        const char* out;
        int result;
    };
    const Case cases[] = {
        {{}, "Invalid params\n", -1},
        {{"0"}, "Invalid cell no, 1-255\n", 1},
        {{"256"}, "Invalid cell no, 1-255\n", 1},
        {{"-1"}, "Invalid cell no, 1-255\n", 1},
        {{"abc"}, "Invalid cell no, 1-255\n", 1},
        {{""}, "Invalid cell no, 1-255\n", 1},
        {{"4294967297"}, "Invalid cell no, 1-255\n", 1},
        {{"-4294967295"}, "Invalid cell no, 1-255\n", 1},
    };
    for (const Named& h : handlers) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(h.name) + " " + (c.args.empty() ? "(none)" : c.args[0]));
            ExpectRefusedUnsent(RunHandler(Call(h.handler, c.args)), c.result, c.out);
        }
    }
}

TEST_F(CommandsTest, FailedExchangeAddsTheHandlersLine)
{
    struct Case {
        const char* name;
        Handler handler;
        const char* line;
    };
    const Case cases[] = {
        {"move", Call(Move, {"x", "fwd", "10"}), "Failed to move\n"},
        {"home", Call(Home, {}), "Failed to go home\n"},
        {"calibrate", Call(Calibrate, {"3"}), "Failed to calibrate\n"},
        {"precalibrate", Call(PreCalibrate, {"3"}), "Failed to move to precalibrate position\n"},
        {"vend", Call(Vend, {"3"}), "Failed to vend\n"},
        {"recover", Call(Recover, {}), "Failed to recover device\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome busy =
            RunHandler(c.handler, [](const Bytes&, size_t) { return Reply(ErrorFrame(5)); });
        EXPECT_EQ(busy.result, 1);
        EXPECT_EQ(busy.out, std::string("Error in response: Busy\n") + c.line);
        EXPECT_EQ(busy.requests.size(), 1u);

        Outcome silent = RunHandler(c.handler, [](const Bytes&, size_t) { return PeerAction{}; });
        EXPECT_EQ(silent.result, 1);
        EXPECT_EQ(silent.out, std::string(silence_lines) + c.line);
        EXPECT_EQ(silent.requests.size(), 1u);

        Outcome bad_crc = RunHandler(c.handler, [](const Bytes&, size_t) {
            return Reply({0x55, 0x07, 0x00, 0x00, 0x01, 0x00, 0x00});
        });
        EXPECT_EQ(bad_crc.result, 1);
        EXPECT_EQ(bad_crc.out, std::string("Bad CRC: 0  != 159E\n") + c.line);
    }
}

TEST_F(CommandsTest, FailedWriteSkipsTheReceive)
{
    close(pty_.master);
    pty_.master = -1;
    StdoutCapture capture;
    Link link(port_);
    int result = Move(link, {"x", "fwd", "10"});
    EXPECT_EQ(capture.Finish(), "Failed to write to port 0\nFailed to move\n");
    EXPECT_EQ(result, 1);
}

TEST_F(CommandsTest, RecoverVerdicts)
{
    struct Case {
        const char* name;
        Bytes reply;
        const char* out;
        int result;
    };
    const Case cases[] = {
        {"ok", Frame(HPROTO_CMD_RECOVER, {}), "RECOVER OK\n", 0},
        {"ok with data", Frame(HPROTO_CMD_RECOVER, {0}), "RECOVER OK\n", 0},
        {"home reply", Frame(HPROTO_CMD_GOHOME, {}), "RECOVER FAILED\n", COMMAND_RECOVER_REFUSED},
        {"ping reply", Frame(HPROTO_CMD_PING, {}), "RECOVER FAILED\n", COMMAND_RECOVER_REFUSED},
        {"error reply", ErrorFrame(3),
         "Error in response: Invalid state\nFailed to recover device\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome outcome =
            RunHandler(Call(Recover, {}), [&](const Bytes&, size_t) { return Reply(c.reply); });
        EXPECT_EQ(outcome.result, c.result);
        EXPECT_EQ(outcome.out, c.out);
    }
    EXPECT_EQ(COMMAND_RECOVER_REFUSED, 2);
}

TEST(ParseNumber, ReadsLikeAtoiAndSaturates)
{
    struct Case {
        const char* word;
        int value;
    };
    const Case cases[] = {
        {"", 0},
        {"0", 0},
        {"42", 42},
        {"007", 7},
        {"  42", 42},
        {"\t\n\v\f\r 9", 9},
        {"+5", 5},
        {"-7", -7},
        {"12abc", 12},
        {"1 2", 1},
        {"abc", 0},
        {"-", 0},
        {"+", 0},
        {" - 5", 0},
        {"--5", 0},
        {"0x1F", 0},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"99999999999999999999999", INT_MAX},
        {"-2147483647", -INT_MAX},
        {"-2147483648", INT_MIN},
        {"-2147483649", INT_MIN},
        {"-99999999999999999999999", INT_MIN},
        {"4294967297", INT_MAX},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        EXPECT_EQ(ParseNumber(c.word), c.value);
    }
}

// ---------------------------------------------------------------- status

TEST_F(CommandsTest, StatusLines)
{
    struct Case {
        const char* name;
        Bytes reply;
        const char* out;
    };
    const Case cases[] = {
        {"error, mask 5",
         {0x55, 0x0C, 0x00, 0x00, 0x03, 0x01, 0x05, 0x00, 0x00, 0x00, 0xD3, 0x36},
         "Status: error[1]  motor_timeout[0] pump_overrun[2] \n"},
        {"idle, mask 0",
         {0x55, 0x0C, 0x00, 0x00, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x48, 0x45},
         "Status: idle[2]  \n"},
        {"mask 1F", Frame(HPROTO_CMD_STATUS, {4, 0x1F, 0, 0, 0}),
         "Status: vend[4]  motor_timeout[0] motor_jam[1] pump_overrun[2] product_loss[3] "
         "error_go_home[4] \n"},
        {"bits 5..31 only", Frame(HPROTO_CMD_STATUS, {7, 0xE0, 0xFF, 0xFF, 0xFF}),
         "Status: precalibration[7]  \n"},
        {"high bytes ignored", Frame(HPROTO_CMD_STATUS, {0, 0x02, 0x01, 0x10, 0x80}),
         "Status: none[0]  motor_jam[1] \n"},
        {"calibration", Frame(HPROTO_CMD_STATUS, {3, 0x08, 0, 0, 0}),
         "Status: calibration[3]  product_loss[3] \n"},
        {"vended", Frame(HPROTO_CMD_STATUS, {5, 0x10, 0, 0, 0}),
         "Status: vended[5]  error_go_home[4] \n"},
        {"gohome", Frame(HPROTO_CMD_STATUS, {6, 0x04, 0, 0, 0}),
         "Status: gohome[6]  pump_overrun[2] \n"},
        {"state 8", Frame(HPROTO_CMD_STATUS, {8, 0, 0, 0, 0}), "Status: unknown[8]  \n"},
        {"state 255", Frame(HPROTO_CMD_STATUS, {255, 0x01, 0, 0, 0}),
         "Status: unknown[255]  motor_timeout[0] \n"},
        {"extra data", Frame(HPROTO_CMD_STATUS, {2, 0, 0, 0, 0, 0x1F, 0xFF}),
         "Status: idle[2]  \n"},
        // Nothing is known of the command byte a board answers with, beyond the codes of the other
        // requests (refused as late answers to them).
        {"unknown cmd byte", Frame(200, {1, 0x02, 0, 0, 0}), "Status: error[1]  motor_jam[1] \n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome outcome = RunHandler(Call(Status, {"ignored", "words"}),
                                     [&](const Bytes&, size_t) { return Reply(c.reply); });
        EXPECT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_EQ(outcome.requests,
                  std::vector<Bytes>({{0x55, 0x07, 0x00, 0x00, 0x03, 0x8C, 0x36}}));
    }
}

TEST_F(CommandsTest, StatusFailuresPrintNoStatusLine)
{
    struct Case {
        const char* name;
        PeerAction action;
        std::string out;
    };
    const Case cases[] = {
        {"no data", Reply(Frame(HPROTO_CMD_STATUS, {})), "Reply too short\n"},
        {"four bytes", Reply(Frame(HPROTO_CMD_STATUS, {2, 0, 0, 0})), "Reply too short\n"},
        {"ping's reply", Reply(Frame(HPROTO_CMD_PING, {2, 0, 0, 0, 0})),
         "Wrong reply to status: cmd 1\n"},
        {"busy", Reply(ErrorFrame(5)), "Error in response: Busy\n"},
        {"bad checksum", Reply({0x55, 0x07, 0x00, 0x00, 0x01, 0x00, 0x00}),
         "Bad CRC: 0  != 159E\n"},
        {"silence", PeerAction{}, silence_lines},
        {"hang-up", PeerAction{{}, true}, silence_lines},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (pty_.master < 0)
            break;
        Outcome outcome =
            RunHandler(Call(Status, {}), [&](const Bytes&, size_t) { return c.action; });
        EXPECT_EQ(outcome.result, 1);
        EXPECT_EQ(outcome.out, c.out);
    }
}

// ---------------------------------------------------------------- upgrade

const char switch_lines[] = "Switch to boot mode...\n[OK] Switched to boot mode\n";

std::string ProgressLines(const std::vector<int>& percents)
{
    std::string out;
    char line[32];
    for (int percent : percents) {
        std::snprintf(line, sizeof(line), "Uploading... %02d %%\r", percent);
        out += line;
    }
    return out;
}

const char done_line[] = "Upload done 100%     \n";

uint32_t BlockOffset(const Bytes& request)
{
    return static_cast<uint32_t>(request[5]) << 24 | static_cast<uint32_t>(request[6]) << 16 |
           static_cast<uint32_t>(request[7]) << 8 | request[8];
}

// Checks the switch request and the block frames; returns the block offsets in order and the
// image as the board would assemble it (0xFF where no block wrote).
std::vector<uint32_t> Assemble(const std::vector<Bytes>& requests, Bytes* image)
{
    std::vector<uint32_t> offsets;
    image->clear();
    if (requests.empty()) {
        ADD_FAILURE() << "no switch request";
        return offsets;
    }
    const Bytes switch_head = {0x55, 0x0B, 0x00, 0x00, 0xFC, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(Bytes(requests[0].begin(),
                    requests[0].begin() + std::min<size_t>(9, requests[0].size())),
              switch_head);
    EXPECT_TRUE(ChecksumOk(requests[0]));
    for (size_t i = 1; i < requests.size(); ++i) {
        const Bytes& block = requests[i];
        if (block.size() != 43 || block[4] != HPROTO_CMD_UPGRADE || !ChecksumOk(block)) {
            ADD_FAILURE() << "request " << i << " is no block frame";
            continue;
        }
        uint32_t offset = BlockOffset(block);
        offsets.push_back(offset);
        if (image->size() < offset + 32)
            image->resize(offset + 32, 0xFF);
        std::copy(block.begin() + 9, block.begin() + 41, image->begin() + offset);
    }
    return offsets;
}

TEST_F(CommandsTest, UpgradeSendsTheImage)
{
    Bytes blank_middle = SeededBytes(128, 7);
    std::fill(blank_middle.begin() + 32, blank_middle.begin() + 64, 0xFF);
    Bytes blank_tail = SeededBytes(70, 8);
    std::fill(blank_tail.begin() + 64, blank_tail.end(), 0xFF);
    Bytes line_ends = SeededBytes(40, 9);
    const Bytes awkward = {0x0D, 0x0A, 0x1A, 0x00, 0x1A, 0x0D};
    std::copy(awkward.begin(), awkward.end(), line_ends.begin());
    std::copy(awkward.begin(), awkward.end(), line_ends.begin() + 29);

    std::vector<uint32_t> all_blocks;
    for (uint32_t pos = 0; pos < 1000; pos += 32)
        all_blocks.push_back(pos);

    // A HEX file whose gap spans whole blank blocks: sent like the same raw image.
    const std::string hex = ":020000040800F2\n:0400000001020304F2\n:0400C000FFFFAABBD9\n"
                            ":00000001FF\n";
    Bytes hex_image(0xC4, 0xFF);
    const Bytes hex_data = {1, 2, 3, 4};
    std::copy(hex_data.begin(), hex_data.end(), hex_image.begin());
    hex_image[0xC2] = 0xAA;
    hex_image[0xC3] = 0xBB;

    struct Case {
        const char* name;
        Bytes image;
        std::vector<uint32_t> offsets;
        std::vector<int> percents;
        std::string file = "";  // when it is not the image itself
    };
    const Case cases[] = {
        {"1 byte", {0x42}, {0}, {0}},
        {"1 byte FF", {0xFF}, {0}, {0}},
        {"32 bytes", SeededBytes(32, 1), {0}, {0}},
        {"33 bytes", SeededBytes(33, 2), {0, 32}, {0, 96}},
        {"100 bytes", SeededBytes(100, 3), {0, 32, 64, 96}, {0, 32, 64, 96}},
        {"1000 bytes", SeededBytes(1000, 4), all_blocks, {0,  3,  6,  9,  12, 16, 19, 22,
                                                          25, 28, 32, 35, 38, 41, 44, 48,
                                                          51, 54, 57, 60, 64, 67, 70, 73,
                                                          76, 80, 83, 86, 89, 92, 96, 99}},
        {"96 bytes FF", Bytes(96, 0xFF), {0, 64}, {0, 33, 66}},
        {"64 bytes FF", Bytes(64, 0xFF), {0, 32}, {0, 50}},
        {"blank block inside", blank_middle, {0, 64, 96}, {0, 25, 50, 75}},
        {"blank short tail", blank_tail, {0, 32, 64}, {0, 45, 91}},
        {"0D 0A 1A", line_ends, {0, 32}, {0, 80}},
        {"HEX with a gap", hex_image, {0, 0xC0}, {0, 16, 32, 48, 65, 81, 97}, hex},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFile file(c.file.empty() ? c.image : Bytes(c.file.begin(), c.file.end()));
        int fds_before = OpenDescriptorCount();
        Outcome outcome = RunHandler([&](Link& link) { return Upgrade(link, {file.path}); });
        EXPECT_EQ(OpenDescriptorCount(), fds_before) << "image file left open";
        EXPECT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.out, switch_lines + ProgressLines(c.percents) + done_line);
        Bytes image;
        EXPECT_EQ(Assemble(outcome.requests, &image), c.offsets);
        ASSERT_GE(image.size(), c.image.size());
        EXPECT_EQ(Bytes(image.begin(), image.begin() + c.image.size()), c.image);
        EXPECT_EQ(Bytes(image.begin() + c.image.size(), image.end()),
                  Bytes(image.size() - c.image.size(), 0xFF));
        EXPECT_EQ(outcome.leftover, Bytes());
    }
}

TEST_F(CommandsTest, UpgradeBlockBytesOnTheWire)
{
    Bytes image = SeededBytes(96, 5);
    for (int i = 0; i < 32; ++i)
        image[64 + i] = static_cast<uint8_t>(i);
    TempFile file(image);
    Outcome outcome = RunHandler([&](Link& link) { return Upgrade(link, {file.path}); });
    ASSERT_EQ(outcome.requests.size(), 4u);
    Bytes wire = {0x55, 0x2B, 0x00, 0x00, 0xFE, 0x00, 0x00, 0x00, 0x40};
    for (int i = 0; i < 32; ++i)
        wire.push_back(static_cast<uint8_t>(i));
    wire.push_back(0xED);
    wire.push_back(0x33);
    EXPECT_EQ(outcome.requests[3], wire);
}

TEST_F(CommandsTest, UpgradeGoesOnWhenTheSwitchFails)
{
    Bytes image = SeededBytes(40, 6);
    struct Case {
        const char* name;
        PeerAction switch_reply;
        std::string lines;
    };
    const Case cases[] = {
        {"error reply", Reply(ErrorFrame(3)), "Error in response: Invalid state\n"},
        {"silence", PeerAction{}, silence_lines},
        {"another request's code", Reply(Frame(HPROTO_CMD_GOHOME, {})),
         "Wrong reply to switch: cmd 9\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFile file(image);
        Outcome outcome =
            RunHandler([&](Link& link) { return Upgrade(link, {file.path}); },
                       [&](const Bytes& request, size_t index) {
                           return index == 0 ? c.switch_reply : Acknowledge(request, index);
                       });
        EXPECT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.out, "Switch to boot mode...\n" + c.lines +
                                   "[FAILED] Switch to boot mode failed, try as is..\n" +
                                   ProgressLines({0, 80}) + done_line);
        // Block 0 follows the switch alone: nothing else is sent to put the line in step.
        EXPECT_EQ(outcome.requests.size(), 3u);
        Bytes assembled;
        EXPECT_EQ(Assemble(outcome.requests, &assembled), std::vector<uint32_t>({0, 32}));
        EXPECT_EQ(Bytes(assembled.begin(), assembled.begin() + 40), image);
    }
}

// A switch answered only after the tool gave up on it: the late reply comes ahead of block 0's.
// Taken as block 0's answer, every later reply would answer the block before it; it is read past
// once, and a second reply with the switch's code is refused.
TEST_F(CommandsTest, UpgradeReadsPastALateSwitchReplyOnce)
{
    const Bytes image = SeededBytes(100, 7);
    TempFile file(image);
    for (int late_replies : {1, 2}) {
        SCOPED_TRACE(late_replies);
        Outcome outcome =
            RunHandler([&](Link& link) { return Upgrade(link, {file.path}); },
                       [&](const Bytes& request, size_t index) {
                           if (index == 0)
                               return PeerAction{};
                           if (index > 1)
                               return Acknowledge(request, index);
                           Bytes replies;
                           for (int i = 0; i < late_replies; ++i) {
                               const Bytes late = Frame(HPROTO_CMD_SWITCH_BOOT_APP, {});
                               replies.insert(replies.end(), late.begin(), late.end());
                           }
                           const Bytes ack = Frame(HPROTO_CMD_UPGRADE, {});
                           replies.insert(replies.end(), ack.begin(), ack.end());
                           return Reply(replies);
                       });
        const std::string failed = std::string("Switch to boot mode...\n") + silence_lines +
                                   "[FAILED] Switch to boot mode failed, try as is..\n";
        EXPECT_EQ(outcome.result, late_replies == 1 ? 0 : 1);
        EXPECT_EQ(outcome.out,
                  failed + (late_replies == 1
                                ? ProgressLines({0, 32, 64, 96}) + done_line
                                : ProgressLines({0}) + "Wrong reply to block: cmd 252\n"));
        EXPECT_EQ(outcome.requests.size(), late_replies == 1 ? 5u : 2u);
    }
}

// After a switch that worked, the boot loader's answer to a block is not judged by its command.
TEST_F(CommandsTest, UpgradeAcceptsAnyGoodBlockReplyAfterASwitch)
{
    Bytes image = SeededBytes(64, 8);
    TempFile file(image);
    Outcome outcome = RunHandler([&](Link& link) { return Upgrade(link, {file.path}); },
                                 [](const Bytes&, size_t) {
                                     return Reply(Frame(HPROTO_CMD_SWITCH_BOOT_APP, {}));
                                 });
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.out, switch_lines + ProgressLines({0, 50}) + done_line);
    // Once a block was answered with another code, the switch's code is a late reply: the switch
    // of a run before this one, answered after its own, shifting every reply by one.
    Outcome late =
        RunHandler([&](Link& link) { return Upgrade(link, {file.path}); },
                   [](const Bytes&, size_t index) {
                       return Reply(
                           Frame(index == 1 ? HPROTO_CMD_UPGRADE : HPROTO_CMD_SWITCH_BOOT_APP, {}));
                   });
    EXPECT_EQ(late.result, 1);
    EXPECT_EQ(late.out, switch_lines + ProgressLines({0, 50}) + "Wrong reply to block: cmd 252\n");
}

TEST_F(CommandsTest, UpgradeStopsAtARejectedBlock)
{
    TempFile file(SeededBytes(100, 10));
    int fds_before = OpenDescriptorCount();
    Outcome outcome = RunHandler([&](Link& link) { return Upgrade(link, {file.path}); },
                                 [](const Bytes& request, size_t index) {
                                     if (index > 0 && BlockOffset(request) == 32)
                                         return Reply(ErrorFrame(2));
                                     return Acknowledge(request, index);
                                 });
    EXPECT_EQ(OpenDescriptorCount(), fds_before) << "image file left open";
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.out,
              switch_lines + ProgressLines({0, 32}) + "Error in response: Invalid data\n");
    Bytes image;
    EXPECT_EQ(Assemble(outcome.requests, &image), std::vector<uint32_t>({0, 32}));
    EXPECT_EQ(outcome.leftover, Bytes());
}

// Nothing reaches the line, not even the boot switch, for a file that is no image to upload.
TEST_F(CommandsTest, UpgradeOfAFileItCannotUseSendsNothing)
{
    TempFile empty(Bytes{});
    TempFile elf(Bytes{0x7F, 'E', 'L', 'F', 2, 1, 1, 0});
    const std::string bad_hex = ":0400000001020304F2\r\n:0400040001020304F3\r\n:00000001FF\r\n";
    TempFile hex(Bytes(bad_hex.begin(), bad_hex.end()));
    char fifo_dir[] = "/tmp/gantrix-fifo-XXXXXX";
    ASSERT_NE(mkdtemp(fifo_dir), nullptr);
    const std::string fifo = std::string(fifo_dir) + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // an open of it would wait for a writer
    struct Case {
        std::string path;
        std::string why;
        UpgradeOptions options;
    };
    UpgradeOptions as_hex;
    as_hex.format = IMAGE_FORMAT_IHEX;
    const Case cases[] = {
        {"/nonexistent-gantrix-dir/image.bin", strerror(ENOENT), {}},
        {"/tmp", strerror(EISDIR), {}},  // its size would otherwise read as "File too large"
        {empty.path, "empty image", {}},
        {"/proc/self/stat", "empty image", {}},  // its size reads 0
        {"/dev/zero", "not a regular file", {}},
        {fifo, "not a regular file", {}},
        {elf.path,
         "an ELF file, not an image: convert it first, e.g. objcopy -O binary " + elf.path +
             " fw.bin (or -O ihex to fw.hex)",
         {}},
        {hex.path, "line 2: bad record checksum", {}},
        {empty.path, "empty image", as_hex},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Outcome outcome =
            RunHandler([&](Link& link) { return Upgrade(link, {c.path}, c.options); });
        EXPECT_EQ(outcome.result, 1);
        EXPECT_EQ(outcome.out, "Failed to open file " + c.path + ": " + c.why + "\n");
        EXPECT_TRUE(outcome.requests.empty());
        EXPECT_EQ(outcome.leftover, Bytes());
    }
    unlink(fifo.c_str());
    rmdir(fifo_dir);
}

// A file truncated or rewritten from another shell while its blocks go out: never "Upload done"
// over an image that is neither the old file nor the new one. The board's script changes the
// file while the tool waits for a block's reply.
TEST_F(CommandsTest, UpgradeFailsWhenTheFileChangesMidway)
{
    struct Case {
        const char* name;
        size_t size;
        std::function<void(const std::string&)> change;
        size_t requests;  // the switch and the blocks sent before the failure showed
    };
    const Case cases[] = {
        {"truncated", 8192,
         [](const std::string& path) { EXPECT_EQ(truncate(path.c_str(), 100), 0); },
         1 + 4096 / 32},  // stdio has read ahead 4 KiB: the block after those reads short
        {"rewritten", 8192,
         [](const std::string& path) {
             Bytes other = SeededBytes(8192, 99);
             FILE* file = fopen(path.c_str(), "r+b");
             ASSERT_NE(file, nullptr);
             fwrite(other.data(), 1, other.size(), file);
             fclose(file);
         },
         1 + 8192 / 32},  // the bytes read after the change no longer hash to the digest
        {"grown after its last read", 100,
         [](const std::string& path) {
             FILE* file = fopen(path.c_str(), "ab");
             ASSERT_NE(file, nullptr);
             fputc('x', file);
             fclose(file);
         },
         1 + 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFile file(SeededBytes(c.size, 12));
        Outcome outcome = RunHandler([&](Link& link) { return Upgrade(link, {file.path}); },
                                     [&](const Bytes& request, size_t index) {
                                         if (index == 2)
                                             c.change(file.path);
                                         return Acknowledge(request, index);
                                     });
        EXPECT_EQ(outcome.result, 1);
        const std::string failure =
            "Failed to read file " + file.path + ": changed during the upload\n";
        ASSERT_GE(outcome.out.size(), failure.size());
        EXPECT_EQ(outcome.out.substr(outcome.out.size() - failure.size()), failure);
        EXPECT_EQ(outcome.out.find("Upload done"), std::string::npos);
        EXPECT_EQ(outcome.requests.size(), c.requests);
    }
}

// ---------------------------------------------------------------- debug trace

Bytes Text(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

TEST_F(CommandsTest, DebugCopiesTextUntilTheLineHangsUp)
{
    std::string long_text;
    for (int i = 0; i < 247; ++i)
        long_text.push_back(static_cast<char>('a' + i % 26));
    const std::vector<PeerAction> script = {
        Reply(Frame(HPROTO_CMD_DEBUG, {})),
        Reply(Frame(HPROTO_CMD_DEBUG, Text("Hel"))),
        Reply(Frame(HPROTO_CMD_DEBUG, {})),
        Reply(Frame(HPROTO_CMD_DEBUG, Text("lo %s %d %n\\\n"))),
        Reply(Frame(HPROTO_CMD_DEBUG, Bytes({'A', 'B', 0, 'C', 'D'}))),
        Reply(Frame(HPROTO_CMD_PING, Text("|"))),
        Reply(Frame(HPROTO_CMD_DEBUG, Text(long_text))),
        Reply(Frame(HPROTO_CMD_DEBUG, Bytes({0, 'x'}))),
        PeerAction{{}, true},
    };
    Outcome outcome = RunHandler([](Link& link) { return Debug(link); },
                                 [&](const Bytes&, size_t index) {
                                     return index < script.size() ? script[index] : PeerAction{};
                                 });
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.out, "Hello %s %d %n\\\nAB|" + long_text + silence_lines);
    EXPECT_EQ(outcome.requests, std::vector<Bytes>(script.size(), debug_request));
}

TEST_F(CommandsTest, DebugEndsOnAnErrorReply)
{
    Outcome outcome = RunHandler([](Link& link) { return Debug(link); },
                                 [](const Bytes&, size_t index) {
                                     return Reply(index == 0 ? Frame(HPROTO_CMD_DEBUG, Text("x"))
                                                             : ErrorFrame(5));
                                 });
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.out, "xError in response: Busy\n");
    EXPECT_EQ(outcome.requests, std::vector<Bytes>(2, debug_request));
    EXPECT_EQ(outcome.leftover, Bytes());
}

}  // namespace
