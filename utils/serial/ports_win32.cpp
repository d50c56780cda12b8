// Windows port listing from SetupAPI (what Device Manager shows under "Ports (COM & LPT)"), and
// the reasons behind a port that did not open.
#include "PortList.h"

#include <windows.h>

#include <setupapi.h>

#include <cctype>
#include <cstdlib>
#include <vector>

#include "Serial.h"
#include "SerialWin32.h"

namespace {

PortInfo NamedPort(const std::string& name)
{
    PortInfo port;
    port.name = name;
    port.path = PortPath(name);
    return port;
}

// GUID_DEVINTERFACE_COMPORT and the "Ports" setup class, spelled out so that no GUID library is
// needed.
const GUID comport_interface = {0x86E0D1E0,
                                0x8089,
                                0x11D0,
                                {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
const GUID ports_class = {0x4D36E978,
                          0xE325,
                          0x11CE,
                          {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

constexpr int highest_com = 256;
const char device_prefix[] = "\\\\.\\";

bool IsComName(const std::string& name)
{
    if (name.size() < 4 || name.compare(0, 3, "COM") != 0)
        return false;
    for (size_t i = 3; i < name.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

bool Listed(const std::vector<PortInfo>& ports, const std::string& name)
{
    for (const PortInfo& port : ports)
        if (port.name == name)
            return true;
    return false;
}

// A string property of a device; the first string of a multi-string one. "" when it has none.
std::string Property(HDEVINFO set, SP_DEVINFO_DATA* info, DWORD property)
{
    char buffer[1024] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(set, info, property, nullptr,
                                           reinterpret_cast<BYTE*>(buffer), sizeof(buffer) - 2,
                                           nullptr))
        return "";
    return buffer;
}

// The "PortName" value in the device's own registry key: the name the user types.
std::string RegisteredPortName(HDEVINFO set, SP_DEVINFO_DATA* info)
{
    HKEY key = SetupDiOpenDevRegKey(set, info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return "";
    char name[64] = {};
    DWORD size = sizeof(name) - 1;
    DWORD type = 0;
    LONG rc =
        RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS && type == REG_SZ ? name : "";
}

void AddDevices(const GUID* guid, DWORD flags, std::vector<PortInfo>* ports)
{
    HDEVINFO set = SetupDiGetClassDevsA(guid, nullptr, nullptr, flags | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        // The Ports class holds the printer ports too.
        PortInfo port = NamedPort(RegisteredPortName(set, &info));
        if (!IsComName(port.name) || Listed(*ports, port.name))
            continue;
        port.description = WithoutPortSuffix(Property(set, &info, SPDRP_FRIENDLYNAME), port.name);
        if (port.description.empty())
            port.description = Property(set, &info, SPDRP_DEVICEDESC);
        const std::string hardware_id = Property(set, &info, SPDRP_HARDWAREID);
        port.vid = HardwareIdNumber(hardware_id, "VID_");
        port.pid = port.vid < 0 ? -1 : HardwareIdNumber(hardware_id, "PID_");
        char instance_id[512] = {};
        if (SetupDiGetDeviceInstanceIdA(set, &info, instance_id, sizeof(instance_id), nullptr))
            port.serial = InstanceSerial(instance_id);
        ports->push_back(port);
    }
    SetupDiDestroyDeviceInfoList(set);
}

// For a system whose device manager knows no COM port. Wine's SetupAPI lists none, not even the
// ports its mount manager made; those it names to QueryDosDevice, but not the ones made by hand
// as dosdevices/comN links, which only an open shows. So: the names QueryDosDevice has, then an
// open of every other COM name, closed at once (absent names fail with "not found").
void AddDosDevices(std::vector<PortInfo>* ports)
{
    std::vector<char> names(65536);
    DWORD got = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    for (const char* name = names.data(); got > 0 && *name; name += strlen(name) + 1)
        if (IsComName(name) && !Listed(*ports, name))
            ports->push_back(NamedPort(name));
    for (int n = 1; n <= highest_com; ++n) {
        const std::string name = "COM" + std::to_string(n);
        if (Listed(*ports, name))
            continue;
        PortInfo port = NamedPort(name);
        HANDLE handle = CreateFileA(port.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
            ports->push_back(port);
            continue;
        }
        DWORD code = GetLastError();
        if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) {
            port.busy = true;
            ports->push_back(port);
        }
    }
}

// The names of a registry key's subkeys.
std::vector<std::string> SubKeys(HKEY key)
{
    std::vector<std::string> names;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof(name);
        if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.push_back(std::string(name, size));
    }
    return names;
}

// What the adapters' drivers keep under their device instances, read-only (no special rights):
// Enum\<bus>\<device>\<instance>\Device Parameters holds the PortName and, for the adapters
// that have one, the LatencyTimer in ms (Device Manager's Advanced page writes it). The instance
// path also gives the USB ids and serial number of a port that SetupAPI did not list (Wine).
void AddRegistryDetails(std::vector<PortInfo>* ports)
{
    for (const char* bus : {"FTDIBUS", "USB"}) {
        HKEY bus_key;
        const std::string bus_path = std::string("SYSTEM\\CurrentControlSet\\Enum\\") + bus;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, bus_path.c_str(), 0, KEY_READ, &bus_key) !=
            ERROR_SUCCESS)
            continue;
        for (const std::string& device : SubKeys(bus_key)) {
            HKEY device_key;
            if (RegOpenKeyExA(bus_key, device.c_str(), 0, KEY_READ, &device_key) != ERROR_SUCCESS)
                continue;
            for (const std::string& instance : SubKeys(device_key)) {
                HKEY key;
                const std::string parameters = instance + "\\Device Parameters";
                if (RegOpenKeyExA(device_key, parameters.c_str(), 0, KEY_READ, &key) !=
                    ERROR_SUCCESS)
                    continue;
                char name[64] = {};
                DWORD size = sizeof(name) - 1;
                DWORD type = 0;
                DWORD latency = 0;
                DWORD latency_size = sizeof(latency);
                DWORD latency_type = 0;
                const bool named =
                    RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name),
                                     &size) == ERROR_SUCCESS &&
                    type == REG_SZ;
                const bool timed = RegQueryValueExA(key, "LatencyTimer", nullptr, &latency_type,
                                                    reinterpret_cast<BYTE*>(&latency),
                                                    &latency_size) == ERROR_SUCCESS &&
                                   latency_type == REG_DWORD;
                RegCloseKey(key);
                if (!named)
                    continue;
                for (PortInfo& port : *ports) {
                    if (port.name != name)
                        continue;
                    if (timed)
                        port.latency_ms = static_cast<int>(latency);
                    if (port.vid < 0) {
                        port.vid = HardwareIdNumber(device, "VID_");
                        port.pid = port.vid < 0 ? -1 : HardwareIdNumber(device, "PID_");
                        port.serial =
                            InstanceSerial(std::string(bus) + "\\" + device + "\\" + instance);
                    }
                }
            }
            RegCloseKey(device_key);
        }
        RegCloseKey(bus_key);
    }
}

std::string SystemMessage(DWORD code)
{
    char text[512] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof(text), nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == '.' || message.back() == ' '))
        message.pop_back();
    if (message.empty())
        message = "error";
    return message + " (error " + std::to_string(code) + ")";
}

}  // namespace

int HardwareIdNumber(const std::string& hardware_id, const char* tag)
{
    std::string upper;
    for (char c : hardware_id)
        upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    size_t at = upper.find(tag);
    if (at == std::string::npos || at + 8 > upper.size())
        return -1;
    std::string digits = upper.substr(at + 4, 4);
    char* end = nullptr;
    long value = std::strtol(digits.c_str(), &end, 16);
    return *end == '\0' ? static_cast<int>(value) : -1;
}

std::string InstanceSerial(const std::string& instance_id)
{
    size_t first = instance_id.find('\\');
    size_t second = first == std::string::npos ? first : instance_id.find('\\', first + 1);
    if (second == std::string::npos)
        return "";
    std::string bus = instance_id.substr(0, first);
    if (bus == "USB") {
        std::string serial = instance_id.substr(second + 1);
        return serial.find('&') == std::string::npos ? serial : "";
    }
    if (bus == "FTDIBUS") {
        std::string middle = instance_id.substr(first + 1, second - first - 1);
        size_t plus = middle.rfind('+');
        std::string serial = plus == std::string::npos ? "" : middle.substr(plus + 1);
        if (serial.size() > 1)
            serial.pop_back();
        return serial;
    }
    return "";
}

std::string WithoutPortSuffix(const std::string& friendly_name, const std::string& name)
{
    const std::string suffix = " (" + name + ")";
    if (friendly_name.size() > suffix.size() &&
        friendly_name.compare(friendly_name.size() - suffix.size(), suffix.size(), suffix) == 0)
        return friendly_name.substr(0, friendly_name.size() - suffix.size());
    return friendly_name;
}

std::vector<PortInfo> ListPorts()
{
    std::vector<PortInfo> ports;
    AddDevices(&comport_interface, DIGCF_DEVICEINTERFACE, &ports);
    AddDevices(&ports_class, 0, &ports);
    if (ports.empty())
        AddDosDevices(&ports);
    AddRegistryDetails(&ports);
    SortPorts(&ports);
    return ports;
}

bool PortMayComeFree(PortOpenError error)
{
    const DWORD code = static_cast<DWORD>(error.code);
    return error.busy || code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

std::string PortOpenFailure(const std::string& path, PortOpenError error)
{
    std::string name = path;
    if (name.compare(0, sizeof(device_prefix) - 1, device_prefix) == 0)
        name.erase(0, sizeof(device_prefix) - 1);
    const std::string head = "gantrix: cannot open " + name + ": ";
    if (error.busy)
        return head + "busy: another run or program holds it (Windows does not tell which); "
                      "close it first";
    const DWORD code = static_cast<DWORD>(error.code);
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
        std::string names = PortNames(ListPorts());
        if (names.empty())
            return head + "no such port, and no COM port is present: check the cable and the "
                          "adapter's driver (Device Manager, Ports (COM & LPT))";
        return head + "no such port; ports present: " + names +
               " (gantrix --list-ports tells more)";
    }
    return head + SystemMessage(code);
}

std::string PortSettingsFailure(const std::string& path)
{
    const DWORD code = GetLastError();  // of the GetCommState that failed
    std::string name = path;
    if (name.compare(0, sizeof(device_prefix) - 1, device_prefix) == 0)
        name.erase(0, sizeof(device_prefix) - 1);
    return "gantrix: cannot use " + name + " as a serial port: " + SystemMessage(code);
}
