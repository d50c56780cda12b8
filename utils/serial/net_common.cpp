// The network transport: a TCP connection, raw or through the Telnet codec, behind the same
// Transport as a local line. The platform's sockets are in net_posix.cpp and net_win32.cpp.
#include "NetPort.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "NetSocket.h"
#include "console/Console.h"
#include "Telnet.h"

namespace {

using Clock = std::chrono::steady_clock;

int MsUntil(Clock::time_point until)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

struct SettingRequest {
    ComPortRequest request;
    const char* name;
};
constexpr SettingRequest setting_requests[] = {
    {COM_SET_BAUDRATE, "baud rate"}, {COM_SET_DATASIZE, "data size"},   {COM_SET_PARITY, "parity"},
    {COM_SET_STOPSIZE, "stop size"}, {COM_SET_CONTROL, "flow control"},
};

// The line's settings in the COM-PORT-OPTION's encoding (LineSettings uses the Win32 one).
uint32_t ComValue(ComPortRequest request, const LineSettings& line)
{
    constexpr uint8_t stop_sizes[] = {1, 3, 2};  // one, one and a half, two
    switch (request) {
    case COM_SET_BAUDRATE:
        return line.baud_rate;
    case COM_SET_DATASIZE:
        return line.byte_size;
    case COM_SET_PARITY:
        return line.parity + 1u;
    case COM_SET_STOPSIZE:
        return line.stop_bits < 3 ? stop_sizes[line.stop_bits] : com_stop_one;
    default:
        return com_control_none;
    }
}

class NetTransport final : public Transport {
public:
    NetTransport(SocketHandle socket, bool telnet, std::string peer, int timeout_ms)
        : socket_(socket), telnet_(telnet), peer_(std::move(peer)), timeout_ms_(timeout_ms)
    {
        std::memset(&settings_, 0, sizeof(settings_));
        settings_.baud_rate = 115200;
        settings_.byte_size = 8;
    }
    NetTransport(const NetTransport&) = delete;
    NetTransport& operator=(const NetTransport&) = delete;
    ~NetTransport() override { SocketClose(socket_); }

    // BINARY both ways and the COM-PORT-OPTION. A server that will not take the option (or
    // does not say within the bound) still carries the line: the run goes on at the line
    // settings the server has, with a note, since the board may well be set as it needs.
    bool Negotiate()
    {
        if (!Send(codec_.Opening()))
            return false;
        Await([this] { return codec_.com_port() != COM_PORT_ASKED; });
        if (gone_ || codec_.com_port() == COM_PORT_TAKEN)
            return !gone_;
        const char* why = codec_.com_port() == COM_PORT_REFUSED
                              ? " refuses the COM-PORT-OPTION"
                              : " did not answer the COM-PORT-OPTION";
        news_.notes.push_back("gantrix: " + peer_ + why +
                              ": going on as plain Telnet at the line settings the server has");
        return true;
    }

    bool Read(void* data, uint32_t size, uint32_t* bytes) override
    {
        *bytes = 0;
        if (size == 0)
            return true;
        // As before a wait on a local line: what stdout holds is shown first.
        if (held_.size() == taken_)
            ShowPrinted();
        const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeout_ms_);
        while (held_.size() == taken_) {
            if (gone_)
                return false;
            const SocketRead got = Pull(MsUntil(until));
            if (got == SOCKET_QUIET && MsUntil(until) == 0)
                return true;
        }
        *bytes = static_cast<uint32_t>(std::min<size_t>(size, held_.size() - taken_));
        std::memcpy(data, held_.data() + taken_, *bytes);
        taken_ += *bytes;
        if (taken_ == held_.size())
            Drop();
        return true;
    }

    bool Write(const void* data, uint32_t size, uint32_t* bytes) override
    {
        *bytes = 0;
        const bool sent = telnet_ ? Send(TelnetCodec::Escape(data, size))
                                  : Send(std::string(static_cast<const char*>(data), size));
        if (sent)
            *bytes = size;
        return sent;
    }

    // The settings are the tool's own record of what it asked for; a connection that is gone
    // shows as a hang-up at the first exchange, as a local line's does, not as a line without
    // settings.
    bool GetSettings(LineSettings* settings) override
    {
        *settings = settings_;
        return true;
    }

    bool SetSettings(const LineSettings* settings) override
    {
        settings_ = *settings;
        if (!ComPort())
            return true;
        std::string requests;
        for (const SettingRequest& row : setting_requests)
            requests += codec_.Request(row.request, ComValue(row.request, settings_));
        if (!Send(requests))
            return true;
        Await([this] {
            for (const SettingRequest& row : setting_requests)
                if (!codec_.Answered(row.request))
                    return false;
            return true;
        });
        if (gone_)
            return true;
        for (const SettingRequest& row : setting_requests) {
            const uint32_t asked = ComValue(row.request, settings_);
            if (!codec_.Answered(row.request))
                Unanswered(row.name);
            else if (codec_.Answer(row.request) != asked && news_.refusal.empty())
                news_.refusal = "gantrix: " + peer_ + " set the line's " + row.name + " to " +
                                std::to_string(codec_.Answer(row.request)) + " when asked for " +
                                std::to_string(asked);
        }
        return true;
    }

    // Drops what is held here and, through the server's purge, what it holds; a reply in flight
    // comes before the purge's answer and is dropped with it.
    void Purge() override
    {
        if (ComPort() && Send(codec_.Request(COM_PURGE_DATA, com_purge_both))) {
            if (!Await([this] { return codec_.Answered(COM_PURGE_DATA); }))
                Unanswered("purge");
        } else {
            while (!gone_ && Pull(0) == SOCKET_DATA) {
            }
        }
        Drop();
    }

    void SetQueues(uint32_t, uint32_t) override
    {
        // The server sizes its own buffers.
    }

    std::string SlowAdapterAdvice() override
    {
        return "the serial device server " + peer_ +
               " holds what it reads from the board before sending it on (ser2net's "
               "chardelay): set chardelay: false on its connection (or the server's like "
               "setting) and replies come as soon as the board sends them";
    }

    bool IsNetwork() const override { return true; }

    LineNews TakeNews() override
    {
        LineNews news = std::move(news_);
        news_ = LineNews();
        return news;
    }

private:
    bool ComPort() const { return telnet_ && codec_.com_port() == COM_PORT_TAKEN; }

    void Drop()
    {
        held_.clear();
        taken_ = 0;
    }

    void Unanswered(const char* what)
    {
        news_.trace.push_back(peer_ + " did not acknowledge the " + std::string(what) + " within " +
                              std::to_string(net_answer_wait_ms) + " ms; going on");
    }

    void Lost(const std::string& how)
    {
        if (!gone_)
            news_.notes.push_back("gantrix: " + how);
        gone_ = true;
    }

    bool Send(const std::string& bytes)
    {
        if (gone_)
            return false;
        if (SocketSend(socket_, bytes.data(), static_cast<uint32_t>(bytes.size()), timeout_ms_))
            return true;
        Lost("the connection to " + peer_ + " failed while writing");
        return false;
    }

    // One read off the connection, waiting at most wait_ms: the line's data joins what is held,
    // the Telnet answers owed go out at once.
    SocketRead Pull(int wait_ms)
    {
        char buffer[1024];
        uint32_t got = 0;
        const SocketRead read = SocketReceive(socket_, buffer, sizeof(buffer), wait_ms, &got);
        if (read == SOCKET_CLOSED)
            Lost(peer_ + " closed the connection");
        else if (read == SOCKET_RESET)
            Lost("the connection to " + peer_ + " was reset");
        if (read != SOCKET_DATA)
            return read;
        if (!telnet_) {
            held_.append(buffer, got);
            return read;
        }
        std::string reply;
        codec_.Receive(buffer, got, &held_, &reply);
        if (!reply.empty())
            Send(reply);
        return read;
    }

    // Reads until `done` or the answer bound runs out; whether `done`.
    template <typename Done>
    bool Await(Done done)
    {
        const Clock::time_point until =
            Clock::now() + std::chrono::milliseconds(std::min(net_answer_wait_ms, timeout_ms_));
        while (!done() && !gone_) {
            if (Pull(MsUntil(until)) == SOCKET_QUIET && MsUntil(until) == 0)
                break;
        }
        return done();
    }

    const SocketHandle socket_;
    const bool telnet_;
    const std::string peer_;
    const int timeout_ms_;
    TelnetCodec codec_;
    LineSettings settings_;
    std::string held_;  // the line's data read off the connection and not yet taken
    size_t taken_ = 0;
    bool gone_ = false;
    LineNews news_;
};

}  // namespace

Port OpenNetPort(const NetWord& word, const std::string& typed, int timeout_ms,
                 std::string* failure)
{
    const SocketOpening opening = SocketConnect(word.host, word.port, timeout_ms);
    if (opening.socket == no_socket) {
        *failure = "gantrix: " + typed + ": " + opening.failure;
        return Port();
    }
    const bool telnet = word.kind == NET_RFC2217;
    auto transport =
        std::make_unique<NetTransport>(opening.socket, telnet, typed + " (" + opening.address + ")",
                                       timeout_ms);
    if (telnet && !transport->Negotiate()) {
        LineNews news = transport->TakeNews();
        *failure = news.notes.empty() ? "gantrix: " + typed + ": the connection failed"
                                      : news.notes.back();
        return Port();
    }
    return Port(std::move(transport), timeout_ms);
}
