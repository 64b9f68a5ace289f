// The port list of `orvel ports` over a made-up /dev and sysfs, and the
// lines of a trace.
#include "PortList.h"
#include "Trace.h"

#include "HeldPort.h"
#include "PtyPair.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(TraceLineTest, BytesAsHexdumpShowsThem)
{
    struct Case {
        double dSeconds;
        char cKind;
        std::string strData;
        const char* szLine;
    };
    const Case cases[] = {
        {0.0, '>', "y", "0.000 > 79  |y|"},
        {1.2345, '<', "HVM-3000", "1.234 < 48 56 4d 2d 33 30 30 30  |HVM-3000|"},
        {12.5, '<', std::string("a\r\n\0\x7f\x80\xff ~", 9), "12.500 < 61 0d 0a 00 7f 80 ff 20 7e  |a...... ~|"},
        {3.0, '#', "open /dev/ttyUSB0 at 9600 baud", "3.000 # open /dev/ttyUSB0 at 9600 baud"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.szLine, TraceLine(c.dSeconds, c.cKind, c.strData.data(), c.strData.size()));
}

void WriteFile(const std::string& strName, const std::string& strText)
{
    std::ofstream(strName) << strText << "\n";
}

// A USB serial adapter as sysfs shows it: the tty's device is the
// usb-serial port, under the interface, under the USB device.
void MakeUsbAdapter(const TempDir& sys, const std::string& strTty)
{
    const std::string strUsb = sys / "devices/usb1/1-1";
    const std::string strPort = strUsb + "/1-1:1.0/" + strTty;
    std::string strCommand = "mkdir -p " + strPort + " " + sys / ("class/tty/" + strTty);
    ASSERT_EQ(0, std::system(strCommand.c_str()));
    WriteFile(strUsb + "/idVendor", "0403");
    WriteFile(strUsb + "/idProduct", "6001");
    WriteFile(strUsb + "/manufacturer", "FTDI");
    WriteFile(strUsb + "/product", "FT232R USB UART");
    WriteFile(strUsb + "/serial", "A50285BI");
    ASSERT_EQ(0, symlink(strPort.c_str(), (sys / ("class/tty/" + strTty + "/device")).c_str()));
}

TEST(PortListTest, ShowsWhatTheSystemKnowsAndWhetherEachIsFree)
{
    TempDir dev, sys;
    PtyPair usb, acm, console;
    ASSERT_TRUE(usb.Ok() && acm.Ok() && console.Ok());
    ASSERT_EQ(0, symlink(usb.SlavePath().c_str(), (dev / "ttyUSB0").c_str()));
    ASSERT_EQ(0, symlink(acm.SlavePath().c_str(), (dev / "ttyACM0").c_str()));
    ASSERT_EQ(0, symlink(console.SlavePath().c_str(), (dev / "ttyS0").c_str()));
    ASSERT_EQ(0, std::system(("mkdir -p " + dev / "serial/by-id " + sys / "class/tty/console").c_str()));
    const std::string strById = dev / "serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    ASSERT_EQ(0, symlink("../../ttyUSB0", strById.c_str()));
    MakeUsbAdapter(sys, "ttyUSB0");
    WriteFile(sys / "class/tty/console/active", "tty0 ttyS0");

    Holder holder(dev / "ttyACM0", true);
    ASSERT_TRUE(holder.Holding());
    const std::vector<std::string> expected = {
        dev / "ttyUSB0" + "  " + strById + "  0403:6001  FTDI  FT232R USB UART  serial A50285BI  free",
        dev / "ttyACM0" + "  in use by " + holder.Name() + " (pid " + std::to_string(holder.Pid()) + ")",
        dev / "ttyS0" + "  kernel console",
    };
    std::vector<std::string> lines;
    for (const PortInfo& info : ListPorts(dev.Path(), sys / "class/tty"))
        lines.push_back(PortLine(info));
    EXPECT_EQ(expected, lines);

    // Nothing was written to any of them.
    EXPECT_EQ("", usb.ReadFor(1, 100));
    EXPECT_EQ("", acm.ReadFor(1, 100));
    EXPECT_EQ("", console.ReadFor(1, 100));
}

TEST(PortListTest, AnEntryThatIsNoPortSaysSo)
{
    // Under a device folder the list is the search's: no sysfs, no console.
    TempDir dev;
    ASSERT_EQ(0, mkdir((dev / "ttyUSB0").c_str(), 0755));
    std::vector<PortInfo> ports = ListPorts(dev.Path(), "");
    ASSERT_EQ(1u, ports.size());
    EXPECT_EQ(dev / "ttyUSB0" + "  not a serial port", PortLine(ports[0]));
}

}  // namespace
