// When a download ends: only after the line has been quiet for two seconds,
// so an instrument that pauses mid-transfer loses nothing; and a data set
// still streaming at the download's bound is refused, never saved cut.
#include "FakeDialog.h"
#include "InstrumentBench.h"

#include <chrono>

namespace {

using namespace std::chrono_literals;

const std::string kMsgReceived = "     Data Received!       ";
const std::string kMsgTooLong = "Data Set Too Long! Data not saved. ";

// Readings until the text is at least nBytes long.
std::string Readings(size_t nBytes)
{
    std::string text;
    for (int i = 0; text.size() < nBytes; ++i)
        text += "2026-12-10 10:" + std::to_string(10 + i % 50) + ";" + std::to_string(i) + ".25\n";
    return text;
}

std::string WithCrLf(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

double SecondsSince(std::chrono::steady_clock::time_point then)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - then).count();
}

class EndOfDataTest : public InstrumentBench {
protected:
    // The kV data set as the instrument sends it, on a 9600-baud line.
    sim::SimInstrument& AttachSending(sim::Reply data)
    {
        data.nBytesPerSecond = 960;
        sim::Scenario scenario = sim::DefaultScenario();
        scenario.dataSets['v'] = data;
        sim::SimInstrument& instrument = Attach(1, scenario);
        m_dialog.Connect(1);
        return instrument;
    }

    FakeDialog m_dialog;
};

struct PauseCase {
    const char* name;
    size_t nBefore;   // bytes before the instrument pauses
    int nPauseMs;
};

void PrintTo(const PauseCase& c, std::ostream* os)
{
    *os << c.name;
}

// 2400 bytes take 2.5 s at 960 B/s: the later pauses come after the first
// two seconds, where a count of quiet polls used to end the download.
const PauseCase kPauseCases[] = {
    {"in_the_first_two_seconds", 300, 1500},
    {"of_0_3_s", 2400, 300},
    {"of_1_0_s", 2400, 1000},
    {"of_1_5_s", 2400, 1500},
};

class PauseTest : public EndOfDataTest, public ::testing::WithParamInterface<PauseCase> {
};

TEST_P(PauseTest, APauseShorterThanTheQuietTimeLosesNothing)
{
    const PauseCase& c = GetParam();
    sim::Reply data;
    data.bytes = Readings(3060);
    data.pieces = {c.nBefore, data.bytes.size() - c.nBefore};
    data.nPieceGapMs = c.nPauseMs;
    sim::SimInstrument& instrument = AttachSending(data);
    WriteFile("run1.txt", "older, complete data set\r\n");
    m_dialog.controls[IDC_FILE_KV] = "run1";

    m_dialog.ReadDataSet(g_dataSets[0]);
    double afterLast = SecondsSince(instrument.LastReplyEnd());

    EXPECT_EQ(WithCrLf(data.bytes), ReadFile("run1.txt"));
    EXPECT_EQ((std::vector<std::string>{"        File Exists! Overwrite?  ", kMsgReceived}),
              m_dialog.MessageTexts());
    // It ends once the line has been quiet for two seconds, and soon after.
    EXPECT_GE(afterLast, 2.0);
    EXPECT_LT(afterLast, 4.0);   // generous: a loaded machine wakes late
    EXPECT_TRUE(m_dialog.bTimerRunning);
}

INSTANTIATE_TEST_SUITE_P(Pauses, PauseTest, ::testing::ValuesIn(kPauseCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EndOfDataTest, StillStreamingAtTheBoundSavesNothingAndSaysSo)
{
    // As fast as the line takes it, so that a probe into the stream reads
    // more than an identification at once; and a new command does not stop it.
    sim::Scenario streaming = sim::DefaultScenario();
    streaming.dataSets['v'] = Whole(Readings(600));
    streaming.dataSets['v'].bEndless = true;
    sim::SimInstrument& instrument = Attach(1, streaming);
    m_dialog.Connect(1);
    m_dialog.SetBulkLimit(2500ms);
    WriteFile("run1.txt", "older, complete data set\r\n");
    m_dialog.controls[IDC_FILE_KV] = "run1";
    m_dialog.events.clear();

    double seconds = SecondsFor([&] { m_dialog.ReadDataSet(g_dataSets[0]); });

    EXPECT_TRUE(m_dialog.Cut());
    EXPECT_GE(seconds, 2.5);
    EXPECT_LT(seconds, 4.0);   // the first bytes past the bound end it
    EXPECT_EQ("older, complete data set\r\n", ReadFile("run1.txt"));
    EXPECT_EQ((std::vector<std::string>{"run1.txt"}), WorkFiles());
    ASSERT_EQ(2u, m_dialog.messages.size());
    EXPECT_EQ(kMsgTooLong, m_dialog.messages[1].text);
    EXPECT_EQ("Error:", m_dialog.messages[1].caption);
    EXPECT_EQ(STYLE_ERROR, m_dialog.messages[1].style);
    // The line may go on streaming the rest: the window lets go of the
    // instrument, shown before the box, as after a lost line, and no probe
    // or download reads that stream as its reply.
    EXPECT_EQ("progress end", m_dialog.events[m_dialog.events.size() - 3]);
    EXPECT_EQ("stop", m_dialog.events[m_dialog.events.size() - 2]);
    EXPECT_FALSE(m_dialog.bTimerRunning);
    EXPECT_EQ(NO_PORT, m_dialog.m_nPort);
    EXPECT_EQ(" No Connection! ", m_dialog.controls[IDC_STATUS]);
    EXPECT_EQ(COLOR_NO_CONNECTION, m_dialog.colors.back());
    instrument.ClearReceived();
    EXPECT_EQ(Outcome::NotConnected, m_dialog.ReadDataSet(g_dataSets[0]));
    EXPECT_EQ("", instrument.ReceivedText());

    // Connect finds nothing while the stream goes on (a probe gets a reply
    // of the wrong length), and finds the instrument once it has stopped.
    EXPECT_EQ(Outcome::NotFound, m_dialog.SearchInstrument({{1, SerialPort::DevicePath(1)}}));
    EXPECT_EQ(NO_PORT, m_dialog.m_nPort);
    instrument.SetScenario(sim::DefaultScenario());
    EXPECT_EQ(Outcome::Found, m_dialog.SearchInstrument({{1, SerialPort::DevicePath(1)}}));
    EXPECT_EQ(1, m_dialog.m_nPort);
    EXPECT_EQ("older, complete data set\r\n", ReadFile("run1.txt"));
}

TEST_F(EndOfDataTest, TheBoundReachedOnAQuietLineIsANormalEnd)
{
    // The last byte goes out just before the bound; the line then stays
    // quiet, and the data set is whole.
    sim::Reply data;
    data.bytes = Readings(2200);   // about 2.3 s
    sim::SimInstrument& instrument = AttachSending(data);
    m_dialog.SetBulkLimit(2500ms);
    m_dialog.controls[IDC_FILE_KV] = "run1";

    m_dialog.ReadDataSet(g_dataSets[0]);

    EXPECT_FALSE(m_dialog.Cut());
    EXPECT_EQ(WithCrLf(data.bytes), ReadFile("run1.txt"));
    EXPECT_EQ((std::vector<std::string>{kMsgReceived}), m_dialog.MessageTexts());
    EXPECT_GE(SecondsSince(instrument.LastReplyEnd()), 2.0);
}

TEST_F(EndOfDataTest, AnEmptyLineEndsTwoSecondsAfterTheCommand)
{
    sim::Reply data;   // nothing at all
    AttachSending(data);
    m_dialog.controls[IDC_FILE_KV] = "run1";

    double seconds = SecondsFor([&] { m_dialog.ReadDataSet(g_dataSets[0]); });

    EXPECT_GE(seconds, 2.0);
    EXPECT_LT(seconds, 4.0);
    EXPECT_EQ((std::vector<std::string>{"No Data Received! "}), m_dialog.MessageTexts());
    EXPECT_TRUE(WorkFiles().empty());
}

}  // namespace
