// The port listing and the reasons for a port that did not open, read from a sysfs, /dev and
// /proc tree the test makes; the probe against the simulated board and silent ptys linked into
// that tree (a pty has no sysfs entry); and the listing of this machine by the real binary.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "Board.h"
#include "TestSupport.h"
#include "cli/Fleet.h"
#include "commands/JsonOut.h"
#include "commands/Probe.h"
#include "proto/Packet.h"
#include "serial/PortList.h"
#include "serial/PortMatch.h"
#include "serial/Serial.h"

namespace {

using Tree = std::vector<std::pair<std::string, std::string>>;

const std::string usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/";

// Files (path, text) of the sysfs a kernel shows for: an FTDI adapter with a serial number, a
// CH341 without product or serial strings, a CP2102, a CDC ACM board naming only its maker, the
// UART the kernel's console is on, a UART the serial core never found, and a virtual terminal.
const Tree sys_files = {
    {usb + "1-2/idVendor", "0403\n"},
    {usb + "1-2/idProduct", "6001\n"},
    {usb + "1-2/serial", "A6008isP\n"},
    {usb + "1-2/product", "FT232R USB UART\n"},
    {usb + "1-2/manufacturer", "FTDI\n"},
    {usb + "1-2/1-2:1.0/ttyUSB0/latency_timer", "16\n"},
    {usb + "1-3/idVendor", "1a86\n"},
    {usb + "1-3/idProduct", "7523\n"},
    {usb + "1-4/idVendor", "10c4\n"},
    {usb + "1-4/idProduct", "ea60\n"},
    {usb + "1-4/serial", "0001\n"},
    {usb + "1-4/product", "CP2102 USB to UART Bridge Controller\n"},
    {usb + "1-5/idVendor", "2e8a\n"},
    {usb + "1-5/idProduct", "000a\n"},
    {usb + "1-5/manufacturer", "Raspberry Pi\n"},
    {"sys/class/tty/ttyS0/type", "4\n"},
    {"sys/class/tty/ttyS0/console", "Y\n"},
    {"sys/class/tty/ttyS1/type", "0\n"},
    {"sys/class/tty/tty1/dev", "4:1\n"},
};

// Links (path, target). A by-id link points at the tty, as udev makes it.
const Tree sys_links = {
    {usb + "1-2/1-2:1.0/ttyUSB0/driver", "../../../../../../../bus/usb-serial/drivers/ftdi_sio"},
    {usb + "1-3/1-3:1.0/ttyUSB10/driver", "../../../../../../../bus/usb-serial/drivers/ch341-uart"},
    {usb + "1-4/1-4:1.0/ttyUSB2/driver", "../../../../../../../bus/usb-serial/drivers/cp210x"},
    {usb + "1-5/1-5:1.0/driver", "../../../../../../bus/usb/drivers/cdc_acm"},
    // Since Linux 6.5 a UART's tty hangs off serial-base's "port" and "ctrl" devices.
    {"sys/devices/pnp0/00:01/driver", "../../../bus/pnp/drivers/serial"},
    {"sys/devices/pnp0/00:01/00:01:0/driver", "../../../../bus/serial-base/drivers/ctrl"},
    {"sys/devices/pnp0/00:01/00:01:0/00:01:0.0/driver",
     "../../../../../bus/serial-base/drivers/port"},
    {"sys/devices/platform/serial8250/driver", "../../../bus/platform/drivers/serial8250"},
    {"sys/class/tty/ttyUSB0/device",
     "../../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0"},
    {"sys/class/tty/ttyUSB10/device",
     "../../../devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/ttyUSB10"},
    {"sys/class/tty/ttyUSB2/device",
     "../../../devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/ttyUSB2"},
    {"sys/class/tty/ttyACM0/device", "../../../devices/pci0000:00/0000:00:14.0/usb1/1-5/1-5:1.0"},
    {"sys/class/tty/ttyS0/device", "../../../devices/pnp0/00:01/00:01:0/00:01:0.0"},
    {"sys/class/tty/ttyS1/device", "../../../devices/platform/serial8250"},
    {"dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A6008isP-if00-port0", "../../ttyUSB0"},
    {"sys/bus/usb-serial/devices/ttyUSB0",
     "../../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0"},
};

// A scratch tree with sys/ and dev/ (and what a test adds) under one directory, removed with it.
class FakeSystem {
public:
    FakeSystem()
    {
        char dir[] = "/tmp/gantrix-system-XXXXXX";
        if (!mkdtemp(dir)) {
            ADD_FAILURE() << "mkdtemp: " << strerror(errno);
            return;
        }
        top = dir;
        // The kernel's own /proc: its lock table sees the test's locks on real ptys.
        roots = {top + "/sys", top + "/dev", "/proc"};
        Add(sys_files, sys_links);
    }
    ~FakeSystem()
    {
        if (!top.empty())
            nftw(
                top.c_str(),
                [](const char* path, const struct stat*, int, FTW*) { return remove(path); }, 16,
                FTW_DEPTH | FTW_PHYS);
    }
    FakeSystem(const FakeSystem&) = delete;
    FakeSystem& operator=(const FakeSystem&) = delete;

    void Add(const Tree& files, const Tree& links)
    {
        for (const auto& file : files) {
            MakeParents(file.first);
            FILE* out = std::fopen((top + "/" + file.first).c_str(), "w");
            ASSERT_NE(out, nullptr) << file.first;
            std::fputs(file.second.c_str(), out);
            std::fclose(out);
        }
        for (const auto& link : links) {
            MakeParents(link.first);
            ASSERT_EQ(symlink(link.second.c_str(), (top + "/" + link.first).c_str()), 0)
                << link.first;
        }
    }

    std::string top;
    SystemRoots roots;

private:
    void MakeParents(const std::string& relative)
    {
        for (size_t slash = relative.find('/'); slash != std::string::npos;
             slash = relative.find('/', slash + 1))
            mkdir((top + "/" + relative.substr(0, slash)).c_str(), 0755);
    }
};

std::vector<std::string> Lines(const std::vector<PortInfo>& ports)
{
    std::vector<std::string> lines;
    for (const PortInfo& port : ports)
        lines.push_back(FormatPortLine(port));
    return lines;
}

std::string Self()
{
    return std::to_string(getpid());
}

TEST(PortList, ListsFromSysfsThenProbesFreePorts)
{
    FakeSystem system;
    // The devices: the board, a silent line, a line held by a run (this process), and a silent
    // line as the console, which the probe must leave alone. ttyACM0 has no device node.
    BoardProcess board = StartBoard({});
    ASSERT_GT(board.pid, 0);
    PtyPair silent, held, console;
    ASSERT_TRUE(OpenPtyPair(&silent) && OpenPtyPair(&held) && OpenPtyPair(&console));
    system.Add({}, {{"dev/ttyUSB0", board.path},
                    {"dev/ttyUSB10", silent.slave_path},
                    {"dev/ttyUSB2", held.slave_path},
                    {"dev/ttyS0", console.slave_path}});
    PortOpening run = OpenPort(system.roots.dev + "/ttyUSB2", 100);
    ASSERT_TRUE(run.port.IsOpen());

    const std::string by_id =
        system.roots.dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A6008isP-if00-port0";
    std::vector<PortInfo> ports = ListPorts(system.roots);
    EXPECT_EQ(Lines(ports),
              (std::vector<std::string>{
                  "ttyACM0  Raspberry Pi  usb 2e8a:000a",
                  "ttyS0  serial  console",
                  "ttyUSB0  FT232R USB UART  usb 0403:6001  serial A6008isP  latency 16 ms  " +
                      by_id,
                  "ttyUSB2  CP2102 USB to UART Bridge Controller  usb 10c4:ea60  serial 0001  busy "
                  "(pid " +
                      Self() + ")",
                  "ttyUSB10  ch341-uart  usb 1a86:7523",
              }));

    testing::internal::CaptureStdout();
    ProbePorts(&ports);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // the silent line's failure lines too
    run.port.Close();
    EXPECT_EQ(Lines(ports), (std::vector<std::string>{
                                "ttyACM0  Raspberry Pi  usb 2e8a:000a  not opened",
                                "ttyS0  serial  console",
                                "ttyUSB0  FT232R USB UART  usb 0403:6001  serial A6008isP  "
                                "latency 16 ms  " +
                                    by_id + "  board answers",
                                "ttyUSB2  CP2102 USB to UART Bridge Controller  usb 10c4:ea60  "
                                "serial 0001  busy (pid " +
                                    Self() + ")",
                                "ttyUSB10  ch341-uart  usb 1a86:7523",
                            }));
    // --json carries the same figures, the latency timer and the holder among them.
    EXPECT_EQ(JsonPortList({ports[2], ports[3]}),
              "{\"schema\":1,\"command\":\"list-ports\",\"ok\":true,\"ports\":[{\"name\":"
              "\"ttyUSB0\",\"path\":\"" +
                  system.roots.dev +
                  "/ttyUSB0\",\"description\":\"FT232R USB UART\",\"vid\":1027,\"pid\":24577,"
                  "\"serial\":\"A6008isP\",\"by_id\":\"" +
                  by_id +
                  "\",\"latency_ms\":16,\"console\":false,\"busy\":false,\"busy_pid\":null,"
                  "\"probe\":\"answered\"},{\"name\":\"ttyUSB2\",\"path\":\"" +
                  system.roots.dev +
                  "/ttyUSB2\",\"description\":\"CP2102 USB to UART Bridge Controller\","
                  "\"vid\":4292,\"pid\":60000,\"serial\":\"0001\",\"by_id\":null,"
                  "\"latency_ms\":null,\"console\":false,\"busy\":true,\"busy_pid\":" +
                  Self() + ",\"probe\":\"not_done\"}]}");
    // One ping where a port was free, none on the held line or the console.
    const Bytes ping = Frame(HPROTO_CMD_PING, {});
    EXPECT_EQ(Drain(silent.master, 20), ping);
    EXPECT_EQ(Drain(held.master, 20), Bytes());
    EXPECT_EQ(Drain(console.master, 20), Bytes());
    EXPECT_EQ(RecordedFrames(board), std::vector<std::string>{FrameHex(HPROTO_CMD_PING, {})});
    StopBoard(&board);
    for (PtyPair* pty : {&silent, &held, &console})
        ClosePtyPair(pty);
}

// usb: words against the listing of the tree, with a second CH340 beside the first.
TEST(PortList, UsbWordsResolveAgainstTheListing)
{
    FakeSystem system;
    system.Add({{usb + "1-6/idVendor", "1a86\n"}, {usb + "1-6/idProduct", "7523\n"}},
               {{usb + "1-6/1-6:1.0/ttyUSB3/driver",
                 "../../../../../../../bus/usb-serial/drivers/ch341-uart"},
                {"sys/class/tty/ttyUSB3/device",
                 "../../../devices/pci0000:00/0000:00:14.0/usb1/1-6/1-6:1.0/ttyUSB3"}});
    const std::vector<PortInfo> ports = ListPorts(system.roots);
    const std::string dev = system.roots.dev + "/";
    const std::string present =
        "; USB serial ports present: ttyACM0 is usb:2e8a:000a, ttyUSB0 is usb:0403:6001:A6008isP, "
        "ttyUSB2 is usb:10c4:ea60:0001, ttyUSB3 is usb:1a86:7523, ttyUSB10 is usb:1a86:7523";
    const std::string malformed = " is not usb:VID:PID or usb:VID:PID:SERIAL (hex ids and serial "
                                  "number as gantrix --list-ports shows them, e.g. usb:0403:6001)";
    struct Case {
        std::string word;
        UsbMatch match;
        std::string path_or_failure;
    };
    const Case cases[] = {
        {"usb:0403:6001", USB_MATCH_ONE, dev + "ttyUSB0"},
        {"usb:0403:6001:A6008isP", USB_MATCH_ONE, dev + "ttyUSB0"},
        {"usb:10C4:EA60", USB_MATCH_ONE, dev + "ttyUSB2"},
        {"usb:2e8a:a", USB_MATCH_ONE, dev + "ttyACM0"},
        // The serial number as printed: its case counts, and so does each character.
        {"usb:0403:6001:A6008ISP", USB_MATCH_NONE,
         "gantrix: no serial port is usb:0403:6001:A6008ISP" + present},
        {"usb:0403:6015", USB_MATCH_NONE, "gantrix: no serial port is usb:0403:6015" + present},
        {"usb:1a86:7523", USB_MATCH_SEVERAL,
         "gantrix: usb:1a86:7523 names 2 ports: ttyUSB3 is usb:1a86:7523, ttyUSB10 is "
         "usb:1a86:7523; name one by its serial number, or by its port name"},
        {"usb:0403", USB_MATCH_MALFORMED, "gantrix: usb:0403" + malformed},
        {"usb:0403:60011", USB_MATCH_MALFORMED, "gantrix: usb:0403:60011" + malformed},
        {"usb:0403:6001:", USB_MATCH_MALFORMED, "gantrix: usb:0403:6001:" + malformed},
        {"usb:x:6001", USB_MATCH_MALFORMED, "gantrix: usb:x:6001" + malformed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        UsbMatchResult result = MatchUsbWord(c.word, ports);
        EXPECT_EQ(result.match, c.match);
        EXPECT_EQ(c.match == USB_MATCH_ONE ? result.path : result.failure, c.path_or_failure);
    }
    // A set of ports (--each): usb:VID:PID is every such adapter; a device named twice is refused.
    const Case sets[] = {
        {"usb:1a86:7523," + dev + "ttyUSB0", USB_MATCH_ONE, "ttyUSB3 ttyUSB10 " + dev + "ttyUSB0"},
        {"usb:0403:6001:A6008isP,usb:2e8a:a", USB_MATCH_ONE, "usb:0403:6001:A6008isP ttyACM0"},
        {dev + "ttyUSB10,usb:1a86:7523", USB_MATCH_SEVERAL,
         dev + "ttyUSB10 and ttyUSB10 are the same device"},
        {"usb:0403:6001," + dev + "ttyUSB0", USB_MATCH_SEVERAL,
         "ttyUSB0 and " + dev + "ttyUSB0 are the same device"},
        {"usb:0403:6015", USB_MATCH_NONE, "gantrix: no serial port is usb:0403:6015" + present},
        {"usb:0403:60011,ttyUSB0", USB_MATCH_MALFORMED, "gantrix: usb:0403:60011" + malformed},
        {"ttyUSB0,,ttyUSB2", USB_MATCH_NONE, "an empty port word in the set ttyUSB0,,ttyUSB2"},
    };
    for (const Case& c : sets) {
        SCOPED_TRACE(c.word);
        std::vector<FleetPort> set;
        std::string failure;
        const bool read = ReadPortSet(c.word, ports, &set, &failure);
        EXPECT_EQ(read, c.match == USB_MATCH_ONE);
        std::string tags;
        for (const FleetPort& port : set)
            tags += (tags.empty() ? "" : " ") + port.tag;
        EXPECT_EQ(read ? tags : failure, c.path_or_failure);
    }
    EXPECT_EQ(MatchUsbWord("usb:0403:6001", {}).failure,
              "gantrix: no serial port is usb:0403:6001; no USB serial port is present: check the "
              "cable and the adapter");
    // Only the prefix makes a usb: word; the rest stay device names.
    EXPECT_TRUE(IsUsbWord("usb:0403:6001"));
    EXPECT_FALSE(IsUsbWord("USB:0403:6001"));
    EXPECT_FALSE(IsUsbWord("/dev/usb:0403:6001"));

    // What the slow-adapter hint tells to do, by what the tree has for the device.
    const std::string timer = "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer";
    EXPECT_EQ(SlowAdapterAdvice("/dev/ttyUSB0", false, system.roots),
              "the USB serial adapter holds short replies for its latency timer (16 ms in " +
                  timer + "): set it to 1 ms with: echo 1 | sudo tee " + timer +
                  "; the driver did not take the tool's low-latency request");
    EXPECT_EQ(SlowAdapterAdvice("/dev/ttyACM0", true, system.roots),
              "the line's driver holds replies back, and /dev/ttyACM0 has no latency_timer under "
              "/sys/bus/usb-serial/devices (only USB serial adapters have one); the driver took "
              "the tool's low-latency request");
}

TEST(PortList, OpenFailureSaysWhyAndWhatToDo)
{
    FakeSystem system;
    SystemRoots no_ports = system.roots;
    no_ports.sys = system.top + "/empty";
    // A device node in the tree, and the number the kernel's lock table gives it.
    system.Add({{"dev/ttyUSB0", ""}}, {});
    const std::string node = system.roots.dev + "/ttyUSB0";
    chmod(node.c_str(), 0660);
    struct stat st {};
    ASSERT_EQ(stat(node.c_str(), &st), 0);
    char id[64];
    std::snprintf(id, sizeof(id), "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    const std::string locks = std::string("1: -> FLOCK  ADVISORY  WRITE 999 ") + id + " 0 EOF\n" +
                              "2: FLOCK  ADVISORY  WRITE 4711 " + id + " 0 EOF\n";
    const std::string head = "gantrix: cannot open " + node + ": ";
    const std::string missing = system.roots.dev + "/ttyUSB9";
    const std::string no_device =
        "gantrix: cannot open " + missing +
        ": no such device; ports present: "
        "ttyACM0, ttyS0, ttyUSB0, ttyUSB2, ttyUSB10 (gantrix --list-ports tells more)";
    struct Case {
        const char* name;
        std::string path;
        PortOpenError error;
        Tree proc;  // files of this case's /proc
        Tree proc_links;
        bool empty_sys;
        std::string line;
    };
    std::vector<Case> cases = {
        {"no such device", missing, {ENOENT, false}, {}, {}, false, no_device},
        {"the node of a UART that is not there", missing, {EIO, false}, {}, {}, false, no_device},
        {"no port at all",
         missing,
         {ENOENT, false},
         {},
         {},
         true,
         "gantrix: cannot open " + missing +
             ": no such device, and no serial port is present: check the cable and the adapter"},
        {"brltty running",
         missing,
         {ENOENT, false},
         {{"proc/7/comm", "brltty\n"}},
         {},
         false,
         no_device + "; brltty is running and may claim USB serial adapters (sudo systemctl "
                     "disable --now brltty)"},
        {"held by a run: the lock's holder, not its waiter",
         node,
         {EWOULDBLOCK, true},
         {{"proc/locks", locks}, {"proc/4711/comm", "gantrix\n"}, {"proc/999/comm", "gantrix\n"}},
         {},
         false,
         head + "busy: another run of gantrix (pid 4711) holds it; wait for it to end, or stop it"},
        {"held open by another program",
         node,
         {EBUSY, true},
         {{"proc/5150/comm", "minicom\n"}},
         {{"proc/5150/fd/3", node}},
         false,
         head + "busy: pid 5150 (minicom) holds it; close that program first"},
        {"holder unknown, ModemManager running",
         node,
         {EBUSY, true},
         {{"proc/12/comm", "ModemManager\n"}},
         {},
         false,
         head + "busy: another program holds it; close that program first; ModemManager is running "
                "and "
                "may be probing the port (sudo systemctl stop ModemManager)"},
        // Where the device cannot be looked at, the group most distributions use.
        {"permission denied",
         missing,
         {EACCES, false},
         {{"proc/7/comm", "brltty\n"}},
         {},
         false,
         "gantrix: cannot open " + missing +
             ": permission denied: add your user to group dialout "
             "(sudo usermod -aG dialout $USER), then log in again"},
        {"another error", node, {ELOOP, false}, {}, {}, false, head + strerror(ELOOP)},
    };
    // The device's own group, where the test may give it one (as root).
    const struct group* tty = getgrnam("tty");
    if (tty && chown(node.c_str(), static_cast<uid_t>(-1), tty->gr_gid) == 0)
        cases.push_back({"permission denied, group of the device",
                         node,
                         {EACCES, false},
                         {},
                         {},
                         false,
                         head +
                             "permission denied: add your user to group tty (sudo usermod -aG tty "
                             "$USER), then log in again"});
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SystemRoots roots = c.empty_sys ? no_ports : system.roots;
        const std::string proc = "proc" + std::to_string(++n);
        roots.proc = system.top + "/" + proc;
        Tree files;
        for (const auto& file : c.proc)
            files.push_back({proc + file.first.substr(4), file.second});
        Tree links;
        for (const auto& link : c.proc_links)
            links.push_back({proc + link.first.substr(4), link.second});
        system.Add(files, links);
        EXPECT_EQ(DescribeOpenFailure(c.path, c.error, roots), c.line);
    }
}

TEST(PortList, ListingOfThisMachineByTheBinary)
{
    // Whatever this machine has: the binary lists what the library finds, and ends with 0.
    std::string listed;
    for (const PortInfo& port : ListPorts())
        listed += FormatPortLine(port) + "\n";
    struct Case {
        std::vector<std::string> words;
        std::string out;
        std::string err;
        int status;
    };
    const Case cases[] = {
        {{"--list-ports"}, listed, listed.empty() ? "gantrix: no serial ports found\n" : "", 0},
        {{"--list-ports", "ttyUSB0", "ping"},
         listed,
         listed.empty() ? "gantrix: no serial ports found\n" : "",
         0},
        {{"--probe"}, "", "gantrix: --probe goes with --list-ports\n", 1},
        {{"--probe", "ttyUSB0", "ping"}, "", "gantrix: --probe goes with --list-ports\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words[0] + " " + std::to_string(c.words.size()));
        std::vector<std::string> argv = c.words;
        argv.insert(argv.begin(), ToolPath());
        RunResult result = RunProgram(argv, 10000);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.status, c.status);
    }
}

}  // namespace
