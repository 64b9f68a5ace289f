// XKTCore: the portable half of the main dialog.
//
// It holds the connection state and carries out the operator's operations
// (search, keep-alive, download, erase) with the one-letter command protocol
// of the instrument. It reaches the window only through the dialog services
// declared here as pure virtual functions: XKTDlg implements them with Win32,
// the tests with a recording fake.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// The command letter to send next; each handler assigns it right before
// an exchange.
extern std::string g_strCommand;

constexpr int32_t NO_PORT = 9;                 // m_nPort when no instrument is connected
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

    // Operator operations.
    void SearchInstrument();
    void OnKeepAliveTimer(unsigned nTimerId);
    void ReadDataSet(const DataSet& set);
    void EraseDataSet(const char* szLetter);

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
    // pauses, where the window answers messages sent to it.
    bool Exchanging() const { return m_bExchanging; }
    // Whether a read failed on the open port during the last bulk exchange
    // (the device went away), so its reply cannot be trusted whole.
    bool LineFailed() const { return m_bLineFailed; }
    // Whether the last bulk exchange reached its bound while bytes were
    // still arriving, so its reply is only the head of the data set.
    bool Cut() const { return m_bCut; }
    // The bound on one bulk exchange (kDefaultBulkLimit unless set).
    void SetBulkLimit(std::chrono::milliseconds limit) { m_bulkLimit = limit; }

private:
    void LoseConnection();

    bool m_bExchanging;   // an exchange holds the port; keep-alive ticks wait
    bool m_bAbandoned;
    bool m_bLineFailed;
    bool m_bCut;
    std::chrono::milliseconds m_bulkLimit;
};
