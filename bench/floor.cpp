// gantrix_floor: the least a program can do to run the tool's exchanges on a line, so the tool's
// own cost shows as the difference. One write and one read per exchange, nothing printed.
//
//   gantrix_floor PORT ping           one ping exchange, then exit (start-up to exit)
//   gantrix_floor PORT upgrade FILE   the boot-loader switch, then the blocks the tool would send
//
// The Windows build (gantrix_floor.exe, PORT as COM41) shows what the line costs under Wine.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#endif

#include "proto/Packet.h"

namespace {

constexpr int block_bytes = 32;

#ifdef _WIN32
using Line = HANDLE;

// A read asks for a whole 7-byte reply and returns once it is there, so it costs one call.
bool OpenLine(const char* word, Line* line)
{
    std::string path = std::string("\\\\.\\") + word;
    *line = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                        nullptr);
    if (*line == INVALID_HANDLE_VALUE)
        return false;
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(*line, &dcb))
        return false;
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutX = dcb.fInX = FALSE;
    COMMTIMEOUTS timeouts{0, 0, 5000, 0, 5000};
    return SetCommState(*line, &dcb) && SetCommTimeouts(*line, &timeouts);
}

long LineWrite(Line line, const void* data, size_t size)
{
    DWORD put = 0;
    return WriteFile(line, data, static_cast<DWORD>(size), &put, nullptr) ? long(put) : -1;
}

long LineRead(Line line, void* data, size_t size)
{
    DWORD got = 0;
    return ReadFile(line, data, static_cast<DWORD>(size), &got, nullptr) ? long(got) : -1;
}

void CloseLine(Line line)
{
    CloseHandle(line);
}
#else
using Line = int;

// Blocking raw line: the read returns once a whole 7-byte reply is there, so it costs one call.
bool OpenLine(const char* path, Line* fd)
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

long LineWrite(Line fd, const void* data, size_t size)
{
    return write(fd, data, size);
}

long LineRead(Line fd, void* data, size_t size)
{
    return read(fd, data, size);
}

void CloseLine(Line fd)
{
    close(fd);
}
#endif

bool Exchange(Line line, Packet* packet)
{
    SealFrame(packet);
    if (LineWrite(line, packet, packet->size) != packet->size)
        return false;
    uint8_t reply[proto_max_size];
    long got = LineRead(line, reply, proto_base_size);
    if (got < proto_base_size || reply[0] != hproto_sync)
        return false;
    // Longer replies (an error carries a result byte) are finished off; blocks never get one.
    while (got < reply[1]) {
        long n = LineRead(line, reply + got, static_cast<size_t>(reply[1] - got));
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

bool Upgrade(Line fd, const char* file_path)
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
    Line fd{};
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
    CloseLine(fd);
    if (!ok)
        fputs("gantrix_floor: exchange failed\n", stderr);
    return ok ? 0 : 1;
}
