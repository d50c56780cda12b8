// Boards behind a network: the tool through the real ser2net onto the simulated board, and
// against an in-process server that plays what ser2net will not (refusals, splits, resets).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Ser2net.h"
#include "TestSupport.h"
#include "serial/Telnet.h"

namespace {

constexpr uint8_t IAC = telnet_iac, WILL = telnet_will, DO = telnet_do, DONT = telnet_dont,
                  SB = telnet_sb, SE = telnet_se, BIN = telnet_binary, CPO = telnet_com_port;
constexpr uint8_t echo = 1;
const Bytes ping_reply = {0x55, 0x07, 0x00, 0x00, 0x01, 0x9E, 0x15};

RunResult Tool(const std::vector<std::string>& words, int timeout_ms = 30000)
{
    std::vector<std::string> argv = {QuickToolPath()};
    argv.insert(argv.end(), words.begin(), words.end());
    return RunProgram(argv, timeout_ms);
}

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class Ser2net : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (Ser2netPath().empty())
            GTEST_SKIP() << "ser2net is not installed (scripts/install-deps.sh installs it)";
    }
    void TearDown() override { server_.Stop(); }

    Ser2netBoard server_;
};

// Every command gives through either word what it gives on the pseudo-terminal itself.
TEST_F(Ser2net, CommandsAsOnTheLocalLine)
{
    ASSERT_TRUE(server_.Start({"--motion-ms", "50", "--debug-text", "boot 1.4\\n"}));
    const std::vector<std::vector<std::string>> commands = {
        {"ping"},
        {"id"},
        {"status"},
        {"--wait", "10", "move", "x", "fwd", "10"},
        {"--trace", "status"},
        {"--json", "ping"},
    };
    for (const auto& command : commands) {
        std::vector<std::string> local = command;
        local.insert(local.end() - (command[0] == "--wait" ? 4 : 1), server_.link);
        const RunResult expected = Tool(local);
        ASSERT_EQ(expected.status, 0) << local.back() << expected.out << expected.err;
        for (const std::string& word : {server_.tcp_word, server_.rfc2217_word}) {
            std::vector<std::string> words = local;
            for (std::string& w : words)
                if (w == server_.link)
                    w = word;
            SCOPED_TRACE(word + " " + command.back());
            const RunResult run = Tool(words);
            ASSERT_TRUE(server_.Settle());
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(run.out, expected.out);
            if (command[0] == "--trace") {
                EXPECT_TRUE(Has(run.err, "TX status size 7 checksum good")) << run.err;
                EXPECT_TRUE(Has(run.err, "RX status")) << run.err;
            }
        }
    }
    // The debug trace, stopped once the board's text is out.
    for (bool raw : {true, false}) {
        server_.Stop();
        ASSERT_TRUE(server_.Start({"--debug-text", "boot 1.4\\n"}));
        const std::string word = raw ? server_.tcp_word : server_.rfc2217_word;
        SCOPED_TRACE(word);
        const size_t before = RecordedFrames(server_.board).size();
        const Interrupt after_text{SIGINT, [&] {
                                       return RecordedFrames(server_.board).size() > before + 8;
                                   }};
        const RunResult run =
            RunProgram({QuickToolPath(), word, "debug", "ping"}, 30000, &after_text);
        ASSERT_TRUE(server_.Settle());
        EXPECT_EQ(run.out.rfind("PING OK\nboot 1.4\n", 0), 0u) << run.out;
    }
}

// An upgrade whose image is full of 0xFF (blank blocks, and 0xFF in every place of a block and
// of its offset) lands on the board exactly; on a board paced like the line, the server's character
// delay earns the hint.
TEST_F(Ser2net, UpgradeCarriesEvery0xFF)
{
    Bytes image = SeededBytes(8192, 32);
    for (size_t i = 0; i < image.size(); i += 5)
        image[i] = 0xFF;
    std::fill(image.begin() + 64, image.begin() + 160, 0xFF);  // three blank blocks
    const std::string hex = IntelHex({{0x0800FF00, image}});
    TempFile file(Bytes(hex.begin(), hex.end()));
    for (bool raw : {true, false}) {
        SCOPED_TRACE(raw ? "tcp" : "rfc2217");
        char dir[] = "/tmp/gantrix-net-image-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        const std::string out = std::string(dir) + "/image.bin";
        ASSERT_TRUE(server_.Start({"--baud", "115200", "--image-out", out}));
        const RunResult run =
            Tool({raw ? server_.tcp_word : server_.rfc2217_word, "upgrade", file.path});
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_TRUE(Has(run.out, "Upload done 100%     \n")) << run.out;
        // ser2net's default character delay holds every reply: the hint names it.
        EXPECT_TRUE(Has(run.err, "(ser2net's chardelay): set chardelay: false")) << run.err;
        EXPECT_EQ(server_.Stop(), 0);
        EXPECT_EQ(ReadWholeFile(out), image);
        unlink(out.c_str());
        rmdir(dir);
    }
}

// The board's line hangs up under a request: ser2net closes the connection, and the tool says
// what a local hang-up makes it say, and who closed.
TEST_F(Ser2net, HangUpIsALostLine)
{
    for (bool raw : {true, false}) {
        SCOPED_TRACE(raw ? "tcp" : "rfc2217");
        ASSERT_TRUE(server_.Start({"--inject", "hangup@status"}));
        const std::string word = raw ? server_.tcp_word : server_.rfc2217_word;
        const RunResult run = Tool({word, "status"});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, silence_lines);
        EXPECT_TRUE(Has(run.err, "gantrix: " + word + " (127.0.0.1:")) << run.err;
        EXPECT_TRUE(Has(run.err, ") closed the connection\n")) << run.err;
        server_.Stop();
    }
}

// A server played in the test: what it says first, how it answers the COM-PORT-OPTION's
// settings, the reply it gives the first request (one byte per segment when `bytewise`), and
// how it ends.
struct Play {
    const char* name;
    bool accept;
    Bytes greeting;
    bool answer_settings;
    uint32_t baud_answer;  // 0: the rate asked for
    Bytes reply;
    bool bytewise;
    enum End { STAY, CLOSE, RESET } end;
};

class FakeServer {
public:
    explicit FakeServer(const Play& play) : play_(play)
    {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
        listen(listen_, 0);
        if (!play.accept) {
            // A backlog of one taken by a connection nobody accepts: the next SYN goes unanswered.
            filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            connect(filler_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
            return;
        }
        thread_ = std::thread([this] { Serve(); });
    }
    // Waits for the connection's end; `got` is then complete.
    void Join()
    {
        if (thread_.joinable())
            thread_.join();
    }
    ~FakeServer()
    {
        Join();
        if (filler_ >= 0)
            close(filler_);
        close(listen_);
    }
    int port = 0;
    Bytes got;  // every byte the client sent

private:
    void Send(int fd, const Bytes& bytes)
    {
        if (!play_.bytewise) {
            send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            return;
        }
        for (uint8_t b : bytes) {
            send(fd, &b, 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    // Answers each COM-PORT-OPTION request of the client's bytes from *at on.
    void AnswerSettings(int fd, size_t* at)
    {
        for (; *at + 3 < got.size(); ++*at) {
            if (got[*at] != IAC || got[*at + 1] != SB || got[*at + 2] != CPO)
                continue;
            Bytes value;
            size_t i = *at + 4;
            for (; i + 1 < got.size() && !(got[i] == IAC && got[i + 1] == SE); ++i)
                if (!(got[i] == IAC && got[i + 1] == IAC))
                    value.push_back(got[i]);
            if (i + 1 >= got.size())
                return;  // the rest is still to come
            const uint8_t code = got[*at + 3];
            if (code == COM_SET_BAUDRATE && play_.baud_answer)
                value = {0, static_cast<uint8_t>(play_.baud_answer >> 16),
                         static_cast<uint8_t>(play_.baud_answer >> 8),
                         static_cast<uint8_t>(play_.baud_answer)};
            Bytes answer = {IAC, SB, CPO, static_cast<uint8_t>(code + com_server_offset)};
            answer.insert(answer.end(), value.begin(), value.end());
            answer.insert(answer.end(), {IAC, SE});
            send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
            *at = i;
        }
    }

    void Serve()
    {
        pollfd pfd{listen_, POLLIN, 0};
        if (poll(&pfd, 1, 10000) <= 0)
            return;
        const int fd = accept(listen_, nullptr, nullptr);
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        send(fd, play_.greeting.data(), play_.greeting.size(), MSG_NOSIGNAL);
        TelnetCodec decoder;  // the client's data, sequences taken out
        std::string data, ignored;
        size_t scanned = 0;
        bool replied = false;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < until) {
            pollfd in{fd, POLLIN, 0};
            if (poll(&in, 1, 100) <= 0)
                continue;
            uint8_t buffer[512];
            const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0)
                break;
            got.insert(got.end(), buffer, buffer + n);
            decoder.Receive(buffer, static_cast<size_t>(n), &data, &ignored);
            if (play_.answer_settings)
                AnswerSettings(fd, &scanned);
            if (replied || data.size() < 7)
                continue;
            replied = true;
            Send(fd, play_.reply);
            if (play_.end == Play::STAY)
                continue;
            if (play_.end == Play::RESET) {
                const linger abort{1, 0};
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
            }
            break;
        }
        close(fd);
    }

    Play play_;
    int listen_ = -1;
    int filler_ = -1;
    std::thread thread_;
};

bool Contains(const Bytes& bytes, const Bytes& part)
{
    return std::search(bytes.begin(), bytes.end(), part.begin(), part.end()) != bytes.end();
}

}  // namespace

// What ser2net does not do: each case a server, a port word kind, the ping's output and status,
// a line stderr must hold, and bytes the client must (or must not) have sent.
TEST(FakeServer, PlaysWhatSer2netWillNot)
{
    const std::string never = std::string(silence_lines) + "Failed to ping device\n";
    const Bytes taken = {IAC, DO, BIN, IAC, WILL, BIN, IAC, DO, CPO};
    // The ping reply with Telnet commands in its middle and a doubled 0xFF outside it.
    const Bytes interleaved = {0x55, 0x07, IAC, WILL, echo, 0x00, IAC, 0xF1, 0x00, 0x01,
                               0x9E, IAC,  SB,  CPO,  105,  1,    IAC, SE,   0x15};
    struct Case {
        Play play;
        bool telnet;
        std::vector<std::string> switches;
        const char* out;
        int status;
        const char* err_has;
        Bytes sent_has;   // in what the client sent
        bool frame_sent;  // whether the ping request went out
    };
    // clang-format off
    const std::vector<Case> cases = {
        {{"raw, split reply", true, {}, false, 0, ping_reply, true, Play::STAY},
         false, {}, "PING OK\n", 0, "", {}, true},
        {{"never answers", true, {}, false, 0, {}, false, Play::STAY},
         false, {}, never.c_str(), 1, "", {}, true},
        {{"closed mid-frame", true, {}, false, 0, {0x55, 0x07}, false, Play::CLOSE},
         false, {}, "Failed to read from port\nFailed to read header\nFailed to ping device\n", 1,
         ") closed the connection", {}, true},
        {{"reset mid-frame", true, {}, false, 0, {0x55, 0x07, 0x00}, false, Play::RESET},
         false, {}, "Failed to read from port\nFailed to read header\nFailed to ping device\n", 1,
         ") was reset", {}, true},
        {{"never accepts", false, {}, false, 0, {}, false, Play::STAY},
         false, {}, "Failed to open port", 1, "no answer within 1000 ms", {}, false},
        {{"settings taken, reply split and interleaved", true, taken, true, 0, interleaved,
          true, Play::STAY},
         true, {}, "PING OK\n", 0, "", {IAC, DONT, echo}, true},
        {{"acknowledgements never come", true, taken, false, 0, ping_reply, false, Play::STAY},
         true, {"--trace"}, "PING OK\n", 0,
         "did not acknowledge the baud rate within 500 ms; going on", {}, true},
        {{"a setting refused", true, taken, true, 9600, ping_reply, false, Play::STAY},
         true, {}, "", 1, "set the line's baud rate to 9600 when asked for 115200", {}, false},
        {{"COM-PORT-OPTION refused", true, {IAC, DONT, CPO, IAC, WILL, echo}, false, 0,
          ping_reply, false, Play::STAY},
         true, {}, "PING OK\n", 0,
         "refuses the COM-PORT-OPTION: going on as plain Telnet at the line settings the "
         "server has", {IAC, DONT, echo}, true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.play.name);
        FakeServer server(c.play);
        std::vector<std::string> words = c.switches;
        words.push_back((c.telnet ? "rfc2217://127.0.0.1:" : "tcp://127.0.0.1:") +
                        std::to_string(server.port));
        words.push_back("ping");
        const RunResult run = Tool(words);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.status, c.status);
        EXPECT_TRUE(Has(run.err, c.err_has)) << run.err;
        server.Join();
        if (!c.sent_has.empty()) {
            EXPECT_TRUE(Contains(server.got, c.sent_has));
        }
        EXPECT_EQ(Contains(server.got, Bytes(ping_reply)), c.frame_sent);
    }
}
