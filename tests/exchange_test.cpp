// Counted and bulk exchanges against the simulated instrument.
#include "FakeDialog.h"
#include "InstrumentBench.h"

#include <algorithm>
#include <set>

namespace {

using ExchangeTest = InstrumentBench;

const std::string kIdent = sim::DefaultIdent();

sim::Reply InPieces(std::string bytes, std::vector<size_t> pieces, int nGapMs = 40)
{
    sim::Reply reply;
    reply.bytes = std::move(bytes);
    reply.pieces = std::move(pieces);
    reply.nPieceGapMs = nGapMs;
    return reply;
}

struct CountedCase {
    const char* name;
    sim::Reply probe;
    bool bResult;
    std::string strReply;         // m_strReply afterwards
    std::string strLastReply;     // m_strLastReply afterwards
    bool bTransferError;          // "Data Transfer Error!    " shown
    double minSeconds;
    double maxSeconds;
};

void PrintTo(const CountedCase& c, std::ostream* os)
{
    *os << c.name;
}

// A time-out takes all 100 polls of 10 ms; a complete reply ends the polling
// as soon as its last byte is in.
const CountedCase kCountedCases[] = {
    {"WholeReply", InstrumentBench::Whole(kIdent), true, kIdent, kIdent, false, 0.0, 0.6},
    {"PiecesOf775", InPieces(kIdent, {7, 7, 5}), true, kIdent, kIdent, false, 0.07, 0.6},
    {"TwentyBytes", InstrumentBench::Whole(kIdent + "!"), false, "", kIdent + "!", true, 0.0, 0.6},
    {"EighteenBytes", InstrumentBench::Whole(kIdent.substr(0, 18)), false, "", kIdent.substr(0, 18),
     false, 0.95, 3.0},
    {"Silence", InstrumentBench::Whole(""), false, "", "", false, 0.95, 3.0},
    // The expected length is reached exactly before the surplus arrives.
    {"ExactThenSurplus", InPieces(kIdent + "xyz", {19}, 300), true, kIdent, kIdent, false, 0.0, 0.6},
};

class CountedExchangeTest : public InstrumentBench,
                            public ::testing::WithParamInterface<CountedCase> {
};

TEST_P(CountedExchangeTest, ProbeReply)
{
    const CountedCase& c = GetParam();
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.probe = c.probe;
    sim::SimInstrument& instrument = Attach(2, scenario);

    FakeDialog dialog;
    dialog.UseCom(2);
    g_strCommand = "y";
    bool bResult = false;
    double seconds = SecondsFor([&] { bResult = dialog.ExchangeCommand(19); });

    EXPECT_EQ(c.bResult, bResult);
    EXPECT_EQ(c.strReply, dialog.m_strReply);
    EXPECT_EQ(c.strLastReply, dialog.m_strLastReply);
    EXPECT_EQ(c.strLastReply, dialog.controls[IDC_LAST_REPLY]);   // shown in the hidden field
    if (c.bTransferError) {
        ASSERT_EQ(1u, dialog.messages.size());
        EXPECT_EQ("Data Transfer Error!    ", dialog.messages[0].text);
        EXPECT_EQ("Error:", dialog.messages[0].caption);
        EXPECT_EQ(STYLE_ERROR, dialog.messages[0].style);
    } else {
        EXPECT_TRUE(dialog.messages.empty());
    }
    EXPECT_GE(seconds, c.minSeconds);
    EXPECT_LE(seconds, c.maxSeconds);
    EXPECT_EQ("y", instrument.ReceivedText());   // the letter alone, no line end
}

INSTANTIATE_TEST_SUITE_P(Replies, CountedExchangeTest, ::testing::ValuesIn(kCountedCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ExchangeTest, CountedWithNoDeviceTimesOut)
{
    FakeDialog dialog;
    dialog.UseCom(4);
    g_strCommand = "y";
    bool bResult = true;
    double seconds = SecondsFor([&] { bResult = dialog.ExchangeCommand(19); });
    EXPECT_FALSE(bResult);
    EXPECT_TRUE(dialog.m_strReply.empty());
    EXPECT_TRUE(dialog.messages.empty());
    EXPECT_GE(seconds, 0.95);
    EXPECT_LE(seconds, 3.0);
    // Every one of the 100 polls pauses through the window.
    EXPECT_EQ(100, dialog.nPollWaits);
    EXPECT_EQ(1000u, dialog.nPauseMs);
}

TEST_F(ExchangeTest, SurplusOfAnExactReplyIsDroppedWithThePort)
{
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.ack = InPieces("ACK000009" "EXTRA", {9}, 300);
    Attach(1, scenario);
    FakeDialog dialog;
    dialog.UseCom(1);
    g_strCommand = "E";
    ASSERT_TRUE(dialog.ExchangeCommand(9));
    EXPECT_EQ("ACK000009", dialog.m_strReply);

    // The next exchange sees its own reply only.
    usleep(400 * 1000);
    g_strCommand = "y";
    ASSERT_TRUE(dialog.ExchangeCommand(19));
    EXPECT_EQ(kIdent, dialog.m_strReply);
}

TEST_F(ExchangeTest, BulkFromASilentInstrumentIsEmptyAfterItsWindow)
{
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.dataSets['v'] = Whole("");
    Attach(5, scenario);
    FakeDialog dialog;
    dialog.UseCom(5);
    g_strCommand = "v";
    double seconds = SecondsFor([&] { dialog.ReceiveBulk(); });
    EXPECT_TRUE(dialog.m_strReply.empty());
    EXPECT_GE(seconds, 2.0);
    EXPECT_LE(seconds, 5.0);
    EXPECT_TRUE(dialog.messages.empty());
    // The window's 10 ms pauses fill the two quiet seconds, however long
    // each one really lasts.
    EXPECT_GE(dialog.nPollWaits, 100);
    EXPECT_LE(dialog.nPollWaits, 201);
    EXPECT_EQ(10u * static_cast<unsigned>(dialog.nPollWaits), dialog.nPauseMs);
    // The window counts along, and ends with what came: nothing.
    ASSERT_FALSE(dialog.progress.empty());
    EXPECT_EQ(0u, dialog.progress.back());
    EXPECT_EQ("kV", dialog.progressUnit);
}

TEST_F(ExchangeTest, BulkNeverEndsBeforeItsWindow)
{
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.dataSets['v'] = Whole("1.0 kV\n");
    sim::SimInstrument& instrument = Attach(1, scenario);
    FakeDialog dialog;
    dialog.UseCom(1);
    g_strCommand = "v";
    double seconds = SecondsFor([&] { dialog.ReceiveBulk(); });
    EXPECT_EQ("1.0 kV\n", dialog.m_strReply);
    EXPECT_GE(seconds, 2.0);
    EXPECT_LE(seconds, 5.0);
    EXPECT_EQ("v", instrument.ReceivedText());
    EXPECT_TRUE(dialog.statusShown.empty());   // a bulk exchange updates no controls
}

TEST_F(ExchangeTest, BulkKeepsReceivingWhileTheDataSetStreams)
{
    // About 6.4 s on a 9600-baud line: far past the two-second window.
    sim::Scenario scenario = sim::DefaultScenario();
    sim::Reply data;
    for (int i = 0; data.bytes.size() < 6144; ++i)
        data.bytes += std::to_string(i) + ";12.5 kV\r\n";
    data.bytes.push_back('\0');   // zero bytes are data too
    data.bytes += "end\n";
    data.nBytesPerSecond = 960;
    scenario.dataSets['a'] = data;
    sim::SimInstrument& instrument = Attach(7, scenario);

    FakeDialog dialog;
    dialog.UseCom(7);
    g_strCommand = "a";
    double seconds = SecondsFor([&] { dialog.ReceiveBulk(); });
    EXPECT_EQ(data.bytes, dialog.m_strReply);
    double afterLast = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                     instrument.LastReplyEnd()).count();
    EXPECT_GE(seconds, 6.0);
    // It stops once the line has been quiet for two seconds, and soon after.
    EXPECT_GE(afterLast, 2.0);
    EXPECT_LT(afterLast, 4.0);   // generous: a loaded machine wakes late

    // About twice a second the window learns how far the download got, and
    // last of all the total.
    const std::vector<size_t>& progress = dialog.progress;
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(data.bytes.size(), progress.back());
    EXPECT_GE(std::set<size_t>(progress.begin(), progress.end()).size(), 8u);
    EXPECT_GE(progress.size(), static_cast<size_t>(seconds));   // at least once a second, even loaded
    EXPECT_LE(progress.size(), static_cast<size_t>(seconds * 2) + 2);
    EXPECT_EQ("\xB5" "A", dialog.progressUnit);
    // Nothing keeps the window from answering for long.
    EXPECT_LT(dialog.LongestStretchWithoutPause(), 1.0);   // a missing pause shows as seconds
}

TEST_F(ExchangeTest, StalledWriteWaitsItsSecondAndLeavesTheLineUsable)
{
    sim::SimInstrument& instrument = Attach(1);
    FakeDialog dialog;
    dialog.UseCom(1);

    // Released within the wait: the letter goes out late and the probe succeeds.
    ASSERT_TRUE(instrument.Stall(300));
    g_strCommand = "y";
    bool bResult = false;
    double seconds = SecondsFor([&] { bResult = dialog.ExchangeCommand(19); });
    EXPECT_TRUE(bResult);
    EXPECT_GE(seconds, 0.2);
    EXPECT_LT(seconds, 1.5);
    EXPECT_EQ("y", instrument.ReceivedText());

    // Stalled for good: the write gives up after about a second and says
    // so, and nothing of it reaches the line once the line drains.
    instrument.ClearReceived();
    ASSERT_TRUE(instrument.Stall());
    {
        SerialPort port;
        ASSERT_TRUE(port.Open(1, 9600));
        EXPECT_FALSE(port.WriteFailed());
        seconds = SecondsFor([&] { EXPECT_EQ(1, port.Send("E", 1)); });
        EXPECT_TRUE(port.WriteFailed());
    }
    EXPECT_GE(seconds, 0.9);
    EXPECT_LT(seconds, 3.0);

    // An exchange whose letter the line did not take waits for no reply:
    // the instrument never heard it.
    g_strCommand = "y";
    dialog.nPollWaits = 0;
    seconds = SecondsFor([&] { EXPECT_FALSE(dialog.ExchangeCommand(19)); });
    EXPECT_TRUE(dialog.LetterNotTaken());
    EXPECT_EQ(0, dialog.nPollWaits);
    EXPECT_LT(seconds, 3.0);
    EXPECT_TRUE(dialog.messages.empty());

    instrument.Release();
    usleep(300 * 1000);
    EXPECT_EQ("", instrument.ReceivedText());
    EXPECT_TRUE(dialog.ExchangeCommand(19));
    EXPECT_FALSE(dialog.LetterNotTaken());
    EXPECT_EQ("y", instrument.ReceivedText());
}

}  // namespace
