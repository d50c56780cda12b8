// gantrix_floor: the least a program can do to run the tool's exchanges on a line, so the tool's
// own cost shows as the difference. One write and one read per exchange, nothing printed.
//
//   gantrix_floor PORT ping           one ping exchange, then exit (start-up to exit)
//   gantrix_floor PORT upgrade FILE   the boot-loader switch, then the blocks the tool would send
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "proto/Packet.h"

namespace {

constexpr int block_bytes = 32;

// Blocking raw line: the read returns once a whole 7-byte reply is there, so it costs one call.
bool OpenLine(const char* path, int* fd)
{
    *fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*fd < 0)
        return false;
    termios tio{};
    if (tcgetattr(*fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = proto_base_size;
    tio.c_cc[VTIME] = 0;
    return tcsetattr(*fd, TCSANOW, &tio) == 0;
}

bool Exchange(int fd, Packet* packet)
{
    SealFrame(packet);
    if (write(fd, packet, packet->size) != packet->size)
        return false;
    uint8_t reply[proto_max_size];
    ssize_t got = read(fd, reply, sizeof(reply));
    if (got < proto_base_size || reply[0] != hproto_sync)
        return false;
    // Longer replies (an error carries a result byte) are finished off; blocks never get one.
    while (got < reply[1]) {
        ssize_t n = read(fd, reply + got, sizeof(reply) - static_cast<size_t>(got));
        if (n <= 0)
            return false;
        got += n;
    }
    return reply[4] != 0;
}

bool IsBlank(const uint8_t* block)
{
    for (int i = 0; i < block_bytes; ++i)
        if (block[i] != 0xFF)
            return false;
    return true;
}

bool Upgrade(int fd, const char* file_path)
{
    FILE* file = fopen(file_path, "rb");
    if (!file)
        return false;
    std::vector<uint8_t> image;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), file)) > 0)
        image.insert(image.end(), chunk, chunk + n);
    fclose(file);

    Packet packet{};
    packet.size = proto_base_size + 4;
    packet.cmd = HPROTO_CMD_SWITCH_BOOT_APP;
    if (!Exchange(fd, &packet))
        return false;
    const size_t size = image.size();
    for (size_t pos = 0; pos < size; pos += block_bytes) {
        packet.size = proto_base_size + 4 + block_bytes;
        packet.cmd = HPROTO_CMD_UPGRADE;
        packet.cmd_data[0] = static_cast<uint8_t>(pos >> 24);
        packet.cmd_data[1] = static_cast<uint8_t>(pos >> 16);
        packet.cmd_data[2] = static_cast<uint8_t>(pos >> 8);
        packet.cmd_data[3] = static_cast<uint8_t>(pos);
        uint8_t* data = packet.cmd_data + 4;
        std::memset(data, 0xFF, block_bytes);
        std::memcpy(data, image.data() + pos, std::min<size_t>(block_bytes, size - pos));
        // The same blocks as the tool: blank ones skipped, the first and the last always sent.
        if (pos != 0 && pos + block_bytes < size && IsBlank(data))
            continue;
        if (!Exchange(fd, &packet))
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    bool ping = argc == 3 && std::strcmp(argv[2], "ping") == 0;
    bool upgrade = argc == 4 && std::strcmp(argv[2], "upgrade") == 0;
    if (!ping && !upgrade) {
        fputs("usage: gantrix_floor PORT ping | gantrix_floor PORT upgrade FILE\n", stderr);
        return 2;
    }
    int fd = -1;
    if (!OpenLine(argv[1], &fd)) {
        perror("gantrix_floor: open");
        return 1;
    }
    bool ok;
    if (ping) {
        Packet packet{};
        packet.size = proto_base_size;
        packet.cmd = HPROTO_CMD_PING;
        ok = Exchange(fd, &packet);
    } else {
        ok = Upgrade(fd, argv[3]);
    }
    close(fd);
    if (!ok)
        fputs("gantrix_floor: exchange failed\n", stderr);
    return ok ? 0 : 1;
}
