// What a serial port's name is: the rules the core and orvel share.
#include "PortName.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

namespace {

TEST(PortName, ComNumbers)
{
    struct Case {
        const char* szName;
        int32_t nNumber;
    };
    const Case cases[] = {
        {"COM1", 1},     {"COM2", 2},      {"COM10", 10},   {"COM12", 12},   {"COM256", 256},
        {"COM4096", 4096}, {"COM9999", 9999}, {"com7", 7},   {"Com12", 12},   {"COM0012", 12},
        {"CNCA0", 0},   // com0com's port pairs: not a COM port
        {"COM", 0},      {"COM0", 0},      {"COM12x", 0},   {"COM 12", 0},   {"COM-3", 0},
        {"COM+3", 0},    {"COM12345", 0},  {"XCOM3", 0},    {"CO", 0},       {"", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.nNumber, ComNumber(c.szName)) << c.szName;
}

TEST(PortName, PortNumbers)
{
    struct Case {
        const char* szText;
        bool bDigits;
        bool bPortNumber;
    };
    const Case cases[] = {
        {"0", true, true},         {"7", true, true},        {"9999", true, true},  {"0012", true, true},
        {"12345", true, false},    {"4294967296", true, false},
        {"", false, false},        {"-1", false, false},     {"+1", false, false},  {"1 ", false, false},
        {" 1", false, false},      {"1x", false, false},     {"x", false, false},   {"\xd9\xa3", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.bDigits, IsDigits(c.szText)) << '"' << c.szText << '"';
        EXPECT_EQ(c.bPortNumber, IsPortNumber(c.szText)) << '"' << c.szText << '"';
    }
}

// Windows opens COM1 to COM9 by name and every other port only in its
// device namespace; the operator reads the plain name.
TEST(PortName, WindowsDevicePaths)
{
    struct Case {
        int32_t nPort;
        const char* szDevice;
        const char* szShown;
    };
    const Case cases[] = {
        {1, "COM1", "COM1"},
        {9, "COM9", "COM9"},
        {10, "\\\\.\\COM10", "COM10"},
        {12, "\\\\.\\COM12", "COM12"},
        {256, "\\\\.\\COM256", "COM256"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.szDevice, ComDevicePath(c.nPort)) << c.nPort;
        EXPECT_EQ(c.szShown, PortDisplayName(c.szDevice)) << c.nPort;
    }
    EXPECT_EQ("\\\\.\\CNCA0", DeviceNamespacePath("CNCA0"));
    EXPECT_EQ("CNCA0", PortDisplayName("\\\\.\\CNCA0"));
    for (const char* szDevice : {"/dev/ttyUSB0", "\\\\?\\COM3", "\\.\\COM3", ""})
        EXPECT_EQ(szDevice, PortDisplayName(szDevice)) << szDevice;
}

TEST(PortName, PrefixesInEitherCase)
{
    EXPECT_TRUE(StartsWithNoCase("\\Device\\BthModem2", "\\device\\bthmodem"));
    EXPECT_TRUE(StartsWithNoCase("COM3", ""));
    EXPECT_FALSE(StartsWithNoCase("CO", "COM"));
    EXPECT_FALSE(StartsWithNoCase("\\Device\\Serial0", "\\Device\\BthModem"));
}

TEST(PortName, ConsolePorts)
{
    TempDir sys;
    ASSERT_FALSE(sys.Path().empty());
    EXPECT_TRUE(ConsolePortNames(sys.Path()).empty());   // no console listed
    ASSERT_EQ(0, mkdir((sys / "console").c_str(), 0755));
    std::ofstream(sys / "console/active") << "tty0 ttyS0\n";
    EXPECT_EQ((std::vector<std::string>{"tty0", "ttyS0"}), ConsolePortNames(sys.Path()));
    std::ofstream(sys / "console/active") << "ttyUSB1\n";
    EXPECT_EQ((std::vector<std::string>{"ttyUSB1"}), ConsolePortNames(sys.Path()));
    EXPECT_TRUE(ConsolePortNames("").empty());
}

}  // namespace
