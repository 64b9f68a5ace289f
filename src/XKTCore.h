// XKTCore: the portable half of the main dialog.
//
// It holds the connection state and carries out the operator's operations
// (search, keep-alive, download, erase) with the one-letter command protocol
// of the instrument. It reaches the window only through the dialog services
// declared here as pure virtual functions: XKTDlg implements them with Win32,
// the tests with a recording fake.
#pragma once

#include "PortAccess.h"
#include "SystemPorts.h"

class DataSetFile;
class SerialPort;

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// The command letter to send next; each handler assigns it right before
// an exchange.
extern std::string g_strCommand;

constexpr int32_t NO_PORT = -1;                // m_nPort when no instrument is connected: no port's number
constexpr int32_t NAMED_PORT = 0;              // m_nPort for a device a front end names by path
// COM1 to LAST_FIXED_PORT: the ports a search always tries first, whether
// the system lists them or not, each given its full second.
constexpr int32_t LAST_FIXED_PORT = 8;
constexpr unsigned KEEPALIVE_TIMER_ID = 1001;
constexpr unsigned KEEPALIVE_PERIOD_MS = 2000;
constexpr int32_t BAUD_RATE = 9600;

// Message box styles and answers, with Windows' values (the window side
// checks them at compile time).
constexpr unsigned STYLE_OK = 0;        // MB_OK
constexpr unsigned STYLE_YESNO = 4;     // MB_YESNO
constexpr unsigned STYLE_ERROR = 16;    // MB_ICONERROR
constexpr int ANSWER_YES = 6;           // IDYES
constexpr int ANSWER_NO = 7;            // IDNO

// Status field backgrounds, 0x00BBGGRR.
constexpr uint32_t COLOR_SEARCHING = 0x0096FFFF;
constexpr uint32_t COLOR_FOUND = 0x0096FF96;
constexpr uint32_t COLOR_NO_CONNECTION = 0x009696FF;

// The longest a download may take. An instrument still sending then is
// taken for one that never stops (a wrong device, noise), and nothing of
// what it sent is kept.
constexpr std::chrono::milliseconds kDefaultBulkLimit = std::chrono::minutes(5);

// How many downloads of one data set a checked read makes at most, looking
// for two in a row that agree: enough for a line that flips a bit now and
// then, and no endless reading of one that is still being filled.
constexpr int MAX_CHECKED_DOWNLOADS = 4;

// How often a download reports its progress.
constexpr unsigned PROGRESS_PERIOD_MS = 500;

// Reply lengths of the counted exchanges.
constexpr int32_t PROBE_REPLY_LENGTH = 19;
constexpr int32_t ERASE_REPLY_LENGTH = 9;
constexpr size_t STATUS_IDENT_LENGTH = 18;   // probe characters shown as status

class XKTCore;

// One row per data set: the controls, the member holding the file name,
// the command letter, the text shown when nothing arrived, and the unit as
// its button shows it (ANSI code page).
struct DataSet {
    int nReadButton;
    int nFileField;
    std::string XKTCore::*pstrFile;
    const char* szLetter;
    const char* szNoData;
    const char* szUnit;
};

// One row per erase button.
struct EraseCommand {
    int nButton;
    const char* szLetter;
};

// A port a search may try: the device SerialPort opens, and the number the
// window knows it by (COMn's n), or NAMED_PORT for a device a front end
// names by its path alone.
struct PortRef {
    int32_t nNumber;
    std::string strDevice;
};

// The ports the window's Connect searches: SearchList of the system's list
// as it stands now.
std::vector<PortRef> ComPorts();

// COM1 to LAST_FIXED_PORT, then the listed COM ports above them in number
// order, each once; Bluetooth links come last, since opening one can stall
// for seconds while Windows looks for the paired device. Names that are not
// COMn are left out.
std::vector<PortRef> SearchList(const std::vector<ListedPort>& listed);

// What an operation did, for a front end to put in its own words or an exit
// status. The window shows the core's message boxes and needs none of this.
enum class Outcome {
    Found,            // search: a port answered the probe; keep-alive: it still does
    NotFound,         // search: no port answered; keep-alive: the instrument is gone
    Received,         // download: the data set is saved
    NoData,           // download: nothing arrived; nothing saved, an old file kept
    Declined,         // download: the file exists and was not to be replaced
    CreateError,      // download: the file cannot be created (or the name is refused)
    WriteError,       // download: writing failed; an old file kept
    ConnectionLost,   // download: the line failed under it; nothing saved
    TooLong,          // download: still streaming at the bound; nothing saved
    LineError,        // download: the driver reported damaged or lost bytes; nothing saved
    Erased,           // erase: acknowledged with its nine bytes
    NoReply,          // erase, or one port of a search: no whole reply
    TransferError,    // a counted reply longer than asked for
    Abandoned,        // the front end stopped the operation; nothing saved
    NotConnected,     // read or erase without an instrument; nothing sent
    Busy,             // another exchange holds the port; nothing started
    PortUnavailable,  // the port could not be opened (OpenError says why); nothing sent
    NotSent,          // the line did not take the command letter (a stalled adapter, a held
                      // line); nothing read, saved or erased
    NotDurable,       // download: the file is in place, but its folder could not be synced
    Differed,         // checked download: no two downloads in a row agreed; the last one saved
};

// One port a search tried: whether it opened, and what its probe gave
// (Found, NoReply, TransferError, PortUnavailable or Abandoned).
struct PortResult {
    PortRef port;
    bool bOpened;
    Outcome outcome;
    PortError openError;   // why it did not open
};

extern const DataSet g_dataSets[3];
extern const EraseCommand g_eraseCommands[4];

// A download's progress as an operator reads it: "kV: 4 812 bytes".
std::string ProgressText(const char* szUnit, size_t nBytes);

class XKTCore {
public:
    XKTCore();
    virtual ~XKTCore() = default;
    XKTCore(const XKTCore&) = delete;
    XKTCore& operator=(const XKTCore&) = delete;

    // Command exchange. ExchangeCommand waits for a reply of exactly
    // nExpected bytes; ReceiveBulk collects what arrives during its window.
    bool ExchangeCommand(int32_t nExpected);
    void ReceiveBulk();

    // Operator operations. Each shows the window's messages as it goes and
    // tells what happened; the questions it asks stay inside it.
    //
    // The search tries the ports in the order given (the window gives
    // ComPorts()); the first that answers becomes the instrument's, and
    // Searched() tells what each port tried gave.
    Outcome SearchInstrument(const std::vector<PortRef>& ports);
    Outcome OnKeepAliveTimer(unsigned nTimerId);
    Outcome ReadDataSet(const DataSet& set);
    // A download that may be followed by an erase: the set is downloaded
    // until two downloads in a row are byte for byte the same (at most
    // MAX_CHECKED_DOWNLOADS), and the copy they agree on is saved. A line
    // without parity and a protocol without a checksum cannot show a flipped
    // bit, and an instrument still measuring changes the set between two
    // downloads: agreement is the only proof that the file is the set.
    Outcome ReadDataSetChecked(const DataSet& set);
    Outcome EraseDataSet(const char* szLetter);

    // A front end that was told which port the instrument is on takes it
    // without a probe, as the window takes the port its search left.
    void UsePort(const PortRef& port);
    // The device of the port in use (during a search, the one being tried).
    const std::string& Device() const { return m_strDevice; }
    // The ports the last search tried, in order.
    const std::vector<PortResult>& Searched() const { return m_searched; }
    // The file a download of the set writes: its file-name member and ".txt".
    std::string DataSetFileName(const DataSet& set) const;
    // Which download of the set a checked read is making (1, 2, ...), or
    // made last; 0 for a read that downloads once.
    int DownloadNumber() const { return m_nDownload; }
    // What the last operation did, or, while one runs, what its message box
    // on screen is about (a box is shown after its outcome is known).
    Outcome LastOutcome() const { return m_outcome; }
    // Why the port of the last exchange could not be opened (NONE when it
    // opened), and which device that was.
    const PortError& OpenError() const { return m_openError; }
    const std::string& ExchangeDevice() const { return m_strExchangeDevice; }

    // Dialog services.
    virtual void MembersToControls() = 0;
    virtual void ControlsToMembers() = 0;
    virtual int ShowMessage(const std::string& strText, const std::string& strCaption,
                            unsigned nStyle) = 0;
    virtual void StartTimer() = 0;
    virtual void StopTimer() = 0;
    virtual void RepaintNow() = 0;
    virtual void SetStatusBackground(uint32_t crColor) = 0;
    // The pause between two polls of an exchange: returns after about
    // nMilliseconds. A window keeps answering the system meanwhile. False
    // abandons the operation (a front end that was told to stop): the
    // exchange ends at once and reports failure, and nothing is saved.
    virtual bool WaitBetweenPolls(unsigned nMilliseconds) = 0;
    // A download under way: the bytes received so far, about twice a
    // second and once more with the total; szUnit is the data set's unit.
    virtual void ShowProgress(const char* szUnit, size_t nBytes) = 0;
    // The download has ended, whatever its outcome.
    virtual void EndProgress() = 0;
    // Whether the front end was told to stop (Ctrl-C, a hang-up): looked at
    // before an exchange sends anything, so that no letter, least of all an
    // erase, goes out after the stop. The window is never told.
    virtual bool Interrupted() = 0;

    std::string m_strStatus;
    std::string m_strReply;
    int32_t m_nPort;
    std::string m_strLastReply;
    std::string m_strFileKV;
    std::string m_strFileUA;
    std::string m_strFileKOhm;

    // Whether the last exchange was abandoned by WaitBetweenPolls.
    bool Abandoned() const { return m_bAbandoned; }
    // Whether an exchange holds the port: the caller runs inside one of its
    // pauses, where the window answers messages sent to it, or inside a box
    // the exchange shows.
    bool Exchanging() const { return m_bExchanging; }
    // Whether bytes are on the line right now: the port is open for an
    // exchange under way (not merely a box of one on screen).
    bool OnLine() const { return m_bOnLine; }
    // Whether a read failed on the open port during the last bulk exchange
    // (the device went away), so its reply cannot be trusted whole.
    bool LineFailed() const { return m_bLineFailed; }
    // Whether the line did not take the last exchange's letter.
    bool LetterNotTaken() const { return m_bNotSent; }
    // Whether the last bulk exchange reached its bound while bytes were
    // still arriving, so its reply is only the head of the data set.
    bool Cut() const { return m_bCut; }
    // The line errors the driver reported during the last bulk exchange
    // (SerialPort's LINE_ERROR_* bits).
    unsigned LineErrors() const { return m_nLineErrors; }
    // The bound on one bulk exchange (kDefaultBulkLimit unless set).
    void SetBulkLimit(std::chrono::milliseconds limit) { m_bulkLimit = limit; }
    // Whether a counted exchange on a port that did not open still waits
    // out its second, as the window's search always has on COM1 to
    // LAST_FIXED_PORT (its dots keep their pace). A port above those has no
    // such pace to keep and is never waited on; a front end with no such
    // habit sets it false: a port it could not open cannot answer.
    void SetWaitOnUnopenedPorts(bool bWait) { m_bWaitOnUnopened = bWait; }

private:
    // The counted exchange of ExchangeCommand: replied, NoReply,
    // TransferError (its box shown) or Abandoned.
    Outcome CountedExchange(int32_t nExpected, Outcome replied);
    // Its time on the line: open, send, poll, close.
    Outcome TalkCounted(int32_t nExpected, Outcome replied);
    // The bulk exchange's time on the line, with the port opened.
    void ReceiveOnOpenPort(SerialPort& port);
    // Sends the letter after a last look at an interrupt: false when it was
    // stopped or the line did not take it.
    bool SendLetter(SerialPort& port);
    // The read of ReadDataSet and ReadDataSetChecked.
    Outcome ReadAndSave(const DataSet& set, int nMaxDownloads);
    // What ended a download that did not give a whole reply, said, with the
    // file dropped and the connection state it leaves; Received when it did
    // give one.
    Outcome FailedDownload(DataSetFile& file);
    // Opens the port of the exchange, after a last look at an interrupt:
    // false when it did not open or must not be used.
    bool OpenForExchange(SerialPort& port);
    Outcome Report(Outcome outcome, const char* szText, const char* szCaption, unsigned nStyle);
    Outcome Done(Outcome outcome);
    Outcome Probe();
    void LoseConnection();

    std::string m_strDevice;   // the device m_nPort stands for
    std::vector<PortResult> m_searched;
    Outcome m_outcome;
    bool m_bPortOpened;   // whether the last exchange's port opened
    PortError m_openError;   // and if not, why
    bool m_bWaitOnUnopened;
    bool m_bExchanging;   // an exchange holds the port; keep-alive ticks wait
    bool m_bOnLine;       // and has it open
    bool m_bAbandoned;
    bool m_bNotSent;
    bool m_bLineFailed;
    bool m_bCut;
    unsigned m_nLineErrors;
    int m_nDownload;
    std::string m_strExchangeDevice;   // the device the last exchange opened or tried
    std::chrono::milliseconds m_bulkLimit;
};
