// Windows-only pieces of the port code that the Windows unit tests check directly.
#pragma once

#include <windows.h>

#include <string>

// Turns off everything in a DCB that would drop, replace or hold back a byte of a frame, and
// leaves hardware flow control as it is.
void MakeLineBinaryClean(DCB* dcb);

// What the port listing reads out of SetupAPI's strings.
// A four-digit hex id after `tag` ("VID_", "PID_") in a hardware id; -1 when there is none.
int HardwareIdNumber(const std::string& hardware_id, const char* tag);
// The serial number in a device instance id: "USB\VID_0403&PID_6001\A6008ISP", or FTDI's own
// "FTDIBUS\VID_0403+PID_6001+A6008ISPA\0000" (its last letter names the chip's port). An id
// with '&' in that place was made up by Windows from the socket, for a device without one: "".
std::string InstanceSerial(const std::string& instance_id);
// "USB Serial Port (COM3)" without its " (COM3)": the listing shows the name on its own.
std::string WithoutPortSuffix(const std::string& friendly_name, const std::string& name);
