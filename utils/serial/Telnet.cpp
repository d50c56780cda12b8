// Telnet option negotiation as a client that wants BINARY both ways and the COM-PORT-OPTION, and
// declines everything else: a server that offers an option gets DONT, one that asks for one gets
// WONT, and an answer to our own question is not answered again (no negotiation loops).
#include "Telnet.h"

namespace {

constexpr int ours = 0;
constexpr int theirs = 1;

// The options a side may have on: both ways BINARY, and the COM-PORT-OPTION from our side.
bool Wanted(int side, uint8_t option)
{
    return option == telnet_binary || (side == ours && option == telnet_com_port);
}

void Put(std::string* out, uint8_t a, uint8_t b, uint8_t c)
{
    out->push_back(static_cast<char>(a));
    out->push_back(static_cast<char>(b));
    out->push_back(static_cast<char>(c));
}

}  // namespace

std::string TelnetCodec::Opening()
{
    std::string out;
    Put(&out, telnet_iac, telnet_will, telnet_binary);
    Put(&out, telnet_iac, telnet_do, telnet_binary);
    Put(&out, telnet_iac, telnet_will, telnet_com_port);
    asked_[ours][telnet_binary] = true;
    asked_[theirs][telnet_binary] = true;
    asked_[ours][telnet_com_port] = true;
    com_port_ = COM_PORT_ASKED;
    return out;
}

std::string TelnetCodec::Escape(const void* data, size_t size)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    std::string out;
    out.reserve(size + 8);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(static_cast<char>(p[i]));
        if (p[i] == telnet_iac)
            out.push_back(static_cast<char>(telnet_iac));
    }
    return out;
}

std::string TelnetCodec::Request(ComPortRequest request, uint32_t value)
{
    answered_[request] = false;
    uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                        static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    const bool wide = request == COM_SET_BAUDRATE;
    std::string out;
    Put(&out, telnet_iac, telnet_sb, telnet_com_port);
    out.push_back(static_cast<char>(request));
    out += Escape(wide ? bytes : bytes + 3, wide ? 4 : 1);
    out.push_back(static_cast<char>(telnet_iac));
    out.push_back(static_cast<char>(telnet_se));
    return out;
}

void TelnetCodec::Negotiate(uint8_t verb, uint8_t option, std::string* reply)
{
    // DO and DONT are about our side, WILL and WONT about the server's.
    const int side = (verb == telnet_do || verb == telnet_dont) ? ours : theirs;
    const bool enable = verb == telnet_do || verb == telnet_will;
    const uint8_t yes = side == ours ? telnet_will : telnet_do;
    const uint8_t no = side == ours ? telnet_wont : telnet_dont;
    bool& on = on_[side][option];
    bool& asked = asked_[side][option];
    if (enable && !Wanted(side, option)) {
        Put(reply, telnet_iac, no, option);
        return;
    }
    if (enable) {
        if (!on && !asked)
            Put(reply, telnet_iac, yes, option);
        on = true;
    } else {
        if (on)
            Put(reply, telnet_iac, no, option);
        on = false;
    }
    asked = false;
    if (side == ours && option == telnet_com_port)
        com_port_ = on ? COM_PORT_TAKEN : COM_PORT_REFUSED;
}

void TelnetCodec::EndSub()
{
    phase_ = DATA;
    if (sub_.size() < 3 || static_cast<uint8_t>(sub_[0]) != telnet_com_port)
        return;
    const uint8_t code = static_cast<uint8_t>(sub_[1]);
    if (code <= com_server_offset || code - com_server_offset >= COM_REQUEST_COUNT)
        return;
    const int request = code - com_server_offset;
    uint32_t value = 0;
    for (size_t i = 2; i < sub_.size() && i < 6; ++i)
        value = value << 8 | static_cast<uint8_t>(sub_[i]);
    if (request != COM_SET_BAUDRATE)
        value = static_cast<uint8_t>(sub_[2]);
    answered_[request] = true;
    answer_[request] = value;
}

void TelnetCodec::Receive(const void* bytes, size_t size, std::string* data, std::string* reply)
{
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = p[i];
        switch (phase_) {
        case DATA:
            if (b == telnet_iac)
                phase_ = COMMAND;
            else
                data->push_back(static_cast<char>(b));
            break;
        case COMMAND:
            phase_ = DATA;
            if (b == telnet_iac) {
                data->push_back(static_cast<char>(b));
            } else if (b >= telnet_will && b <= telnet_dont) {
                verb_ = b;
                phase_ = OPTION;
            } else if (b == telnet_sb) {
                sub_.clear();
                phase_ = SUB;
            }
            // Any other command (NOP, GA, a data mark) carries nothing for this line.
            break;
        case OPTION:
            phase_ = DATA;
            Negotiate(verb_, b, reply);
            break;
        case SUB:
            if (b == telnet_iac)
                phase_ = SUB_IAC;
            else
                sub_.push_back(static_cast<char>(b));
            break;
        case SUB_IAC:
            if (b == telnet_iac) {
                sub_.push_back(static_cast<char>(b));
                phase_ = SUB;
            } else {
                // IAC SE ends it; a server that ends it with another command has that command
                // read as such.
                EndSub();
                if (b != telnet_se) {
                    phase_ = COMMAND;
                    Receive(&b, 1, data, reply);
                }
            }
            break;
        }
    }
}
