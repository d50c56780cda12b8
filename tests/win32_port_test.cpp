// The Windows line settings: Wine does not act on most DCB flags, so they are checked here as the
// port code leaves them for SetCommState.
#include <gtest/gtest.h>

#include <cstring>

#include "serial/Serial.h"
#include "serial/SerialWin32.h"

TEST(Win32Dcb, EveryByteGetsThroughAndHardwareFlowControlStays)
{
    DCB dcb;
    std::memset(&dcb, 0xFF, sizeof(dcb));  // every flag on, as a driver might report them
    dcb.DCBlength = sizeof(dcb);
    MakeLineBinaryClean(&dcb);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fNull, 0u);
    EXPECT_EQ(dcb.fAbortOnError, 0u);
    EXPECT_EQ(dcb.fDsrSensitivity, 0u);
    EXPECT_EQ(dcb.fErrorChar, 0u);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 1u);
    EXPECT_EQ(dcb.fRtsControl, 3u);
    EXPECT_EQ(dcb.fDtrControl, 3u);
}

// COM10 and above open only through the device namespace; a word that names it already is not
// prefixed twice, and every spelling of one port is one device to a set of ports.
TEST(Win32PortPath, OnePortUnderEverySpelling)
{
    const char* const words[] = {"COM12", "com12", "\\\\.\\COM12", "\\\\.\\com12"};
    for (const char* word : words) {
        SCOPED_TRACE(word);
        EXPECT_EQ(DeviceIdentity(PortPath(word)), "\\\\.\\COM12");
    }
    EXPECT_EQ(PortPath("COM3"), "\\\\.\\COM3");
    EXPECT_EQ(PortPath("\\\\.\\COM3"), "\\\\.\\COM3");
}

TEST(Win32PortList, IdsAndSerialFromSetupApiStrings)
{
    struct Case {
        const char* hardware_id;
        int vid;
        int pid;
        const char* instance_id;
        const char* serial;
    };
    const Case cases[] = {
        {"USB\\VID_0403&PID_6001&REV_0600", 0x0403, 0x6001, "USB\\VID_0403&PID_6001\\A6008ISP",
         "A6008ISP"},
        // A device without a serial number: Windows names the instance after the socket.
        {"USB\\VID_1A86&PID_7523&REV_0264", 0x1A86, 0x7523, "USB\\VID_1A86&PID_7523\\5&2C0F7E6&0&3",
         ""},
        {"usb\\vid_2e8a&pid_000a&mi_00", 0x2E8A, 0x000A,
         "USB\\VID_2E8A&PID_000A&MI_00\\6&1C2B&0&0000", ""},
        {"FTDIBUS\\COMPORT&VID_0403&PID_6015", 0x0403, 0x6015,
         "FTDIBUS\\VID_0403+PID_6015+DN05ABCDA\\0000", "DN05ABCD"},
        // A port on the mainboard: no USB ids, no serial number.
        {"ACPI\\PNP0501", -1, -1, "ACPI\\PNP0501\\1", ""},
        {"USB\\VID_04", -1, -1, "USB", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.instance_id);
        EXPECT_EQ(HardwareIdNumber(c.hardware_id, "VID_"), c.vid);
        EXPECT_EQ(HardwareIdNumber(c.hardware_id, "PID_"), c.pid);
        EXPECT_EQ(InstanceSerial(c.instance_id), c.serial);
    }
    EXPECT_EQ(WithoutPortSuffix("USB Serial Port (COM3)", "COM3"), "USB Serial Port");
    EXPECT_EQ(WithoutPortSuffix("USB Serial Port (COM3)", "COM12"), "USB Serial Port (COM3)");
    EXPECT_EQ(WithoutPortSuffix("(COM3)", "COM3"), "(COM3)");
}
