// What --port means, and the list of ports a search tries on Linux.
#include "PortNames.h"

#include "SerialPort.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

namespace {

void Touch(const std::string& strPath)
{
    std::ofstream(strPath).put('\n');
}

TEST(PortNames, PortArguments)
{
    SerialPort::SetDeviceDirectory("");
    struct Case {
        const char* szArg;
        std::string strDevice;
    };
    const Case cases[] = {
        {"3", "/dev/ttyS2"},
        {"COM3", "/dev/ttyS2"},
        {"com12", "/dev/ttyS11"},
        {"Com1", "/dev/ttyS0"},
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"/dev/serial/by-id/usb-FTDI_FT232R-if00-port0", "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"},
        {"0", ""},
        {"COM0", ""},
        {"COM", ""},
        {"-3", ""},
        {"12345", ""},
        {"ttyUSB0", ""},
        {"COM3x", ""},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.strDevice, PortDevice(c.szArg)) << c.szArg;
}

TEST(PortNames, NumbersFollowTheDeviceDirectory)
{
    SerialPort::SetDeviceDirectory("/tmp/ports");
    EXPECT_EQ("/tmp/ports/com3", PortDevice("COM3"));
    SerialPort::SetDeviceDirectory("");
}

// USB adapters first, by number (ttyUSB10 after ttyUSB2), then ACM, then the
// on-board ports 0 to 3 that have a UART; nothing else in the folder.
TEST(PortNames, SearchListOrderAndKinds)
{
    TempDir dev;
    TempDir sys;
    for (const char* szName : {"ttyUSB10", "ttyUSB2", "ttyACM0", "ttyACM1", "ttyS0", "ttyS1", "ttyS2", "ttyS3",
                               "ttyS4", "ttyS10", "ttyUSBx", "ttyAMA0", "console", "tty1"})
        Touch(dev / szName);
    for (const char* szName : {"ttyS0", "ttyS1", "ttyS2", "console"})
        mkdir((sys / szName).c_str(), 0755);
    std::ofstream(sys / "ttyS0/type") << "4\n";
    std::ofstream(sys / "ttyS1/type") << "0\n";   // no UART behind it
    std::ofstream(sys / "console/active") << "tty0 ttyACM1\n";
    // ttyS2 has no type file and ttyS3 no entry at all: kept.

    const std::vector<std::string> expected = {dev / "ttyUSB2", dev / "ttyUSB10", dev / "ttyACM0",
                                               dev / "ttyS0",   dev / "ttyS2",    dev / "ttyS3"};
    EXPECT_EQ(expected, SearchPorts(dev.Path(), sys.Path()));

    std::vector<std::string> all = expected;
    all.insert(all.begin() + 3, dev / "ttyACM1");
    all.insert(all.begin() + 5, dev / "ttyS1");
    EXPECT_EQ(all, SearchPorts(dev.Path(), ""));
}

TEST(PortNames, EmptyOrMissingFolderGivesNoPorts)
{
    TempDir dev;
    EXPECT_TRUE(SearchPorts(dev.Path(), "").empty());
    EXPECT_TRUE(SearchPorts(dev / "absent", "").empty());
}

}  // namespace
