// The Telnet side of a network line with the COM-PORT-OPTION: bytes from the server in, the
// line's data and the answers owed out, and what the server said about the line's settings. No
// I/O, no clock: the network transport feeds it and decides how long to wait.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint8_t telnet_iac = 0xFF;
constexpr uint8_t telnet_dont = 0xFE;
constexpr uint8_t telnet_do = 0xFD;
constexpr uint8_t telnet_wont = 0xFC;
constexpr uint8_t telnet_will = 0xFB;
constexpr uint8_t telnet_sb = 0xFA;
constexpr uint8_t telnet_se = 0xF0;
constexpr uint8_t telnet_binary = 0;
constexpr uint8_t telnet_com_port = 44;

// The COM-PORT-OPTION's requests; the server answers each with the same code plus 100.
enum ComPortRequest : uint8_t {
    COM_SET_BAUDRATE = 1,
    COM_SET_DATASIZE = 2,
    COM_SET_PARITY = 3,
    COM_SET_STOPSIZE = 4,
    COM_SET_CONTROL = 5,
    COM_PURGE_DATA = 12,
    COM_REQUEST_COUNT = 13,
};
constexpr uint8_t com_server_offset = 100;
// Values the line needs: no parity, one stop bit, no flow control, both of the server's buffers.
constexpr uint8_t com_parity_none = 1;
constexpr uint8_t com_stop_one = 1;
constexpr uint8_t com_control_none = 1;
constexpr uint8_t com_purge_both = 3;

// Where the server stands on the COM-PORT-OPTION.
enum ComPortState {
    COM_PORT_ASKED,    // nothing heard yet
    COM_PORT_TAKEN,    // the server does it
    COM_PORT_REFUSED,  // the server will not
};

class TelnetCodec {
public:
    // What the client says first: BINARY both ways and the COM-PORT-OPTION.
    std::string Opening();
    // The line's data as it goes on the wire: each 0xFF doubled.
    static std::string Escape(const void* data, size_t size);
    // One COM-PORT-OPTION request with its value (1 byte, or 4 for the baud rate), escaped.
    std::string Request(ComPortRequest request, uint32_t value);

    // Takes bytes as they came off the network, in pieces of any size: the line's data is
    // appended to *data, the answers the server is owed to *reply. A sequence cut by the end of a
    // piece is held until the next one.
    void Receive(const void* bytes, size_t size, std::string* data, std::string* reply);

    ComPortState com_port() const { return com_port_; }
    // Whether the server has answered `request` since it was last sent, and with what value.
    bool Answered(ComPortRequest request) const { return answered_[request]; }
    uint32_t Answer(ComPortRequest request) const { return answer_[request]; }

private:
    enum Phase { DATA, COMMAND, OPTION, SUB, SUB_IAC };
    void Negotiate(uint8_t verb, uint8_t option, std::string* reply);
    void EndSub();

    Phase phase_ = DATA;
    uint8_t verb_ = 0;
    std::string sub_;
    // Per option and side (0: ours, 1: the server's): on, and asked for without an answer yet.
    bool on_[2][256] = {};
    bool asked_[2][256] = {};
    ComPortState com_port_ = COM_PORT_ASKED;
    bool answered_[COM_REQUEST_COUNT] = {};
    uint32_t answer_[COM_REQUEST_COUNT] = {};
};
