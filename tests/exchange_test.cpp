// The exchange layer over a real tty: the test plays the board on the master side of a pty and
// the tool's side goes through the same serial code as a run of the tool.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ScriptedPeer.h"
#include "TestSupport.h"
#include "proto/Exchange.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Noise that holds every byte value except the sync byte.
Bytes Noise(size_t n)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) {
        out[i] = static_cast<uint8_t>(i * 7 + 3);
        if (out[i] == hproto_sync)
            out[i] = 0x54;
    }
    return out;
}

Bytes RecordBytes(const Packet& packet, size_t n)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&packet);
    return Bytes(p, p + n);
}

class ExchangeTest : public PtyLineTest {
protected:
    void SetUp() override
    {
        PtyLineTest::SetUp();
        if (HasFatalFailure())
            return;
        // Start from a line that echoes and translates, so only the port set-up can make it raw.
        termios tio{};
        ASSERT_EQ(tcgetattr(pty_.slave, &tio), 0);
        tio.c_iflag |= ICRNL | INLCR | IXON | IXOFF | ISTRIP;
        tio.c_oflag |= OPOST | ONLCR;
        tio.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
        ASSERT_EQ(tcsetattr(pty_.slave, TCSANOW, &tio), 0);

        ASSERT_TRUE(OpenPort());
    }

    bool Recv(Packet* packet, std::string* out)
    {
        StdoutCapture capture;
        Link link(port_);
        bool ok = RecvPacket(link, packet);
        *out = capture.Finish();
        return ok;
    }

    // A bare ping through the whole exchange, with what it printed.
    bool ExchangePing(Packet* packet, std::string* out)
    {
        packet->size = proto_base_size;
        packet->cmd = HPROTO_CMD_PING;
        StdoutCapture capture;
        Link link(port_);
        bool ok = ExchangePacket(link, packet);
        *out = capture.Finish();
        return ok;
    }

    // The byte the tool would read next, held by the port or still in the driver, or -1 when
    // none is waiting: what a receive does not use must stay for the next one.
    int NextUnread()
    {
        uint8_t next = 0;
        uint32_t got = 0;
        return port_.Read(&next, 1, &got) && got == 1 ? next : -1;
    }

    void HangUpLater(Bytes bytes)
    {
        int master = pty_.master;
        pty_.master = -1;
        peer_ = std::thread([master, bytes] {
            WriteBytes(master, bytes);
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            close(master);
        });
    }

    void JoinPeer()
    {
        if (peer_.joinable())
            peer_.join();
    }

    std::thread peer_;
};

TEST_F(ExchangeTest, NoiseBeforeSyncUpTo255BytesIsSkipped)
{
    const Bytes reply = Frame(HPROTO_CMD_STATUS, {2, 0x11, 0x13, 0, 0});
    for (size_t noise : {0u, 1u, 254u, 255u}) {
        SCOPED_TRACE(noise);
        WriteBytes(pty_.master, Concat({Noise(noise), reply, {0xA7}}));
        Packet packet;
        std::string out;
        EXPECT_TRUE(Recv(&packet, &out));
        EXPECT_EQ(out, "");
        EXPECT_EQ(RecordBytes(packet, reply.size()), reply);
        EXPECT_EQ(NextUnread(), 0xA7);
    }
}

TEST_F(ExchangeTest, NoiseOf256BytesIsOutOfSyncAfterExactly256Bytes)
{
    WriteBytes(pty_.master, Concat({Noise(256), Frame(HPROTO_CMD_PING, {})}));
    Packet packet;
    std::string out;
    EXPECT_FALSE(Recv(&packet, &out));
    EXPECT_EQ(out, "Out of sync\n");
    EXPECT_EQ(NextUnread(), hproto_sync);
}

TEST_F(ExchangeTest, ReplyInPiecesIsAssembledWithoutGaps)
{
    Bytes long_data(247);
    for (size_t i = 0; i < long_data.size(); ++i)
        long_data[i] = static_cast<uint8_t>(255 - i);
    struct Case {
        const char* name;
        Bytes reply;
        size_t piece;
    };
    const Case cases[] = {
        {"byte by byte", Frame(HPROTO_CMD_ID, {0x0A, 1, 5}), 1},
        {"pairs", Frame(HPROTO_CMD_STATUS, {1, 5, 0, 0, 0}), 2},
        {"header split", Frame(HPROTO_CMD_DEBUG, {'a', 'b', 'c', 'd'}), 3},
        {"longest frame", Frame(HPROTO_CMD_DEBUG, long_data), 17},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::thread peer([&] {
            for (size_t at = 0; at < c.reply.size(); at += c.piece) {
                size_t end = std::min(c.reply.size(), at + c.piece);
                WriteBytes(pty_.master, Bytes(c.reply.begin() + at, c.reply.begin() + end));
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
            }
        });
        Packet packet;
        std::string out;
        EXPECT_TRUE(Recv(&packet, &out));
        peer.join();
        EXPECT_EQ(out, "");
        EXPECT_EQ(RecordBytes(packet, c.reply.size()), c.reply);
    }
}

TEST_F(ExchangeTest, SmallestReplyReadsNoFurther)
{
    WriteBytes(pty_.master, Concat({Frame(HPROTO_CMD_PING, {}), {0x99}}));
    Packet packet;
    std::string out;
    EXPECT_TRUE(Recv(&packet, &out));
    EXPECT_EQ(out, "");
    EXPECT_EQ(packet.size, 7);
    EXPECT_EQ(packet.cmd, HPROTO_CMD_PING);
    EXPECT_EQ(NextUnread(), 0x99);
}

TEST_F(ExchangeTest, SilenceEndsTheReceiveWithinTheLimit)
{
    struct Case {
        const char* name;
        Bytes before_silence;
        const char* lines;
    };
    const Case cases[] = {
        {"sync", {}, silence_lines},
        {"header", {0x55, 0x07}, "Failed to read from port\nFailed to read header\n"},
        {"body", {0x55, 0x08, 0x00, 0x00, 0x01}, "Failed to read from port\nNo data in packet\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(pty_.master, c.before_silence);
        Packet packet;
        std::string out;
        auto start = Clock::now();
        EXPECT_FALSE(Recv(&packet, &out));
        double seconds = SecondsSince(start);
        EXPECT_EQ(out, c.lines);
        EXPECT_GE(seconds, 0.15);
        EXPECT_LT(seconds, hang_guard_s);
    }
}

struct HangUpCase {
    const char* name;
    Bytes before;
    const char* lines;
};

class ExchangeHangUpTest : public ExchangeTest, public ::testing::WithParamInterface<HangUpCase> {};

TEST_P(ExchangeHangUpTest, HangUpEndsTheReceiveAtOnce)
{
    // A limit far beyond the hang guard: ending inside the guard shows the hang-up itself was
    // noticed, however loaded the machine.
    port_.Close();
    ASSERT_TRUE(OpenPort(60000));
    HangUpLater(GetParam().before);
    Packet packet;
    std::string out;
    auto start = Clock::now();
    EXPECT_FALSE(Recv(&packet, &out));
    double seconds = SecondsSince(start);
    JoinPeer();
    EXPECT_EQ(out, GetParam().lines);
    EXPECT_LT(seconds, hang_guard_s);
}

INSTANTIATE_TEST_SUITE_P(
    Stages, ExchangeHangUpTest,
    ::testing::Values(HangUpCase{"sync", {0x01, 0x02}, silence_lines},
                      HangUpCase{"header",
                                 {0x55, 0x07, 0x00},
                                 "Failed to read from port\nFailed to read header\n"},
                      HangUpCase{"body",
                                 {0x55, 0x09, 0x00, 0x00, 0x07, 0x01},
                                 "Failed to read from port\nNo data in packet\n"}),
    CaseName());

TEST_F(ExchangeTest, BadChecksumIsReported)
{
    struct Case {
        const char* name;
        Bytes wire;
        const char* line;
        int next;
    };
    const Case cases[] = {
        {"zero checksum", {0x55, 0x07, 0x00, 0x00, 0x01, 0x00, 0x00}, "Bad CRC: 0  != 159E\n", -1},
        {"swapped checksum bytes",
         {0x55, 0x0C, 0x00, 0x00, 0x03, 0x01, 0x05, 0x00, 0x00, 0x00, 0x36, 0xD3},
         "Bad CRC: D336  != 36D3\n",
         -1},
        // A 0x55 that starts no frame is taken as one; the hunt does not resume behind it.
        {"false sync",
         {0x55, 0x07, 0x00, 0x00, 0x55, 0x07, 0x00, 0x00, 0x01, 0x9E, 0x15},
         "Bad CRC: 7  != 13F\n",
         0x00},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(pty_.master, c.wire);
        Packet packet;
        std::string out;
        EXPECT_FALSE(Recv(&packet, &out));
        EXPECT_EQ(out, c.line);
        EXPECT_EQ(NextUnread(), c.next);
        Drain(pty_.slave, 20);
        port_.Purge();
    }
}

TEST_F(ExchangeTest, ErrorRepliesNameTheirResultCode)
{
    struct Case {
        uint8_t code;
        const char* line;
    };
    const Case cases[] = {
        {1, "Error in response: Invalid command\n"}, {2, "Error in response: Invalid data\n"},
        {3, "Error in response: Invalid state\n"},   {5, "Error in response: Busy\n"},
        {0, "Error in response: Unknown error\n"},   {4, "Error in response: Unknown error\n"},
        {6, "Error in response: Unknown error\n"},   {255, "Error in response: Unknown error\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.code));
        WriteBytes(pty_.master, ErrorFrame(c.code));
        Packet packet;
        std::string out;
        EXPECT_FALSE(Recv(&packet, &out));
        EXPECT_EQ(out, c.line);
    }
}

TEST_F(ExchangeTest, ReplyWithAnotherCommandIsAccepted)
{
    WriteBytes(pty_.master, Frame(HPROTO_CMD_GOHOME, {}));
    Packet packet;
    std::string out;
    bool ok = ExchangePing(&packet, &out);
    EXPECT_TRUE(ok);
    EXPECT_EQ(out, "");
    EXPECT_EQ(packet.cmd, HPROTO_CMD_GOHOME);
    EXPECT_EQ(ReadBytes(pty_.master, 7, 200), Bytes({0x55, 0x07, 0x00, 0x00, 0x01, 0x9E, 0x15}));
}

// A repeat goes out only once the fence's ping has come back, with every frame before it dropped:
// a reply that comes late (here with the fence's) must not answer the repeat. The failed request
// may be a ping itself, whose late reply then looks like the fence's.
TEST_F(ExchangeTest, ARepeatWaitsForTheFencesReply)
{
    const Bytes ping = Frame(HPROTO_CMD_PING, {});
    struct Case {
        const char* name;
        uint8_t cmd;
        std::vector<Bytes> replies;  // by request index; empty for silence
        bool ok;
        uint8_t answer;  // first data byte of the reply the exchange returns
        size_t requests;
        const char* out;
    };
    const Case cases[] = {
        {"late reply with the fence's",
         HPROTO_CMD_STATUS,
         {{}, Concat({Frame(HPROTO_CMD_STATUS, {1}), ping}), Frame(HPROTO_CMD_STATUS, {2})},
         true,
         2,
         3,
         ""},
        {"late ping reply with the fence's",
         HPROTO_CMD_PING,
         {{}, Concat({ping, ping}), Frame(HPROTO_CMD_PING, {})},
         true,
         0,
         3,
         ""},
        {"a ping's code answering status",
         HPROTO_CMD_STATUS,
         {ping, ping, Frame(HPROTO_CMD_STATUS, {2})},
         true,
         2,
         3,
         ""},
        {"fence never answered", HPROTO_CMD_STATUS, {{}, {}, {}}, false, 0, 3, silence_lines},
    };
    port_.Close();
    ASSERT_TRUE(OpenPort(200));  // each silence costs a time-out
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Link link(port_);
        link.retries = 2;
        ScriptedPeer peer(&pty_.master, [&](const Bytes&, size_t index) {
            return PeerAction{index < c.replies.size() ? c.replies[index] : Bytes{}, false};
        });
        Packet packet;
        packet.size = proto_base_size;
        packet.cmd = c.cmd;
        StdoutCapture capture;
        EXPECT_EQ(ExchangeRepeatable(link, &packet), c.ok);
        EXPECT_EQ(capture.Finish(), c.out);
        if (c.ok) {
            EXPECT_EQ(packet.size > proto_base_size ? packet.cmd_data[0] : 0, c.answer);
        }
        peer.Stop();
        EXPECT_EQ(peer.Requests().size(), c.requests);
        EXPECT_EQ(NextUnread(), -1) << "a reply left over would answer the next request";
    }
}

// A request cut short on the line can leave the board waiting for the rest of a frame as long as
// any (a size byte of 254 and nothing after it): the fence's zeros must complete such a frame, or
// the board swallows the fence's ping with them and the repeat never goes out.
TEST_F(ExchangeTest, TheFencesZerosCompleteTheLongestFrame)
{
    port_.Close();
    ASSERT_TRUE(OpenPort(200));
    Link link(port_);
    link.retries = 1;
    const Bytes ping = Frame(HPROTO_CMD_PING, {});
    size_t zeros = 0;
    ScriptedPeer peer(&pty_.master, [&](const Bytes&, size_t index) {
        if (index > 0)
            return Reply(Frame(HPROTO_CMD_STATUS, {2}));
        // The first status goes unanswered; then every byte up to the fence's ping is counted.
        Bytes byte;
        while ((byte = ReadBytes(pty_.master, 1, 3000)) == Bytes{0})
            ++zeros;
        EXPECT_EQ(Concat({byte, ReadBytes(pty_.master, ping.size() - 1, 3000)}), ping);
        return Reply(ping);
    });
    Packet packet;
    packet.size = proto_base_size;
    packet.cmd = HPROTO_CMD_STATUS;
    StdoutCapture capture;
    EXPECT_TRUE(ExchangeRepeatable(link, &packet));
    capture.Finish();
    peer.Stop();
    EXPECT_GE(zeros, size_t{proto_max_size});
    EXPECT_EQ(peer.Requests().size(), 2u);  // the status and its repeat; the ping was read above
}

TEST_F(ExchangeTest, SizeByteOutsideTheFrameModelIsRefused)
{
    for (int size : {0, 1, 2, 3, 4, 5, 6, 255}) {
        SCOPED_TRACE(size);
        WriteBytes(pty_.master, {0x55, static_cast<uint8_t>(size), 0x00, 0x00, 0xB4});
        Packet packet;
        std::string out;
        EXPECT_FALSE(Recv(&packet, &out));
        EXPECT_EQ(out, "Bad packet size " + std::to_string(size) + "\n");
        EXPECT_EQ(NextUnread(), 0xB4);
    }
}

TEST_F(ExchangeTest, FailedWriteReportsTheBytesWritten)
{
    close(pty_.master);
    pty_.master = -1;
    Packet packet;
    std::string out;
    bool ok = ExchangePing(&packet, &out);
    EXPECT_FALSE(ok);
    // Nothing is read after a failed send, so no receive lines follow.
    EXPECT_EQ(out, "Failed to write to port 0\n");
}

TEST_F(ExchangeTest, EveryByteValuePassesBothWays)
{
    // Two frames carry all 256 values, among them XON, XOFF, CR, LF, NUL, 0xFF and signal keys.
    Bytes low(128), high(128);
    for (int i = 0; i < 128; ++i) {
        low[i] = static_cast<uint8_t>(i);
        high[i] = static_cast<uint8_t>(128 + i);
    }
    const Bytes awkward = {0x11, 0x13, 0x00, 0xFF, 0x0D, 0x0A, 0x0D, 0x03, 0x1A, 0x7F, 0x04};
    for (const Bytes& data : {low, high, awkward}) {
        SCOPED_TRACE(data.size());
        Packet packet;
        packet.size = static_cast<uint8_t>(proto_base_size + data.size());
        packet.cmd = HPROTO_CMD_DEBUG;
        std::memcpy(packet.cmd_data, data.data(), data.size());
        std::string out;
        {
            StdoutCapture capture;
            Link link(port_);
            EXPECT_TRUE(SendPacket(link, &packet));
            out = capture.Finish();
        }
        EXPECT_EQ(out, "");
        const Bytes expected = Frame(HPROTO_CMD_DEBUG, data);
        EXPECT_EQ(ReadBytes(pty_.master, expected.size() + 1, 200), expected);

        WriteBytes(pty_.master, expected);
        Packet reply;
        EXPECT_TRUE(Recv(&reply, &out));
        EXPECT_EQ(out, "");
        EXPECT_EQ(RecordBytes(reply, expected.size()), expected);
        EXPECT_EQ(Drain(pty_.master, 20), Bytes()) << "the line echoed what it received";
    }
}

TEST_F(ExchangeTest, SendStampsSyncReservedBytesAndChecksum)
{
    Packet packet;
    std::memset(&packet, 0xEE, sizeof(packet));
    packet.size = 8;
    packet.cmd = HPROTO_CMD_VEND;
    packet.cmd_data[0] = 1;
    StdoutCapture capture;
    Link link(port_);
    EXPECT_TRUE(SendPacket(link, &packet));
    EXPECT_EQ(capture.Finish(), "");
    const Bytes wire = {0x55, 0x08, 0x00, 0x00, 0x04, 0x01, 0x2F, 0x78};
    EXPECT_EQ(ReadBytes(pty_.master, wire.size() + 1, 200), wire);
    EXPECT_EQ(RecordBytes(packet, wire.size()), wire);
    EXPECT_EQ(packet.cmd_data[3], 0xEE) << "bytes behind the frame are not the sender's to touch";
}

TEST_F(ExchangeTest, LineIsSetTo115200EightNoneOneAndRaw)
{
    termios tio{};
    ASSERT_EQ(tcgetattr(pty_.slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
}

TEST_F(ExchangeTest, PortIsHeldExclusively)
{
    EXPECT_FALSE(::OpenPort(pty_.slave_path, 200).port.IsOpen());
    port_.Close();
    EXPECT_TRUE(::OpenPort(pty_.slave_path, 200).port.IsOpen())
        << "a closed port must be free again";
}

}  // namespace
