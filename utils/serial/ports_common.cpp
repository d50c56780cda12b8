// The port listing's text and order, the same on every platform.
#include "PortList.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

bool IsDigit(char c)
{
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// Orders names with their numbers taken as numbers: COM3 before COM12, ttyUSB2 before ttyUSB10.
bool NameBefore(const std::string& a, const std::string& b)
{
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            size_t i_end = i;
            size_t j_end = j;
            while (i_end < a.size() && IsDigit(a[i_end]))
                ++i_end;
            while (j_end < b.size() && IsDigit(b[j_end]))
                ++j_end;
            // Without leading zeros the longer run is the larger number.
            std::string x = a.substr(i, i_end - i);
            std::string y = b.substr(j, j_end - j);
            x.erase(0, std::min(x.find_first_not_of('0'), x.size()));
            y.erase(0, std::min(y.find_first_not_of('0'), y.size()));
            if (x.size() != y.size())
                return x.size() < y.size();
            if (x != y)
                return x < y;
            i = i_end;
            j = j_end;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

}  // namespace

std::string FormatPortLine(const PortInfo& port)
{
    std::string line = port.name;
    auto add = [&line](const std::string& field) {
        if (!field.empty())
            line += "  " + field;
    };
    add(port.description);
    if (port.vid >= 0 && port.pid >= 0) {
        char ids[24];
        std::snprintf(ids, sizeof(ids), "usb %04x:%04x", port.vid & 0xFFFF, port.pid & 0xFFFF);
        add(ids);
    }
    if (!port.serial.empty())
        add("serial " + port.serial);
    if (port.latency_ms >= 0)
        add("latency " + std::to_string(port.latency_ms) + " ms");
    add(port.by_id);
    if (port.console)
        add("console");
    if (port.busy)
        add(port.busy_pid > 0 ? "busy (pid " + std::to_string(port.busy_pid) + ")" : "busy");
    if (port.probe == PROBE_ANSWERED)
        add("board answers");
    if (port.probe == PROBE_NOT_OPENED)
        add("not opened");
    return line;
}

void SortPorts(std::vector<PortInfo>* ports)
{
    std::sort(ports->begin(), ports->end(),
              [](const PortInfo& a, const PortInfo& b) { return NameBefore(a.name, b.name); });
}

std::string PortNames(const std::vector<PortInfo>& ports)
{
    std::string names;
    for (const PortInfo& port : ports)
        names += (names.empty() ? "" : ", ") + port.name;
    return names;
}
