// The debug trace: poll the board for its debug text and copy it to the console as it comes.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "Commands.h"
#include "proto/Exchange.h"

int Debug(Link& link)
{
    Packet packet;
    char buf[sizeof(packet.cmd_data) + 1];
    for (;;) {
        packet = Request(HPROTO_CMD_DEBUG);
        if (!ExchangePacket(link, &packet)) {
            link.out->Show();
            return COMMAND_FAILED;
        }
        int length = packet.size - proto_base_size;
        if (length <= 0)
            continue;
        std::memcpy(buf, packet.cmd_data, static_cast<size_t>(length));
        buf[length] = '\0';
        // Board text is data, never a format; it ends at its first zero byte.
        link.out->Write(std::string(buf, std::strlen(buf)));
        link.out->Show();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
