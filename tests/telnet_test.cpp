// The network port words and the Telnet codec of rfc2217:// ports, against byte tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/NetWord.h"
#include "serial/Telnet.h"
#include "support/Bytes.h"

namespace {

Bytes Of(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

// What a client that has sent its opening makes of the server's bytes, fed in the pieces given.
struct Fed {
    Bytes data;
    Bytes reply;
};
Fed Feed(TelnetCodec* codec, const std::vector<Bytes>& pieces)
{
    std::string data, reply;
    for (const Bytes& piece : pieces)
        codec->Receive(piece.data(), piece.size(), &data, &reply);
    return {Of(data), Of(reply)};
}

// One piece per byte: every sequence cut at every place.
std::vector<Bytes> Bytewise(const Bytes& bytes)
{
    std::vector<Bytes> pieces;
    for (uint8_t b : bytes)
        pieces.push_back({b});
    return pieces;
}

constexpr uint8_t IAC = telnet_iac, WILL = telnet_will, WONT = telnet_wont, DO = telnet_do,
                  DONT = telnet_dont, SB = telnet_sb, SE = telnet_se, BIN = telnet_binary,
                  CPO = telnet_com_port;
constexpr uint8_t echo = 1, sga = 3, ttype = 24;
const Bytes ping = {0x55, 0x07, 0x00, 0x00, 0x01, 0x9E, 0x15};

}  // namespace

TEST(NetWord, ReadsAndRefusesWords)
{
    struct Case {
        const char* word;
        NetKind kind;  // NET_NONE: refused
        const char* host;
        uint16_t port;
        const char* why;  // in the refusal line
    };
    // clang-format off
    const Case cases[] = {
        {"tcp://localhost:4000",        NET_TCP,     "localhost", 4000,  ""},
        {"rfc2217://10.0.0.7:2217",     NET_RFC2217, "10.0.0.7",  2217,  ""},
        {"RFC2217://[::1]:65535",       NET_RFC2217, "::1",       65535, ""},
        {"tcp://[fe80::1%eth0]:1",      NET_TCP,     "fe80::1%eth0", 1,  ""},
        {"tcp://localhost",             NET_NONE, "", 0, "no port number"},
        {"tcp://localhost:",            NET_NONE, "", 0, "no port number"},
        {"tcp://[::1]",                 NET_NONE, "", 0, "no port number"},
        {"tcp://:4000",                 NET_NONE, "", 0, "no host"},
        {"tcp://host:0",                NET_NONE, "", 0, "1 to 65535"},
        {"tcp://host:65536",            NET_NONE, "", 0, "1 to 65535"},
        {"tcp://host:99999999999999",   NET_NONE, "", 0, "1 to 65535"},
        {"tcp://host:+80",              NET_NONE, "", 0, "1 to 65535"},
        {"tcp://host:http",             NET_NONE, "", 0, "1 to 65535"},
        {"tcp://::1:4000",              NET_NONE, "", 0, "in brackets"},
        {"tcp://[::1:4000",             NET_NONE, "", 0, "no closing ]"},
        {"tcp://[::1]4000",             NET_NONE, "", 0, "after a colon"},
        {"tcp://user@host:4000",        NET_NONE, "", 0, "user part"},
        {"rfc2217://host:4000/ttyS0",   NET_NONE, "", 0, "a path"},
        {"tcp://host:4000?x",           NET_NONE, "", 0, "a path"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        EXPECT_TRUE(IsNetWord(c.word));
        const NetWord net = ParseNetWord(c.word);
        EXPECT_EQ(net.kind, c.kind);
        EXPECT_EQ(net.host, c.host);
        EXPECT_EQ(net.port, c.port);
        if (c.kind == NET_NONE) {
            EXPECT_EQ(net.failure.rfind("gantrix: " + std::string(c.word) + ": ", 0), 0u)
                << net.failure;
        }
        EXPECT_NE(net.failure.find(c.why), std::string::npos) << net.failure;
    }
    for (const char* local : {"ttyUSB0", "/dev/ttyS0", "usb:0403:6001", "COM3", "tcp:/x:1"})
        EXPECT_FALSE(IsNetWord(local)) << local;
}

// What goes out: the line's data with 0xFF doubled, the opening, and each request with its value
// (a baud rate of four bytes may hold 0xFF too).
TEST(TelnetCodec, EncodesWhatGoesOut)
{
    TelnetCodec codec;
    auto escaped = [](const Bytes& data) { return TelnetCodec::Escape(data.data(), data.size()); };
    struct Case {
        std::string sent;
        Bytes wire;
    };
    const Case cases[] = {
        {escaped(ping), ping},
        {escaped({0xFF}), {IAC, IAC}},
        {escaped({0x55, 0xFF, 0xFF, 0x00, 0xFF}), {0x55, IAC, IAC, IAC, IAC, 0x00, IAC, IAC}},
        {codec.Opening(), {IAC, WILL, BIN, IAC, DO, BIN, IAC, WILL, CPO}},
        {codec.Request(COM_SET_BAUDRATE, 115200), {IAC, SB, CPO, 1, 0, 1, 0xC2, 0, IAC, SE}},
        {codec.Request(COM_SET_BAUDRATE, 0xFF00FF),
         {IAC, SB, CPO, 1, 0, IAC, IAC, 0, IAC, IAC, IAC, SE}},
        {codec.Request(COM_SET_DATASIZE, 8), {IAC, SB, CPO, 2, 8, IAC, SE}},
        {codec.Request(COM_SET_PARITY, com_parity_none), {IAC, SB, CPO, 3, 1, IAC, SE}},
        {codec.Request(COM_SET_STOPSIZE, com_stop_one), {IAC, SB, CPO, 4, 1, IAC, SE}},
        {codec.Request(COM_SET_CONTROL, com_control_none), {IAC, SB, CPO, 5, 1, IAC, SE}},
        {codec.Request(COM_PURGE_DATA, com_purge_both), {IAC, SB, CPO, 12, 3, IAC, SE}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Of(c.sent), c.wire);
}

// What comes in, whole and one byte per read: the data with the doubling undone and every
// sequence taken out wherever it falls (a frame's middle included), the answers a polite client
// owes, and what the server said of the COM-PORT-OPTION and the settings.
TEST(TelnetCodec, DecodesWhatComesIn)
{
    struct Case {
        const char* name;
        Bytes in;
        Bytes data;
        Bytes reply;
        ComPortState com_port;
        std::vector<std::pair<ComPortRequest, uint32_t>> answers;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"plain frame", ping, ping, {}, COM_PORT_ASKED, {}},
        {"doubled 0xFF", {0x55, IAC, IAC, 0x01, IAC, IAC}, {0x55, 0xFF, 0x01, 0xFF}, {},
         COM_PORT_ASKED, {}},
        {"our options taken: nothing to answer",
         {IAC, DO, BIN, IAC, WILL, BIN, IAC, DO, CPO}, {}, {}, COM_PORT_TAKEN, {}},
        {"others offered and asked for: refused",
         {IAC, WILL, echo, IAC, DO, ttype, IAC, WILL, sga, IAC, DO, sga},
         {}, {IAC, DONT, echo, IAC, WONT, ttype, IAC, DONT, sga, IAC, WONT, sga},
         COM_PORT_ASKED, {}},
        {"refusals of others need no answer", {IAC, WONT, echo, IAC, DONT, ttype}, {}, {},
         COM_PORT_ASKED, {}},
        {"COM-PORT-OPTION refused", {IAC, DONT, CPO}, {}, {}, COM_PORT_REFUSED, {}},
        {"taken, then dropped: confirmed", {IAC, DO, CPO, IAC, DONT, CPO}, {},
         {IAC, WONT, CPO}, COM_PORT_REFUSED, {}},
        {"BINARY from the server dropped", {IAC, WILL, BIN, IAC, WONT, BIN}, {},
         {IAC, DONT, BIN}, COM_PORT_ASKED, {}},
        {"negotiation and commands in the middle of a frame",
         {0x55, 0x07, IAC, WILL, echo, 0x00, IAC, 0xF1 /* NOP */, 0x00, 0x01, IAC, IAC, 0x15},
         {0x55, 0x07, 0x00, 0x00, 0x01, 0xFF, 0x15}, {IAC, DONT, echo}, COM_PORT_ASKED, {}},
        {"settings answered, 0xFF doubled in the baud rate, data around",
         {0x55, IAC, SB, CPO, 101, 0, IAC, IAC, 0, 1, IAC, SE, 0x07,
          IAC, SB, CPO, 102, 8, IAC, SE, IAC, SB, CPO, 103, 1, IAC, SE,
          IAC, SB, CPO, 104, 1, IAC, SE, IAC, SB, CPO, 105, 1, IAC, SE,
          IAC, SB, CPO, 112, 3, IAC, SE, IAC, IAC},
         {0x55, 0x07, 0xFF}, {}, COM_PORT_ASKED,
         {{COM_SET_BAUDRATE, 0xFF0001}, {COM_SET_DATASIZE, 8}, {COM_SET_PARITY, 1},
          {COM_SET_STOPSIZE, 1}, {COM_SET_CONTROL, 1}, {COM_PURGE_DATA, 3}}},
        {"a setting answered with another value", {IAC, SB, CPO, 101, 0, 0, 0x25, 0x80, IAC, SE},
         {}, {}, COM_PORT_ASKED, {{COM_SET_BAUDRATE, 9600}}},
        {"another option's subnegotiation and a client's own code are no answers",
         {IAC, SB, ttype, 1, IAC, SE, IAC, SB, CPO, 1, 0, 0, 0x25, 0x80, IAC, SE, 0x42},
         {0x42}, {}, COM_PORT_ASKED, {}},
        {"subnegotiation cut by another command", {IAC, SB, CPO, 102, 7, IAC, WILL, echo, 0x42},
         {0x42}, {IAC, DONT, echo}, COM_PORT_ASKED, {{COM_SET_DATASIZE, 7}}},
    };
    // clang-format on
    for (const Case& c : cases) {
        for (bool bytewise : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (bytewise ? ", one byte per read" : ""));
            TelnetCodec codec;
            codec.Opening();
            const Fed fed = Feed(&codec, bytewise ? Bytewise(c.in) : std::vector<Bytes>{c.in});
            EXPECT_EQ(fed.data, c.data);
            EXPECT_EQ(fed.reply, c.reply);
            EXPECT_EQ(codec.com_port(), c.com_port);
            for (int r = 0; r < COM_REQUEST_COUNT; ++r) {
                bool expected = false;
                for (const auto& answer : c.answers) {
                    if (answer.first != r)
                        continue;
                    expected = true;
                    EXPECT_EQ(codec.Answer(answer.first), answer.second) << r;
                }
                EXPECT_EQ(codec.Answered(static_cast<ComPortRequest>(r)), expected) << r;
            }
        }
    }
}

// A request sent again waits for a new answer: an old one does not count for it.
TEST(TelnetCodec, ANewRequestForgetsTheOldAnswer)
{
    TelnetCodec codec;
    codec.Opening();
    Feed(&codec, {{IAC, SB, CPO, 112, 3, IAC, SE}});
    ASSERT_TRUE(codec.Answered(COM_PURGE_DATA));
    codec.Request(COM_PURGE_DATA, com_purge_both);
    EXPECT_FALSE(codec.Answered(COM_PURGE_DATA));
}
