// Search, keep-alive, download and erase, through the real serial layer
// against simulated instruments.
#include "DataSetFile.h"
#include "FakeDialog.h"
#include "InstrumentBench.h"

#include <algorithm>
#include <csignal>
#include <functional>
#include <sys/resource.h>
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
    EXPECT_LT(m_dialog.LongestStretchWithoutPause(), 0.25);
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
        m_dialog.SearchInstrument(ComPorts());
        for (const DataSet& set : g_dataSets)
            m_dialog.ReadDataSet(set);
        for (const EraseCommand& command : g_eraseCommands)
            m_dialog.EraseDataSet(command.szLetter);
        m_dialog.OnKeepAliveTimer(KEEPALIVE_TIMER_ID);
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

TEST_F(OperationsTest, WriteFailureKeepsTheOldFileAndSaysSo)
{
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.dataSets['v'] = Whole(std::string(4000, 'x'));
    Attach(1, scenario);
    m_dialog.Connect(1);
    WriteFile("run1.txt", "precious\r\n");
    m_dialog.controls[IDC_FILE_KV] = "run1";

    // A file size limit stands in for a full disk: writes past it fail.
    signal(SIGXFSZ, SIG_IGN);
    rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = {1000, old.rlim_max};
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    m_dialog.ReadDataSet(g_dataSets[0]);
    setrlimit(RLIMIT_FSIZE, &old);

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
    {
        PullLater pull(instrument, 800);
        seconds = SecondsFor([&] { m_dialog.ReadDataSet(g_dataSets[0]); });
    }

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

TEST_P(EraseTest, EachButtonSendsItsLetterAndReports)
{
    sim::Scenario scenario = sim::DefaultScenario();
    scenario.ack = GetParam().ack;
    sim::SimInstrument& instrument = Attach(6, scenario);
    m_dialog.Connect(6);

    for (const EraseCommand& command : g_eraseCommands) {
        m_dialog.messages.clear();
        m_dialog.events.clear();
        instrument.ClearReceived();

        m_dialog.EraseDataSet(command.szLetter);

        EXPECT_EQ(command.szLetter, instrument.ReceivedText());
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

TEST_F(OperationsTest, EraseButtonsCarryTheirLetters)
{
    std::map<int, std::string> letters;
    for (const EraseCommand& command : g_eraseCommands)
        letters[command.nButton] = command.szLetter;
    EXPECT_EQ((std::map<int, std::string>{
                  {IDC_ERASE_KV, "V"}, {IDC_ERASE_UA, "A"}, {IDC_ERASE_KOHM, "O"}, {IDC_ERASE_ALL, "E"}}),
              letters);
}

}  // namespace
