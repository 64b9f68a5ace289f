// orvel: the instrument from the command line.
//
// A thin front end on XKTCore: it parses the command, lets the core search,
// download and erase exactly as the dialog does, turns the core's messages
// into lines on stderr and its outcomes into exit statuses through one
// table. Results go to stdout.
#include "DataSetFile.h"
#include "PortList.h"
#include "PortName.h"
#include "PortNames.h"
#include "SerialPort.h"
#include "Trace.h"
#include "Usage.h"
#include "XKTCore.h"
#include "XKTVersion.h"
#include "orvelPlatform.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <vector>

std::atomic<bool> g_bInterrupted(false);
std::atomic<int> g_nSignal(0);
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "a signal handler may only touch lock-free atomics");

namespace {

constexpr int kAnswerOk = 1;   // IDOK
constexpr unsigned kPauseStepMs = 10;

// The units on the command line: the row of g_dataSets and g_eraseCommands.
struct Unit {
    const char* szName;
    size_t nRow;
};

const Unit kUnits[] = {{"kV", 0}, {"uA", 1}, {"kOhm", 2}, {"all", 3}};
constexpr size_t kAllRow = 3;   // read all, erase all

// A letter the line did not take, and what stalls a line that way.
std::string NotSentText()
{
    return "the line did not take the letter '" + g_strCommand +
           "' (a stalled adapter, or a line held by flow control: replug the adapter)";
}

long long FileSize(const std::string& strName)
{
    struct stat info;
    return stat(strName.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

std::string LocalTime()
{
    std::time_t now = std::time(nullptr);
    char szTime[32];
    std::strftime(szTime, sizeof(szTime), "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    return szTime;
}

// The dialog's texts are padded with spaces for the message box.
std::string Trim(const std::string& strText)
{
    size_t first = strText.find_first_not_of(' ');
    if (first == std::string::npos)
        return std::string();
    return strText.substr(first, strText.find_last_not_of(' ') - first + 1);
}

// The identification is the instrument's bytes; keep the line a line.
std::string Printable(std::string strText)
{
    for (char& c : strText) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    }
    return Trim(strText);
}

std::string VersionText()
{
    std::string strVersion;
    for (char c : std::string(XKT_VERSION_TEXT)) {
        if (c != ' ')
            strVersion += c == ',' ? '.' : c;
    }
    return strVersion;
}

// kV, KV, uA, µA (micro sign or Greek mu, UTF-8 or Windows-1252), kOhm, all.
const Unit* FindUnit(std::string strArg)
{
    for (const char* szMicro : {"\xC2\xB5", "\xCE\xBC", "\xB5"}) {
        std::string strMicro = szMicro;
        if (strArg.compare(0, strMicro.size(), strMicro) == 0) {
            strArg = "u" + strArg.substr(strMicro.size());
            break;
        }
    }
    for (const Unit& unit : kUnits) {
        std::string strName = unit.szName;
        bool bSame = strName.size() == strArg.size() &&
                     std::equal(strName.begin(), strName.end(), strArg.begin(), [](char a, char b) {
                         return std::tolower(static_cast<unsigned char>(a)) ==
                                std::tolower(static_cast<unsigned char>(b));
                     });
        if (bSame)
            return &unit;
    }
    return nullptr;
}

// ---- the command line ----

struct Options {
    std::string strCommand;
    const Unit* pUnit = nullptr;
    std::string strName;
    std::string strPortArg;
    bool bPortGiven = false;
    bool bOverwrite = false;
    bool bErase = false;   // read all --erase
    bool bHelp = false;
    bool bVersion = false;
    std::string strTrace;   // "" for none, "-" for stderr
};

// False with the reason in strError when the call makes no sense.
bool ParseArguments(int argc, char** argv, Options& options, std::string& strError)
{
    std::vector<std::string> words;
    bool bOptionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string strArg = argv[i];
        if (bOptionsEnded || strArg.size() < 2 || strArg[0] != '-') {
            words.push_back(strArg);
        } else if (strArg == "--") {
            bOptionsEnded = true;
        } else if (strArg == "--help" || strArg == "-h") {
            options.bHelp = true;
        } else if (strArg == "--version") {
            options.bVersion = true;
        } else if (strArg == "--overwrite") {
            options.bOverwrite = true;
        } else if (strArg == "--erase") {
            options.bErase = true;
        } else if (strArg == "--port") {
            if (++i >= argc) {
                strError = "--port needs a port";
                return false;
            }
            options.strPortArg = argv[i];
            options.bPortGiven = true;
        } else if (strArg.compare(0, 7, "--port=") == 0) {
            options.strPortArg = strArg.substr(7);
            options.bPortGiven = true;
        } else if (strArg == "--trace") {
            if (++i >= argc || argv[i][0] == '\0') {
                strError = "--trace needs a file";
                return false;
            }
            options.strTrace = argv[i];
        } else if (strArg.compare(0, 8, "--trace=") == 0 && strArg.size() > 8) {
            options.strTrace = strArg.substr(8);
        } else {
            strError = "unknown option '" + strArg + "'";
            return false;
        }
    }
    if (options.bHelp || options.bVersion)
        return true;
    if (words.empty()) {
        strError = "no command";
        return false;
    }

    options.strCommand = words[0];
    size_t nWanted = 1;
    if (options.strCommand == "read" || options.strCommand == "erase") {
        bool bErase = options.strCommand == "erase";
        nWanted = bErase ? 2 : 3;
        if (words.size() < 2) {
            strError = options.strCommand + " needs a unit";
            return false;
        }
        options.pUnit = FindUnit(words[1]);
        if (options.pUnit == nullptr) {
            strError = "unknown unit '" + words[1] + "'";
            return false;
        }
        if (!bErase && (words.size() < 3 || words[2].empty())) {
            strError = "read needs a file name";
            return false;
        }
        if (!bErase)
            options.strName = words[2];
    } else if (options.strCommand != "find" && options.strCommand != "watch" && options.strCommand != "ports") {
        strError = "unknown command '" + options.strCommand + "'";
        return false;
    }
    if (words.size() > nWanted) {
        strError = "too many arguments for " + options.strCommand;
        return false;
    }
    if (options.bErase && (options.strCommand != "read" || options.pUnit->nRow != kAllRow)) {
        strError = "--erase goes with read all";
        return false;
    }
    return true;
}

// ---- the front end ----

// What an outcome of the core means here: the exit status, and whether the
// core's message is about the data set's file (and then names it).
struct OutcomeRow {
    Outcome outcome;
    int nExit;
    bool bAboutFile;
};

const OutcomeRow kOutcomes[] = {
    {Outcome::Found, EXIT_DONE, false},
    {Outcome::NotFound, EXIT_INSTRUMENT, false},
    {Outcome::Received, EXIT_DONE, false},
    {Outcome::NoData, EXIT_INSTRUMENT, false},
    {Outcome::Declined, EXIT_FILE, true},
    {Outcome::CreateError, EXIT_FILE, true},
    {Outcome::WriteError, EXIT_FILE, true},
    {Outcome::ConnectionLost, EXIT_INSTRUMENT, false},
    {Outcome::TooLong, EXIT_INSTRUMENT, false},
    {Outcome::LineError, EXIT_INSTRUMENT, false},
    {Outcome::Erased, EXIT_DONE, false},
    {Outcome::NoReply, EXIT_INSTRUMENT, false},
    {Outcome::TransferError, EXIT_INSTRUMENT, false},
    {Outcome::Abandoned, EXIT_INTERRUPTED, false},
    {Outcome::NotConnected, EXIT_INSTRUMENT, false},
    {Outcome::Busy, EXIT_INSTRUMENT, false},
    {Outcome::PortUnavailable, EXIT_INSTRUMENT, false},
    {Outcome::NotSent, EXIT_INSTRUMENT, false},
    {Outcome::NotDurable, EXIT_FILE, true},
    {Outcome::Differed, EXIT_INSTRUMENT, false},
};

const OutcomeRow& RowOf(Outcome outcome)
{
    for (const OutcomeRow& row : kOutcomes) {
        if (row.outcome == outcome)
            return row;
    }
    static const OutcomeRow kUnlisted = {outcome, EXIT_INSTRUMENT, false};   // not reached: each has its row
    return kUnlisted;
}

std::vector<std::string> DefaultPorts();

class Orvel : public XKTCore {
public:
    // ports: the one named port, or none to search the machine's own.
    Orvel(std::string strContext, std::vector<std::string> ports, bool bOverwrite)
        : m_strContext(std::move(strContext)), m_ports(std::move(ports)), m_bNamedPort(!m_ports.empty()),
          m_bSearching(false), m_bOverwrite(bOverwrite), m_bKeepAlive(false),
          m_bProgress(StderrIsTerminal()), m_nProgressWidth(0)
    {
        // A port that cannot be opened is said at once, with its reason.
        SetWaitOnUnopenedPorts(false);
    }

    // Searches the named port or the machine's own: even a named port is
    // asked who it is before anything else is sent to it, since a wrong
    // adapter would take a read for a data set and an erase for an erase.
    // Found when there is an instrument to talk to; else the reason has been
    // said.
    Outcome Connect();

    int Find();
    int Read(size_t nRow, const std::string& strName);
    int ReadAll(const std::string& strName, bool bErase);
    int Erase(size_t nRow);
    int Watch();
    // The exit status of an outcome; an interruption is said here.
    int Finish(Outcome outcome) const;

    // Dialog services. There are no controls: the members hold what the
    // command line says, and the status shows only in what is printed.
    void MembersToControls() override {}
    void ControlsToMembers() override {}
    int ShowMessage(const std::string& strText, const std::string& strCaption, unsigned nStyle) override;
    void StartTimer() override { m_bKeepAlive = true; }
    void StopTimer() override { m_bKeepAlive = false; }
    void RepaintNow() override {}
    void SetStatusBackground(uint32_t) override {}
    bool WaitBetweenPolls(unsigned nMilliseconds) override;
    void ShowProgress(const char* szUnit, size_t nBytes) override;
    void EndProgress() override;
    bool Interrupted() override { return g_bInterrupted; }

private:
    Outcome Search();
    Outcome Download(size_t nRow, const std::string& strName, bool bChecked);
    bool Pause(unsigned nMilliseconds);
    void SayNotFound() const;
    void Say(const std::string& strText) const;
    void SayResult(const std::string& strText) const;

    std::string m_strContext;          // what the messages concern: "read kV"
    std::vector<std::string> m_ports;  // the devices of the last search, or the one named
    bool m_bNamedPort;
    bool m_bSearching;
    bool m_bOverwrite;
    bool m_bKeepAlive;
    std::string m_strFile;             // the file of the download under way
    bool m_bProgress;
    size_t m_nProgressWidth;
    std::chrono::steady_clock::time_point m_progressStart;
};

Outcome Orvel::Connect()
{
    Outcome outcome = Search();
    if (outcome == Outcome::NotFound)
        SayNotFound();
    return outcome;
}

Outcome Orvel::Search()
{
    // Adapters come and go, and a replugged one may come back under another
    // number: every search looks at what is there now.
    if (!m_bNamedPort)
        m_ports = DefaultPorts();
    std::vector<PortRef> ports;
    for (const std::string& strDevice : m_ports)
        ports.push_back({NAMED_PORT, strDevice});
    m_bSearching = true;
    Outcome outcome = SearchInstrument(ports);
    m_bSearching = false;
    return outcome;
}

int Orvel::Find()
{
    Outcome outcome = Connect();
    if (outcome == Outcome::Found)
        std::printf("%s %s\n", PortDisplayName(Device()).c_str(), Printable(m_strStatus).c_str());
    return Finish(outcome);
}

// The download of one data set into the file the core names, checked (until
// two downloads agree) when an erase may follow; a file saved and durable is
// one line on stdout, also the last of downloads that never agreed.
Outcome Orvel::Download(size_t nRow, const std::string& strName, bool bChecked)
{
    const DataSet& set = g_dataSets[nRow];
    this->*set.pstrFile = strName;
    m_strFile = DataSetFileName(set);
    m_progressStart = std::chrono::steady_clock::now();
    Outcome outcome = bChecked ? ReadDataSetChecked(set) : ReadDataSet(set);
    if (outcome == Outcome::Received || (outcome == Outcome::Differed && FileSize(m_strFile) >= 0))
        SayResult(m_strFile + " " + std::to_string(FileSize(m_strFile)) + " bytes");
    return outcome;
}

int Orvel::Read(size_t nRow, const std::string& strName)
{
    return Finish(Download(nRow, strName, false));
}

// Everything off the instrument, then, if asked, cleared from it: kV, uA and
// kOhm into NAME-kV.txt, NAME-uA.txt and NAME-kOhm.txt. An empty data set is
// said and passed over; any other failure ends the command. When an erase
// follows, each set is downloaded until two downloads agree, and a set whose
// downloads never did ends the command too. Only when all three have ended
// without a failure are the saved sets erased, each by its own letter: a set
// whose file is not on disk is never erased, and "all" would also take a set
// that filled up after its download.
int Orvel::ReadAll(const std::string& strName, bool bErase)
{
    std::vector<size_t> saved;
    for (size_t nRow = 0; nRow < std::size(g_dataSets); ++nRow) {
        if (g_bInterrupted)
            return Finish(Outcome::Abandoned);   // what was saved stays saved
        m_strContext = std::string("read ") + kUnits[nRow].szName;
        Outcome outcome = Download(nRow, strName + "-" + kUnits[nRow].szName, bErase);
        if (outcome == Outcome::Received)
            saved.push_back(nRow);
        else if (outcome != Outcome::NoData)
            return Finish(outcome);
    }
    if (saved.empty()) {
        m_strContext = "read all";
        Say("no data set held any data");
        return Finish(Outcome::NoData);
    }
    if (!bErase)
        return EXIT_DONE;
    for (size_t nRow : saved) {
        // A stop that came while a file was being saved ends the command
        // before the instrument is touched.
        if (g_bInterrupted)
            return Finish(Outcome::Abandoned);
        m_strContext = std::string("erase ") + kUnits[nRow].szName;
        int nExit = Erase(nRow);
        if (nExit != EXIT_DONE)
            return nExit;   // the files stay saved; what is left stays on the instrument
    }
    return EXIT_DONE;
}

int Orvel::Erase(size_t nRow)
{
    Outcome outcome = EraseDataSet(g_eraseCommands[nRow].szLetter);
    if (outcome == Outcome::Erased)
        SayResult(std::string("erased ") + kUnits[nRow].szName);
    return Finish(outcome);
}

// The keep-alive of the dialog while connected; while not, the search of
// its Connect button, pressed again every period.
int Orvel::Watch()
{
    bool bFirst = true;
    while (!g_bInterrupted) {
        if (m_bKeepAlive) {
            if (!Pause(KEEPALIVE_PERIOD_MS))
                break;
            std::string strDevice = PortDisplayName(Device());
            Outcome outcome = OnKeepAliveTimer(KEEPALIVE_TIMER_ID);
            if (outcome == Outcome::NotFound)
                std::printf("%s lost %s\n", LocalTime().c_str(), strDevice.c_str());
            else if (outcome == Outcome::PortUnavailable)
                std::printf("%s lost %s: %s\n", LocalTime().c_str(), strDevice.c_str(),
                            OpenError().strText.c_str());
            else if (outcome == Outcome::NotSent)
                std::printf("%s lost %s: %s\n", LocalTime().c_str(), strDevice.c_str(), NotSentText().c_str());
        } else {
            Outcome outcome = Search();
            if (outcome == Outcome::Abandoned)
                break;
            if (outcome == Outcome::Found)
                std::printf("%s found %s %s\n", LocalTime().c_str(), PortDisplayName(Device()).c_str(),
                            Printable(m_strStatus).c_str());
            else if (bFirst)
                std::printf("%s not found\n", LocalTime().c_str());
            bFirst = false;
            if (outcome != Outcome::Found)
                Pause(KEEPALIVE_PERIOD_MS);
        }
        if (std::fflush(stdout) != 0)
            return EXIT_INSTRUMENT;   // nobody can read what is watched: main says why
    }
    return EXIT_INTERRUPTED;
}

int Orvel::Finish(Outcome outcome) const
{
    if (outcome == Outcome::Abandoned)
        Say("interrupted");
    return RowOf(outcome).nExit;
}

// The core's message boxes become lines on stderr; what they mean for the
// exit status is the outcome's, never the words'.
int Orvel::ShowMessage(const std::string& strText, const std::string& /*strCaption*/, unsigned nStyle)
{
    std::string strMessage = Trim(strText);
    if (nStyle == STYLE_YESNO) {
        // The only question: may an existing data set file be replaced.
        if (m_bOverwrite)
            return ANSWER_YES;
        Say(m_strFile + ": " + strMessage + " No (--overwrite answers Yes)");
        return ANSWER_NO;
    }
    // A success shows on stdout; stopped on purpose, what failed because of
    // it is no news.
    const OutcomeRow& row = RowOf(LastOutcome());
    if (row.nExit == EXIT_DONE || g_bInterrupted)
        return kAnswerOk;
    if (m_bSearching)
        return kAnswerOk;   // the search goes on; what each port gave is said at its end
    if (LastOutcome() == Outcome::PortUnavailable) {
        // The window's words ("Connection Lost!", "No Reply!") say what it
        // meant there; here the reason says what to do about it.
        Say(PortDisplayName(ExchangeDevice()) + ": " + OpenError().strText);
        return kAnswerOk;
    }
    if (LastOutcome() == Outcome::NotSent) {
        Say(PortDisplayName(ExchangeDevice()) + ": " + NotSentText() + "; nothing was read or erased");
        return kAnswerOk;
    }
    if (LastOutcome() == Outcome::NotDurable) {
        Say(m_strFile + ": saved, but its folder could not be synced, so a power cut may still lose it;"
                        " nothing was erased");
        return kAnswerOk;
    }
    if (LastOutcome() == Outcome::Differed) {
        std::string strKept = FileSize(m_strFile) >= 0 ? "the last is saved in " + m_strFile : "the last was empty";
        Say("its " + std::to_string(DownloadNumber()) + " downloads differed, no two in a row alike; " + strKept +
            " and nothing was erased. A noisy line (use a shorter cable or another adapter) or an instrument"
            " still measuring (stop it first) changes a data set between downloads");
        return kAnswerOk;
    }
    Say(row.bAboutFile ? m_strFile + ": " + strMessage : strMessage);
    return kAnswerOk;
}

bool Orvel::WaitBetweenPolls(unsigned nMilliseconds)
{
    return Pause(nMilliseconds);
}

void Orvel::ShowProgress(const char* /*szUnit*/, size_t nBytes)
{
    if (!m_bProgress)
        return;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_progressStart).count();
    // A second download of the same set must not look like a stall.
    std::string strWhat = m_strContext;
    if (DownloadNumber() > 0)
        strWhat += ", download " + std::to_string(DownloadNumber());
    char szLine[160];
    int nWidth = std::snprintf(szLine, sizeof(szLine), "%s: %llu bytes  %.1f s  %.0f bytes/s",
                               strWhat.c_str(), static_cast<unsigned long long>(nBytes), seconds,
                               seconds > 0 ? static_cast<double>(nBytes) / seconds : 0.0);
    if (nWidth < 0)
        return;
    size_t nPad = m_nProgressWidth > static_cast<size_t>(nWidth) ? m_nProgressWidth - static_cast<size_t>(nWidth) : 0;
    std::fprintf(stderr, "\r%s%*s", szLine, static_cast<int>(nPad), "");
    std::fflush(stderr);
    m_nProgressWidth = std::max(m_nProgressWidth, static_cast<size_t>(nWidth));
}

void Orvel::EndProgress()
{
    if (m_nProgressWidth == 0)
        return;
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(m_nProgressWidth), "");
    std::fflush(stderr);
    m_nProgressWidth = 0;
    m_progressStart = std::chrono::steady_clock::now();   // a checked read's next download
}

// Short steps, so that Ctrl-C ends a long pause within one of them.
bool Orvel::Pause(unsigned nMilliseconds)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMilliseconds);
    while (!g_bInterrupted) {
        auto rest = std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (rest <= 0)
            return true;
        PollPause(std::min(static_cast<unsigned>(rest), kPauseStepMs));
    }
    return false;
}

// What a port gave in a search that found nothing.
std::string PortVerdict(const PortResult& result)
{
    if (!result.bOpened)
        return result.openError.strText.empty() ? "cannot be opened" : result.openError.strText;
    if (result.outcome == Outcome::TransferError)
        return "a reply of the wrong length";
    if (result.outcome == Outcome::NotSent)
        return NotSentText();
    return "no answer";
}

// Each port tried, with what it gave: a port that could not be opened says
// why, which is most often the whole story.
void Orvel::SayNotFound() const
{
    const std::vector<PortResult>& tried = Searched();
    if (tried.empty()) {
        Say("No Connection! (no serial port to search)");
        return;
    }
    Say("No Connection! (searched " + std::to_string(tried.size()) + (tried.size() == 1 ? " port)" : " ports)"));
    for (const PortResult& result : tried)
        Say(PortDisplayName(result.port.strDevice) + ": " + PortVerdict(result));
}

// A result goes out as soon as it is true, also into a pipe: a script that
// reads along, or a command cut short later, still has every file that was
// saved before.
void Orvel::SayResult(const std::string& strText) const
{
    std::printf("%s\n", strText.c_str());
    std::fflush(stdout);
}

void Orvel::Say(const std::string& strText) const
{
    std::fprintf(stderr, "orvel: %s: %s\n", m_strContext.c_str(), strText.c_str());
    std::fflush(stderr);
}

// ---- main ----

int UsageError(const std::string& strError)
{
    std::fprintf(stderr, "orvel: %s\n%s", strError.c_str(), UsageLine().c_str());
    return EXIT_USAGE;
}

// The devices a search tries, as they are now.
std::vector<std::string> DefaultPorts()
{
    DeviceDirs dirs = TheDeviceDirs();
    return SearchPorts(dirs.strDev, dirs.strSysTty);
}

// The serial ports of this machine, or of ORVEL_DEVICE_DIR as the search
// sees them there, one line each.
int ListPortsCommand()
{
    DeviceDirs dirs = TheDeviceDirs();
    std::vector<PortInfo> ports = ListPorts(dirs.strDev, dirs.strSysTty);
    for (const PortInfo& info : ports)
        std::printf("%s\n", PortLine(info).c_str());
    if (ports.empty())
        std::fprintf(stderr, "orvel: ports: no serial port found\n");
    return EXIT_DONE;
}

// ORVEL_BULK_LIMIT, in seconds, bounds a download in place of the five
// minutes: tests use a short one, and an instrument with more data than
// five minutes carry at 9600 baud can be given a longer one.
bool SetBulkLimitFromEnvironment(XKTCore& core)
{
    const char* szLimit = std::getenv("ORVEL_BULK_LIMIT");
    if (szLimit == nullptr || *szLimit == '\0')
        return true;
    char* pEnd = nullptr;
    double dSeconds = std::strtod(szLimit, &pEnd);
    if (*pEnd != '\0' || !(dSeconds > 0) || dSeconds > 86400)
        return false;
    core.SetBulkLimit(std::chrono::milliseconds(static_cast<long long>(dSeconds * 1000)));
    return true;
}

int Run(const Options& options)
{
    if (options.strCommand == "ports")
        return ListPortsCommand();

    std::string strContext = options.strCommand;
    if (options.pUnit != nullptr)
        strContext += std::string(" ") + options.pUnit->szName;

    UseDeviceDirectory();
    std::vector<std::string> ports;   // none: the command searches
    if (options.bPortGiven) {
        std::string strDevice = PortDevice(options.strPortArg);
        if (strDevice.empty())
            return UsageError("not a port: '" + options.strPortArg + "'");
        // watch waits for an adapter that is not plugged in yet, or is
        // held by another program for now: its search says so and goes on.
        bool bWatch = options.strCommand == "watch";
        if (!bWatch && !PortExists(strDevice)) {
            // The call was right; the port is not there. The usage line
            // would send the reader to the wrong place.
            std::fprintf(stderr, "orvel: no such port: %s\norvel: 'orvel ports' lists this machine's serial ports\n",
                         PortDisplayName(strDevice).c_str());
            return EXIT_USAGE;
        }
        // A port that cannot be opened says why now, not as a missing reply.
        PortError access = bWatch ? PortError() : CheckPortAccess(strDevice);
        if (access.Failed()) {
            std::fprintf(stderr, "orvel: %s: %s: %s\n", strContext.c_str(), PortDisplayName(strDevice).c_str(),
                         access.strText.c_str());
            return EXIT_INSTRUMENT;
        }
        ports.assign(1, strDevice);
    }

    Orvel orvel(strContext, ports, options.bOverwrite);
    if (!SetBulkLimitFromEnvironment(orvel))
        return UsageError("ORVEL_BULK_LIMIT is not a number of seconds");

    if (options.strCommand == "find")
        return orvel.Find();
    if (options.strCommand == "watch")
        return orvel.Watch();
    Outcome connected = orvel.Connect();
    if (connected != Outcome::Found)
        return orvel.Finish(connected);
    if (options.strCommand == "erase")
        return orvel.Erase(options.pUnit->nRow);
    if (options.pUnit->nRow == kAllRow)
        return orvel.ReadAll(options.strName, options.bErase);
    return orvel.Read(options.pUnit->nRow, options.strName);
}

// What a command printed is its result: output that did not reach stdout
// (a full disk, a closed pipe) fails the command.
int CheckOutput(int nExit)
{
    errno = 0;
    bool bFailed = std::fflush(stdout) != 0;
    int nErrno = errno;
    if (!bFailed && !std::ferror(stdout))
        return nExit;
    if (nErrno != 0)
        std::fprintf(stderr, "orvel: cannot write to stdout: %s\n", std::strerror(nErrno));
    else
        std::fprintf(stderr, "orvel: cannot write to stdout\n");
    return nExit == EXIT_DONE ? EXIT_INSTRUMENT : nExit;
}

int RunTraced(const Options& options)
{
    SetFileNotes([](const std::string& strText) { SerialPort::TraceNote(strText); });
    std::string strError;
    if (!options.strTrace.empty() && !StartTrace(options.strTrace, strError)) {
        std::fprintf(stderr, "orvel: cannot write the trace %s: %s\n", options.strTrace.c_str(), strError.c_str());
        return EXIT_FILE;
    }
    int nExit = Run(options);
    if (!options.strTrace.empty() && !StopTrace(strError)) {
        std::fprintf(stderr, "orvel: cannot write the trace %s: %s\n", options.strTrace.c_str(), strError.c_str());
        if (nExit == EXIT_DONE)
            nExit = EXIT_FILE;   // as a trace that cannot be started; a failed command keeps its own
    }
    if (nExit == EXIT_INTERRUPTED && HungUp())
        nExit = EXIT_HANGUP;
    return nExit;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    std::string strError;
    if (!ParseArguments(argc, argv, options, strError))
        return UsageError(strError);
    if (options.bHelp) {
        PutText(HelpText(kReference).c_str(), stdout);
        return CheckOutput(EXIT_DONE);
    }
    if (options.bVersion) {
        std::printf("orvel %s\n", VersionText().c_str());
        return CheckOutput(EXIT_DONE);
    }
    CatchInterrupts();
    int nExit = CheckOutput(RunTraced(options));
    SayCleanedUp();
    return nExit;
}
