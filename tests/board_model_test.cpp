// The simulated board's model through its public functions, with the clock driven by the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "BoardModel.h"

namespace {

using Bytes = std::vector<uint8_t>;

Packet Request(uint8_t cmd, const Bytes& data = {})
{
    Packet packet{};
    BuildFrame(&packet, cmd, data.data(), data.size());
    return packet;
}

Packet Block(uint32_t offset, uint8_t fill)
{
    Bytes data = {static_cast<uint8_t>(offset >> 24), static_cast<uint8_t>(offset >> 16),
                  static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset)};
    data.resize(36, fill);
    return Request(HPROTO_CMD_UPGRADE, data);
}

// The reply frame of an Outgoing without noise, checked for a sound frame on the way.
struct Reply {
    uint8_t cmd = 0xEE;
    Bytes data;
};

Reply Parse(const Outgoing& out)
{
    Reply reply;
    Bytes frame(out.bytes.begin() + static_cast<long>(out.frame_offset), out.bytes.end());
    EXPECT_GE(frame.size(), 7u);
    if (frame.size() < 7)
        return reply;
    EXPECT_EQ(frame[0], hproto_sync);
    EXPECT_EQ(frame[1], frame.size());
    Packet packet{};
    std::memcpy(&packet, frame.data(), frame.size());
    EXPECT_EQ(GetCRC(&packet), CalcCRC(&packet));
    reply.cmd = packet.cmd;
    reply.data.assign(packet.cmd_data, packet.cmd_data + frame.size() - 7);
    return reply;
}

Reply Ask(Board* board, const Packet& request, double now_ms = 0)
{
    return Parse(BoardHandle(board, &request, now_ms));
}

BoardConfig Config(std::vector<std::string> faults = {}, std::vector<std::string> injections = {})
{
    BoardConfig config;
    std::string error;
    for (const std::string& f : faults) {
        FaultPlan fault;
        EXPECT_TRUE(ParseFault(f, &fault, &error)) << error;
        config.faults.push_back(fault);
    }
    for (const std::string& i : injections) {
        Injection injection;
        EXPECT_TRUE(ParseInjection(i, &injection, &error)) << error;
        config.injections.push_back(injection);
    }
    return config;
}

struct RequestCase {
    const char* name;
    Packet request;
    uint8_t cmd;
    Bytes data;
};

}  // namespace

TEST(BoardModel, AnswersEachRequestOfAnIdleBoard)
{
    Packet long_ping = Request(HPROTO_CMD_PING, {0});
    const RequestCase cases[] = {
        {"ping", Request(HPROTO_CMD_PING), 1, {}},
        {"id", Request(HPROTO_CMD_ID), 255, {0x2B, 1, 4}},
        {"status: idle, no flags", Request(HPROTO_CMD_STATUS), 3, {2, 0, 0, 0, 0}},
        {"debug with nothing queued", Request(HPROTO_CMD_DEBUG), 253, {}},
        {"recover when not in error", Request(HPROTO_CMD_RECOVER), 6, {}},
        {"move z1 fwd", Request(HPROTO_CMD_MOVE, {4, 2, 255}), 7, {}},
        {"vend cell 255", Request(HPROTO_CMD_VEND, {255}), 4, {}},
        {"home", Request(HPROTO_CMD_GOHOME), 9, {}},
        {"unknown command", Request(0x42), 0, {HPROTO_ERROR_INVALID_CMD}},
        {"command 0", Request(0), 0, {HPROTO_ERROR_INVALID_CMD}},
        {"channel 5", Request(HPROTO_CMD_MOVE, {5, 0, 1}), 0, {HPROTO_ERROR_INVALID_DATA}},
        {"direction 3", Request(HPROTO_CMD_MOVE, {1, 3, 1}), 0, {HPROTO_ERROR_INVALID_DATA}},
        {"move without steps", Request(HPROTO_CMD_MOVE, {1, 2}), 0, {HPROTO_ERROR_INVALID_DATA}},
        {"vend cell 0", Request(HPROTO_CMD_VEND, {0}), 0, {HPROTO_ERROR_INVALID_DATA}},
        {"calibrate cell 0", Request(HPROTO_CMD_CALIBRATE, {0}), 0, {HPROTO_ERROR_INVALID_DATA}},
        {"precalibrate cell 0",
         Request(HPROTO_CMD_PRECALIBRATE, {0}),
         0,
         {HPROTO_ERROR_INVALID_DATA}},
        {"ping with a data byte", long_ping, 0, {HPROTO_ERROR_INVALID_DATA}},
        {"upgrade outside the boot loader", Block(0, 1), 0, {HPROTO_ERROR_INVALID_STATE}},
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(c.name);
        Board board;
        BoardInit(&board, BoardConfig{}, 0);
        Reply reply = Ask(&board, c.request);
        EXPECT_EQ(reply.cmd, c.cmd);
        EXPECT_EQ(reply.data, c.data);
    }
}

// A request added to the table and not to the board would be refused as an unknown command.
TEST(BoardModel, ServesEveryRequestOfTheTable)
{
    for (const RequestRow& row : request_table) {
        SCOPED_TRACE(row.word);
        Board board;
        BoardInit(&board, BoardConfig{}, 0);
        board.boot_mode = row.cmd == HPROTO_CMD_UPGRADE;
        // Zeros but the last byte: a cell, a step count or an image byte, at offset 0.
        Bytes data(row.size - proto_base_size, 0);
        if (!data.empty())
            data.back() = 1;
        EXPECT_EQ(Ask(&board, Request(row.cmd, data)).cmd, row.cmd);
    }
}

TEST(BoardModel, PingReplyIsTheKnownFrame)
{
    Board board;
    BoardInit(&board, BoardConfig{}, 0);
    Packet ping = Request(HPROTO_CMD_PING);
    EXPECT_EQ(BoardHandle(&board, &ping, 0).bytes,
              (Bytes{0x55, 0x07, 0x00, 0x00, 0x01, 0x9E, 0x15}));
}

namespace {

struct Step {
    double at_ms;
    Packet request;
    uint8_t cmd;  // expected reply cmd
    int data0;    // expected first data byte, -1 for none
};

void RunSteps(Board* board, const std::vector<Step>& steps)
{
    for (size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE("step " + std::to_string(i + 1));
        Reply reply = Ask(board, steps[i].request, steps[i].at_ms);
        EXPECT_EQ(reply.cmd, steps[i].cmd);
        if (steps[i].data0 < 0) {
            EXPECT_TRUE(reply.data.empty());
        } else if (reply.data.empty()) {
            ADD_FAILURE() << "reply without data";
        } else {
            EXPECT_EQ(reply.data[0], steps[i].data0);
        }
    }
}

const Packet status_req = Request(HPROTO_CMD_STATUS);

}  // namespace

TEST(BoardModel, MotionsRunThroughTheirStatesAndBackToIdle)
{
    Board board;
    BoardConfig config;
    config.motion_ms = 200;
    BoardInit(&board, config, 1000);
    RunSteps(&board,
             {
                 {1000, Request(HPROTO_CMD_VEND, {12}), 4, -1},
                 {1100, status_req, 3, CONTROLLER_STATE_VEND},
                 {1150, Request(HPROTO_CMD_VEND, {13}), 0, HPROTO_ERROR_BUSY},
                 {1160, Request(HPROTO_CMD_GOHOME), 0, HPROTO_ERROR_BUSY},
                 {1170, Request(HPROTO_CMD_SWITCH_BOOT_APP, {0, 0, 0, 0}), 0, HPROTO_ERROR_BUSY},
                 {1180, Request(HPROTO_CMD_PING), 1, -1},
                 {1250, status_req, 3, CONTROLLER_STATE_VENDED},
                 {1300, Request(HPROTO_CMD_VEND, {13}), 0, HPROTO_ERROR_BUSY},
                 {1399, status_req, 3, CONTROLLER_STATE_VENDED},
                 {1400, status_req, 3, CONTROLLER_STATE_IDLE},
                 {1500, Request(HPROTO_CMD_GOHOME), 9, -1},
                 {1600, status_req, 3, CONTROLLER_STATE_GOHOME},
                 {1700, Request(HPROTO_CMD_CALIBRATE, {3}), 8, -1},
                 {1800, status_req, 3, CONTROLLER_STATE_CALIBRATION},
                 {1900, Request(HPROTO_CMD_PRECALIBRATE, {3}), 10, -1},
                 {2000, status_req, 3, CONTROLLER_STATE_PRECALIBRATE},
                 {2100, Request(HPROTO_CMD_MOVE, {1, 2, 10}), 7, -1},
                 {2200, status_req, 3, CONTROLLER_STATE_CALIBRATION},
                 {2300, status_req, 3, CONTROLLER_STATE_IDLE},
             });
}

TEST(BoardModel, FaultPlansAndRecovery)
{
    struct FaultCase {
        const char* name;
        std::vector<std::string> faults;
        std::vector<Step> steps;
    };
    const FaultCase cases[] = {
        {"from the start",
         {"pump_overrun"},
         {{0, status_req, 3, CONTROLLER_STATE_ERROR},
          {1, Request(HPROTO_CMD_VEND, {1}), 0, HPROTO_ERROR_INVALID_STATE},
          {2, Request(HPROTO_CMD_RECOVER), 6, -1},
          {3, status_req, 3, CONTROLLER_STATE_IDLE}}},
        {"on the next vend, which is still accepted",
         {"motor_jam@vend"},
         {{0, status_req, 3, CONTROLLER_STATE_IDLE},
          {1, Request(HPROTO_CMD_VEND, {5}), 4, -1},
          {2, status_req, 3, CONTROLLER_STATE_ERROR},
          {500, status_req, 3, CONTROLLER_STATE_ERROR},
          {501, Request(HPROTO_CMD_GOHOME), 0, HPROTO_ERROR_INVALID_STATE},
          {502, Request(HPROTO_CMD_RECOVER), 6, -1},
          {503, Request(HPROTO_CMD_VEND, {5}), 4, -1},
          {504, status_req, 3, CONTROLLER_STATE_VEND}}},
        {"after the second request",
         {"error_go_home@2"},
         {{0, Request(HPROTO_CMD_PING), 1, -1},
          {1, Request(HPROTO_CMD_PING), 1, -1},
          {2, status_req, 3, CONTROLLER_STATE_ERROR}}},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        Board board;
        BoardInit(&board, Config(c.faults), 0);
        RunSteps(&board, c.steps);
    }
}

TEST(BoardModel, StatusCarriesTheErrorMaskLowByteFirst)
{
    Board board;
    BoardInit(&board, Config({"motor_timeout", "error_go_home"}), 0);
    EXPECT_EQ(Ask(&board, status_req).data, (Bytes{CONTROLLER_STATE_ERROR, 0x11, 0, 0, 0}));
    Ask(&board, Request(HPROTO_CMD_RECOVER));
    EXPECT_EQ(Ask(&board, status_req).data, (Bytes{CONTROLLER_STATE_IDLE, 0, 0, 0, 0}));
}

TEST(BoardModel, BootLoaderAssemblesTheImage)
{
    Board board;
    BoardConfig config;
    config.image_limit = 256;
    config.strict_boot_loader = false;  // what a lenient boot loader still answers
    BoardInit(&board, config, 0);
    RunSteps(&board,
             {
                 {0, Request(HPROTO_CMD_SWITCH_BOOT_APP, {0, 0, 0, 0}), 252, -1},
                 {1, Request(HPROTO_CMD_VEND, {1}), 0, HPROTO_ERROR_INVALID_STATE},
                 {2, Request(HPROTO_CMD_RECOVER), 0, HPROTO_ERROR_INVALID_STATE},
                 {3, Request(HPROTO_CMD_PING), 1, -1},
                 {4, status_req, 3, CONTROLLER_STATE_NONE},
                 {5, Block(64, 0x33), 254, -1},
                 {6, Block(0, 0x11), 254, -1},
                 {7, Block(224, 0x77), 254, -1},
                 {8, Block(225, 0x77), 0, HPROTO_ERROR_INVALID_DATA},
                 {9, Block(0xFFFFFFE0u, 0x77), 0, HPROTO_ERROR_INVALID_DATA},
                 {10, Request(HPROTO_CMD_UPGRADE, Bytes(35, 0)), 0, HPROTO_ERROR_INVALID_DATA},
             });
    Bytes expected(256, 0xFF);
    std::fill(expected.begin(), expected.begin() + 32, 0x11);
    std::fill(expected.begin() + 64, expected.begin() + 96, 0x33);
    std::fill(expected.begin() + 224, expected.end(), 0x77);
    EXPECT_EQ(BoardImage(&board), expected);
    EXPECT_EQ(board.upgrade_blocks, 6u);
}

// A strict boot loader, reached by the switch or there from the start, answers blocks only.
TEST(BoardModel, StrictBootLoaderAnswersBlocksOnly)
{
    for (bool start_in_boot_loader : {false, true}) {
        SCOPED_TRACE(start_in_boot_loader ? "started in the boot loader" : "switched");
        BoardConfig config;
        config.start_in_boot_loader = start_in_boot_loader;
        Board board;
        BoardInit(&board, config, 0);
        if (!start_in_boot_loader) {
            EXPECT_EQ(Ask(&board, Request(HPROTO_CMD_SWITCH_BOOT_APP, {0, 0, 0, 0})).cmd, 252);
        }
        const Packet ignored[] = {Request(HPROTO_CMD_PING),
                                  Request(HPROTO_CMD_ID),
                                  status_req,
                                  Request(HPROTO_CMD_DEBUG),
                                  Request(HPROTO_CMD_VEND, {1}),
                                  Request(HPROTO_CMD_SWITCH_BOOT_APP, {0, 0, 0, 0})};
        for (const Packet& request : ignored)
            EXPECT_TRUE(BoardHandle(&board, &request, 0).bytes.empty()) << int(request.cmd);
        EXPECT_EQ(Ask(&board, Block(0, 0x11)).cmd, 254);
        EXPECT_EQ(board.ignored, std::size(ignored));
        EXPECT_EQ(BoardImage(&board), Bytes(32, 0x11));
    }
}

TEST(BoardModel, ImageEndsAtTheHighestBlock)
{
    Board board;
    BoardInit(&board, BoardConfig{}, 0);
    EXPECT_TRUE(BoardImage(&board).empty());
    Ask(&board, Request(HPROTO_CMD_SWITCH_BOOT_APP, {1, 2, 3, 4}));
    Ask(&board, Block(32, 0x00));
    Ask(&board, Block(0, 0x01));
    EXPECT_EQ(BoardImage(&board).size(), 64u);
}

TEST(BoardModel, DebugTextComesInPiecesThenEmpty)
{
    BoardConfig config;
    config.debug_text = std::string(300, 'a') + std::string(1, '\0') + "%s";
    Board board;
    BoardInit(&board, config, 0);
    Packet debug = Request(HPROTO_CMD_DEBUG);
    Reply first = Ask(&board, debug);
    EXPECT_EQ(first.data.size(), 247u);
    Reply second = Ask(&board, debug);
    EXPECT_EQ(std::string(second.data.begin(), second.data.end()),
              std::string(53, 'a') + std::string(1, '\0') + "%s");
    EXPECT_TRUE(Ask(&board, debug).data.empty());
    // What the board does goes into the queue; polling it adds nothing, or a poll loop never ends.
    Ask(&board, Request(HPROTO_CMD_VEND, {7}), 0);
    BoardTick(&board, 1000);
    Reply log = Ask(&board, debug, 1000);
    EXPECT_EQ(
        std::string(log.data.begin(), log.data.end()),
        "vend cell 7\r\nstate idle -> vend\r\nstate vend -> vended\r\nstate vended -> idle\r\n");
    EXPECT_TRUE(Ask(&board, debug).data.empty());
}

namespace {

struct InjectCase {
    const char* name;
    std::vector<std::string> injections;
    std::vector<Packet> requests;  // the last one is checked
    void (*check)(const Outgoing& out);
};

}  // namespace

TEST(BoardModel, InjectionsShapeTheReply)
{
    const Packet ping = Request(HPROTO_CMD_PING);
    const Packet id = Request(HPROTO_CMD_ID);
    const InjectCase cases[] = {
        {"noise before the frame",
         {"noise:256"},
         {ping},
         [](const Outgoing& out) {
             ASSERT_EQ(out.frame_offset, 256u);
             EXPECT_EQ(out.bytes.size(), 263u);
             for (size_t i = 0; i < 256; ++i)
                 ASSERT_NE(out.bytes[i], hproto_sync) << i;
             EXPECT_EQ(Parse(out).cmd, 1);
         }},
        {"split",
         {"split:3:5"},
         {ping},
         [](const Outgoing& out) {
             EXPECT_EQ(out.piece, 3u);
             EXPECT_EQ(out.piece_delay_ms, 5u);
             EXPECT_EQ(out.bytes.size(), 7u);
         }},
        {"bad checksum",
         {"badcrc"},
         {ping},
         [](const Outgoing& out) {
             Packet packet{};
             std::memcpy(&packet, out.bytes.data(), out.bytes.size());
             EXPECT_NE(GetCRC(&packet), CalcCRC(&packet));
         }},
        {"error reply",
         {"error:9"},
         {ping},
         [](const Outgoing& out) {
             Reply reply = Parse(out);
             EXPECT_EQ(reply.cmd, 0);
             EXPECT_EQ(reply.data, (Bytes{9}));
         }},
        {"other cmd", {"cmd:9"}, {ping}, [](const Outgoing& out) { EXPECT_EQ(Parse(out).cmd, 9); }},
        {"delay",
         {"delay:250"},
         {ping},
         [](const Outgoing& out) {
             EXPECT_EQ(out.delay_ms, 250u);
             EXPECT_EQ(Parse(out).cmd, 1);
         }},
        {"drop", {"drop"}, {ping}, [](const Outgoing& out) { EXPECT_TRUE(out.bytes.empty()); }},
        {"short status",
         {"short"},
         {status_req},
         [](const Outgoing& out) { EXPECT_EQ(Parse(out).data.size(), 3u); }},
        {"short id",
         {"short"},
         {id},
         [](const Outgoing& out) {
             EXPECT_EQ(Parse(out).data, (Bytes{0x2B, 1}));
         }},
        {"size 255",
         {"size:255"},
         {ping},
         [](const Outgoing& out) {
             EXPECT_EQ(out.bytes[1], 255);
             EXPECT_EQ(out.bytes.size(), 255u);
         }},
        {"size 3",
         {"size:3"},
         {ping},
         [](const Outgoing& out) {
             EXPECT_EQ(out.bytes[1], 3);
             EXPECT_EQ(out.bytes.size(), 7u);
         }},
        {"silence",
         {"silence"},
         {ping},
         [](const Outgoing& out) {
             EXPECT_TRUE(out.bytes.empty());
             EXPECT_FALSE(out.hangup);
         }},
        {"hang-up",
         {"hangup"},
         {ping},
         [](const Outgoing& out) {
             EXPECT_TRUE(out.hangup);
             EXPECT_EQ(out.hangup_after, 0u);
         }},
        {"hang-up in the middle",
         {"hangup-mid:4", "noise:2"},
         {ping},
         [](const Outgoing& out) {
             EXPECT_TRUE(out.hangup);
             EXPECT_EQ(out.hangup_after, 4u);
             EXPECT_EQ(out.bytes.size(), 9u);
         }},
        {"second request only",
         {"cmd:9@2"},
         {ping, ping, ping},
         [](const Outgoing& out) { EXPECT_EQ(Parse(out).cmd, 1); }},
        {"targeted at request 2",
         {"cmd:9@2"},
         {ping, ping},
         [](const Outgoing& out) { EXPECT_EQ(Parse(out).cmd, 9); }},
        {"next status, not the ping",
         {"silence@status"},
         {ping},
         [](const Outgoing& out) { EXPECT_EQ(Parse(out).cmd, 1); }},
        {"next status fires once",
         {"silence@status"},
         {status_req, status_req},
         [](const Outgoing& out) { EXPECT_EQ(Parse(out).cmd, 3); }},
        {"every request",
         {"cmd:2"},
         {ping, ping, ping},
         [](const Outgoing& out) { EXPECT_EQ(Parse(out).cmd, 2); }},
        {"second upgrade block",
         {"hangup@upgrade#2"},
         {Request(HPROTO_CMD_SWITCH_BOOT_APP, {0, 0, 0, 0}), Block(0, 1), Block(32, 1)},
         [](const Outgoing& out) { EXPECT_TRUE(out.hangup); }},
        {"first upgrade block spared",
         {"hangup@upgrade#2"},
         {Request(HPROTO_CMD_SWITCH_BOOT_APP, {0, 0, 0, 0}), Block(0, 1)},
         [](const Outgoing& out) { EXPECT_FALSE(out.hangup); }},
    };
    for (const InjectCase& c : cases) {
        SCOPED_TRACE(c.name);
        Board board;
        BoardInit(&board, Config({}, c.injections), 0);
        Outgoing out;
        for (const Packet& request : c.requests)
            out = BoardHandle(&board, &request, 0);
        c.check(out);
    }
}

TEST(BoardModel, InjectedErrorLeavesTheRequestUndone)
{
    Board board;
    BoardInit(&board, Config({}, {"error:5@vend"}), 0);
    EXPECT_EQ(Ask(&board, Request(HPROTO_CMD_VEND, {3})).cmd, 0);
    EXPECT_EQ(Ask(&board, status_req).data[0], CONTROLLER_STATE_IDLE);
    // A dropped request is as if it never arrived: no reply, no motion; the drop and the late
    // reply are counted for the soak's figures.
    BoardInit(&board, Config({}, {"drop@vend", "delay:5@status"}), 0);
    const Packet vend = Request(HPROTO_CMD_VEND, {3});
    EXPECT_TRUE(BoardHandle(&board, &vend, 0).bytes.empty());
    EXPECT_EQ(Ask(&board, status_req).data[0], CONTROLLER_STATE_IDLE);
    EXPECT_EQ(board.dropped, 1u);
    EXPECT_EQ(board.late, 1u);
}

TEST(BoardModel, CorruptionIsSeededAndRoughlyAsOftenAsAsked)
{
    Bytes a(10000, 0), b(10000, 0);
    Board first, second;
    BoardInit(&first, Config({}, {"corrupt:10:42"}), 0);
    BoardInit(&second, Config({}, {"corrupt:10:42"}), 0);
    BoardCorrupt(&first, a.data(), a.size());
    BoardCorrupt(&second, b.data(), b.size());
    EXPECT_EQ(a, b);
    size_t flipped =
        static_cast<size_t>(std::count_if(a.begin(), a.end(), [](uint8_t x) { return x != 0; }));
    EXPECT_GT(flipped, 800u);
    EXPECT_LT(flipped, 1200u);
    Board clean;
    BoardInit(&clean, BoardConfig{}, 0);
    Bytes c(100, 0);
    BoardCorrupt(&clean, c.data(), c.size());
    EXPECT_EQ(c, Bytes(100, 0));
}

TEST(BoardOptions, ParsesSwitchValues)
{
    struct ParseCase {
        const char* text;
        bool ok;
    };
    const ParseCase injections[] = {
        {"noise:300", true},      {"noise:301", false},        {"noise", false},
        {"split:1:0", true},      {"split:0:5", false},        {"badcrc", true},
        {"badcrc:1", false},      {"error:5@ping", true},      {"cmd:256", false},
        {"size:255@3", true},     {"hangup@upgrade#1", true},  {"hangup@upgrade#0", false},
        {"silence@0", false},     {"silence@fly", false},      {"corrupt:5:7", true},
        {"corrupt:101:7", false}, {"noise:-1", false},         {"bogus", false},
        {"corrupt:0.05:7", true}, {"corrupt:0.0001:7", false}, {"corrupt:100.5:7", false},
    };
    for (const ParseCase& c : injections) {
        Injection injection;
        std::string error;
        EXPECT_EQ(ParseInjection(c.text, &injection, &error), c.ok) << c.text;
        if (!c.ok) {
            EXPECT_FALSE(error.empty()) << c.text;
        }
    }
    const ParseCase faults[] = {
        {"motor_jam", true},
        {"product_loss@vend", true},
        {"error_go_home@4", true},
        {"motor_jam@", false},
        {"jam", false},
    };
    for (const ParseCase& c : faults) {
        FaultPlan fault;
        std::string error;
        EXPECT_EQ(ParseFault(c.text, &fault, &error), c.ok) << c.text;
    }
    const ParseCase ids[] = {
        {"ff:10.20", true}, {"2B", false},       {"2G:1.4", false},
        {"2B:1", false},    {"2B:256.0", false}, {"100:1.1", false},
    };
    for (const ParseCase& c : ids) {
        BoardConfig config;
        std::string error;
        EXPECT_EQ(ParseId(c.text, &config, &error), c.ok) << c.text;
    }
    BoardConfig config;
    std::string error;
    ASSERT_TRUE(ParseId("ff:10.20", &config, &error));
    EXPECT_EQ(config.device, 0xFF);
    EXPECT_EQ(config.major, 10);
    EXPECT_EQ(config.minor, 20);
}

TEST(BoardOptions, UnescapesDebugText)
{
    struct EscapeCase {
        std::string in;
        bool ok;
        std::string out;
    };
    const EscapeCase cases[] = {
        {"plain %s", true, "plain %s"},
        {"a\\x00b", true, std::string("a\0b", 3)},
        {"\\xfF\\n\\r\\t\\\\", true, "\xff\n\r\t\\"},
        {"\\x4", false, ""},
        {"\\q", false, ""},
        {"end\\", false, ""},
    };
    for (const EscapeCase& c : cases) {
        std::string out, error;
        EXPECT_EQ(UnescapeText(c.in, &out, &error), c.ok) << c.in;
        if (c.ok) {
            EXPECT_EQ(out, c.out) << c.in;
        }
    }
}
