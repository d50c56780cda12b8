// ser2net in front of the simulated board, started and stopped by pid.
#include "Ser2net.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "TestSupport.h"

namespace {

// Whether someone listens on the port: it cannot be bound. A connection would not do: ser2net
// opens the board's line for each one, and the board answers the close with a new device.
bool Listened(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool taken = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0;
    close(fd);
    return taken;
}

}  // namespace

std::string Ser2netPath()
{
    for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"})
        if (access(path, X_OK) == 0)
            return path;
    return "";
}

int FreeTcpPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

bool Ser2netBoard::Start(const std::vector<std::string>& board_args, bool chardelay)
{
    char dir[] = "/tmp/gantrix-ser2net-XXXXXX";
    if (!mkdtemp(dir)) {
        ADD_FAILURE() << "no temporary directory";
        return false;
    }
    dir_ = dir;
    link = dir_ + "/line";
    std::vector<std::string> args = board_args;
    args.insert(args.end(), {"--link", link});
    board = StartBoard(args);
    if (board.pid < 0)
        return false;
    // Each port is let go before the next is asked for: the same one may come twice.
    const int raw = FreeTcpPort();
    int telnet = FreeTcpPort();
    while (telnet == raw)
        telnet = FreeTcpPort();
    const std::string connector = "  connector: serialdev," + link + ",115200n81,local\n";
    const std::string options = chardelay ? "" : "  options:\n    chardelay: false\n";
    std::ofstream(dir_ + "/ser2net.yaml")
        << "connection: &raw\n  accepter: tcp,localhost," << raw << "\n"
        << connector << options
        << "connection: &rfc2217\n  accepter: telnet(rfc2217),tcp,localhost," << telnet << "\n"
        << connector << options;
    ser2net_ = SpawnProgram({Ser2netPath(), "-n", "-d", "-c", dir_ + "/ser2net.yaml"}, -1, -1, -1);
    tcp_word = "tcp://127.0.0.1:" + std::to_string(raw);
    rfc2217_word = "rfc2217://127.0.0.1:" + std::to_string(telnet);
    // Ready once both ports take a connection; a hang guard only.
    for (int i = 0; i < 500; ++i) {
        if (Listened(raw) && Listened(telnet))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "ser2net did not listen on " << raw << " and " << telnet;
    return false;
}

int Ser2netBoard::Stop()
{
    if (ser2net_ > 0) {
        kill(ser2net_, SIGTERM);
        int wstatus = 0;
        if (!WaitProgram(ser2net_, 5000, &wstatus))
            ADD_FAILURE() << "ser2net did not stop";
        ser2net_ = -1;
    }
    const int status = board.pid > 0 ? StopBoard(&board) : -1;
    if (!dir_.empty()) {
        unlink((dir_ + "/ser2net.yaml").c_str());
        rmdir(dir_.c_str());
        dir_.clear();
    }
    return status;
}

bool Ser2netBoard::Settle()
{
    char device[256];
    const ssize_t n = readlink(link.c_str(), device, sizeof(device) - 1);
    if (n <= 0)
        return false;
    device[n] = 0;
    const std::string fds = "/proc/" + std::to_string(ser2net_) + "/fd";
    for (int i = 0; i < 500; ++i) {
        bool held = false;
        if (DIR* dir = opendir(fds.c_str())) {
            while (dirent* entry = readdir(dir)) {
                char target[256];
                const std::string fd = fds + "/" + entry->d_name;
                const ssize_t m = readlink(fd.c_str(), target, sizeof(target) - 1);
                held = held || (m > 0 && std::string(target, static_cast<size_t>(m)) == device);
            }
            closedir(dir);
        }
        if (!held)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}
