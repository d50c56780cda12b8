// POSIX port listing from Linux's sysfs, and the reasons behind a port that did not open. No port
// is opened here: opening one raises its modem lines, which resets some boards.
#include "PortList.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <grp.h>
#include <map>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#endif

namespace {

// The first line of a small file, without its line end; "" when it cannot be read.
std::string ReadAttr(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

std::string RealPath(const std::string& path)
{
    char* real = realpath(path.c_str(), nullptr);
    if (!real)
        return "";
    std::string out = real;
    std::free(real);
    return out;
}

std::string LinkTarget(const std::string& path)
{
    char target[4096];
    ssize_t n = readlink(path.c_str(), target, sizeof(target) - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
}

std::string BaseName(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Parent(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

// The names in a directory, "." and ".." left out.
std::vector<std::string> DirNames(const std::string& path)
{
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (!dir)
        return names;
    while (dirent* entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, ".."))
            names.push_back(entry->d_name);
    closedir(dir);
    return names;
}

bool IsPidName(const std::string& name)
{
    return !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
}

int HexAttr(const std::string& path)
{
    std::string text = ReadAttr(path);
    if (text.empty())
        return -1;
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 16);
    return *end == '\0' ? static_cast<int>(value) : -1;
}

// What sysfs tells of the hardware behind a tty: the USB device it hangs off, or else the name of
// the driver that serves it.
void FillFromDevice(const std::string& device, const std::string& sys_root, PortInfo* port)
{
    const std::string devices = RealPath(sys_root) + "/devices";
    std::string driver;
    for (std::string dir = device; dir.size() > devices.size(); dir = Parent(dir)) {
        if (driver.empty()) {
            // serial-base's "port" and "ctrl" sit between a UART and its real driver.
            std::string name = BaseName(LinkTarget(dir + "/driver"));
            if (name != "port" && name != "ctrl")
                driver = name;
        }
        int vid = HexAttr(dir + "/idVendor");
        if (vid < 0)
            continue;
        port->vid = vid;
        port->pid = HexAttr(dir + "/idProduct");
        port->serial = ReadAttr(dir + "/serial");
        port->description = ReadAttr(dir + "/product");
        if (port->description.empty())
            port->description = ReadAttr(dir + "/manufacturer");
        break;
    }
    if (port->description.empty())
        port->description = driver;
}

// A USB serial adapter's latency timer in ms, which its driver shows to every user; -1 where the
// tty has none (not a usb-serial adapter, or a driver without the setting).
int LatencyTimer(const std::string& sys_root, const std::string& name)
{
    std::string text = ReadAttr(sys_root + "/bus/usb-serial/devices/" + name + "/latency_timer");
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    return text.empty() || *end != '\0' || value < 0 ? -1 : static_cast<int>(value);
}

// udev's stable names: port name -> its /dev/serial/by-id link.
std::map<std::string, std::string> ByIdLinks(const std::string& dev_root)
{
    std::map<std::string, std::string> links;
    const std::string dir = dev_root + "/serial/by-id";
    for (const std::string& name : DirNames(dir)) {
        std::string target = LinkTarget(dir + "/" + name);
        if (!target.empty())
            links.emplace(BaseName(target), dir + "/" + name);
    }
    return links;
}

struct LockHolder {
    unsigned major;
    unsigned minor;
    unsigned long inode;
    int pid;
};

// The kernel's table of file locks. A run holds an exclusive flock on its device for as long as
// it has the port, so this finds the run without opening the device.
std::vector<LockHolder> LockHolders(const std::string& proc_root)
{
    std::vector<LockHolder> holders;
    std::ifstream in(proc_root + "/locks");
    std::string line;
    while (std::getline(in, line)) {
        // "1: FLOCK  ADVISORY  WRITE 4711 00:1a:4 0 EOF". A waiter's line, "1: -> FLOCK ...",
        // has one word more, so its pid field does not read as a number.
        LockHolder holder{};
        if (std::sscanf(line.c_str(), "%*d: %*s %*s %*s %d %x:%x:%lu", &holder.pid, &holder.major,
                        &holder.minor, &holder.inode) == 4)
            holders.push_back(holder);
    }
    return holders;
}

int LockHolderOf(const std::string& path, const std::vector<LockHolder>& holders)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return 0;
    for (const LockHolder& holder : holders)
        if (holder.major == major(st.st_dev) && holder.minor == minor(st.st_dev) &&
            holder.inode == static_cast<unsigned long>(st.st_ino))
            return holder.pid > 0 ? holder.pid : -1;
    return 0;
}

// A process other than this one with the device open: for a holder that locks nothing (another
// program's TIOCEXCL). Only the processes this user may look into are seen.
int FdHolderOf(const std::string& path, const std::string& proc_root)
{
    const std::string device = RealPath(path);
    if (device.empty())
        return 0;
    const std::string self = std::to_string(getpid());
    for (const std::string& pid : DirNames(proc_root)) {
        if (!IsPidName(pid) || pid == self)
            continue;
        const std::string fds = proc_root + "/" + pid + "/fd";
        for (const std::string& fd : DirNames(fds))
            if (LinkTarget(fds + "/" + fd) == device)
                return std::atoi(pid.c_str());
    }
    return 0;
}

std::string ProcessName(const std::string& proc_root, int pid)
{
    return ReadAttr(proc_root + "/" + std::to_string(pid) + "/comm");
}

// Services that take serial devices for themselves: brltty claims some USB serial adapters as
// braille displays (the tty disappears), ModemManager opens new ports to look for a modem.
std::string HelperHints(const std::string& proc_root)
{
    bool brltty = false;
    bool modem_manager = false;
    for (const std::string& pid : DirNames(proc_root)) {
        if (!IsPidName(pid))
            continue;
        std::string name = ReadAttr(proc_root + "/" + pid + "/comm");
        brltty = brltty || name == "brltty";
        modem_manager = modem_manager || name == "ModemManager";
    }
    std::string hints;
    if (brltty)
        hints += "; brltty is running and may claim USB serial adapters "
                 "(sudo systemctl disable --now brltty)";
    if (modem_manager)
        hints += "; ModemManager is running and may be probing the port "
                 "(sudo systemctl stop ModemManager)";
    return hints;
}

}  // namespace

std::vector<PortInfo> ListPorts(const SystemRoots& roots)
{
    std::vector<PortInfo> ports;
    const std::string class_dir = roots.sys + "/class/tty";
    const std::map<std::string, std::string> by_id = ByIdLinks(roots.dev);
    const std::vector<LockHolder> locks = LockHolders(roots.proc);
    for (const std::string& name : DirNames(class_dir)) {
        const std::string tty = class_dir + "/" + name;
        // Virtual terminals and pseudo-terminals have no device behind them.
        std::string device = RealPath(tty + "/device");
        if (device.empty())
            continue;
        // The serial core keeps entries for UARTs it never found (most ttyS on a PC): type 0.
        if (ReadAttr(tty + "/type") == "0")
            continue;
        PortInfo port;
        port.name = name;
        port.path = roots.dev + "/" + name;
        port.console = ReadAttr(tty + "/console") == "Y";
        FillFromDevice(device, roots.sys, &port);
        port.latency_ms = LatencyTimer(roots.sys, name);
        auto link = by_id.find(name);
        if (link != by_id.end())
            port.by_id = link->second;
        int holder = LockHolderOf(port.path, locks);
        port.busy = holder != 0;
        port.busy_pid = holder > 0 ? holder : 0;
        ports.push_back(port);
    }
    SortPorts(&ports);
    return ports;
}

std::vector<PortInfo> ListPorts()
{
    return ListPorts(SystemRoots{});
}

std::string DescribeOpenFailure(const std::string& path, PortOpenError error,
                                const SystemRoots& roots)
{
    const std::string head = "gantrix: cannot open " + path + ": ";
    if (error.busy) {
        int pid = LockHolderOf(path, LockHolders(roots.proc));
        if (pid <= 0)
            pid = FdHolderOf(path, roots.proc);
        std::string who = "another program holds it; close that program first";
        if (pid > 0) {
            std::string name = ProcessName(roots.proc, pid);
            if (name.compare(0, 7, "gantrix") == 0)
                who = "another run of gantrix (pid " + std::to_string(pid) +
                      ") holds it; wait for it to end, or stop it";
            else
                who = "pid " + std::to_string(pid) + " (" + name +
                      ") holds it; close that program first";
        }
        return head + "busy: " + who + HelperHints(roots.proc);
    }
    switch (error.code) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO: {  // the node of a UART that is not there
        std::string names = PortNames(ListPorts(roots));
        if (names.empty())
            return head +
                   "no such device, and no serial port is present: check the cable and "
                   "the adapter" +
                   HelperHints(roots.proc);
        return head + "no such device; ports present: " + names +
               " (gantrix --list-ports tells more)" + HelperHints(roots.proc);
    }
    case EACCES:
    case EPERM: {
        // The device's own group where it has one; most distributions call it dialout.
        std::string group = "dialout";
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && st.st_gid != 0)
            if (const struct group* entry = getgrgid(st.st_gid))
                group = entry->gr_name;
        return head + "permission denied: add your user to group " + group + " (sudo usermod -aG " +
               group + " $USER), then log in again";
    }
    default:
        return head + std::strerror(error.code) + HelperHints(roots.proc);
    }
}

bool PortMayComeFree(PortOpenError error)
{
    return error.busy || error.code == ENOENT || error.code == ENODEV || error.code == ENXIO;
}

std::string SlowAdapterAdvice(const std::string& device, bool low_latency_took,
                              const SystemRoots& roots)
{
    const std::string name = BaseName(device);
    const std::string took = low_latency_took
                                 ? "; the driver took the tool's low-latency request"
                                 : "; the driver did not take the tool's low-latency request";
    const int timer = LatencyTimer(roots.sys, name);
    if (timer < 0)
        return "the line's driver holds replies back, and " + device +
               " has no latency_timer under /sys/bus/usb-serial/devices (only USB serial "
               "adapters have one)" +
               took;
    const std::string path = "/sys/bus/usb-serial/devices/" + name + "/latency_timer";
    return "the USB serial adapter holds short replies for its latency timer (" +
           std::to_string(timer) + " ms in " + path + "): set it to 1 ms with: echo 1 | sudo tee " +
           path + took;
}

std::string SlowAdapterAdvice(int fd)
{
    // The device behind the descriptor: the port word may have been a link or a usb: word.
    std::string device = LinkTarget("/proc/self/fd/" + std::to_string(fd));
    if (device.empty())
        device = "the port";
    bool took = false;
#ifdef __linux__
    serial_struct serial{};
    took = ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) != 0;
#endif
    return SlowAdapterAdvice(device, took, SystemRoots{});
}

std::string PortOpenFailure(const std::string& path, PortOpenError error)
{
    return DescribeOpenFailure(path, error, SystemRoots{});
}

std::string PortSettingsFailure(const std::string& path)
{
    const int code = errno;  // of the tcgetattr that failed
    const char* kind = "a device that is no terminal";
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISREG(st.st_mode))
            kind = "a regular file";
        else if (S_ISFIFO(st.st_mode))
            kind = "a FIFO";
        else if (S_ISCHR(st.st_mode))
            kind = "a character device that is no terminal";
    }
    return "gantrix: cannot use " + path + " as a serial port: it is " + kind + " (" +
           strerror(code) + ")";
}
