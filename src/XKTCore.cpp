#include "XKTCore.h"

#include "DataSetFile.h"
#include "PortName.h"
#include "SerialPort.h"
#include "resource.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <vector>

std::string g_strCommand;

const DataSet g_dataSets[3] = {
    {IDC_READ_KV, IDC_FILE_KV, &XKTCore::m_strFileKV, "v", "No Data Received! ", "kV"},
    // "Recived" is the text operators of the other two sets have always seen.
    {IDC_READ_UA, IDC_FILE_UA, &XKTCore::m_strFileUA, "a", "No Data Recived! ", "\xB5" "A"},
    {IDC_READ_KOHM, IDC_FILE_KOHM, &XKTCore::m_strFileKOhm, "o", "No Data Recived! ", "kOhm"},
};

const EraseCommand g_eraseCommands[4] = {
    {IDC_ERASE_KV, "V"},
    {IDC_ERASE_UA, "A"},
    {IDC_ERASE_KOHM, "O"},
    {IDC_ERASE_ALL, "E"},
};

namespace {

// A counted reply is short: one second of polling is plenty at 9600 baud.
constexpr int32_t kCountedChunk = 50;
constexpr int kCountedPolls = 100;

// A data set streams for as long as it takes, and the instrument may pause
// in the middle of one (a memory page, busy firmware) for up to the two
// seconds it has always been given. So a download ends only once the line
// has been quiet for that long, measured on the clock from the last byte (a
// count of polls would mean another time on every platform: a 10 ms sleep
// lasts 15.6 ms on many Windows machines). Quiet counts from the command
// until the first byte arrives, so nothing ends a download in its first two
// seconds.
constexpr int32_t kBulkChunk = 750;
constexpr std::chrono::milliseconds kEndOfDataQuiet(2000);

constexpr unsigned kPollPauseMs = 10;

const char* const kMsgTransferError = "Data Transfer Error!    ";
const char* const kMsgNoConnection = " No Connection!        ";
const char* const kMsgFileExists = "        File Exists! Overwrite?  ";
const char* const kMsgCreateError = "Destination File Create Error! ";
const char* const kMsgWriteError = "Destination File Write Error! Data not saved. ";
const char* const kMsgConnectionLost = "Connection Lost! Data not saved. ";
const char* const kMsgTooLong = "Data Set Too Long! Data not saved. ";
const char* const kMsgLineError = "Line Error! Data not saved. ";
const char* const kMsgNotDurable = "Destination Folder Sync Error! Data saved, not synced. ";
const char* const kMsgDiffered = "Downloads Differ! Last one saved, nothing erased. ";
const char* const kMsgReceived = "     Data Received!       ";
const char* const kMsgErased = "     Data Erased!       ";
const char* const kMsgNoReply = " No Reply! ";
const char* const kCaptionError = "Error:";
const char* const kCaptionWarning = "Warning:";
const char* const kCaptionSuccess = "Success:";

const char* const kStatusInitial = " ------------- ";
const char* const kStatusNoConnection = " No Connection! ";

// The search shows one more dot for each port that did not answer.
const char* const kSearchTexts[LAST_FIXED_PORT] = {
    "search .         ",
    "search ..        ",
    "search ...       ",
    "search ....      ",
    "search .....     ",
    "search ......    ",
    "search .......   ",
    "search ........  ",
};

// The status field's width, which every search text fills.
constexpr size_t kSearchTextLength = 17;

// Past the fixed ports more dots would tell the operator nothing: the field
// names the port being tried, as the Device Manager names it ("search
// COM12", padded as the dots are).
std::string NamedSearchText(int32_t nPort)
{
    std::string strText = "search COM" + std::to_string(nPort);
    strText.resize(std::max(strText.size(), kSearchTextLength), ' ');
    return strText;
}

// Marks the span of an exchange, during which the port is ours.
class ExchangeScope {
public:
    explicit ExchangeScope(bool& bExchanging) : m_bExchanging(bExchanging), m_bOuter(bExchanging)
    {
        m_bExchanging = true;
    }
    ~ExchangeScope() { m_bExchanging = m_bOuter; }
    ExchangeScope(const ExchangeScope&) = delete;
    ExchangeScope& operator=(const ExchangeScope&) = delete;

private:
    bool& m_bExchanging;
    bool m_bOuter;
};

// The unit of the data set whose letter is about to be sent.
const char* BulkUnit()
{
    for (const DataSet& set : g_dataSets) {
        if (g_strCommand == set.szLetter)
            return set.szUnit;
    }
    return "";
}

}  // namespace

std::string ProgressText(const char* szUnit, size_t nBytes)
{
    // Thousands apart by a space, so a count of tens of thousands still reads
    // at a glance on a taskbar button.
    std::string strDigits = std::to_string(nBytes);
    std::string strGrouped;
    for (size_t i = 0; i < strDigits.size(); ++i) {
        if (i > 0 && (strDigits.size() - i) % 3 == 0)
            strGrouped += ' ';
        strGrouped += strDigits[i];
    }
    return std::string(szUnit) + ": " + strGrouped + (nBytes == 1 ? " byte" : " bytes");
}

std::vector<PortRef> SearchList(const std::vector<ListedPort>& listed)
{
    std::vector<PortRef> ports;
    for (int32_t nPort = 1; nPort <= LAST_FIXED_PORT; ++nPort)
        ports.push_back({nPort, SerialPort::DevicePath(nPort)});

    // (Bluetooth, number): plain ports first, each kind by number.
    std::vector<std::pair<bool, int32_t>> others;
    for (const ListedPort& port : listed) {
        const int32_t nPort = ComNumber(port.strName);
        if (nPort > LAST_FIXED_PORT)
            others.emplace_back(IsBluetoothPort(port), nPort);
    }
    std::sort(others.begin(), others.end());
    for (size_t i = 0; i < others.size(); ++i) {
        // A port listed twice (a driver's entry and a stale one) is tried once.
        bool bSeen = std::any_of(others.begin(), others.begin() + static_cast<std::ptrdiff_t>(i),
                                 [&](const auto& other) { return other.second == others[i].second; });
        if (!bSeen)
            ports.push_back({others[i].second, SerialPort::DevicePath(others[i].second)});
    }
    return ports;
}

std::vector<PortRef> ComPorts()
{
    return SearchList(SystemSerialPorts());
}

XKTCore::XKTCore()
    : m_strStatus(kStatusInitial), m_nPort(NO_PORT), m_outcome(Outcome::NotConnected),
      m_bPortOpened(false), m_bWaitOnUnopened(true), m_bExchanging(false), m_bOnLine(false),
      m_bAbandoned(false), m_bNotSent(false), m_bLineFailed(false), m_bCut(false), m_nLineErrors(0),
      m_nDownload(0), m_bulkLimit(kDefaultBulkLimit)
{
}

bool XKTCore::ExchangeCommand(int32_t nExpected)
{
    return CountedExchange(nExpected, Outcome::Found) == Outcome::Found;
}

bool XKTCore::OpenForExchange(SerialPort& port)
{
    m_strExchangeDevice = m_strDevice;
    m_bPortOpened = false;
    m_openError = PortError();
    // A stop that came before the first byte went out ends the exchange
    // here: after a Ctrl-C not even an erase letter may follow.
    if (Interrupted()) {
        m_bAbandoned = true;
        return false;
    }
    m_bPortOpened = port.Open(m_strDevice, BAUD_RATE);
    m_openError = port.OpenError();
    return m_bPortOpened;
}

bool XKTCore::SendLetter(SerialPort& port)
{
    // Opening a port can take seconds (a Bluetooth link looking for its
    // device): a stop that came meanwhile still keeps the letter in.
    if (Interrupted()) {
        m_bAbandoned = true;
        return false;
    }
    port.Send(g_strCommand.data(), static_cast<int32_t>(g_strCommand.size()));
    // A letter the line did not take never reached the instrument: there is
    // no reply to wait for, and silence would be taken for an empty set.
    m_bNotSent = port.WriteFailed();
    return !m_bNotSent;
}

Outcome XKTCore::CountedExchange(int32_t nExpected, Outcome replied)
{
    ExchangeScope scope(m_bExchanging);
    Outcome outcome = TalkCounted(nExpected, replied);

    m_strLastReply = m_strReply;
    MembersToControls();
    if (outcome != replied)
        m_strReply.clear();
    if (outcome == Outcome::TransferError)
        return Report(Outcome::TransferError, kMsgTransferError, kCaptionError, STYLE_ERROR);
    return outcome;
}

Outcome XKTCore::TalkCounted(int32_t nExpected, Outcome replied)
{
    m_bAbandoned = false;
    m_bNotSent = false;
    m_strReply.clear();
    SerialPort port;
    if (!OpenForExchange(port) && m_bAbandoned)
        return Outcome::Abandoned;
    ExchangeScope onLine(m_bOnLine);
    if (!SendLetter(port))
        return m_bAbandoned ? Outcome::Abandoned : Outcome::NotSent;

    // A port that did not open stays silent for the whole wait, as a port
    // without a device behind it does, unless the front end has no use for
    // the wait.
    std::vector<char> chunk(kCountedChunk);
    int32_t nTotal = 0;
    bool bTimedOut = true;
    const bool bWait = m_bPortOpened || (m_bWaitOnUnopened && m_nPort <= LAST_FIXED_PORT);
    const int nPolls = bWait ? kCountedPolls : 0;
    for (int poll = 0; poll < nPolls; ++poll) {
        int32_t nRead = port.Read(chunk.data(), kCountedChunk);
        if (nRead > 0) {
            m_strReply.append(chunk.data(), static_cast<size_t>(nRead));
            nTotal += nRead;
        }
        if (nTotal >= nExpected) {
            bTimedOut = false;
            break;
        }
        if (!WaitBetweenPolls(kPollPauseMs)) {
            m_bAbandoned = true;
            break;
        }
    }

    if (m_bAbandoned)
        return Outcome::Abandoned;
    if (!m_bPortOpened)
        return Outcome::PortUnavailable;
    if (bTimedOut)
        return Outcome::NoReply;
    if (static_cast<int32_t>(m_strReply.size()) == nExpected)
        return replied;
    return Outcome::TransferError;
}

void XKTCore::ReceiveBulk()
{
    ExchangeScope scope(m_bExchanging);
    m_bAbandoned = false;
    m_bNotSent = false;
    m_bLineFailed = false;
    m_bCut = false;
    m_nLineErrors = 0;
    m_strReply.clear();
    // A port that cannot be opened is not a quiet instrument: nothing is
    // sent and nothing waited for, and the caller says why.
    SerialPort port;
    if (!OpenForExchange(port))
        return;
    ExchangeScope onLine(m_bOnLine);
    ReceiveOnOpenPort(port);
}

void XKTCore::ReceiveOnOpenPort(SerialPort& port)
{
    if (!SendLetter(port))
        return;

    std::vector<char> chunk(kBulkChunk);
    const char* szUnit = BulkUnit();
    const auto start = std::chrono::steady_clock::now();
    auto lastByte = start;
    auto nextProgress = start + std::chrono::milliseconds(PROGRESS_PERIOD_MS);
    bool bPastLimit = false;
    for (;;) {
        int32_t nRead = port.Read(chunk.data(), kBulkChunk);
        const auto now = std::chrono::steady_clock::now();
        if (nRead > 0) {
            m_strReply.append(chunk.data(), static_cast<size_t>(nRead));
            lastByte = now;
            // Past the bound the instrument is still sending: what we hold
            // is the head of a data set, not the data set.
            if (bPastLimit) {
                m_bCut = true;
                break;
            }
        }
        if (now - lastByte >= kEndOfDataQuiet)
            break;
        // A device that went away sends nothing more.
        if (port.ReadFailed())
            break;
        // The bound keeps a line that never falls quiet (a wrong device,
        // noise) from holding the program for good. A data set that ends
        // right at it still gets its quiet time to show that it is whole.
        if (now - start >= m_bulkLimit)
            bPastLimit = true;
        if (now >= nextProgress) {
            ShowProgress(szUnit, m_strReply.size());
            nextProgress = now + std::chrono::milliseconds(PROGRESS_PERIOD_MS);
        }
        if (!WaitBetweenPolls(kPollPauseMs)) {
            m_bAbandoned = true;
            break;
        }
    }
    ShowProgress(szUnit, m_strReply.size());
    m_bLineFailed = port.ReadFailed();
    m_nLineErrors = port.LineErrors();
}

void XKTCore::UsePort(const PortRef& port)
{
    m_nPort = port.nNumber;
    m_strDevice = port.strDevice;
}

std::string XKTCore::DataSetFileName(const DataSet& set) const
{
    return this->*set.pstrFile + ".txt";
}

Outcome XKTCore::Report(Outcome outcome, const char* szText, const char* szCaption, unsigned nStyle)
{
    m_outcome = outcome;
    ShowMessage(szText, szCaption, nStyle);
    // Keep-alive ticks run while the box is open and end operations of
    // their own; the box was about this one.
    return Done(outcome);
}

Outcome XKTCore::Done(Outcome outcome)
{
    m_outcome = outcome;
    return outcome;
}

// One probe of the port in use: Found when the reply has the length of an
// identification.
Outcome XKTCore::Probe()
{
    g_strCommand = "y";
    return CountedExchange(PROBE_REPLY_LENGTH, Outcome::Found);
}

Outcome XKTCore::SearchInstrument(const std::vector<PortRef>& ports)
{
    // The window answers messages sent to it while an exchange polls, and
    // another program may send it a command; the port is taken until the
    // operation under way ends.
    if (m_bExchanging)
        return Outcome::Busy;
    StopTimer();
    SetStatusBackground(COLOR_SEARCHING);
    m_strStatus = kSearchTexts[0];
    MembersToControls();
    RepaintNow();

    // The port under test is the port in use, so the exchanges reach it and
    // a front end can tell which one a message is about.
    m_searched.clear();
    Outcome outcome = Outcome::NotFound;
    for (size_t i = 0; i < ports.size(); ++i) {
        UsePort(ports[i]);
        if (m_nPort > LAST_FIXED_PORT) {
            m_strStatus = NamedSearchText(m_nPort);
            MembersToControls();
            RepaintNow();
        }
        Outcome probed = Probe();
        m_searched.push_back({ports[i], m_bPortOpened, probed, m_openError});
        if (probed == Outcome::Found) {
            m_strReply.resize(STATUS_IDENT_LENGTH);
            m_strStatus = m_strReply;
            SetStatusBackground(COLOR_FOUND);
            outcome = Outcome::Found;
            break;
        }
        if (probed == Outcome::Abandoned) {
            outcome = Outcome::Abandoned;
            break;
        }
        // One more dot for each port that did not answer, from the second
        // on; past the eighth the text stays as it is.
        if (i >= 1 && i < std::size(kSearchTexts))
            m_strStatus = kSearchTexts[i];
        MembersToControls();
        RepaintNow();
    }

    if (outcome == Outcome::Found) {
        StartTimer();
    } else {
        UsePort({NO_PORT, std::string()});
        SetStatusBackground(COLOR_NO_CONNECTION);
        m_strStatus = kStatusNoConnection;
    }
    MembersToControls();
    return Done(outcome);
}

Outcome XKTCore::OnKeepAliveTimer(unsigned /*nTimerId*/)
{
    // A tick that arrives while an exchange holds the port (its error box is
    // open) would probe our own port, fail and drop a good connection.
    if (m_bExchanging)
        return Outcome::Busy;

    Outcome probed = Probe();
    if (probed == Outcome::Found || probed == Outcome::Abandoned)
        return Done(probed);
    // A port another program took, or a line that does not take the letter,
    // is as lost as a silent instrument; a front end can still tell them apart.
    LoseConnection();
    return Done(probed == Outcome::PortUnavailable || probed == Outcome::NotSent ? probed : Outcome::NotFound);
}

// The instrument is gone: the operator sees it at once, and Read and Erase
// refuse until Connect finds it again.
void XKTCore::LoseConnection()
{
    UsePort({NO_PORT, std::string()});
    StopTimer();
    SetStatusBackground(COLOR_NO_CONNECTION);
    m_strStatus = kStatusNoConnection;
    MembersToControls();
}

Outcome XKTCore::ReadDataSet(const DataSet& set)
{
    return ReadAndSave(set, 1);
}

Outcome XKTCore::ReadDataSetChecked(const DataSet& set)
{
    return ReadAndSave(set, MAX_CHECKED_DOWNLOADS);
}

Outcome XKTCore::ReadAndSave(const DataSet& set, int nMaxDownloads)
{
    if (m_bExchanging)
        return Outcome::Busy;   // a command sent from outside during an exchange, as above
    if (m_nPort == NO_PORT)
        return Report(Outcome::NotConnected, kMsgNoConnection, kCaptionError, STYLE_ERROR);
    ControlsToMembers();
    const std::string strName = DataSetFileName(set);

    // Refused before the question and before anything is sent: a device
    // "exists" too, and the checks below would open it (for COMn perhaps the
    // instrument's own port).
    if (!CanHoldDataSet(strName))
        return Report(Outcome::CreateError, kMsgCreateError, kCaptionError, STYLE_ERROR);
    if (FileExists(strName)) {
        m_outcome = Outcome::Declined;   // what the question is about
        if (ShowMessage(kMsgFileExists, kCaptionWarning, STYLE_YESNO) == ANSWER_NO)
            return Done(Outcome::Declined);
        // Keep-alive probes run while the question is open; one may have
        // found the instrument gone.
        if (m_nPort == NO_PORT)
            return Report(Outcome::NotConnected, kMsgNoConnection, kCaptionError, STYLE_ERROR);
    }

    DataSetFile file(strName);
    if (!file.Create())
        return Report(Outcome::CreateError, kMsgCreateError, kCaptionError, STYLE_ERROR);

    // The downloads are compared in memory; the file is written once, from
    // the copy they agreed on.
    StopTimer();
    const bool bChecked = nMaxDownloads > 1;
    bool bAgreed = !bChecked;
    std::string strPrevious;
    for (int nDownload = 1; nDownload <= nMaxDownloads; ++nDownload) {
        m_nDownload = bChecked ? nDownload : 0;
        g_strCommand = set.szLetter;
        ReceiveBulk();
        EndProgress();
        Outcome failed = FailedDownload(file);
        if (failed != Outcome::Received)
            return failed;
        if (nDownload > 1 && m_strReply == strPrevious) {
            bAgreed = true;
            break;
        }
        strPrevious = m_strReply;
    }

    if (m_strReply.empty()) {
        // The old file, if any, stays as it was; no empty file is left.
        file.Discard();
        if (bAgreed) {
            // The keep-alive stays off: an instrument that sent nothing may
            // be gone, and the next search, erase or good download starts it.
            return Report(Outcome::NoData, set.szNoData, kCaptionError, STYLE_ERROR);
        }
        StartTimer();
        return Report(Outcome::Differed, kMsgDiffered, kCaptionError, STYLE_ERROR);
    }
    // Downloads that never agreed: the operator keeps the last one, and no
    // erase may follow. A copy that could not be written is said as such,
    // agreed on or not: "last one saved" would tell of a file that is not there.
    CommitResult saved = file.Commit(m_strReply);
    StartTimer();
    if (saved == CommitResult::NotDurable)
        return Report(Outcome::NotDurable, kMsgNotDurable, kCaptionError, STYLE_ERROR);
    if (saved == CommitResult::NotSaved)
        return Report(Outcome::WriteError, kMsgWriteError, kCaptionError, STYLE_ERROR);
    if (!bAgreed)
        return Report(Outcome::Differed, kMsgDiffered, kCaptionError, STYLE_ERROR);
    return Report(Outcome::Received, kMsgReceived, kCaptionSuccess, STYLE_OK);
}

Outcome XKTCore::FailedDownload(DataSetFile& file)
{
    if (!m_bAbandoned && m_bPortOpened && !m_bNotSent && !m_bLineFailed && !m_bCut && m_nLineErrors == 0)
        return Outcome::Received;
    file.Discard();
    if (m_bAbandoned) {
        // Stopped by the front end: half a data set is no data set.
        return Done(Outcome::Abandoned);
    }
    if (!m_bPortOpened) {
        // Another program took the port, or the adapter is gone: that is
        // no empty data set, and an operator who took it for one might
        // erase what was never read. To the window it is a lost line.
        LoseConnection();
        return Report(Outcome::PortUnavailable, kMsgConnectionLost, kCaptionError, STYLE_ERROR);
    }
    if (m_bNotSent) {
        // The letter never reached the instrument (a stalled adapter, a line
        // held by flow control): its silence says nothing about the set, and
        // a line that takes nothing is no line to talk on.
        LoseConnection();
        return Report(Outcome::NotSent, kMsgConnectionLost, kCaptionError, STYLE_ERROR);
    }
    if (m_bLineFailed) {
        // The device went away under the download: what came before is
        // not the data set, and there is no instrument to talk to.
        LoseConnection();
        return Report(Outcome::ConnectionLost, kMsgConnectionLost, kCaptionError, STYLE_ERROR);
    }
    if (m_bCut) {
        // The instrument was still sending at the bound, and may go on: a
        // probe or the next download would read the rest of that stream as
        // its reply. Connect finds the instrument again once the line is
        // quiet.
        LoseConnection();
        return Report(Outcome::TooLong, kMsgTooLong, kCaptionError, STYLE_ERROR);
    }
    if (m_nLineErrors != 0) {
        // A byte was damaged or lost on the line: what arrived is not the
        // data set, whole as it may look. The instrument still holds it,
        // and the line has been quiet, so the keep-alive goes on.
        StartTimer();
        return Report(Outcome::LineError, kMsgLineError, kCaptionError, STYLE_ERROR);
    }
    return Outcome::Received;
}

Outcome XKTCore::EraseDataSet(const char* szLetter)
{
    if (m_bExchanging)
        return Outcome::Busy;   // a command sent from outside during an exchange, as above
    if (m_nPort == NO_PORT)
        return Report(Outcome::NotConnected, kMsgNoConnection, kCaptionError, STYLE_ERROR);
    StopTimer();
    g_strCommand = szLetter;
    Outcome outcome = CountedExchange(ERASE_REPLY_LENGTH, Outcome::Erased);
    if (outcome == Outcome::Erased)
        Report(outcome, kMsgErased, kCaptionSuccess, STYLE_OK);
    else if (outcome == Outcome::Abandoned)
        Done(outcome);   // stopped on purpose: no news
    else if (outcome == Outcome::PortUnavailable || outcome == Outcome::NotSent)
        Report(outcome, kMsgNoReply, kCaptionError, STYLE_ERROR);   // nothing was sent
    else
        outcome = Report(Outcome::NoReply, kMsgNoReply, kCaptionError, STYLE_ERROR);
    StartTimer();
    return outcome;
}
