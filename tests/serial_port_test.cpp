// SerialPort's POSIX backend against real pseudo-terminals.
#include "SerialPort.h"

#include "PtyPair.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <utility>
#include <vector>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kPort = 3;

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_pty.Ok());
        SerialPort::SetDeviceDirectory(m_dir.Path());
        ASSERT_EQ(0, symlink(m_pty.SlavePath().c_str(), (m_dir / "com3").c_str()));
    }

    TempDir m_dir;
    PtyPair m_pty;
};

TEST_F(SerialPortTest, MapsPortNumbersToDevicePaths)
{
    EXPECT_EQ(m_dir / "com3", SerialPort::DevicePath(3));
    SerialPort::SetDeviceDirectory("");
    EXPECT_EQ("/dev/ttyS0", SerialPort::DevicePath(1));
    EXPECT_EQ("/dev/ttyS7", SerialPort::DevicePath(8));
}

// A front end may name a device by its path: the same device as its number,
// and a name that is no device opens nothing.
TEST_F(SerialPortTest, OpensANamedDevice)
{
    SerialPort port;
    EXPECT_TRUE(port.Open(m_pty.SlavePath(), 9600));
    EXPECT_EQ(1, port.Send("y", 1));
    EXPECT_EQ("y", m_pty.ReadFor(1));
    SerialPort byNumber;
    EXPECT_FALSE(byNumber.Open(kPort, 9600));   // held by the first
    port.Close();
    EXPECT_TRUE(byNumber.Open(kPort, 9600));
    for (const std::string& name : {m_dir / "absent", std::string(), m_dir.Path()}) {
        SerialPort other;
        EXPECT_FALSE(other.Open(name, 9600)) << name;
    }
}

TEST_F(SerialPortTest, OpenCloseInEveryOrder)
{
    SerialPort port;
    EXPECT_TRUE(port.Close());                 // never opened
    EXPECT_TRUE(port.Open(kPort, 9600));
    EXPECT_TRUE(port.Open(kPort, 9600));       // already open: nothing more is opened
    EXPECT_TRUE(port.Close());
    EXPECT_TRUE(port.Close());                 // second close does nothing
    EXPECT_TRUE(port.Open(kPort, 9600));       // reopen after close
    EXPECT_EQ(1, port.Send("y", 1));
    EXPECT_EQ("y", m_pty.ReadFor(1));
}

TEST_F(SerialPortTest, OpenTwiceKeepsOneDescriptor)
{
    SerialPort port;
    ASSERT_TRUE(port.Open(kPort, 9600));
    ASSERT_TRUE(port.Open(kPort, 9600));
    port.Close();
    // Had the second Open taken a descriptor of its own, its lock would
    // still keep another holder out.
    SerialPort other;
    EXPECT_TRUE(other.Open(kPort, 9600));
}

TEST_F(SerialPortTest, AbsentDeviceFailsAndStaysClosed)
{
    SerialPort port;
    EXPECT_FALSE(port.Open(5, 9600));
    EXPECT_EQ(PortError::NO_SUCH_PORT, port.OpenError().nKind);
    EXPECT_EQ("no such port", port.OpenError().strText);
    EXPECT_EQ(0, port.Send("y", 1));
    char buffer[8] = {'x'};
    EXPECT_EQ(0, port.Read(buffer, sizeof(buffer)));
    EXPECT_EQ('x', buffer[0]);
    EXPECT_TRUE(port.Close());
}

TEST_F(SerialPortTest, NonTerminalIsNotAPort)
{
    ASSERT_EQ(0, mkdir((m_dir / "com4").c_str(), 0755));
    SerialPort port;
    EXPECT_FALSE(port.Open(4, 9600));
    EXPECT_EQ("not a serial port", port.OpenError().strText);
    ASSERT_EQ(0, symlink("/dev/null", (m_dir / "com6").c_str()));
    EXPECT_FALSE(port.Open(6, 9600));
    EXPECT_EQ("not a serial port", port.OpenError().strText);
}

std::string InUseByThisProcess()
{
    std::ifstream comm("/proc/self/comm");
    std::string strName;
    std::getline(comm, strName);
    return "in use by " + strName + " (pid " + std::to_string(getpid()) + ")";
}

TEST_F(SerialPortTest, HeldDeviceRefusesSecondOpen)
{
    SerialPort first;
    ASSERT_TRUE(first.Open(kPort, 9600));
    SerialPort second;
    EXPECT_FALSE(second.Open(kPort, 9600));
    // The lock's holder is this very process.
    EXPECT_EQ(PortError::IN_USE, second.OpenError().nKind);
    EXPECT_EQ(InUseByThisProcess(), second.OpenError().strText);
    EXPECT_EQ(0, second.Send("y", 1));
    first.Close();
    EXPECT_TRUE(second.Open(kPort, 9600));
    EXPECT_EQ(PortError::NONE, second.OpenError().nKind);
}

// What a front end's trace is told, in order.
std::vector<std::pair<char, std::string>> g_traced;

void Record(char cKind, const char* data, size_t nCount)
{
    g_traced.emplace_back(cKind, std::string(data, nCount));
}

TEST_F(SerialPortTest, TheTraceSeesEveryChunkMovedAndEveryOpenAndClose)
{
    g_traced.clear();
    SerialPort::SetTrace(Record);
    {
        SerialPort port;
        ASSERT_TRUE(port.Open(kPort, 9600));
        EXPECT_EQ(3, port.Send("y\x00\xff", 3));
        EXPECT_EQ(std::string("y\x00\xff", 3), m_pty.ReadFor(3));
        ASSERT_TRUE(m_pty.Write("HVM"));
        ASSERT_TRUE(m_pty.WaitQueued(3));
        char buffer[8];
        EXPECT_EQ(2, port.Read(buffer, 2));
        EXPECT_EQ(1, port.Read(buffer, sizeof(buffer)));
        EXPECT_EQ(0, port.Read(buffer, sizeof(buffer)));   // a quiet line moves nothing
        SerialPort second;
        EXPECT_FALSE(second.Open(kPort, 9600));
    }   // the port closes itself
    SerialPort::SetTrace(nullptr);
    SerialPort after;
    EXPECT_TRUE(after.Open(kPort, 9600));   // no sink: nothing told

    const std::string strDevice = m_dir / "com3";
    const std::vector<std::pair<char, std::string>> expected = {
        {'#', "open " + strDevice + " at 9600 baud"},
        {'#', strDevice + " cannot report line errors"},   // a pty counts none; said once
        {'>', std::string("y\x00\xff", 3)},
        {'<', "HV"},
        {'<', "M"},
        {'#', "cannot open " + strDevice + ": " + InUseByThisProcess()},
        {'#', "close " + strDevice},
    };
    EXPECT_EQ(expected, g_traced);
}

// What a pseudo-terminal keeps of the line. The kernel's pty driver forces 8
// data bits and the receiver on and parity off at every setting, whatever
// was asked, so those are checked on real drivers (the real-line entries).
TEST_F(SerialPortTest, MakesTheLeftOverLineRaw8N1AtRequestedSpeed)
{
    const struct { tcflag_t termios::*flags; tcflag_t bit; const char* name; } kLeftOver[] = {
        {&termios::c_lflag, ICANON, "ICANON"}, {&termios::c_lflag, ECHO, "ECHO"},
        {&termios::c_lflag, ISIG, "ISIG"},     {&termios::c_lflag, IEXTEN, "IEXTEN"},
        {&termios::c_iflag, IXON, "IXON"},     {&termios::c_iflag, IXOFF, "IXOFF"},
        {&termios::c_iflag, ICRNL, "ICRNL"},   {&termios::c_iflag, INLCR, "INLCR"},
        {&termios::c_iflag, IGNCR, "IGNCR"},   {&termios::c_iflag, ISTRIP, "ISTRIP"},
        {&termios::c_iflag, PARMRK, "PARMRK"}, {&termios::c_iflag, IGNBRK, "IGNBRK"},
        {&termios::c_iflag, BRKINT, "BRKINT"}, {&termios::c_iflag, INPCK, "INPCK"},
        {&termios::c_oflag, OPOST, "OPOST"},   {&termios::c_cflag, CSTOPB, "CSTOPB"},
        {&termios::c_cflag, CRTSCTS, "CRTSCTS"},
    };
    // The fixture's line, as a terminal and an earlier program left it, and
    // worse: a stripped eighth bit, mapped line ends, marked and ignored
    // breaks. The pty keeps each of these, so each check below can fail.
    termios line;
    ASSERT_EQ(0, tcgetattr(m_pty.Slave(), &line));
    for (const auto& setting : kLeftOver)
        line.*setting.flags |= setting.bit;
    line.c_cflag &= ~CLOCAL;
    ASSERT_EQ(0, tcsetattr(m_pty.Slave(), TCSANOW, &line));
    ASSERT_EQ(0, tcgetattr(m_pty.Slave(), &line));
    for (const auto& setting : kLeftOver)
        ASSERT_NE(0u, line.*setting.flags & setting.bit) << setting.name << " not kept by the pty";
    ASSERT_EQ(0u, line.c_cflag & CLOCAL);

    SerialPort port;
    ASSERT_TRUE(port.Open(kPort, 9600));   // a pty has no modem lines: no reason to fail
    ASSERT_EQ(0, tcgetattr(m_pty.Slave(), &line));
    EXPECT_EQ(B9600, cfgetospeed(&line));
    EXPECT_EQ(B9600, cfgetispeed(&line));
    for (const auto& setting : kLeftOver)
        EXPECT_EQ(0u, line.*setting.flags & setting.bit) << setting.name << " still on";
    EXPECT_NE(0u, line.c_cflag & CLOCAL);
}

TEST_F(SerialPortTest, ControlBytesCrossACookedLineUnalteredBothWays)
{
    // Interrupt, line feed, carriage return, XON, XOFF, suspend, delete: each
    // means something to a cooked line. XOFF goes first, so that a line still
    // obeying it would hold back what the port sends after it.
    const std::string control("\x13\x03\x0A\x0D\x11\x1A\x7F", 7);
    SerialPort port;
    ASSERT_TRUE(port.Open(kPort, 9600));

    ASSERT_TRUE(m_pty.Write(control));
    ASSERT_TRUE(m_pty.WaitQueued(7));
    char buffer[16];
    ASSERT_EQ(7, port.Read(buffer, sizeof(buffer)));
    EXPECT_EQ(control, std::string(buffer, 7));
    EXPECT_EQ("", m_pty.ReadFor(1, 200));   // no echo

    ASSERT_EQ(7, port.Send(control.data(), 7));
    EXPECT_EQ(control, m_pty.ReadFor(8, 500));   // and nothing added, such as CR before LF
}

TEST_F(SerialPortTest, UnsupportedSpeedFailsOpen)
{
    SerialPort port;
    EXPECT_FALSE(port.Open(kPort, 12345));
    EXPECT_EQ(0, port.Send("y", 1));
}

TEST_F(SerialPortTest, ReadWithNothingQueuedReturnsAtOnceUntouched)
{
    SerialPort port;
    ASSERT_TRUE(port.Open(kPort, 9600));
    char buffer[50];
    std::fill(std::begin(buffer), std::end(buffer), '#');
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, port.Read(buffer, sizeof(buffer)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    for (char c : buffer)
        EXPECT_EQ('#', c);
}

TEST_F(SerialPortTest, ReadTakesAtMostLimitAndKeepsTheRestQueued)
{
    SerialPort port;
    ASSERT_TRUE(port.Open(kPort, 9600));
    std::string sixty;
    for (int i = 0; i < 60; ++i)
        sixty += static_cast<char>('A' + i % 26);
    ASSERT_TRUE(m_pty.Write(sixty));
    ASSERT_TRUE(m_pty.WaitQueued(60));

    char buffer[64];
    std::fill(std::begin(buffer), std::end(buffer), '#');
    ASSERT_EQ(50, port.Read(buffer, 50));
    EXPECT_EQ(sixty.substr(0, 50), std::string(buffer, 50));
    EXPECT_EQ('#', buffer[50]);   // no terminating zero

    ASSERT_EQ(10, port.Read(buffer, 50));
    EXPECT_EQ(sixty.substr(50), std::string(buffer, 10));
    EXPECT_EQ(0, port.Read(buffer, 50));
}

TEST_F(SerialPortTest, ReadWithFewerQueuedThanLimitTakesAll)
{
    SerialPort port;
    ASSERT_TRUE(port.Open(kPort, 9600));
    ASSERT_TRUE(m_pty.Write("ack"));
    ASSERT_TRUE(m_pty.WaitQueued(3));
    char buffer[750];
    ASSERT_EQ(3, port.Read(buffer, sizeof(buffer)));
    EXPECT_EQ("ack", std::string(buffer, 3));
}

TEST_F(SerialPortTest, SendWithNoBytesSendsNothing)
{
    SerialPort port;
    ASSERT_TRUE(port.Open(kPort, 9600));
    EXPECT_EQ(0, port.Send("y", 0));
    EXPECT_EQ(0, port.Send("y", -3));
    EXPECT_EQ("", m_pty.ReadFor(1, 100));
    EXPECT_EQ(2, port.Send("vo", 2));
    EXPECT_EQ("vo", m_pty.ReadFor(2));
}

TEST_F(SerialPortTest, AllByteValuesPassUnalteredBothWays)
{
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);

    SerialPort port;
    ASSERT_TRUE(port.Open(kPort, 9600));
    ASSERT_EQ(256, port.Send(all.data(), 256));
    EXPECT_EQ(all, m_pty.ReadFor(256));

    ASSERT_TRUE(m_pty.Write(all));
    ASSERT_TRUE(m_pty.WaitQueued(256));
    std::string got;
    char buffer[50];
    for (int n; (n = port.Read(buffer, sizeof(buffer))) > 0;)
        got.append(buffer, static_cast<size_t>(n));
    EXPECT_EQ(all, got);
}

TEST_F(SerialPortTest, UnreadBytesAreDroppedWithThePort)
{
    {
        SerialPort port;
        ASSERT_TRUE(port.Open(kPort, 9600));
        ASSERT_TRUE(m_pty.Write("stale reply"));
        ASSERT_TRUE(m_pty.WaitQueued(11));
    }
    SerialPort port;
    ASSERT_TRUE(port.Open(kPort, 9600));
    char buffer[50];
    EXPECT_EQ(0, port.Read(buffer, sizeof(buffer)));
}

}  // namespace

namespace {

class FailedLineTest : public SerialPortTest {
};

TEST_F(FailedLineTest, AQuietLineIsNoFailure)
{
    SerialPort port;
    ASSERT_TRUE(port.Open(kPort, 9600));
    char buffer[50];
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(0, port.Read(buffer, sizeof(buffer)));
    EXPECT_FALSE(port.ReadFailed());
    ASSERT_TRUE(m_pty.Write("ack"));
    ASSERT_TRUE(m_pty.WaitQueued(3));
    EXPECT_EQ(3, port.Read(buffer, sizeof(buffer)));
    EXPECT_FALSE(port.ReadFailed());
}

TEST_F(FailedLineTest, ALineThatHangsUpFailsTheReadUntilTheNextOpen)
{
    SerialPort port;
    EXPECT_FALSE(port.ReadFailed());
    ASSERT_TRUE(port.Open(kPort, 9600));
    ASSERT_TRUE(m_pty.Write("half a repl"));
    ASSERT_TRUE(m_pty.WaitQueued(11));
    m_pty.HangUp();

    char buffer[50];
    auto start = std::chrono::steady_clock::now();
    int32_t nTotal = 0;
    for (int i = 0; i < 3; ++i)
        nTotal += port.Read(buffer, sizeof(buffer));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(0, nTotal);   // what was queued went with the line
    EXPECT_TRUE(port.ReadFailed());
    EXPECT_EQ(1, port.Send("y", 1));   // the results are otherwise as ever
    port.Close();
    EXPECT_TRUE(port.ReadFailed());    // still there to be asked after the exchange

    // A fresh line on the same port number starts without the mark.
    PtyPair fresh;
    ASSERT_TRUE(fresh.Ok());
    ASSERT_EQ(0, unlink((m_dir / "com3").c_str()));
    ASSERT_EQ(0, symlink(fresh.SlavePath().c_str(), (m_dir / "com3").c_str()));
    ASSERT_TRUE(port.Open(kPort, 9600));
    EXPECT_FALSE(port.ReadFailed());
}

TEST_F(FailedLineTest, APortThatNeverOpenedHasNoFailedRead)
{
    SerialPort port;
    EXPECT_FALSE(port.Open(5, 9600));
    char buffer[8];
    EXPECT_EQ(0, port.Read(buffer, sizeof(buffer)));
    EXPECT_FALSE(port.ReadFailed());
}

}  // namespace
