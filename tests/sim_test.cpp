// The simulated instrument on its own: the test plays the program on the
// slave side of the pty with plain reads and writes.
#include "SimInstrument.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <termios.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

using namespace std::chrono_literals;
using sim::Clock;

namespace {

struct Arrival {
    Clock::time_point time;
    std::string bytes;
};

// The program's end of the line: the slave opened the way a serial port is,
// at the instrument's speed unless told another.
class Line {
public:
    explicit Line(const std::string& path, speed_t speed = B9600, bool bTwoStopBits = false)
        : m_fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        termios tio{};
        if (m_fd < 0 || tcgetattr(m_fd, &tio) != 0)
            return;
        cfmakeraw(&tio);
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        if (bTwoStopBits)
            tio.c_cflag |= CSTOPB;
        tcsetattr(m_fd, TCSANOW, &tio);
    }
    ~Line()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    bool Ok() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }
    void Send(const std::string& bytes)
    {
        ASSERT_EQ(write(m_fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Polls every 5 ms for the given time, like the program does (only faster).
    std::vector<Arrival> Collect(Clock::duration span)
    {
        std::vector<Arrival> arrivals;
        Clock::time_point end = Clock::now() + span;
        while (Clock::now() < end) {
            char buffer[4096];
            ssize_t n = read(m_fd, buffer, sizeof buffer);
            if (n > 0)
                arrivals.push_back({Clock::now(), std::string(buffer, static_cast<size_t>(n))});
            std::this_thread::sleep_for(5ms);
        }
        return arrivals;
    }
    std::string CollectText(Clock::duration span)
    {
        std::string text;
        for (const Arrival& a : Collect(span))
            text += a.bytes;
        return text;
    }

private:
    int m_fd;
};

sim::Scenario Answering(const std::string& probe, const std::string& data = "", int nBytesPerSecond = 0)
{
    sim::Scenario scenario;
    scenario.probe.bytes = probe;
    scenario.ack.bytes = sim::DefaultAck();
    for (char letter : {'v', 'a', 'o'}) {
        scenario.dataSets[letter].bytes = data;
        scenario.dataSets[letter].nBytesPerSecond = nBytesPerSecond;
    }
    return scenario;
}

std::string AllByteValues()
{
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    return bytes;
}

long long Ms(Clock::duration d)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

}  // namespace

TEST(SimDefaults, IdentAckAndDataSetsLookRight)
{
    EXPECT_EQ(sim::DefaultIdent().size(), 19u);
    EXPECT_EQ(sim::DefaultAck().size(), 9u);
    for (char c : sim::DefaultIdent() + sim::DefaultAck())
        EXPECT_TRUE(c >= 0x20 && c < 0x7F) << int(c);

    const struct { char letter; const char* unit; } kSets[] = {{'v', " kV\n"}, {'a', " uA\n"}, {'o', " kOhm\n"}};
    for (const auto& set : kSets) {
        std::string text = sim::MakeDataSet(set.letter, 50);
        EXPECT_EQ(text, sim::MakeDataSet(set.letter, 50)) << "not reproducible";
        size_t lines = 0;
        for (size_t pos = 0; (pos = text.find(set.unit, pos)) != std::string::npos; ++pos)
            ++lines;
        EXPECT_EQ(lines, 50u) << set.letter;
        EXPECT_EQ(std::string::npos, text.find('\r'));
    }
    sim::Scenario scenario = sim::DefaultScenario();
    EXPECT_EQ(scenario.probe.bytes, sim::DefaultIdent());
    EXPECT_EQ(scenario.dataSets.size(), 3u);
    EXPECT_EQ(scenario.dataSets['a'].nBytesPerSecond, 960);
}

// Each recognised letter gets its own answer; other bytes are ignored.
TEST(SimInstrument, AnswersEachCommandLetter)
{
    sim::SimInstrument instrument(Answering(sim::DefaultIdent(), "12.00 kV\r\n"));
    ASSERT_TRUE(instrument.Ok());
    Line line(instrument.SlavePath());
    ASSERT_TRUE(line.Ok());

    const struct { const char* command; std::string reply; } kCases[] = {
        {"y", sim::DefaultIdent()},
        {"v", "12.00 kV\r\n"},
        {"o", "12.00 kV\r\n"},
        {"E", sim::DefaultAck()},
        {"A", sim::DefaultAck()},
        {"x", ""},
        {"Y", ""},
    };
    for (const auto& c : kCases) {
        line.Send(c.command);
        EXPECT_EQ(line.CollectText(200ms), c.reply) << c.command;
    }
}

// The instrument hears its letters only at 9600 baud with one stop bit; a
// line left at the pty's 38400, set to 19200 or to two stop bits gets no
// answer, though the letters are recorded. Without the strict line it
// answers at any speed.
TEST(SimInstrument, AnswersOnlyOnTheInstrumentsLine)
{
    const struct { const char* szName; speed_t speed; bool bTwoStopBits; bool bStrict; bool bAnswers; } kCases[] = {
        {"9600 8N1", B9600, false, true, true},
        {"as the pty starts (38400)", B38400, false, true, false},
        {"19200", B19200, false, true, false},
        {"9600 with two stop bits", B9600, true, true, false},
        {"19200, strict line off", B19200, false, false, true},
    };
    for (const auto& c : kCases) {
        sim::Scenario scenario = Answering(sim::DefaultIdent());
        scenario.bStrictLine = c.bStrict;
        sim::SimInstrument instrument(scenario);
        Line line(instrument.SlavePath(), c.speed, c.bTwoStopBits);
        ASSERT_TRUE(line.Ok());
        line.Send("y");
        EXPECT_EQ(line.CollectText(300ms), c.bAnswers ? sim::DefaultIdent() : "") << c.szName;
        EXPECT_EQ(instrument.ReceivedText(), "y") << c.szName;
    }
    // A fresh pty is not at 9600: only a program that sets the speed is heard.
    sim::SimInstrument instrument(Answering(sim::DefaultIdent()));
    int fd = open(instrument.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(sim::IsInstrumentLine(fd));
    close(fd);
}

TEST(SimInstrument, PiecesArriveApart)
{
    sim::Scenario scenario = Answering(sim::DefaultIdent());
    scenario.probe.pieces = {7, 7, 5};
    scenario.probe.nPieceGapMs = 100;   // wide, so a late poll on a busy machine still sees them apart
    sim::SimInstrument instrument(scenario);
    Line line(instrument.SlavePath());

    line.Send("y");
    std::vector<Arrival> arrivals = line.Collect(600ms);
    ASSERT_EQ(arrivals.size(), 3u);
    EXPECT_EQ(arrivals[0].bytes, sim::DefaultIdent().substr(0, 7));
    EXPECT_EQ(arrivals[1].bytes, sim::DefaultIdent().substr(7, 7));
    EXPECT_EQ(arrivals[2].bytes, sim::DefaultIdent().substr(14));
    EXPECT_GE(Ms(arrivals[1].time - arrivals[0].time), 60);
    EXPECT_GE(Ms(arrivals[2].time - arrivals[1].time), 60);
}

TEST(SimInstrument, DelayHoldsBackTheFirstByte)
{
    sim::Scenario scenario = Answering(sim::DefaultIdent());
    scenario.probe.nDelayMs = 300;
    sim::SimInstrument instrument(scenario);
    Line line(instrument.SlavePath());

    Clock::time_point sent = Clock::now();
    line.Send("y");
    std::vector<Arrival> arrivals = line.Collect(800ms);
    ASSERT_FALSE(arrivals.empty());
    EXPECT_GE(Ms(arrivals[0].time - sent), 250);
    EXPECT_EQ(arrivals[0].bytes, sim::DefaultIdent());
}

TEST(SimInstrument, UnpluggedRecordsButStaysSilent)
{
    sim::SimInstrument instrument(Answering(sim::DefaultIdent()));
    Line line(instrument.SlavePath());

    instrument.SetUnplugged(true);
    line.Send("yE");
    EXPECT_EQ(line.CollectText(300ms), "");
    EXPECT_EQ(instrument.ReceivedText(), "yE");
    EXPECT_EQ(instrument.BytesSent(), 0u);

    instrument.SetUnplugged(false);
    line.Send("y");
    EXPECT_EQ(line.CollectText(200ms), sim::DefaultIdent());
}

TEST(SimInstrument, PacedDataFlowsNear960BytesPerSecond)
{
    const std::string data = sim::MakeDataSet('v', 200);   // several seconds at 960 B/s
    ASSERT_GT(data.size(), 4000u);
    sim::SimInstrument instrument(Answering(sim::DefaultIdent(), data, 960));
    Line line(instrument.SlavePath());

    line.Send("v");
    std::vector<Arrival> arrivals = line.Collect(2000ms);
    std::string text;
    for (const Arrival& a : arrivals)
        text += a.bytes;
    // 1920 bytes nominal; the bounds leave room for a slow machine.
    EXPECT_GT(text.size(), 1500u);
    EXPECT_LT(text.size(), 2300u);
    EXPECT_EQ(text, data.substr(0, text.size()));
    // Smooth, not in bursts: many small arrivals.
    EXPECT_GT(arrivals.size(), 40u);
    EXPECT_EQ(instrument.LastReplyEnd(), Clock::time_point{}) << "the reply is not over yet";
}

TEST(SimInstrument, LastReplyEndMarksThePacedReplysEnd)
{
    sim::SimInstrument instrument(Answering(sim::DefaultIdent(), std::string(480, 'x'), 960));
    Line line(instrument.SlavePath());

    Clock::time_point sent = Clock::now();
    line.Send("a");
    EXPECT_EQ(line.CollectText(1200ms).size(), 480u);
    EXPECT_EQ(instrument.BytesSent(), 480u);
    long long took = Ms(instrument.LastReplyEnd() - sent);
    EXPECT_GT(took, 400);
    EXPECT_LT(took, 1100);
}

TEST(SimInstrument, NewCommandAndUnplugCutALongReply)
{
    sim::SimInstrument instrument(Answering(sim::DefaultIdent(), std::string(65536, 'd'), 960));
    Line line(instrument.SlavePath());

    line.Send("v");
    EXPECT_GT(line.CollectText(300ms).size(), 100u);
    line.Send("y");
    std::string text = line.CollectText(400ms);
    ASSERT_GE(text.size(), sim::DefaultIdent().size());
    EXPECT_EQ(text.substr(text.size() - 19), sim::DefaultIdent()) << "no data after the ident";
    EXPECT_LT(text.size(), 19u + 50u) << "only what was already on its way";

    line.Send("o");
    std::this_thread::sleep_for(300ms);
    instrument.SetUnplugged(true);
    std::this_thread::sleep_for(100ms);
    size_t sentAtUnplug = instrument.BytesSent();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(instrument.BytesSent(), sentAtUnplug);
}

// The program opens the port for each exchange and closes it after; what it
// left unread must not reach the next exchange, as on a real port.
TEST(SimInstrument, NextExchangeSeesOnlyItsOwnReply)
{
    const struct { const char* name; int nBytesPerSecond; } kCases[] = {
        {"unread instant data set", 0},
        {"paced data set still flowing", 960},
    };
    for (const auto& c : kCases) {
        sim::SimInstrument instrument(Answering(sim::DefaultIdent(), std::string(20000, 's'), c.nBytesPerSecond));
        for (int round = 0; round < 5; ++round) {
            {
                Line download(instrument.SlavePath());
                download.Send("v");
                std::this_thread::sleep_for(100ms);
            }
            std::this_thread::sleep_for(50ms);
            Line probe(instrument.SlavePath());
            probe.Send("y");   // and read at once, as the program does
            EXPECT_EQ(probe.CollectText(500ms), sim::DefaultIdent()) << c.name << ", round " << round;
        }
    }
}

TEST(SimInstrument, CommandDropsUnreadBytesOnAnOpenPort)
{
    sim::SimInstrument instrument(Answering(sim::DefaultIdent(), std::string(300, 's')));
    Line line(instrument.SlavePath());

    line.Send("v");
    std::this_thread::sleep_for(200ms);   // data set left unread in the queue
    line.Send("y");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(line.CollectText(100ms), sim::DefaultIdent());
}

TEST(SimInstrument, ClosedPortLosesWhatIsSentMeanwhile)
{
    std::string data;
    for (int i = 0; i < 10000; ++i) {
        char token[8];
        std::snprintf(token, sizeof token, "%06d ", i);
        data += token;
    }
    sim::SimInstrument instrument(Answering(sim::DefaultIdent(), data, 960));
    size_t before;
    {
        Line line(instrument.SlavePath());
        line.Send("v");
        before = line.CollectText(300ms).size();
        ASSERT_GT(before, 100u);
    }
    std::this_thread::sleep_for(500ms);   // about 480 bytes go out into nowhere
    Line line(instrument.SlavePath());
    std::string after = line.CollectText(300ms);
    ASSERT_GT(after.size(), 100u) << "the instrument is still sending";
    size_t resumedAt = data.find(after.substr(0, 14));
    ASSERT_NE(resumedAt, std::string::npos);
    EXPECT_GT(resumedAt, before + 240);
    EXPECT_GT(instrument.BytesSent(), before + after.size() + 240) << "lost bytes count as sent";
}

// Every byte value crosses the line unaltered both ways (no flow control,
// no line editing), and every received byte is kept with its time.
TEST(SimInstrument, AllByteValuesPassAndAreRecordedInOrder)
{
    sim::Scenario silent = Answering("");
    silent.ack.bytes.clear();
    silent.dataSets.clear();
    sim::SimInstrument instrument(silent);
    Line line(instrument.SlavePath());

    Clock::time_point before = Clock::now();
    line.Send(AllByteValues().substr(0, 128));
    std::this_thread::sleep_for(50ms);
    line.Send(AllByteValues().substr(128));
    std::this_thread::sleep_for(200ms);
    std::vector<sim::Received> received = instrument.ReceivedBytes();
    ASSERT_EQ(received.size(), 256u);
    EXPECT_EQ(instrument.ReceivedText(), AllByteValues());
    EXPECT_GE(received.front().time, before);
    for (size_t i = 1; i < received.size(); ++i)
        EXPECT_LE(received[i - 1].time, received[i].time) << i;
    EXPECT_GE(Ms(received[128].time - received[127].time), 30);

    instrument.ClearReceived();
    EXPECT_EQ(instrument.ReceivedText(), "");

    sim::Scenario echoAll = Answering(AllByteValues());
    instrument.SetScenario(echoAll);
    line.Send("y");
    EXPECT_EQ(line.CollectText(300ms), AllByteValues());
}

TEST(SimInstrument, LinkLivesAsLongAsTheInstrument)
{
    TempDir dir;
    std::string com1 = dir / "com1";
    std::string com2 = dir / "com2";
    ASSERT_EQ(symlink("/nonexistent", com1.c_str()), 0);   // an old link gets replaced
    ASSERT_EQ(mkdir(com2.c_str(), 0755), 0);                // so does an absent port's empty directory
    {
        sim::SimInstrument first;
        sim::SimInstrument second;
        ASSERT_TRUE(first.LinkAs(com1));
        ASSERT_TRUE(second.LinkAs(com2));
        EXPECT_NE(first.SlavePath(), second.SlavePath());
        char target[256] = {};
        ASSERT_GT(readlink(com1.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(std::string(target), first.SlavePath());

        Line line(com2);
        ASSERT_TRUE(line.Ok());
        line.Send("y");
        EXPECT_EQ(line.CollectText(200ms), sim::DefaultIdent());
        EXPECT_EQ(first.ReceivedText(), "");
    }
    struct stat st;
    EXPECT_NE(lstat(com1.c_str(), &st), 0);
    EXPECT_NE(lstat(com2.c_str(), &st), 0);
}

TEST(SimInstrument, StopsPromptlyDuringALongReply)
{
    Clock::time_point start;
    {
        sim::SimInstrument instrument(Answering(sim::DefaultIdent(), std::string(65536, 'd'), 960));
        Line line(instrument.SlavePath());
        line.Send("v");
        std::this_thread::sleep_for(200ms);
        EXPECT_GT(instrument.BytesSent(), 0u);
        start = Clock::now();
    }
    EXPECT_LT(Ms(Clock::now() - start), 500);
}

TEST(SimInstrument, VanishHangsUpTheHolderAndReturnComesBackBehindTheLink)
{
    TempDir dir;
    std::string com1 = dir / "com1";
    std::string oldSlave;
    {
        sim::SimInstrument instrument(Answering(sim::DefaultIdent()));
        ASSERT_TRUE(instrument.LinkAs(com1));
        oldSlave = instrument.SlavePath();
        Line held(com1);
        ASSERT_TRUE(held.Ok());

        ASSERT_TRUE(instrument.Vanish());
        EXPECT_TRUE(instrument.Vanished());
        pollfd line = {held.Fd(), POLLIN, 0};
        ASSERT_EQ(1, poll(&line, 1, 1000));
        EXPECT_TRUE(line.revents & POLLHUP);
        char byte;
        EXPECT_LE(read(held.Fd(), &byte, 1), 0);
        struct stat st;
        ASSERT_EQ(0, stat(com1.c_str(), &st));   // the link leads to an empty directory,
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_FALSE(Line(com1).Ok());           // which no one opens as a device

        ASSERT_TRUE(instrument.Return());
        EXPECT_FALSE(instrument.Vanished());
        Line fresh(com1);
        ASSERT_TRUE(fresh.Ok());
        fresh.Send("y");
        EXPECT_EQ(fresh.CollectText(200ms), sim::DefaultIdent());
        ASSERT_TRUE(instrument.Vanish());   // and it can go again, as often as it likes
        ASSERT_TRUE(instrument.Return());
    }
    struct stat st;
    EXPECT_NE(lstat(com1.c_str(), &st), 0);   // link and empty directory are gone
}

TEST(SimInstrument, StallHoldsTheProgramsWritesUntilReleased)
{
    sim::SimInstrument instrument(Answering(sim::DefaultIdent()));
    Line line(instrument.SlavePath());
    ASSERT_TRUE(instrument.Stall());
    char y = 'y';
    EXPECT_EQ(-1, write(line.Fd(), &y, 1));
    EXPECT_EQ(EAGAIN, errno);
    pollfd ready = {line.Fd(), POLLOUT, 0};
    EXPECT_EQ(0, poll(&ready, 1, 300));   // stays full

    instrument.Release();
    EXPECT_EQ(1, poll(&ready, 1, 1000));
    line.Send("y");
    EXPECT_EQ(line.CollectText(300ms), sim::DefaultIdent());
    EXPECT_EQ(instrument.ReceivedText(), "y");

    // A timed stall lets go by itself.
    ASSERT_TRUE(instrument.Stall(300));
    Clock::time_point start = Clock::now();
    ASSERT_EQ(1, poll(&ready, 1, 3000));
    EXPECT_GE(Ms(Clock::now() - start), 200);
    EXPECT_LE(Ms(Clock::now() - start), 1500);
}

namespace {

// A noisy line flips one bit of about the share of bytes asked for, and
// the same seed flips the same bits: a run repeats exactly.
TEST(SimNoise, FlipsOneBitOfTheShareAskedForAndRepeatsBySeed)
{
    const std::string strClean(100000, 'x');
    const struct {
        double dRate;
        size_t nMin, nMax;   // bytes changed
    } kCases[] = {{0, 0, 0}, {0.001, 60, 140}, {0.01, 850, 1150}};
    for (const auto& c : kCases) {
        sim::FlipState first{7}, again{7}, other{8};
        std::string a = strClean, b = strClean, d = strClean;
        sim::FlipBits(a, c.dRate, first);
        sim::FlipBits(b, c.dRate, again);
        sim::FlipBits(d, c.dRate, other);
        EXPECT_EQ(a, b) << c.dRate;
        EXPECT_EQ(c.dRate > 0, a != d) << c.dRate;
        size_t nChanged = 0;
        for (size_t i = 0; i < a.size(); ++i) {
            unsigned diff = static_cast<unsigned char>(a[i] ^ strClean[i]);
            if (diff == 0)
                continue;
            ++nChanged;
            EXPECT_EQ(0u, diff & (diff - 1)) << "more than one bit at " << i;
        }
        EXPECT_GE(nChanged, c.nMin) << c.dRate;
        EXPECT_LE(nChanged, c.nMax) << c.dRate;
    }
}

// On the line: a reply goes out changed, the next one by other flips.
TEST(SimNoise, RepliesComeChangedOnANoisyLine)
{
    sim::Scenario scenario = Answering(sim::DefaultIdent(), std::string(2000, 'k'));
    scenario.dFlipRate = 0.01;
    sim::SimInstrument instrument(scenario);
    Line line(instrument.SlavePath());
    ASSERT_TRUE(line.Ok());
    line.Send("v");
    std::string strFirst = line.CollectText(300ms);
    line.Send("v");
    std::string strSecond = line.CollectText(300ms);
    EXPECT_EQ(2000u, strFirst.size());
    EXPECT_EQ(2000u, strSecond.size());
    EXPECT_NE(std::string(2000, 'k'), strFirst);
    EXPECT_NE(strFirst, strSecond);
}

// An instrument still measuring adds a reading to every set each period,
// and an erase letter empties its own set (E all of them).
TEST(SimMeasuring, AddsReadingsAndAnEraseEmptiesItsSet)
{
    sim::Scenario scenario = Answering(sim::DefaultIdent(), "");
    scenario.nMeasureEveryMs = 300;
    sim::SimInstrument instrument(scenario);
    Line line(instrument.SlavePath());
    ASSERT_TRUE(line.Ok());
    std::this_thread::sleep_for(1000ms);   // three readings, give or take a loaded tick

    const auto Lines = [&](const char* szLetter) {
        line.Send(szLetter);
        std::string strText = line.CollectText(150ms);
        return std::count(strText.begin(), strText.end(), '\n');
    };
    EXPECT_GE(Lines("v"), 2);
    EXPECT_GE(Lines("a"), 2);
    line.Send("V");
    EXPECT_EQ(sim::DefaultAck(), line.CollectText(100ms));
    // Read at once, before the next period: nothing of the old readings.
    EXPECT_LE(Lines("v"), 1);
    EXPECT_GE(Lines("o"), 2);
    line.Send("E");
    EXPECT_EQ(sim::DefaultAck(), line.CollectText(100ms));
    EXPECT_LE(Lines("o"), 1);
    EXPECT_EQ(sim::MakeReading('v', 0), sim::MakeReading('v', 0));
    EXPECT_NE(sim::MakeReading('v', 0), sim::MakeReading('v', 1));
}

}  // namespace
