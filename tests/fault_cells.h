// The fault matrix's cells: each command of the tool against each way a reply can go wrong, with
// the outcome worked out from the fault and the command's own failure line. Shared by the native
// run and the Windows run under Wine.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdint>
#include <string>
#include <vector>

#include "Board.h"
#include "TestSupport.h"
#include "proto/Packet.h"
#include "proto/Protocol.h"

namespace fault_cells {

// The checksum a healthy reply with this cmd and data would carry, as the tool prints it.
inline std::string ReplyCrcText(uint8_t cmd, const Bytes& data)
{
    Packet packet{};
    BuildFrame(&packet, cmd, data.data(), data.size());
    char text[8];
    std::snprintf(text, sizeof(text), "%X", GetCRC(&packet));
    return text;
}

enum class Kind { plain, ping, id, status, recover, upgrade_block, upgrade_switch, debug };

struct Command {
    const char* name;
    std::vector<std::string> words;  // after the port; "IMAGE" stands for the image file
    std::vector<std::string> board_args;
    Kind kind;
    std::string when;                   // where the fault strikes
    std::vector<std::string> requests;  // every request of a run that goes through
    size_t hit;                         // index in `requests` of the one the fault strikes
    uint8_t reply_cmd;                  // the healthy reply to that request
    Bytes reply_data;
    std::string ok_out;        // the output of a run that goes through
    std::string failure_line;  // the command's own line after a failed exchange, or ""
    std::vector<std::string> switches = {};  // the tool's, before the port word
};

struct Fault {
    const char* name;
    std::string inject;
};

// One cell of a matrix: a command run against one fault.
struct Cell {
    Command command;
    Fault fault;
};

// The board's switches for a cell: the command's own, and the fault where it strikes.
inline std::vector<std::string> CellBoardArgs(const Cell& cell)
{
    std::vector<std::string> args = cell.command.board_args;
    args.insert(args.end(), {"--inject", cell.fault.inject + cell.command.when});
    return args;
}

// `words`, ending in the port word, with the command's switches before it and its words after,
// "IMAGE" made the path `image()` writes ("" when it cannot).
template <class WriteImage>
std::vector<std::string> CellWords(std::vector<std::string> words, const Cell& cell,
                                   WriteImage image)
{
    words.insert(words.end() - 1, cell.command.switches.begin(), cell.command.switches.end());
    for (const std::string& word : cell.command.words)
        words.push_back(word == "IMAGE" ? image() : word);
    return words;
}

// How gtest shows a cell when it fails, instead of a dump of the record's bytes.
inline void PrintTo(const Cell& cell, std::ostream* os)
{
    *os << cell.command.name << " with " << cell.fault.inject;
}

inline std::string CellName(const ::testing::TestParamInfo<Cell>& info)
{
    return std::string(info.param.command.name) + "_" + info.param.fault.name;
}

// A 4-block image made of the bytes a flow-controlled or text-mode line would eat.
inline Bytes MatrixImage()
{
    const uint8_t pattern[] = {0x11, 0x13, 0x00, 0x11, 0x00, 0x13, 0x13, 0x11, 0x00};
    Bytes image(128);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = pattern[(i * 7 + i / 9) % sizeof(pattern)];
    return image;
}

inline std::string BlockRequest(const Bytes& image, size_t block)
{
    Bytes data = {0, 0, 0, static_cast<uint8_t>(block * 32)};
    data.insert(data.end(), image.begin() + static_cast<long>(block * 32),
                image.begin() + static_cast<long>(block * 32 + 32));
    return FrameHex(HPROTO_CMD_UPGRADE, data);
}

inline std::string Progress(size_t blocks_started)
{
    std::string out;
    char line[32];
    for (size_t b = 0; b < blocks_started; ++b) {
        std::snprintf(line, sizeof(line), "Uploading... %02d %%\r", static_cast<int>(b * 25));
        out += line;
    }
    return out;
}

const std::string switch_ok = "Switch to boot mode...\n[OK] Switched to boot mode\n";
const std::string switch_failed = "[FAILED] Switch to boot mode failed, try as is..\n";
const std::string upload_done = "Upload done 100%     \n";

// Preloaded debug text: a zero byte ends what the tool shows, and the first 247 bytes (one
// debug reply) are all preload, so the reply is known in full.
inline std::string DebugPreloadArg()
{
    return "trace\\x11\\x13\\xff ok\\n\\x00" + std::string(250, 'x');
}
inline Bytes DebugFirstReply()
{
    std::string text =
        std::string("trace\x11\x13\xff ok\n", 12) + std::string(1, '\0') + std::string(234, 'x');
    return Bytes(text.begin(), text.end());
}
const std::string debug_shown = "trace\x11\x13\xff ok\n";
const std::string debug_end = "Error in response: Invalid command\n";

inline std::vector<Command> Commands()
{
    const Bytes image = MatrixImage();
    const std::string sw = FrameHex(HPROTO_CMD_SWITCH_BOOT_APP, {0, 0, 0, 0});
    std::vector<std::string> upload = {sw};
    for (size_t b = 0; b < 4; ++b)
        upload.push_back(BlockRequest(image, b));
    const std::string upload_ok = switch_ok + Progress(4) + upload_done;
    const std::string ping = FrameHex(HPROTO_CMD_PING, {});
    const std::string debug = FrameHex(HPROTO_CMD_DEBUG, {});
    const std::string id = FrameHex(HPROTO_CMD_ID, {});
    const std::string status = FrameHex(HPROTO_CMD_STATUS, {});
    const std::vector<std::string> trace_board = {"--debug-text", DebugPreloadArg(), "--inject",
                                                  "error:1@3"};
    const std::string trace_out = "PING OK\n" + debug_shown + debug_end;
    // DebugTrace: the first poll takes the fault; the third request's error reply ends the trace.
    // clang-format off
    return {
      // name                  words                       board_args            kind                  when             requests                                   hit  reply_cmd                   reply_data         ok_out                           failure_line
        {"Ping",               {"ping"},                   {},                   Kind::ping,           "@ping",         {ping},                                    0,   HPROTO_CMD_PING,            {},                "PING OK\n",                     "Failed to ping device"},
        {"Id_11_19_0",         {"id"},                     {"--id", "11:19.0"},  Kind::id,             "@id",           {id},                                      0,   HPROTO_CMD_ID,              {0x11, 19, 0},     "ID: device 11 version 19.0\n",  ""},
        {"Id_13_0_255",        {"id"},                     {"--id", "13:0.255"}, Kind::id,             "@id",           {id},                                      0,   HPROTO_CMD_ID,              {0x13, 0, 255},    "ID: device 13 version 0.255\n", ""},
        {"Status",             {"status"},                 {},                   Kind::status,         "@status",       {status},                                  0,   HPROTO_CMD_STATUS,          {2, 0, 0, 0, 0},   "Status: idle[2]  \n",           ""},
        {"MoveXFwd17",         {"move", "x", "fwd", "17"}, {},                   Kind::plain,          "@move",         {FrameHex(HPROTO_CMD_MOVE, {1, 2, 0x11})}, 0,   HPROTO_CMD_MOVE,            {},                "",                              "Failed to move"},
        {"MoveZBwd19",         {"move", "z", "bwd", "19"}, {},                   Kind::plain,          "@move",         {FrameHex(HPROTO_CMD_MOVE, {3, 1, 0x13})}, 0,   HPROTO_CMD_MOVE,            {},                "",                              "Failed to move"},
        {"Home",               {"home"},                   {},                   Kind::plain,          "@home",         {FrameHex(HPROTO_CMD_GOHOME, {})},         0,   HPROTO_CMD_GOHOME,          {},                "",                              "Failed to go home"},
        {"Calibrate3",         {"calibrate", "3"},         {},                   Kind::plain,          "@calibrate",    {FrameHex(HPROTO_CMD_CALIBRATE, {3})},     0,   HPROTO_CMD_CALIBRATE,       {},                "",                              "Failed to calibrate"},
        {"Precalibrate3",      {"precalibrate", "3"},      {},                   Kind::plain,          "@precalibrate", {FrameHex(HPROTO_CMD_PRECALIBRATE, {3})},  0,   HPROTO_CMD_PRECALIBRATE,    {},                "",                              "Failed to move to precalibrate position"},
        {"Vend3",              {"vend", "3"},              {},                   Kind::plain,          "@vend",         {FrameHex(HPROTO_CMD_VEND, {3})},          0,   HPROTO_CMD_VEND,            {},                "",                              "Failed to vend"},
        {"Vend255",            {"vend", "255"},            {},                   Kind::plain,          "@vend",         {FrameHex(HPROTO_CMD_VEND, {0xFF})},       0,   HPROTO_CMD_VEND,            {},                "",                              "Failed to vend"},
        {"Recover",            {"recover"},                {},                   Kind::recover,        "@recover",      {FrameHex(HPROTO_CMD_RECOVER, {})},        0,   HPROTO_CMD_RECOVER,         {},                "RECOVER OK\n",                  "Failed to recover device"},
        {"UpgradeFirstBlock",  {"upgrade", "IMAGE"},       {},                   Kind::upgrade_block,  "@upgrade#1",    upload,                                    1,   HPROTO_CMD_UPGRADE,         {},                upload_ok,                       ""},
        {"UpgradeMiddleBlock", {"upgrade", "IMAGE"},       {},                   Kind::upgrade_block,  "@upgrade#2",    upload,                                    2,   HPROTO_CMD_UPGRADE,         {},                upload_ok,                       ""},
        {"UpgradeSwitch",      {"upgrade", "IMAGE"},       {},                   Kind::upgrade_switch, "@switch",       upload,                                    0,   HPROTO_CMD_SWITCH_BOOT_APP, {},                upload_ok,                       ""},
        {"UpgradeSwitchRetry", {"upgrade", "IMAGE"},       {},                   Kind::upgrade_switch, "@switch",       upload,                                    0,   HPROTO_CMD_SWITCH_BOOT_APP, {},                upload_ok,                       "",                                        {"--retries", "2"}},
        {"DebugTrace",         {"debug", "ping"},          trace_board,          Kind::debug,          "@debug",        {ping, debug, debug},                      1,   HPROTO_CMD_DEBUG,           DebugFirstReply(), trace_out,                       ""},
    };
    // clang-format on
}

inline std::vector<Fault> Faults()
{
    // clang-format off
    return {
      // name             inject
        {"Noise255",      "noise:255"},
        {"Noise256",      "noise:256"},
        {"SplitBytes",    "split:1:1"},
        {"BadCrc",        "badcrc"},
        {"Error1",        "error:1"},
        {"Error2",        "error:2"},
        {"Error3",        "error:3"},
        {"Error5",        "error:5"},
        {"Error4Unknown", "error:4"},
        {"OtherCmd",      "cmd:200"},
        {"LateCmd9",      "cmd:9"},
        {"Short",         "short"},
        {"Size3",         "size:3"},
        {"Size255",       "size:255"},
        {"Silence",       "silence"},
        {"Late1500",      "delay:1500"},  // answered half a second after the tool gave up
        {"HangUp",        "hangup"},
        {"HangUpMid3",    "hangup-mid:3"},
    };
    // clang-format on
}

// A hang-up in the middle of a reply: the bytes already written may reach the tool before the
// line goes, or be dropped with it.
const std::string cut_in_header = "Failed to read from port\nFailed to read header\n";

// What a cell should give. `outs` lists the acceptable outputs; in them "<CRC>" stands for the
// damaged checksum the tool read, which must differ from the healthy one that follows "!=".
struct Outcome {
    std::vector<std::string> outs;
    int status = 0;
    std::vector<std::string> requests;  // everything the board should have received
    bool waits_out = false;             // ends only by the line time-out
    bool hangs_up = false;
};

inline bool IsError(const std::string& inject, std::string* text)
{
    if (inject.rfind("error:", 0) != 0)
        return false;
    int code = std::stoi(inject.substr(6));
    const char* texts[] = {
        "", "Invalid command", "Invalid data", "Invalid state", "Unknown error", "Busy"};
    *text = code >= 1 && code <= 5 ? texts[code] : "Unknown error";
    return true;
}

// The lines of the exchange failure itself (alternatives), or none when the exchange goes through.
inline std::vector<std::string> ExchangeFailure(const Command& c, const std::string& inject)
{
    std::string error_text;
    if (IsError(inject, &error_text))
        return {"Error in response: " + error_text + "\n"};
    if (inject == "noise:256")
        return {"Out of sync\n"};
    if (inject == "badcrc")
        return {"Bad CRC: <CRC>  != " + ReplyCrcText(c.reply_cmd, c.reply_data) + "\n"};
    if (inject == "size:3" || inject == "size:255")
        return {"Bad packet size " + inject.substr(5) + "\n"};
    if (inject == "silence" || inject == "hangup" || inject.rfind("delay:", 0) == 0)
        return {silence_lines};
    if (inject == "hangup-mid:3")
        return {silence_lines, cut_in_header};
    return {};
}

// The same on every host. Under Wine a vanished pty peer is mostly not reported (the read just
// expires, costing the time-out) and now and then is at once; the lines are the same either way.
inline Outcome Expect(const Command& c, const Fault& f)
{
    Outcome o;
    o.hangs_up = f.inject.rfind("hangup", 0) == 0;
    o.waits_out = f.inject == "silence" || f.inject.rfind("delay:", 0) == 0;
    std::vector<std::string> failure = ExchangeFailure(c, f.inject);
    const std::vector<std::string> upto_hit(c.requests.begin(),
                                            c.requests.begin() + static_cast<long>(c.hit) + 1);
    auto each = [&](const std::string& before, const std::string& after) {
        std::vector<std::string> outs;
        for (const std::string& lines : failure)
            outs.push_back(before + lines + after);
        return outs;
    };
    const std::string own = c.failure_line.empty() ? "" : c.failure_line + "\n";

    if (!failure.empty()) {
        switch (c.kind) {
        case Kind::upgrade_block:
            o.outs = each(switch_ok + Progress(c.hit), "");
            o.status = 1;
            o.requests = upto_hit;
            break;
        case Kind::debug:
            // A failed trace ends the run; the command before it had succeeded.
            o.outs = each("PING OK\n", "");
            o.status = 0;
            o.requests = upto_hit;
            break;
        case Kind::upgrade_switch: {
            // The switch is sent once, --retries or not, and block 0 follows it alone: nothing
            // puts the line back in step, which a board already in its boot loader may not answer.
            // A reply that comes after the tool gave up on it is read past.
            std::string error_text;
            o.requests = c.requests;
            if (IsError(f.inject, &error_text)) {
                // A refused switch leaves the application running, which refuses the first block.
                o.outs = each("Switch to boot mode...\n",
                              switch_failed + Progress(1) + "Error in response: Invalid state\n");
                o.status = 1;
                o.requests.resize(2);
            } else if (o.hangs_up) {
                // The line is gone: the first block cannot be written.
                o.outs = each("Switch to boot mode...\n",
                              switch_failed + Progress(1) + "Failed to write to port 0\n");
                o.status = 1;
                o.requests.resize(1);
            } else {
                o.outs =
                    each("Switch to boot mode...\n", switch_failed + Progress(4) + upload_done);
                o.status = 0;
            }
            break;
        }
        default:
            o.outs = each("", own);
            o.status = 1;
            o.requests = upto_hit;
            break;
        }
        return o;
    }

    // The exchange went through; some commands still judge the reply.
    o.outs = {c.ok_out};
    o.status = 0;
    o.requests = c.requests;
    // cmd:9 is home's code: to any other request a late reply, which says nothing of this one.
    if (f.inject == "cmd:9" && c.reply_cmd != HPROTO_CMD_GOHOME) {
        const std::string wrong =
            std::string("Wrong reply to ") +
            (c.kind == Kind::upgrade_switch ? "switch" : CommandName(c.reply_cmd)) + ": cmd 9\n";
        if (c.kind == Kind::plain || c.kind == Kind::id || c.kind == Kind::status) {
            o.outs = {wrong + own};
            o.status = 1;
        } else if (c.kind == Kind::upgrade_switch) {
            o.outs = {"Switch to boot mode...\n" + wrong + switch_failed + Progress(4) +
                      upload_done};
        }
    }
    if (f.inject.rfind("cmd:", 0) == 0) {
        if (c.kind == Kind::ping) {
            o.outs = {"PING FAILED\n"};
            o.status = 1;
        } else if (c.kind == Kind::recover) {
            o.outs = {"RECOVER FAILED\n"};
            o.status = 1;
        }
    }
    if (f.inject == "short") {
        if (c.kind == Kind::status || c.kind == Kind::id) {
            o.outs = {"Reply too short\n"};
            o.status = 1;
        } else if (c.kind == Kind::debug) {
            o.outs = {"PING OK\n" + debug_end};  // a trace reply without text shows nothing
        }
    }
    return o;
}

// Whether `actual` is `expected`, reading "<CRC>" as a hex checksum other than the healthy one.
inline bool OutputMatches(const std::string& expected, const std::string& actual)
{
    const std::string mark = "<CRC>";
    size_t at = expected.find(mark);
    if (at == std::string::npos)
        return expected == actual;
    if (actual.compare(0, at, expected, 0, at) != 0)
        return false;
    size_t end = at;
    while (end < actual.size() && std::isxdigit(static_cast<unsigned char>(actual[end])))
        ++end;
    if (end == at || end - at > 4)
        return false;
    const std::string damaged = actual.substr(at, end - at);
    const std::string rest = expected.substr(at + mark.size());
    const std::string healthy = rest.substr(5, rest.find('\n') - 5);  // after "  != "
    return damaged != healthy && actual.substr(end) == rest;
}

// One cell's verdict, the same on every host: the output is one of those allowed, the exit status
// is the expected one, and the board received exactly the expected requests.
inline void ExpectOutcome(const Outcome& expected, const RunResult& run,
                          const std::vector<std::string>& received)
{
    bool matched = false;
    for (const std::string& out : expected.outs)
        matched = matched || OutputMatches(out, run.out);
    EXPECT_TRUE(matched) << "got:      " << ::testing::PrintToString(run.out)
                         << "\nexpected: " << ::testing::PrintToString(expected.outs);
    EXPECT_EQ(run.status, expected.status);
    EXPECT_EQ(received, expected.requests);
}

// Every byte the board received, once it has stopped: the requests and nothing between them (no
// run of zero bytes). The board's directory stays for the caller's own stop to remove.
inline void ExpectOnlyRequestBytes(BoardProcess* board, const std::vector<std::string>& requests)
{
    StopBoard(board, true);
    uint64_t bytes = 0;
    for (const std::string& frame : requests)
        bytes += (frame.size() + 1) / 3;  // "55 07 ..."
    EXPECT_EQ(BoardStats(*board)["bytes_in"], bytes);
}

}  // namespace fault_cells
