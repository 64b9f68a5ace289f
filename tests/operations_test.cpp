// Search, keep-alive, download and erase, through the real serial layer
// against simulated instruments.
#include "DataSetFile.h"
#include "FakeDialog.h"
#include "InstrumentBench.h"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <fstream>
#include <functional>
#include <iterator>
#include <tuple>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>
#include <sys/stat.h>
#include <thread>

namespace {

const std::string kIdent = sim::DefaultIdent();
const std::string kNoConnection = " No Connection!        ";

class OperationsTest : public InstrumentBench {
protected:
    FakeDialog m_dialog;
};

// Pulls the instrument's adapter from another thread after a while, as it
// happens in the middle of an operation.
class PullLater {
public:
    PullLater(sim::SimInstrument& instrument, int nAfterMs)
        : m_thread([&instrument, nAfterMs] {
              std::this_thread::sleep_for(std::chrono::milliseconds(nAfterMs));
              instrument.Vanish();
          })
    {
    }
    ~PullLater() { m_thread.join(); }
    PullLater(const PullLater&) = delete;
    PullLater& operator=(const PullLater&) = delete;

private:
    std::thread m_thread;
};

sim::Reply Late(std::string bytes, int nDelayMs)
{
    sim::Reply reply = InstrumentBench::Whole(std::move(bytes));
    reply.nDelayMs = nDelayMs;
    return reply;
}

// ---- search ----

TEST_F(OperationsTest, SearchFindsInstrumentOnCom1)
{
    sim::SimInstrument& instrument = Attach(1);
    m_dialog.SearchInstrument(ComPorts());

    EXPECT_EQ(1, m_dialog.m_nPort);
    EXPECT_EQ(kIdent.substr(0, 18), m_dialog.m_strStatus);
    EXPECT_EQ(kIdent.substr(0, 18), m_dialog.controls[IDC_STATUS]);
    EXPECT_EQ((std::vector<uint32_t>{COLOR_SEARCHING, COLOR_FOUND}), m_dialog.colors);
    EXPECT_TRUE(m_dialog.bTimerRunning);
    EXPECT_EQ((std::vector<std::string>{"stop", "start"}), m_dialog.events);
    EXPECT_EQ("y", instrument.ReceivedText());
    EXPECT_TRUE(m_dialog.messages.empty());
}

TEST_F(OperationsTest, SearchShowsEveryStepUpToCom8)
{
    Attach(8);
    m_dialog.SearchInstrument(ComPorts());

    EXPECT_EQ(8, m_dialog.m_nPort);
    // The first transfer of each exchange shows the status as it stood.
    std::vector<std::string> distinct;
    for (const std::string& status : m_dialog.statusShown)
        if (distinct.empty() || distinct.back() != status)
            distinct.push_back(status);
    EXPECT_EQ((std::vector<std::string>{"search .         ", "search ..        ",
                                        "search ...       ", "search ....      ",
                                        "search .....     ", "search ......    ",
                                        "search .......   ", kIdent.substr(0, 18)}),
              distinct);
    EXPECT_EQ(8, m_dialog.nRepaints);   // at the start and after each failed port
    EXPECT_EQ((std::vector<uint32_t>{COLOR_SEARCHING, COLOR_FOUND}), m_dialog.colors);
}

TEST_F(OperationsTest, SearchFindingNothingShowsNoConnection)
{
    m_dialog.Connect(3);   // "Connect" while connected searches again
    double seconds = SecondsFor([&] { m_dialog.SearchInstrument(ComPorts()); });

    EXPECT_EQ(NO_PORT, m_dialog.m_nPort);
    EXPECT_EQ(" No Connection! ", m_dialog.m_strStatus);
    EXPECT_EQ(" No Connection! ", m_dialog.controls[IDC_STATUS]);
    EXPECT_EQ((std::vector<uint32_t>{COLOR_SEARCHING, COLOR_NO_CONNECTION}), m_dialog.colors);
    EXPECT_FALSE(m_dialog.bTimerRunning);
    EXPECT_EQ((std::vector<std::string>{"stop"}), m_dialog.events);
    EXPECT_GE(seconds, 7.5);    // eight probes of 100 polls each
    EXPECT_LE(seconds, 20.0);
    // The window pauses at every poll of every port, from the first to the
    // last, so it keeps answering through the whole search.
    EXPECT_EQ(800, m_dialog.nPollWaits);
    EXPECT_LT(m_dialog.LongestStretchWithoutPause(), 1.0);   // a missing pause shows as seconds
}

TEST_F(OperationsTest, SearchPassesAnOverlongDeviceAndFindsTheNext)
{
    sim::Scenario talkative = sim::DefaultScenario();
    talkative.probe = Whole(kIdent + "X");
    sim::SimInstrument& wrong = Attach(2, talkative);
    Attach(3);
    m_dialog.SearchInstrument(ComPorts());

    EXPECT_EQ(3, m_dialog.m_nPort);
    EXPECT_EQ(kIdent.substr(0, 18), m_dialog.m_strStatus);
    ASSERT_EQ(1u, m_dialog.messages.size());
    EXPECT_EQ("Data Transfer Error!    ", m_dialog.messages[0].text);
    EXPECT_EQ("y", wrong.ReceivedText());
}

// Ports above COM8 that the system lists, as a USB adapter's usually are.
const std::vector<ListedPort> kListedHighPorts = {
    {"\\Device\\Serial8", "COM9"},
    {"\\Device\\VCP0", "COM12"},
    {"\\Device\\BthModem0", "COM10"},
    {"\\Device\\Serial19", "COM20"},
};

std::vector<std::string> DistinctStatus(const FakeDialog& dialog)
{
    std::vector<std::string> distinct;
    for (const std::string& status : dialog.statusShown)
        if (distinct.empty() || distinct.back() != status)
            distinct.push_back(status);
    return distinct;
}

// COM1 to COM8 as ever, then the listed ports, each named while it is
// tried; the ones that cannot be opened (COM9, COM20 here) are passed
// without a single poll.
TEST_F(OperationsTest, SearchGoesOnPastCom8ToTheListedPorts)
{
    sim::SimInstrument& bluetooth = Attach(10);   // answers too, but Bluetooth comes last
    Attach(12);
    m_dialog.SearchInstrument(SearchList(kListedHighPorts));

    EXPECT_EQ(12, m_dialog.m_nPort);
    EXPECT_EQ((std::vector<std::string>{"search .         ", "search ..        ",
                                        "search ...       ", "search ....      ",
                                        "search .....     ", "search ......    ",
                                        "search .......   ", "search ........  ",
                                        "search COM9      ", "search COM12     ",
                                        kIdent.substr(0, 18)}),
              DistinctStatus(m_dialog));
    EXPECT_EQ((std::vector<uint32_t>{COLOR_SEARCHING, COLOR_FOUND}), m_dialog.colors);
    // COM1 to COM8's second each, COM9 not one poll, COM12 until it answered.
    EXPECT_GE(m_dialog.nPollWaits, 800);
    EXPECT_LT(m_dialog.nPollWaits, 850);
    EXPECT_EQ("", bluetooth.ReceivedText());
    EXPECT_TRUE(m_dialog.bTimerRunning);
}

TEST_F(OperationsTest, ListedPortsThatCannotBeOpenedCostNoTime)
{
    m_dialog.SearchInstrument(SearchList(kListedHighPorts));
    // From the first listed port to the end of the search: four opens that
    // fail, milliseconds each; one second waited on any of them shows.
    const double seconds = m_dialog.SecondsSinceShown("search COM9      ");

    EXPECT_EQ(NO_PORT, m_dialog.m_nPort);
    EXPECT_EQ(" No Connection! ", m_dialog.controls[IDC_STATUS]);
    EXPECT_EQ(800, m_dialog.nPollWaits);   // the eight fixed ports alone
    EXPECT_GE(seconds, 0.0);
    EXPECT_LT(seconds, 0.5);
    const std::vector<std::string> shown = DistinctStatus(m_dialog);
    EXPECT_EQ((std::vector<std::string>{"search ........  ", "search COM9      ", "search COM12     ",
                                        "search COM20     ", "search COM10     ", " No Connection! "}),
              std::vector<std::string>(shown.end() - 6, shown.end()));
}

// COM9 is a port like any other: found, and then read and erased on.
TEST_F(OperationsTest, AnInstrumentOnCom9IsConnected)
{
    sim::SimInstrument& instrument = Attach(9);
    m_dialog.SearchInstrument(SearchList(kListedHighPorts));
    ASSERT_EQ(9, m_dialog.m_nPort);

    EXPECT_EQ(Outcome::Erased, m_dialog.EraseDataSet("E"));
    EXPECT_EQ((std::vector<std::string>{"     Data Erased!       "}), m_dialog.MessageTexts());
    EXPECT_EQ("yE", instrument.ReceivedText());
    EXPECT_EQ(Outcome::Found, m_dialog.OnKeepAliveTimer(KEEPALIVE_TIMER_ID));
    EXPECT_EQ(9, m_dialog.m_nPort);
}

// The adapter on COM12 pulled: the next keep-alive finds the port gone at
// once and the window says so.
TEST_F(OperationsTest, KeepAliveOnAHighPortLosesAPulledAdapterAtOnce)
{
    sim::SimInstrument& instrument = Attach(12);
    m_dialog.SearchInstrument(SearchList(kListedHighPorts));
    ASSERT_EQ(12, m_dialog.m_nPort);
    instrument.Vanish();

    double seconds = SecondsFor([&] { m_dialog.OnKeepAliveTimer(KEEPALIVE_TIMER_ID); });
    EXPECT_EQ(NO_PORT, m_dialog.m_nPort);
    EXPECT_EQ(" No Connection! ", m_dialog.controls[IDC_STATUS]);
    EXPECT_LT(seconds, 0.5);
}

// ---- keep-alive ----

TEST_F(OperationsTest, KeepAliveWithAnAnswerChangesNothingVisible)
{
    Attach(2);
    m_dialog.SearchInstrument(ComPorts());
    ASSERT_EQ(2, m_dialog.m_nPort);
    const std::string strStatus = m_dialog.m_strStatus;
    m_dialog.events.clear();

    m_dialog.OnKeepAliveTimer(KEEPALIVE_TIMER_ID);

    EXPECT_EQ(2, m_dialog.m_nPort);
    EXPECT_EQ(strStatus, m_dialog.m_strStatus);
    EXPECT_EQ(strStatus, m_dialog.controls[IDC_STATUS]);
    EXPECT_EQ(2u, m_dialog.colors.size());
    EXPECT_TRUE(m_dialog.events.empty());
    EXPECT_TRUE(m_dialog.bTimerRunning);
    EXPECT_EQ(kIdent, m_dialog.m_strReply);
    EXPECT_EQ(kIdent, m_dialog.controls[IDC_LAST_REPLY]);
}

TEST_F(OperationsTest, KeepAliveDropsTheConnectionWhenTheInstrumentFallsSilent)
{
    sim::SimInstrument& instrument = Attach(2);
    m_dialog.SearchInstrument(ComPorts());
    ASSERT_EQ(2, m_dialog.m_nPort);
    instrument.SetUnplugged(true);

    m_dialog.OnKeepAliveTimer(KEEPALIVE_TIMER_ID);

    EXPECT_EQ(NO_PORT, m_dialog.m_nPort);
    EXPECT_EQ(" No Connection! ", m_dialog.controls[IDC_STATUS]);
    EXPECT_EQ(COLOR_NO_CONNECTION, m_dialog.colors.back());
    EXPECT_FALSE(m_dialog.bTimerRunning);
    EXPECT_TRUE(m_dialog.messages.empty());
}

TEST_F(OperationsTest, KeepAliveTickDuringAnExchangeIsIgnored)
{
    // An erase acknowledged with too many bytes holds the port while its
    // error box is open; a tick there must not probe or drop anything.
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.ack = Whole("ACKNOWLEDGED");
    sim::SimInstrument& instrument = Attach(4, scenario);
    m_dialog.Connect(4);
    m_dialog.whileBoxOpen = [&](const Message& message) {
        if (message.text == "Data Transfer Error!    ")
            m_dialog.OnKeepAliveTimer(KEEPALIVE_TIMER_ID);
    };

    m_dialog.EraseDataSet("E");

    EXPECT_EQ(4, m_dialog.m_nPort);
    EXPECT_EQ("E", instrument.ReceivedText());
    EXPECT_EQ((std::vector<std::string>{"Data Transfer Error!    ", " No Reply! "}),
              m_dialog.MessageTexts());
}

// ---- download ----

struct DataSetRow {
    size_t index;
    const char* letter;
    int field;
    const char* noData;
};

const DataSetRow kDataSetRows[] = {
    {0, "v", IDC_FILE_KV, "No Data Received! "},
    {1, "a", IDC_FILE_UA, "No Data Recived! "},
    {2, "o", IDC_FILE_KOHM, "No Data Recived! "},
};

void PrintTo(const DataSetRow& row, std::ostream* os)
{
    *os << row.letter;
}

class DownloadTest : public OperationsTest, public ::testing::WithParamInterface<DataSetRow> {
protected:
    const DataSet& Set() const { return g_dataSets[GetParam().index]; }
};

TEST_P(DownloadTest, StoresTheDataSetWithDosLineEnds)
{
    const DataSetRow& row = GetParam();
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.dataSets[row.letter[0]] = Whole(std::string("t;1.5\nt;2.5\r\nnul\0!\n", 19));
    sim::SimInstrument& instrument = Attach(1, scenario);
    m_dialog.Connect(1);
    m_dialog.controls[row.field] = "run1";

    m_dialog.ReadDataSet(Set());

    EXPECT_EQ(std::string("t;1.5\r\nt;2.5\r\r\nnul\0!\r\n", 22), ReadFile("run1.txt"));
    EXPECT_EQ((std::vector<std::string>{"run1.txt"}), WorkFiles());
    EXPECT_EQ(row.letter, instrument.ReceivedText());
    ASSERT_EQ(1u, m_dialog.messages.size());
    EXPECT_EQ("     Data Received!       ", m_dialog.messages[0].text);
    EXPECT_EQ("Success:", m_dialog.messages[0].caption);
    EXPECT_EQ(STYLE_OK, m_dialog.messages[0].style);
    // The keep-alive is back before the box opens, and the progress is gone
    // before both.
    EXPECT_EQ((std::vector<std::string>{"stop", "progress end", "start",
                                        "box:     Data Received!       "}),
              m_dialog.events);
    // A download this short still counts along in its window and ends with
    // the total, in the unit of its button.
    ASSERT_FALSE(m_dialog.progress.empty());
    EXPECT_EQ(19u, m_dialog.progress.back());
    EXPECT_EQ(Set().szUnit, m_dialog.progressUnit);
}

TEST_P(DownloadTest, NothingReceivedKeepsTheOldFileAndLeavesNoEmptyOne)
{
    const DataSetRow& row = GetParam();
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.dataSets[row.letter[0]] = Whole("");
    Attach(1, scenario);
    m_dialog.Connect(1);
    WriteFile("old.txt", "old data\r\n");

    for (const char* name : {"old", "new"}) {
        m_dialog.controls[row.field] = name;
        m_dialog.ReadDataSet(Set());
    }

    EXPECT_EQ("old data\r\n", ReadFile("old.txt"));
    EXPECT_EQ((std::vector<std::string>{"old.txt"}), WorkFiles());
    ASSERT_EQ(3u, m_dialog.messages.size());   // the question, then one no-data box per download
    EXPECT_EQ("        File Exists! Overwrite?  ", m_dialog.messages[0].text);
    for (size_t i : {1, 2}) {
        EXPECT_EQ(row.noData, m_dialog.messages[i].text);
        EXPECT_EQ("Error:", m_dialog.messages[i].caption);
        EXPECT_EQ(STYLE_ERROR, m_dialog.messages[i].style);
    }
    EXPECT_FALSE(m_dialog.bTimerRunning);   // no probe until the next success, erase or search
}

INSTANTIATE_TEST_SUITE_P(DataSets, DownloadTest, ::testing::ValuesIn(kDataSetRows),
                         [](const auto& info) { return std::string(info.param.letter); });

TEST_F(OperationsTest, ExistingFileIsReplacedOnlyAfterYes)
{
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.dataSets['v'] = Whole("new\n");
    sim::SimInstrument& instrument = Attach(1, scenario);
    m_dialog.Connect(1);
    WriteFile("run1.txt", "old\r\n");
    m_dialog.controls[IDC_FILE_KV] = "run1";

    m_dialog.answers = {ANSWER_NO};
    m_dialog.ReadDataSet(g_dataSets[0]);
    EXPECT_EQ("old\r\n", ReadFile("run1.txt"));
    EXPECT_TRUE(m_dialog.bTimerRunning);
    EXPECT_EQ("", instrument.ReceivedText());
    ASSERT_EQ(1u, m_dialog.messages.size());
    EXPECT_EQ("        File Exists! Overwrite?  ", m_dialog.messages[0].text);
    EXPECT_EQ("Warning:", m_dialog.messages[0].caption);
    EXPECT_EQ(STYLE_YESNO, m_dialog.messages[0].style);

    m_dialog.answers = {ANSWER_YES};
    m_dialog.ReadDataSet(g_dataSets[0]);
    EXPECT_EQ("new\r\n", ReadFile("run1.txt"));
    EXPECT_EQ("     Data Received!       ", m_dialog.messages.back().text);
    EXPECT_EQ((std::vector<std::string>{"run1.txt"}), WorkFiles());
}

TEST_F(OperationsTest, ExistingNameIsAskedAboutEvenWhenItCannotBeRead)
{
    // A dangling link cannot be opened for reading, yet the name is taken.
    ASSERT_EQ(0, symlink("nowhere/at/all", "run1.txt"));
    Attach(1);
    m_dialog.Connect(1);
    m_dialog.controls[IDC_FILE_KV] = "run1";
    m_dialog.answers = {ANSWER_NO};

    m_dialog.ReadDataSet(g_dataSets[0]);

    ASSERT_EQ(1u, m_dialog.messages.size());
    EXPECT_EQ("        File Exists! Overwrite?  ", m_dialog.messages[0].text);
    char target[64] = {};
    EXPECT_GT(readlink("run1.txt", target, sizeof(target)), 0);
}

TEST_F(OperationsTest, ConnectionLostBehindTheQuestionLeavesTheFileAlone)
{
    sim::SimInstrument& instrument = Attach(1);
    m_dialog.SearchInstrument(ComPorts());
    ASSERT_EQ(1, m_dialog.m_nPort);
    WriteFile("run1.txt", "keep me\r\n");
    m_dialog.controls[IDC_FILE_KV] = "run1";
    instrument.SetUnplugged(true);
    instrument.ClearReceived();
    // A keep-alive tick fires while the operator ponders the question.
    m_dialog.whileBoxOpen = [&](const Message& message) {
        if (message.style == STYLE_YESNO)
            m_dialog.OnKeepAliveTimer(KEEPALIVE_TIMER_ID);
    };

    m_dialog.ReadDataSet(g_dataSets[0]);

    EXPECT_EQ(NO_PORT, m_dialog.m_nPort);
    EXPECT_EQ("keep me\r\n", ReadFile("run1.txt"));
    EXPECT_EQ((std::vector<std::string>{"run1.txt"}), WorkFiles());
    EXPECT_EQ("y", instrument.ReceivedText());   // the probe, and no download
    EXPECT_EQ((std::vector<std::string>{"        File Exists! Overwrite?  ", kNoConnection}),
              m_dialog.MessageTexts());
    EXPECT_EQ(STYLE_ERROR, m_dialog.messages.back().style);
}

TEST_F(OperationsTest, AbandonedDownloadKeepsTheOldFileAndSavesNothing)
{
    Attach(1);   // the default data sets stream for several seconds
    m_dialog.Connect(1);
    WriteFile("run1.txt", "old\r\n");
    m_dialog.controls[IDC_FILE_KV] = "run1";
    m_dialog.nAbandonAtPause = 50;

    double seconds = SecondsFor([&] { m_dialog.ReadDataSet(g_dataSets[0]); });

    EXPECT_TRUE(m_dialog.Abandoned());
    EXPECT_LT(seconds, 1.5);
    EXPECT_EQ("old\r\n", ReadFile("run1.txt"));
    EXPECT_EQ((std::vector<std::string>{"run1.txt"}), WorkFiles());
    // Only the overwrite question: the front end that stopped reports it.
    ASSERT_EQ(1u, m_dialog.messages.size());
    EXPECT_EQ(1, m_dialog.nProgressEnds);
}

TEST_F(OperationsTest, AbandonedSearchStopsAtThatPort)
{
    sim::SimInstrument& instrument = Attach(3);
    m_dialog.nAbandonAtPause = 50;   // during the silence of COM1

    double seconds = SecondsFor([&] { m_dialog.SearchInstrument(ComPorts()); });

    EXPECT_TRUE(m_dialog.Abandoned());
    EXPECT_LT(seconds, 1.5);
    EXPECT_EQ(NO_PORT, m_dialog.m_nPort);
    EXPECT_EQ("", instrument.ReceivedText());   // COM3 was never asked
    EXPECT_FALSE(m_dialog.bTimerRunning);
}

TEST(ProgressTextTest, GroupsThousandsWithSpaces)
{
    const std::pair<size_t, const char*> cases[] = {
        {0, "kV: 0 bytes"},          {1, "kV: 1 byte"},
        {999, "kV: 999 bytes"},      {1000, "kV: 1 000 bytes"},
        {4812, "kV: 4 812 bytes"},   {65536, "kV: 65 536 bytes"},
        {1234567, "kV: 1 234 567 bytes"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.second, ProgressText("kV", c.first));
    EXPECT_EQ("\xB5" "A: 12 bytes", ProgressText("\xB5" "A", 12));
}

// Another program may send the window a command while an exchange polls;
// the window answers it there, but the port is busy: nothing starts.
struct BusyCase {
    const char* name;
    std::function<void(FakeDialog&)> operation;
    std::string strSent;                    // what the instrument gets
    std::vector<std::string> messages;
};

void PrintTo(const BusyCase& c, std::ostream* os)
{
    *os << c.name;
}

const BusyCase kBusyCases[] = {
    {"Download", [](FakeDialog& d) { d.ReadDataSet(g_dataSets[0]); }, "v",
     {"     Data Received!       "}},
    {"Search", [](FakeDialog& d) { d.SearchInstrument(ComPorts()); }, "y", {}},
    {"Erase", [](FakeDialog& d) { d.EraseDataSet("A"); }, "A", {"     Data Erased!       "}},
};

class BusyTest : public OperationsTest, public ::testing::WithParamInterface<BusyCase> {
};

TEST_P(BusyTest, CommandsSentDuringAnExchangeStartNothing)
{
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.dataSets['v'] = Whole("1.0 kV\n");
    scenario.probe.nDelayMs = 100;   // the counted exchanges poll a few times too
    scenario.ack.nDelayMs = 100;
    sim::SimInstrument& instrument = Attach(1, scenario);
    m_dialog.Connect(1);
    m_dialog.controls[IDC_FILE_KV] = "run1";
    m_dialog.controls[IDC_FILE_UA] = "run2";
    int nCommands = 0;
    m_dialog.whilePausing = [&](int nPause) {
        if (nPause != 2)
            return;
        std::vector<Outcome> outcomes = {m_dialog.SearchInstrument(ComPorts())};
        for (const DataSet& set : g_dataSets)
            outcomes.push_back(m_dialog.ReadDataSet(set));
        for (const EraseCommand& command : g_eraseCommands)
            outcomes.push_back(m_dialog.EraseDataSet(command.szLetter));
        outcomes.push_back(m_dialog.OnKeepAliveTimer(KEEPALIVE_TIMER_ID));
        for (Outcome outcome : outcomes)
            EXPECT_EQ(Outcome::Busy, outcome);
        ++nCommands;
    };

    GetParam().operation(m_dialog);

    EXPECT_EQ(1, nCommands);
    EXPECT_EQ(GetParam().strSent, instrument.ReceivedText());
    EXPECT_EQ(GetParam().messages, m_dialog.MessageTexts());
    EXPECT_EQ(1, m_dialog.m_nPort);
    EXPECT_EQ(std::string(GetParam().name) == "Download" ? std::vector<std::string>{"run1.txt"}
                                                         : std::vector<std::string>{},
              WorkFiles());
    // Only the operation's own timer calls, no second stop.
    EXPECT_EQ("stop", m_dialog.events.front());
    EXPECT_EQ(1, std::count(m_dialog.events.begin(), m_dialog.events.end(), "stop"));
}

INSTANTIATE_TEST_SUITE_P(Operations, BusyTest, ::testing::ValuesIn(kBusyCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(OperationsTest, NotConnectedOnlySaysSo)
{
    m_dialog.controls[IDC_FILE_KV] = "run1";
    m_dialog.ReadDataSet(g_dataSets[0]);
    m_dialog.EraseDataSet("E");

    ASSERT_EQ(2u, m_dialog.messages.size());
    for (const Message& message : m_dialog.messages) {
        EXPECT_EQ(kNoConnection, message.text);
        EXPECT_EQ("Error:", message.caption);
        EXPECT_EQ(STYLE_ERROR, message.style);
    }
    EXPECT_TRUE(WorkFiles().empty());
    EXPECT_EQ(2u, m_dialog.events.size());   // the two boxes; no timer calls
}

TEST_F(OperationsTest, EmptyNameGivesDotTxt)
{
    Attach(1);
    m_dialog.Connect(1);
    m_dialog.ReadDataSet(g_dataSets[2]);
    EXPECT_EQ((std::vector<std::string>{".txt"}), WorkFiles());
    EXPECT_EQ(ToTextMode(sim::DefaultScenario().dataSets['o'].bytes), ReadFile(".txt"));
}

TEST_F(OperationsTest, NameTheFileSystemRefusesIsACreateError)
{
    sim::SimInstrument& instrument = Attach(1);
    m_dialog.Connect(1);
    for (const std::string& name : {std::string("no/such/dir/run1"), std::string(300, 'n')}) {
        m_dialog.controls[IDC_FILE_UA] = name;
        m_dialog.ReadDataSet(g_dataSets[1]);
    }

    ASSERT_EQ(2u, m_dialog.messages.size());
    for (const Message& message : m_dialog.messages) {
        EXPECT_EQ("Destination File Create Error! ", message.text);
        EXPECT_EQ("Error:", message.caption);
        EXPECT_EQ(STYLE_ERROR, message.style);
    }
    EXPECT_TRUE(m_dialog.bTimerRunning);
    EXPECT_EQ("", instrument.ReceivedText());
}

// A file size limit stands in for a full disk: writes past 1000 bytes fail
// while the operation runs.
template <typename Operation>
Outcome WithFullDisk(Operation operation)
{
    signal(SIGXFSZ, SIG_IGN);
    rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = {1000, old.rlim_max};
    EXPECT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    Outcome outcome = operation();
    setrlimit(RLIMIT_FSIZE, &old);
    return outcome;
}

TEST_F(OperationsTest, WriteFailureKeepsTheOldFileAndSaysSo)
{
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.dataSets['v'] = Whole(std::string(4000, 'x'));
    Attach(1, scenario);
    m_dialog.Connect(1);
    WriteFile("run1.txt", "precious\r\n");
    m_dialog.controls[IDC_FILE_KV] = "run1";

    Outcome outcome = WithFullDisk([&] { return m_dialog.ReadDataSet(g_dataSets[0]); });

    EXPECT_EQ(Outcome::WriteError, outcome);

    EXPECT_EQ("precious\r\n", ReadFile("run1.txt"));
    EXPECT_EQ((std::vector<std::string>{"run1.txt"}), WorkFiles());
    ASSERT_EQ(2u, m_dialog.messages.size());
    EXPECT_EQ("Destination File Write Error! Data not saved. ", m_dialog.messages[1].text);
    EXPECT_EQ("Error:", m_dialog.messages[1].caption);
    EXPECT_EQ(STYLE_ERROR, m_dialog.messages[1].style);
}

TEST_F(OperationsTest, TypedDeviceNamesAreRefusedBeforeAnythingIsSent)
{
    sim::SimInstrument& instrument = Attach(1);
    m_dialog.Connect(1);
    const std::vector<std::string> names = {"nul", "CON", "com2", "Lpt1", "aux", "nul.txt", "aux.", "prn "};
    for (const std::string& name : names) {
        m_dialog.controls[IDC_FILE_KV] = name;
        m_dialog.ReadDataSet(g_dataSets[0]);
    }

    ASSERT_EQ(names.size(), m_dialog.messages.size());
    for (const Message& message : m_dialog.messages) {
        EXPECT_EQ("Destination File Create Error! ", message.text);
        EXPECT_EQ("Error:", message.caption);
        EXPECT_EQ(STYLE_ERROR, message.style);
    }
    EXPECT_EQ("", instrument.ReceivedText());
    EXPECT_TRUE(WorkFiles().empty());
    EXPECT_TRUE(m_dialog.bTimerRunning);
}

TEST_F(OperationsTest, AnEntryThatIsNoFileIsRefusedWithoutAQuestionOrAWait)
{
    sim::SimInstrument& instrument = Attach(1);
    m_dialog.Connect(1);
    ASSERT_EQ(0, mkfifo("fifo.txt", 0644));   // nobody reads it: a plain open would wait for ever
    ASSERT_EQ(0, mkdir("dir.txt", 0755));
    for (const char* name : {"fifo", "dir"}) {
        m_dialog.controls[IDC_FILE_KV] = name;
        double seconds = SecondsFor([&] { m_dialog.ReadDataSet(g_dataSets[0]); });
        EXPECT_LT(seconds, 1.0) << name;
    }

    EXPECT_EQ((std::vector<std::string>{"Destination File Create Error! ",
                                        "Destination File Create Error! "}),
              m_dialog.MessageTexts());
    EXPECT_EQ("", instrument.ReceivedText());
    EXPECT_EQ((std::vector<std::string>{"dir.txt", "fifo.txt"}), WorkFiles());
}

// ---- a device that vanishes (an adapter pulled) ----

TEST_F(OperationsTest, DeviceVanishingDuringADownloadSavesNothingAndSaysSo)
{
    sim::SimInstrument& instrument = Attach(1);   // the default data sets stream for several seconds
    m_dialog.Connect(1);
    WriteFile("run1.txt", "old\r\n");
    m_dialog.controls[IDC_FILE_KV] = "run1";
    m_dialog.events.clear();

    double seconds;
    Outcome outcome;
    {
        PullLater pull(instrument, 800);
        seconds = SecondsFor([&] { outcome = m_dialog.ReadDataSet(g_dataSets[0]); });
    }

    EXPECT_EQ(Outcome::ConnectionLost, outcome);
    EXPECT_TRUE(m_dialog.LineFailed());
    EXPECT_LT(seconds, 6.0);
    EXPECT_EQ("old\r\n", ReadFile("run1.txt"));
    EXPECT_EQ((std::vector<std::string>{"run1.txt"}), WorkFiles());
    ASSERT_EQ(2u, m_dialog.messages.size());
    EXPECT_EQ("        File Exists! Overwrite?  ", m_dialog.messages[0].text);
    EXPECT_EQ("Connection Lost! Data not saved. ", m_dialog.messages[1].text);
    EXPECT_EQ("Error:", m_dialog.messages[1].caption);
    EXPECT_EQ(STYLE_ERROR, m_dialog.messages[1].style);
    // The window shows the connection gone before the box, as a failed
    // keep-alive would, and the caption is back; the keep-alive stays off.
    EXPECT_EQ((std::vector<std::string>{"box:        File Exists! Overwrite?  ", "stop",
                                        "progress end", "stop", "box:Connection Lost! Data not saved. "}),
              m_dialog.events);
    EXPECT_EQ(NO_PORT, m_dialog.m_nPort);
    EXPECT_EQ(" No Connection! ", m_dialog.controls[IDC_STATUS]);
    EXPECT_EQ(COLOR_NO_CONNECTION, m_dialog.colors.back());
    EXPECT_FALSE(m_dialog.bTimerRunning);
    EXPECT_EQ(1, m_dialog.nProgressEnds);

    // Read and Erase now say so, and send nothing, until Connect finds the
    // instrument again.
    ASSERT_TRUE(instrument.Return());
    instrument.ClearReceived();
    m_dialog.ReadDataSet(g_dataSets[0]);
    m_dialog.EraseDataSet("E");
    EXPECT_EQ(kNoConnection, m_dialog.messages[2].text);
    EXPECT_EQ(kNoConnection, m_dialog.messages[3].text);
    EXPECT_EQ("", instrument.ReceivedText());
    m_dialog.SearchInstrument(ComPorts());
    EXPECT_EQ(1, m_dialog.m_nPort);
    EXPECT_EQ(kIdent.substr(0, 18), m_dialog.controls[IDC_STATUS]);
}

TEST_F(OperationsTest, DeviceVanishingDuringAProbeDropsTheConnectionAndComesBackOnConnect)
{
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.probe = Late(kIdent, 600);
    sim::SimInstrument& instrument = Attach(2, scenario);
    m_dialog.Connect(2);

    double seconds;
    {
        PullLater pull(instrument, 200);
        seconds = SecondsFor([&] { m_dialog.OnKeepAliveTimer(KEEPALIVE_TIMER_ID); });
    }

    EXPECT_LT(seconds, 3.0);
    EXPECT_EQ(NO_PORT, m_dialog.m_nPort);
    EXPECT_EQ(" No Connection! ", m_dialog.controls[IDC_STATUS]);
    EXPECT_FALSE(m_dialog.bTimerRunning);
    EXPECT_TRUE(m_dialog.messages.empty());

    ASSERT_TRUE(instrument.Return());
    instrument.SetScenario(sim::DefaultScenario());
    m_dialog.SearchInstrument(ComPorts());
    EXPECT_EQ(2, m_dialog.m_nPort);
    EXPECT_EQ(kIdent.substr(0, 18), m_dialog.controls[IDC_STATUS]);
}

TEST_F(OperationsTest, DeviceVanishingDuringAnEraseIsNoReply)
{
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.ack = Late(sim::DefaultAck(), 600);
    sim::SimInstrument& instrument = Attach(3, scenario);
    m_dialog.Connect(3);

    double seconds;
    {
        PullLater pull(instrument, 200);
        seconds = SecondsFor([&] { m_dialog.EraseDataSet("E"); });
    }

    EXPECT_LT(seconds, 3.0);
    EXPECT_EQ((std::vector<std::string>{" No Reply! "}), m_dialog.MessageTexts());
    EXPECT_EQ("start", m_dialog.events.back());
    EXPECT_EQ(3, m_dialog.m_nPort);   // the next probe finds it gone
}

TEST_F(OperationsTest, DeviceVanishingDuringASearchIsNoConnection)
{
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.probe = Late(kIdent, 600);
    sim::SimInstrument& instrument = Attach(1, scenario);

    double seconds;
    {
        PullLater pull(instrument, 200);
        seconds = SecondsFor([&] { m_dialog.SearchInstrument(ComPorts()); });
    }

    EXPECT_LT(seconds, 20.0);   // eight probes of about a second each
    EXPECT_EQ(NO_PORT, m_dialog.m_nPort);
    EXPECT_EQ(" No Connection! ", m_dialog.controls[IDC_STATUS]);
    EXPECT_EQ(COLOR_NO_CONNECTION, m_dialog.colors.back());
    EXPECT_TRUE(m_dialog.messages.empty());
}

// ---- replies of every length ----

struct ReplyLengthCase {
    bool bErase;     // the erase acknowledgement; else the keep-alive probe
    size_t nBytes;   // sent at once
};

void PrintTo(const ReplyLengthCase& c, std::ostream* os)
{
    *os << (c.bErase ? "erase " : "probe ") << c.nBytes;
}

class ReplyLengthTest : public OperationsTest, public ::testing::WithParamInterface<ReplyLengthCase> {
};

// Only the expected length succeeds; shorter replies time out after the
// full second without a word; longer ones in one poll are a transfer error.
TEST_P(ReplyLengthTest, OnlyTheExpectedLengthSucceeds)
{
    const ReplyLengthCase& c = GetParam();
    const size_t nExpected = c.bErase ? 9 : 19;
    const std::string strBytes = (kIdent + "0123456789AB").substr(0, c.nBytes);
    sim::Scenario scenario = sim::DefaultScenario();
    (c.bErase ? scenario.ack : scenario.probe) = Whole(strBytes);
    Attach(5, scenario);
    m_dialog.Connect(5);

    double seconds = SecondsFor([&] {
        if (c.bErase)
            m_dialog.EraseDataSet("O");
        else
            m_dialog.OnKeepAliveTimer(KEEPALIVE_TIMER_ID);
    });

    std::vector<std::string> expected;
    if (c.nBytes > nExpected)
        expected.push_back("Data Transfer Error!    ");
    if (c.bErase)
        expected.push_back(c.nBytes == nExpected ? "     Data Erased!       " : " No Reply! ");
    EXPECT_EQ(expected, m_dialog.MessageTexts());
    if (!c.bErase) {
        EXPECT_EQ(c.nBytes == nExpected ? 5 : NO_PORT, m_dialog.m_nPort);
        EXPECT_EQ(c.nBytes == nExpected, m_dialog.bTimerRunning);
    }
    EXPECT_EQ(strBytes, m_dialog.controls[IDC_LAST_REPLY]);   // the last reply as it came
    if (c.nBytes < nExpected) {
        EXPECT_GE(seconds, 0.95);
        EXPECT_LE(seconds, 3.0);
    } else {
        EXPECT_LT(seconds, 0.9);
    }
}

std::vector<ReplyLengthCase> EveryLength()
{
    std::vector<ReplyLengthCase> cases;
    for (bool bErase : {false, true})
        for (size_t n = 0; n <= 30; ++n)
            cases.push_back({bErase, n});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Lengths, ReplyLengthTest, ::testing::ValuesIn(EveryLength()),
                         [](const auto& info) {
                             return std::string(info.param.bErase ? "Erase" : "Probe") +
                                    std::to_string(info.param.nBytes);
                         });

// ---- erase ----

struct EraseCase {
    const char* name;
    sim::Reply ack;
    std::vector<std::string> messages;
};

void PrintTo(const EraseCase& c, std::ostream* os)
{
    *os << c.name;
}

const EraseCase kEraseCases[] = {
    {"NineBytes", InstrumentBench::Whole("ERASED:OK"), {"     Data Erased!       "}},
    {"Silence", InstrumentBench::Whole(""), {" No Reply! "}},
    {"ShortAnswer", InstrumentBench::Whole("ERASED"), {" No Reply! "}},
    {"TwelveBytes", InstrumentBench::Whole("ERASED:OK..."), {"Data Transfer Error!    ", " No Reply! "}},
};

class EraseTest : public OperationsTest, public ::testing::WithParamInterface<EraseCase> {
};

// The instrument's letters, as its manual gives them, by button: a button
// whose row in the erase table carried another letter would erase another
// data set, and the instrument would see it.
const std::pair<int, const char*> kButtonLetters[] = {
    {IDC_ERASE_KV, "V"}, {IDC_ERASE_UA, "A"}, {IDC_ERASE_KOHM, "O"}, {IDC_ERASE_ALL, "E"}};

TEST_P(EraseTest, EachButtonSendsItsLetterAndReports)
{
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.ack = GetParam().ack;
    sim::SimInstrument& instrument = Attach(6, scenario);
    m_dialog.Connect(6);

    ASSERT_EQ(std::size(kButtonLetters), std::size(g_eraseCommands));
    for (const auto& [nButton, szLetter] : kButtonLetters) {
        auto command = std::find_if(std::begin(g_eraseCommands), std::end(g_eraseCommands),
                                    [&](const EraseCommand& c) { return c.nButton == nButton; });
        ASSERT_NE(std::end(g_eraseCommands), command) << nButton;
        m_dialog.messages.clear();
        m_dialog.events.clear();
        instrument.ClearReceived();

        m_dialog.EraseDataSet(command->szLetter);

        EXPECT_EQ(szLetter, instrument.ReceivedText()) << "button " << nButton;
        EXPECT_EQ(GetParam().messages, m_dialog.MessageTexts());
        const Message& last = m_dialog.messages.back();
        bool bErased = GetParam().messages.front() == "     Data Erased!       ";
        EXPECT_EQ(bErased ? "Success:" : "Error:", last.caption);
        EXPECT_EQ(bErased ? STYLE_OK : STYLE_ERROR, last.style);
        // The keep-alive resumes only after the box, whatever the outcome.
        EXPECT_EQ("stop", m_dialog.events.front());
        EXPECT_EQ("start", m_dialog.events.back());
        EXPECT_EQ(6, m_dialog.m_nPort);
    }
}

INSTANTIATE_TEST_SUITE_P(Acks, EraseTest, ::testing::ValuesIn(kEraseCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- outcomes ----

const char* OutcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Found: return "Found";
    case Outcome::NotFound: return "NotFound";
    case Outcome::Received: return "Received";
    case Outcome::NoData: return "NoData";
    case Outcome::Declined: return "Declined";
    case Outcome::CreateError: return "CreateError";
    case Outcome::WriteError: return "WriteError";
    case Outcome::ConnectionLost: return "ConnectionLost";
    case Outcome::TooLong: return "TooLong";
    case Outcome::Erased: return "Erased";
    case Outcome::NoReply: return "NoReply";
    case Outcome::TransferError: return "TransferError";
    case Outcome::Abandoned: return "Abandoned";
    case Outcome::NotConnected: return "NotConnected";
    case Outcome::Busy: return "Busy";
    case Outcome::LineError: return "LineError";
    case Outcome::PortUnavailable: return "PortUnavailable";
    case Outcome::NotSent: return "NotSent";
    case Outcome::NotDurable: return "NotDurable";
    case Outcome::Differed: return "Differed";
    }
    return "?";
}

// A box and the outcome the core had told when it showed it.
using Box = std::pair<std::string, Outcome>;

std::vector<std::pair<std::string, std::string>> Named(const std::vector<Box>& boxes)
{
    std::vector<std::pair<std::string, std::string>> named;
    for (const Box& box : boxes)
        named.emplace_back(box.first, OutcomeName(box.second));
    return named;
}

struct OutcomeCase {
    const char* name;
    std::function<void(sim::Scenario&)> instrument;   // changes to the instrument on COM1
    bool bConnected;                                  // to it, before the operation
    std::function<void(FakeDialog&)> prepare;         // names, files, answers, abandoning
    std::function<Outcome(FakeDialog&)> operation;
    Outcome outcome;
    std::vector<Box> boxes;
    const char* szSent;                               // what the instrument got
    std::vector<std::string> files;                   // in the working directory afterwards
};

void PrintTo(const OutcomeCase& c, std::ostream* os)
{
    *os << c.name;
}

const auto kAsIs = [](sim::Scenario&) {};
const auto kNothing = [](FakeDialog&) {};
const auto kSilentProbe = [](sim::Scenario& s) { s.probe = InstrumentBench::Whole(""); };
const auto kSearchCom1 = [](FakeDialog& d) {
    return d.SearchInstrument({{1, SerialPort::DevicePath(1)}});
};
const auto kKeepAlive = [](FakeDialog& d) { return d.OnKeepAliveTimer(KEEPALIVE_TIMER_ID); };
const auto kReadKV = [](FakeDialog& d) {
    d.controls[IDC_FILE_KV] = "run1";
    return d.ReadDataSet(g_dataSets[0]);
};
const auto kEraseKV = [](FakeDialog& d) { return d.EraseDataSet("V"); };
const auto kKeepOldFile = [](FakeDialog& d) {
    std::ofstream("run1.txt") << "old\r\n";
    d.answers = {ANSWER_NO};
};
const auto kAbandonSoon = [](FakeDialog& d) { d.nAbandonAtPause = 20; };
const std::string kFileExists = "        File Exists! Overwrite?  ";
const std::string kTransferError = "Data Transfer Error!    ";

// Each operation's outcomes (a line that fails under a download, a full disk
// and a busy port have tests of their own below and above).
const OutcomeCase kOutcomeCases[] = {
    {"SearchFound", kAsIs, false, kNothing, kSearchCom1, Outcome::Found, {}, "y", {}},
    {"SearchSilence", kSilentProbe, false, kNothing, kSearchCom1, Outcome::NotFound, {}, "y", {}},
    {"SearchOverlong", [](sim::Scenario& s) { s.probe = InstrumentBench::Whole(kIdent + "X"); }, false,
     kNothing, kSearchCom1, Outcome::NotFound, {{kTransferError, Outcome::TransferError}}, "y", {}},
    {"SearchAbandoned", kSilentProbe, false, kAbandonSoon, kSearchCom1, Outcome::Abandoned, {}, "y", {}},
    {"KeepAliveAnswered", kAsIs, true, kNothing, kKeepAlive, Outcome::Found, {}, "y", {}},
    {"KeepAliveSilence", kSilentProbe, true, kNothing, kKeepAlive, Outcome::NotFound, {}, "y", {}},
    {"KeepAliveAbandoned", kSilentProbe, true, kAbandonSoon, kKeepAlive, Outcome::Abandoned, {}, "y", {}},
    {"ReadReceived", [](sim::Scenario& s) { s.dataSets['v'] = InstrumentBench::Whole("1 kV\n"); }, true,
     kNothing, kReadKV, Outcome::Received, {{"     Data Received!       ", Outcome::Received}}, "v",
     {"run1.txt"}},
    {"ReadNoData", [](sim::Scenario& s) { s.dataSets['v'] = InstrumentBench::Whole(""); }, true, kNothing,
     kReadKV, Outcome::NoData, {{"No Data Received! ", Outcome::NoData}}, "v", {}},
    {"ReadDeclined", kAsIs, true, kKeepOldFile, kReadKV, Outcome::Declined,
     {{kFileExists, Outcome::Declined}}, "", {"run1.txt"}},
    {"ReadCreateError", kAsIs, true, kNothing,
     [](FakeDialog& d) {
         d.controls[IDC_FILE_KV] = "no/such/dir/run1";
         return d.ReadDataSet(g_dataSets[0]);
     },
     Outcome::CreateError, {{"Destination File Create Error! ", Outcome::CreateError}}, "", {}},
    {"ReadTooLong", kAsIs, true, [](FakeDialog& d) { d.SetBulkLimit(std::chrono::milliseconds(300)); },
     kReadKV, Outcome::TooLong, {{"Data Set Too Long! Data not saved. ", Outcome::TooLong}}, "v", {}},
    {"ReadAbandoned", kAsIs, true, kAbandonSoon, kReadKV, Outcome::Abandoned, {}, "v", {}},
    {"ReadNotConnected", kAsIs, false, kNothing, kReadKV, Outcome::NotConnected,
     {{kNoConnection, Outcome::NotConnected}}, "", {}},
    {"Erased", kAsIs, true, kNothing, kEraseKV, Outcome::Erased,
     {{"     Data Erased!       ", Outcome::Erased}}, "V", {}},
    {"EraseSilence", [](sim::Scenario& s) { s.ack = InstrumentBench::Whole(""); }, true, kNothing, kEraseKV,
     Outcome::NoReply, {{" No Reply! ", Outcome::NoReply}}, "V", {}},
    {"EraseOverlong", [](sim::Scenario& s) { s.ack = InstrumentBench::Whole("ERASED:OK..."); }, true,
     kNothing, kEraseKV, Outcome::NoReply,
     {{kTransferError, Outcome::TransferError}, {" No Reply! ", Outcome::NoReply}}, "V", {}},
    {"EraseAbandoned", [](sim::Scenario& s) { s.ack = InstrumentBench::Whole(""); }, true, kAbandonSoon,
     kEraseKV, Outcome::Abandoned, {}, "V", {}},
    {"EraseNotConnected", kAsIs, false, kNothing, kEraseKV, Outcome::NotConnected,
     {{kNoConnection, Outcome::NotConnected}}, "", {}},
};

class OutcomeTest : public OperationsTest, public ::testing::WithParamInterface<OutcomeCase> {
};

// What an operation returns is what its boxes said, and each box is shown
// with its outcome already told, so a front end without a window can name
// what a message is about.
TEST_P(OutcomeTest, EachOperationTellsWhatHappened)
{
    const OutcomeCase& c = GetParam();
    sim::Scenario scenario = sim::DefaultScenario();
    c.instrument(scenario);
    sim::SimInstrument& instrument = Attach(1, scenario);
    if (c.bConnected)
        m_dialog.Connect(1);
    c.prepare(m_dialog);

    Outcome outcome = c.operation(m_dialog);

    EXPECT_STREQ(OutcomeName(c.outcome), OutcomeName(outcome));
    EXPECT_STREQ(OutcomeName(c.outcome), OutcomeName(m_dialog.LastOutcome()));
    std::vector<Box> boxes;
    for (const Message& message : m_dialog.messages)
        boxes.emplace_back(message.text, message.outcome);
    EXPECT_EQ(Named(c.boxes), Named(boxes));
    EXPECT_EQ(c.szSent, instrument.ReceivedText());
    EXPECT_EQ(c.files, WorkFiles());
}

INSTANTIATE_TEST_SUITE_P(Operations, OutcomeTest, ::testing::ValuesIn(kOutcomeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- a port another program took, line errors, a stop before the letter ----

// Takes a device the way another program holds it: open and locked.
class HeldDevice {
public:
    explicit HeldDevice(const std::string& strDevice)
        : m_fd(open(strDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        m_bHeld = m_fd >= 0 && flock(m_fd, LOCK_EX | LOCK_NB) == 0;
    }
    ~HeldDevice()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    HeldDevice(const HeldDevice&) = delete;
    HeldDevice& operator=(const HeldDevice&) = delete;
    bool Held() const { return m_bHeld; }

private:
    int m_fd;
    bool m_bHeld = false;
};

struct PortTakenCase {
    const char* name;
    std::function<Outcome(FakeDialog&)> operation;
    const char* szOutcome;
    std::vector<std::string> boxes;
    bool bStaysConnected;
    double dMinSeconds;   // the window's search still waits out each port
};

void PrintTo(const PortTakenCase& c, std::ostream* os)
{
    *os << c.name;
}

const PortTakenCase kPortTakenCases[] = {
    {"Read", kReadKV, "PortUnavailable", {kFileExists, "Connection Lost! Data not saved. "}, false, 0.0},
    {"Erase", kEraseKV, "PortUnavailable", {" No Reply! "}, true, 0.0},
    {"KeepAlive", kKeepAlive, "PortUnavailable", {}, false, 0.0},
    {"Search", kSearchCom1, "NotFound", {}, false, 0.9},   // each port tried tells its own
};

class PortTakenTest : public OperationsTest, public ::testing::WithParamInterface<PortTakenCase> {
};

// Another program took the port after Connect found the instrument there: no
// operation takes that for an empty data set or a silent instrument. Nothing
// is sent, nothing saved, the old file stays, and the core says why.
TEST_P(PortTakenTest, NothingIsSentAndTheReasonIsTold)
{
    const PortTakenCase& c = GetParam();
    sim::SimInstrument& instrument = Attach(1);
    if (std::string(c.name) != "Search")
        m_dialog.Connect(1);
    WriteFile("run1.txt", "old\r\n");
    HeldDevice held(SerialPort::DevicePath(1));
    ASSERT_TRUE(held.Held());

    Outcome outcome;
    double seconds = SecondsFor([&] { outcome = c.operation(m_dialog); });

    EXPECT_STREQ(c.szOutcome, OutcomeName(outcome));
    if (std::string(c.name) == "Search") {
        ASSERT_EQ(1u, m_dialog.Searched().size());
        EXPECT_STREQ("PortUnavailable", OutcomeName(m_dialog.Searched()[0].outcome));
        EXPECT_FALSE(m_dialog.Searched()[0].bOpened);
    }
    EXPECT_EQ(PortError::IN_USE, m_dialog.OpenError().nKind);
    EXPECT_NE(std::string::npos, m_dialog.OpenError().strText.find("in use by")) << m_dialog.OpenError().strText;
    EXPECT_EQ(SerialPort::DevicePath(1), m_dialog.ExchangeDevice());
    EXPECT_EQ(c.boxes, m_dialog.MessageTexts());
    if (!m_dialog.messages.empty()) {
        EXPECT_STREQ("PortUnavailable", OutcomeName(m_dialog.messages.back().outcome));
        EXPECT_EQ("Error:", m_dialog.messages.back().caption);
    }
    EXPECT_EQ("", instrument.ReceivedText());
    EXPECT_EQ("old\r\n", ReadFile("run1.txt"));
    EXPECT_EQ((std::vector<std::string>{"run1.txt"}), WorkFiles());
    EXPECT_GE(seconds, c.dMinSeconds);
    EXPECT_LT(seconds, c.dMinSeconds + 1.5);
    if (c.bStaysConnected) {
        EXPECT_EQ(1, m_dialog.m_nPort);   // the next keep-alive tick looks again
        EXPECT_TRUE(m_dialog.bTimerRunning);
    } else {
        EXPECT_EQ(NO_PORT, m_dialog.m_nPort);
        EXPECT_EQ(" No Connection! ", m_dialog.controls[IDC_STATUS]);
        EXPECT_EQ(COLOR_NO_CONNECTION, m_dialog.colors.back());
        EXPECT_FALSE(m_dialog.bTimerRunning);
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, PortTakenTest, ::testing::ValuesIn(kPortTakenCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Once the other program lets go, Read reaches the instrument as before.
TEST_F(OperationsTest, APortLetGoAgainIsFoundAndRead)
{
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.dataSets['v'] = Whole("1 kV\n");
    sim::SimInstrument& instrument = Attach(1, scenario);
    m_dialog.Connect(1);
    m_dialog.controls[IDC_FILE_KV] = "run1";
    {
        HeldDevice held(SerialPort::DevicePath(1));
        ASSERT_TRUE(held.Held());
        EXPECT_EQ(Outcome::PortUnavailable, m_dialog.ReadDataSet(g_dataSets[0]));
        EXPECT_EQ(Outcome::NotConnected, m_dialog.ReadDataSet(g_dataSets[0]));
    }
    EXPECT_EQ(Outcome::Found, m_dialog.SearchInstrument(ComPorts()));
    EXPECT_EQ(Outcome::Received, m_dialog.ReadDataSet(g_dataSets[0]));
    EXPECT_EQ("1 kV\r\n", ReadFile("run1.txt"));
    EXPECT_EQ("yv", instrument.ReceivedText());
}

// Stands in for a driver that reports line errors: these bits, once the
// download has read this many bytes.
unsigned g_nFedErrors = 0;
size_t g_nFedAfterBytes = 0;

unsigned FeedLineErrors(const std::string& /*strDevice*/, size_t nBytesRead)
{
    return nBytesRead >= g_nFedAfterBytes ? g_nFedErrors : 0;
}

class LineErrorTest : public OperationsTest, public ::testing::WithParamInterface<unsigned> {
protected:
    void TearDown() override
    {
        SerialPort::SetLineErrorFeed(nullptr);
        OperationsTest::TearDown();
    }
};

// A byte damaged or lost on the line makes the data set not whole, however
// whole it looks: nothing is saved, the old file stays, and the instrument,
// which still holds the data set, stays connected for another try.
TEST_P(LineErrorTest, TheDataSetIsNotSaved)
{
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.dataSets['v'] = Whole(std::string(1500, 'x'));
    scenario.dataSets['v'].pieces = {1000, 500};
    Attach(1, scenario);
    m_dialog.Connect(1);
    WriteFile("run1.txt", "old\r\n");
    m_dialog.controls[IDC_FILE_KV] = "run1";
    g_nFedErrors = GetParam();
    g_nFedAfterBytes = 1000;
    SerialPort::SetLineErrorFeed(FeedLineErrors);

    EXPECT_STREQ("LineError", OutcomeName(m_dialog.ReadDataSet(g_dataSets[0])));

    EXPECT_EQ(GetParam(), m_dialog.LineErrors());
    EXPECT_EQ((std::vector<std::string>{kFileExists, "Line Error! Data not saved. "}), m_dialog.MessageTexts());
    EXPECT_EQ("Error:", m_dialog.messages.back().caption);
    EXPECT_EQ(STYLE_ERROR, m_dialog.messages.back().style);
    EXPECT_EQ("old\r\n", ReadFile("run1.txt"));
    EXPECT_EQ((std::vector<std::string>{"run1.txt"}), WorkFiles());
    EXPECT_EQ(1, m_dialog.m_nPort);
    EXPECT_TRUE(m_dialog.bTimerRunning);

    // The next download on a clean line is saved.
    SerialPort::SetLineErrorFeed(nullptr);
    EXPECT_EQ(Outcome::Received, m_dialog.ReadDataSet(g_dataSets[0]));
    EXPECT_EQ(std::string(1500, 'x'), ReadFile("run1.txt"));
}

INSTANTIATE_TEST_SUITE_P(Kinds, LineErrorTest,
                         ::testing::Values(LINE_ERROR_FRAMING, LINE_ERROR_PARITY, LINE_ERROR_OVERRUN,
                                           LINE_ERROR_BUFFER_OVERRUN, LINE_ERROR_BREAK,
                                           LINE_ERROR_FRAMING | LINE_ERROR_BREAK),
                         [](const auto& info) {
                             std::string name = SerialPort::LineErrorText(info.param);
                             std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
                             return name;
                         });

// The probe and the erase acknowledgement keep their length check: a line
// error there is not looked at, and a reply of the right length counts.
TEST_F(OperationsTest, LineErrorsDuringCountedExchangesAreLeftToTheLengthCheck)
{
    Attach(1);
    m_dialog.Connect(1);
    g_nFedErrors = LINE_ERROR_FRAMING;
    g_nFedAfterBytes = 0;
    SerialPort::SetLineErrorFeed(FeedLineErrors);
    EXPECT_EQ(Outcome::Found, m_dialog.OnKeepAliveTimer(KEEPALIVE_TIMER_ID));
    EXPECT_EQ(Outcome::Erased, m_dialog.EraseDataSet("V"));
    SerialPort::SetLineErrorFeed(nullptr);
}

// What the instrument got up to a marker sent on a port of its own, once
// the marker is in (within a bound far beyond any pty's delay).
std::string TextUpToMarker(sim::SimInstrument& instrument)
{
    SerialPort port;
    if (!port.Open(1, BAUD_RATE) || port.Send("#", 1) != 1 || port.WriteFailed())
        return "(no marker sent)";
    port.Close();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string strText;
    while ((strText = instrument.ReceivedText()).find('#') == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        PollPause(10);
    return strText;
}

struct InterruptCase {
    const char* name;
    std::function<Outcome(FakeDialog&)> operation;
};

void PrintTo(const InterruptCase& c, std::ostream* os)
{
    *os << c.name;
}

const InterruptCase kInterruptCases[] = {
    {"Search", kSearchCom1}, {"KeepAlive", kKeepAlive}, {"Read", kReadKV}, {"Erase", kEraseKV},
    {"EraseAll", [](FakeDialog& d) { return d.EraseDataSet("E"); }},
    {"CheckedRead", [](FakeDialog& d) {
         d.controls[IDC_FILE_KV] = "run1";
         return d.ReadDataSetChecked(g_dataSets[0]);
     }},
};

class InterruptTest : public OperationsTest, public ::testing::WithParamInterface<InterruptCase> {
};

// A stop that came before an exchange sends anything (a Ctrl-C while the
// previous file was being saved, or while the port was being opened) ends
// it there: no letter goes out, least of all an erase, and nothing is said
// or saved.
TEST_P(InterruptTest, NoLetterGoesOutAfterAStop)
{
    sim::SimInstrument& instrument = Attach(1);
    // Told before the port opens, and told while it opens (the first look,
    // before the open, still saw nothing).
    for (int nQuietLooks : {0, 1}) {
        FakeDialog dialog;
        dialog.Connect(1);
        dialog.nQuietInterruptLooks = nQuietLooks;
        dialog.bInterrupted = nQuietLooks == 0;

        EXPECT_STREQ("Abandoned", OutcomeName(GetParam().operation(dialog))) << nQuietLooks;

        EXPECT_TRUE(dialog.Abandoned()) << nQuietLooks;
        EXPECT_TRUE(dialog.messages.empty()) << nQuietLooks;
        EXPECT_TRUE(WorkFiles().empty()) << nQuietLooks;
        // A marker sent afterwards arrives behind any letter that went out
        // before it, however late a loaded machine let that one go.
        EXPECT_EQ("#", TextUpToMarker(instrument)) << nQuietLooks;
        instrument.ClearReceived();
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, InterruptTest, ::testing::ValuesIn(kInterruptCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- a search over the ports a front end gives ----

// Device paths of any name, in the order given: a silent device, a path
// with nothing behind it, and the instrument last. The search finds it, and
// tells what each port it tried gave; the exchanges after it go to the
// device it found.
TEST_F(OperationsTest, SearchWalksTheListItIsGiven)
{
    sim::Scenario silence = sim::DefaultScenario();
    silence.probe = Whole("");
    sim::SimInstrument& silent = Attach(1, silence);
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.dataSets['v'] = Whole("1 kV\n");
    sim::SimInstrument& instrument = Attach(3, scenario);
    const std::string strSilent = m_ports / "com1";
    const std::string strMissing = m_ports / "ttyUSB7";
    const std::string strInstrument = m_ports / "com3";

    double seconds = SecondsFor([&] {
        EXPECT_EQ(Outcome::Found, m_dialog.SearchInstrument({{NAMED_PORT, strSilent},
                                                             {NAMED_PORT, strMissing},
                                                             {NAMED_PORT, strInstrument}}));
    });

    EXPECT_EQ(strInstrument, m_dialog.Device());
    EXPECT_EQ(NAMED_PORT, m_dialog.m_nPort);
    EXPECT_EQ(kIdent.substr(0, 18), m_dialog.controls[IDC_STATUS]);
    EXPECT_TRUE(m_dialog.bTimerRunning);
    EXPECT_TRUE(m_dialog.messages.empty());
    EXPECT_GE(seconds, 1.8);   // a second of silence from each of the first two
    EXPECT_LT(seconds, 8.0);
    const std::vector<PortResult>& tried = m_dialog.Searched();
    ASSERT_EQ(3u, tried.size());
    const std::tuple<std::string, bool, const char*> expected[] = {
        {strSilent, true, "NoReply"}, {strMissing, false, "PortUnavailable"}, {strInstrument, true, "Found"}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(std::get<0>(expected[i]), tried[i].port.strDevice) << i;
        EXPECT_EQ(std::get<1>(expected[i]), tried[i].bOpened) << i;
        EXPECT_STREQ(std::get<2>(expected[i]), OutcomeName(tried[i].outcome)) << i;
    }

    m_dialog.controls[IDC_FILE_KV] = "run1";
    EXPECT_EQ(Outcome::Received, m_dialog.ReadDataSet(g_dataSets[0]));
    EXPECT_EQ("y", silent.ReceivedText());
    EXPECT_EQ("yv", instrument.ReceivedText());

    // A search that finds nothing forgets the device along with the port.
    instrument.SetUnplugged(true);
    EXPECT_EQ(Outcome::NotFound, m_dialog.SearchInstrument({{NAMED_PORT, strInstrument}}));
    EXPECT_EQ(NO_PORT, m_dialog.m_nPort);
    EXPECT_EQ("", m_dialog.Device());
    EXPECT_EQ(Outcome::NotConnected, m_dialog.EraseDataSet("V"));
}

// ---- a letter the line does not take ----

struct NotTakenCase {
    const char* name;
    std::function<Outcome(FakeDialog&)> operation;
    const char* szOutcome;
    std::vector<std::string> boxes;
    int32_t nPortAfter;    // the connection it leaves
    bool bTimerAfter;
};

void PrintTo(const NotTakenCase& c, std::ostream* os)
{
    *os << c.name;
}

const NotTakenCase kNotTakenCases[] = {
    // The search goes on to the next port, where the instrument answers.
    {"Search", [](FakeDialog& d) {
         return d.SearchInstrument({{1, SerialPort::DevicePath(1)}, {2, SerialPort::DevicePath(2)}});
     },
     "Found", {}, 2, true},
    {"KeepAlive", kKeepAlive, "NotSent", {}, NO_PORT, false},
    {"Read", kReadKV, "NotSent", {"Connection Lost! Data not saved. "}, NO_PORT, false},
    {"CheckedRead", [](FakeDialog& d) {
         d.controls[IDC_FILE_KV] = "run1";
         return d.ReadDataSetChecked(g_dataSets[0]);
     },
     "NotSent", {"Connection Lost! Data not saved. "}, NO_PORT, false},
    // The next keep-alive probe finds out, as after an erase nobody acknowledged.
    {"Erase", kEraseKV, "NotSent", {" No Reply! "}, 1, true},
};

class NotTakenTest : public OperationsTest, public ::testing::WithParamInterface<NotTakenCase> {
};

// A letter the line did not take within its bound never reached the
// instrument: no reply is waited for, nothing is read, saved or erased, and
// its silence is never taken for an empty data set.
TEST_P(NotTakenTest, IsAFailureOfItsOwn)
{
    const NotTakenCase& c = GetParam();
    sim::SimInstrument& stalled = Attach(1);
    Attach(2);
    m_dialog.Connect(1);
    ASSERT_TRUE(stalled.Stall());

    Outcome outcome = Outcome::Busy;
    double seconds = SecondsFor([&] { outcome = c.operation(m_dialog); });

    EXPECT_STREQ(c.szOutcome, OutcomeName(outcome));
    EXPECT_EQ(c.boxes, m_dialog.MessageTexts());
    for (const Message& message : m_dialog.messages)
        EXPECT_STREQ("NotSent", OutcomeName(message.outcome));
    EXPECT_EQ(c.nPortAfter, m_dialog.m_nPort);
    EXPECT_EQ(c.bTimerAfter, m_dialog.bTimerRunning);
    EXPECT_TRUE(WorkFiles().empty());
    ASSERT_FALSE(m_dialog.Searched().empty() && c.nPortAfter == 2);
    if (!m_dialog.Searched().empty()) {
        EXPECT_STREQ("NotSent", OutcomeName(m_dialog.Searched()[0].outcome));
    }
    // The write's own second, and no wait for a reply on top (a search
    // then probes the next port).
    EXPECT_LT(seconds, 3.0);
    stalled.Release();
    PollPause(300);
    EXPECT_EQ("", stalled.ReceivedText());
}

INSTANTIATE_TEST_SUITE_P(Operations, NotTakenTest, ::testing::ValuesIn(kNotTakenCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- a read that an erase may follow ----

// The data set a checked read gets, and the line it comes over.
struct CheckedCase {
    const char* name;
    std::string strData;
    double dFlipRate;
    int nMeasureEveryMs;
    // Which of the downloads arrive changed (for a noisy line, the seed is
    // sought that gives this; empty: whatever the line gives).
    std::vector<bool> flipped;
    const char* szOutcome;
    std::vector<std::string> boxes;
    const char* szSent;
    int nDownloads;
};

void PrintTo(const CheckedCase& c, std::ostream* os)
{
    *os << c.name;
}

const std::string kSmallSet = sim::MakeDataSet('v', 8);

const CheckedCase kCheckedCases[] = {
    {"CleanLine", kSmallSet, 0, 0, {}, "Received", {"     Data Received!       "}, "vv", 2},
    {"FirstDownloadFlipped", kSmallSet, 0.002, 0, {true, false, false}, "Received",
     {"     Data Received!       "}, "vvv", 3},
    {"EveryDownloadFlipped", kSmallSet, 0.05, 0, {true, true, true, true}, "Differed",
     {"Downloads Differ! Last one saved, nothing erased. "}, "vvvv", 4},
    {"StillMeasuring", kSmallSet, 0, 700, {}, "Differed", {"Downloads Differ! Last one saved, nothing erased. "},
     "vvvv", 4},
    {"EmptyTwice", "", 0, 0, {}, "NoData", {"No Data Received! "}, "vv", 2},
};

// The first seed whose flips change exactly the downloads marked.
uint64_t SeedFor(const std::string& strData, double dRate, const std::vector<bool>& flipped)
{
    for (uint64_t nSeed = 1; nSeed < 100000; ++nSeed) {
        sim::FlipState state{nSeed};
        bool bFits = true;
        for (size_t i = 0; i < flipped.size() && bFits; ++i) {
            std::string strCopy = strData;
            sim::FlipBits(strCopy, dRate, state);
            bFits = (strCopy != strData) == flipped[i];
        }
        if (bFits)
            return nSeed;
    }
    return 0;
}

class CheckedReadTest : public OperationsTest, public ::testing::WithParamInterface<CheckedCase> {
};

// Downloads until two in a row are byte for byte the same, and saves that
// copy once; when none agree, the last one is kept and the outcome says so.
TEST_P(CheckedReadTest, SavesOnlyACopyTwoDownloadsAgreeOn)
{
    const CheckedCase& c = GetParam();
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.dataSets['v'] = Whole(c.strData);
    scenario.dFlipRate = c.dFlipRate;
    scenario.nMeasureEveryMs = c.nMeasureEveryMs;
    if (!c.flipped.empty()) {
        scenario.nFlipSeed = SeedFor(c.strData, c.dFlipRate, c.flipped);
        ASSERT_NE(0u, scenario.nFlipSeed);
    }
    sim::SimInstrument& instrument = Attach(1, scenario);
    m_dialog.Connect(1);
    m_dialog.controls[IDC_FILE_KV] = "run1";

    Outcome outcome = m_dialog.ReadDataSetChecked(g_dataSets[0]);

    EXPECT_STREQ(c.szOutcome, OutcomeName(outcome));
    EXPECT_EQ(c.boxes, m_dialog.MessageTexts());   // once, not once per download
    EXPECT_EQ(c.szSent, instrument.ReceivedText());
    EXPECT_EQ(c.nDownloads, m_dialog.DownloadNumber());
    EXPECT_EQ(c.nDownloads, m_dialog.nProgressEnds);
    if (c.strData.empty()) {
        EXPECT_TRUE(WorkFiles().empty());
        return;
    }
    ASSERT_EQ(std::vector<std::string>{"run1.txt"}, WorkFiles());
    std::string strSaved = ReadFile("run1.txt");
    if (outcome == Outcome::Received) {
        EXPECT_EQ(ToTextMode(c.strData), strSaved);
    } else if (!c.flipped.empty()) {
        // The last download, as the line changed it.
        sim::FlipState state{scenario.nFlipSeed};
        std::string strLast;
        for (int i = 0; i < c.nDownloads; ++i) {
            strLast = c.strData;
            sim::FlipBits(strLast, c.dFlipRate, state);
        }
        EXPECT_EQ(ToTextMode(strLast), strSaved);
    } else {
        // What the instrument had measured by the last download.
        EXPECT_GT(strSaved.size(), ToTextMode(c.strData).size());
        EXPECT_EQ(0u, strSaved.compare(0, ToTextMode(c.strData).size(), ToTextMode(c.strData)));
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, CheckedReadTest, ::testing::ValuesIn(kCheckedCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Downloads that never agree, and a last copy the disk will not take: the
// write failure is what is said, not "last one saved", and the old file
// stays as it was.
TEST_F(OperationsTest, DownloadsThatDifferAndCannotBeWrittenSayTheWriteError)
{
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.dataSets['v'] = Whole(std::string(4000, 'x'));
    scenario.nMeasureEveryMs = 700;
    sim::SimInstrument& instrument = Attach(1, scenario);
    m_dialog.Connect(1);
    WriteFile("run1.txt", "precious\r\n");
    m_dialog.controls[IDC_FILE_KV] = "run1";

    Outcome outcome = WithFullDisk([&] { return m_dialog.ReadDataSetChecked(g_dataSets[0]); });

    EXPECT_STREQ("WriteError", OutcomeName(outcome));
    EXPECT_EQ("vvvv", instrument.ReceivedText());
    EXPECT_EQ("precious\r\n", ReadFile("run1.txt"));
    EXPECT_EQ(std::vector<std::string>{"run1.txt"}, WorkFiles());
    ASSERT_FALSE(m_dialog.messages.empty());
    EXPECT_EQ("Destination File Write Error! Data not saved. ", m_dialog.messages.back().text);
}

// ---- a folder that cannot be synced ----

int g_nFolderSyncErrno = 0;

int FailFolderSync(const std::string&)
{
    return g_nFolderSyncErrno;
}

std::vector<std::string> g_fileNotes;

void KeepFileNote(const std::string& strText)
{
    g_fileNotes.push_back(strText);
}

// A file in place whose folder could not be synced is saved, but not durably,
// and said so; a file system that cannot sync a folder at all is let off,
// and a trace hears of it once.
TEST_F(OperationsTest, AFolderSyncThatFailsIsSaidAsItIs)
{
    const std::string strData = "1 kV\n";
    const struct {
        int nErrno;
        const char* szOutcome;
        const char* szBox;
        int nReads;
        size_t nNotes;   // trace notes after the reads
    } cases[] = {
        {EIO, "NotDurable", "Destination Folder Sync Error! Data saved, not synced. ", 1, 0},
        // Twice: the note comes once per folder and run, not once per file.
        {EINVAL, "Received", "     Data Received!       ", 2, 1},
        {ENOTSUP, "Received", "     Data Received!       ", 1, 0},   // the folder was named already
    };
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.dataSets['v'] = Whole(strData);
    Attach(1, scenario);
    struct Seams {
        Seams()
        {
            SetFolderSyncFault(FailFolderSync);
            SetFileNotes(KeepFileNote);
        }
        ~Seams()
        {
            SetFolderSyncFault(nullptr);
            SetFileNotes(nullptr);
        }
    } seams;
    for (const auto& c : cases) {
        FakeDialog dialog;
        dialog.Connect(1);
        dialog.controls[IDC_FILE_KV] = "run" + std::to_string(c.nErrno);
        g_nFolderSyncErrno = c.nErrno;
        g_fileNotes.clear();
        for (int i = 0; i < c.nReads; ++i) {
            dialog.messages.clear();
            dialog.m_strFileKV.clear();
            std::remove(("run" + std::to_string(c.nErrno) + ".txt").c_str());
            EXPECT_STREQ(c.szOutcome, OutcomeName(dialog.ReadDataSet(g_dataSets[0]))) << c.nErrno;
            ASSERT_EQ(1u, dialog.messages.size()) << c.nErrno;
            EXPECT_EQ(c.szBox, dialog.messages.back().text) << c.nErrno;
            EXPECT_EQ(ToTextMode(strData), ReadFile("run" + std::to_string(c.nErrno) + ".txt")) << c.nErrno;
            EXPECT_TRUE(dialog.bTimerRunning);
        }
        EXPECT_EQ(c.nNotes, g_fileNotes.size()) << c.nErrno;
        if (!g_fileNotes.empty()) {
            EXPECT_EQ(". cannot be synced (Invalid argument): its entries are taken as written", g_fileNotes[0]);
        }
    }
}

}  // namespace
