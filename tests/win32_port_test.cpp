// The Windows line settings: Wine does not act on most DCB flags, so they are checked here as the
// port code leaves them for SetCommState.
#include <gtest/gtest.h>

#include <cstring>

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
