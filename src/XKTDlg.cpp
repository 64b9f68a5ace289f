#include "XKTDlg.h"

#include <cstdio>
#include <memory>

namespace {

// The file whose absolute path tells the data path.
constexpr char kProbeFileName[] = "test.xkt";

struct FileCloser {
    void operator()(FILE* pFile) const { fclose(pFile); }
};
using File = std::unique_ptr<FILE, FileCloser>;

std::string FullPathName(const char* szName)
{
    DWORD nLength = GetFullPathNameA(szName, 0, nullptr, nullptr);
    if (nLength == 0)
        return std::string();
    std::string strPath(nLength, '\0');
    nLength = GetFullPathNameA(szName, nLength, strPath.data(), nullptr);
    strPath.resize(nLength);
    return strPath;
}

// Windows Vista and later show a program's reason for holding up a logoff;
// looked up at run time so that the program starts where they do not exist.
using ShutdownBlockReasonCreateFn = BOOL(WINAPI*)(HWND, LPCWSTR);
using ShutdownBlockReasonDestroyFn = BOOL(WINAPI*)(HWND);

template <typename Fn>
Fn User32Function(const char* szName)
{
    HMODULE hUser32 = GetModuleHandleA("user32.dll");
    FARPROC pfn = hUser32 ? GetProcAddress(hUser32, szName) : nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(pfn));
}

std::wstring Widen(const std::string& strText)
{
    int nLength = MultiByteToWideChar(CP_ACP, 0, strText.c_str(), -1, nullptr, 0);
    if (nLength <= 0)
        return std::wstring();
    std::wstring strWide(static_cast<size_t>(nLength), L'\0');
    MultiByteToWideChar(CP_ACP, 0, strText.c_str(), -1, strWide.data(), nLength);
    strWide.resize(static_cast<size_t>(nLength - 1));
    return strWide;
}

// The odd pixel goes right; an icon wider than the window overhangs on
// both sides, truncated toward zero.
static_assert(MinimisedIconOffset(36, 32) == 2);
static_assert(MinimisedIconOffset(33, 32) == 1);
static_assert(MinimisedIconOffset(20, 32) == -5);

} // namespace

using Entry = EventEntry<XKTDlg>;

const EventEntry<XKTDlg> XKTDlg::s_events[] = {
    Entry::Message(WM_SYSCOMMAND, &XKTDlg::OnSysCommand),
    Entry::Message(WM_PAINT, &XKTDlg::OnPaint),
    Entry::Message(WM_QUERYDRAGICON, &XKTDlg::OnQueryDragIcon),
    Entry::Command(IDC_CONNECT, BN_CLICKED, &XKTDlg::OnConnect),
    Entry::Message(WM_TIMER, &XKTDlg::OnTimer),
    Entry::Message(WM_QUERYENDSESSION, &XKTDlg::OnQueryEndSession),
    Entry::Command(IDC_INFO, BN_CLICKED, &XKTDlg::ShowAboutBox),
    Entry::Command(IDC_READ_KV, BN_CLICKED, &XKTDlg::OnReadButton),
    Entry::Command(IDC_FILE_KV, EN_CHANGE, &XKTDlg::OnFileNameChanged),
    Entry::Command(IDC_FILE_UA, EN_CHANGE, &XKTDlg::OnFileNameChanged),
    Entry::Command(IDC_FILE_KOHM, EN_CHANGE, &XKTDlg::OnFileNameChanged),
    Entry::Command(IDC_READ_UA, BN_CLICKED, &XKTDlg::OnReadButton),
    Entry::Command(IDC_READ_KOHM, BN_CLICKED, &XKTDlg::OnReadButton),
    Entry::Command(IDC_ERASE_KV, BN_CLICKED, &XKTDlg::OnEraseButton),
    Entry::Command(IDC_ERASE_UA, BN_CLICKED, &XKTDlg::OnEraseButton),
    Entry::Command(IDC_ERASE_KOHM, BN_CLICKED, &XKTDlg::OnEraseButton),
    Entry::Command(IDC_ERASE_ALL, BN_CLICKED, &XKTDlg::OnEraseButton),
};

// The core keeps its own copies of the message box styles and answers, since
// it builds without Windows; here they are held to Windows' values.
static_assert(STYLE_OK == MB_OK && STYLE_YESNO == MB_YESNO && STYLE_ERROR == MB_ICONERROR);
static_assert(ANSWER_YES == IDYES && ANSWER_NO == IDNO);

// The core has set the connection state and the file names; the data path
// comes with OnInitDialog.
XKTDlg::XKTDlg(HWND hParent)
    : Dialog(IDD_XKT_DIALOG, hParent), m_hIcon(GetApp()->LoadAppIcon(IDR_MAINFRAME))
{
}

XKTDlg::~XKTDlg() = default;

bool XKTDlg::OnEvent(Event& ev)
{
    return DispatchEvent(*this, s_events, ev) || Dialog::OnEvent(ev);
}

void XKTDlg::DoDataExchange(DataExchange& dx)
{
    Dialog::DoDataExchange(dx);
    dx.Text(IDC_STATUS, m_strStatus);
    dx.Attach(IDC_STATUS, m_statusEdit);
    dx.Text(IDC_LAST_REPLY, m_strLastReply);
    dx.Text(IDC_FILE_KV, m_strFileKV);
    dx.Text(IDC_FILE_UA, m_strFileUA);
    dx.Text(IDC_FILE_KOHM, m_strFileKOhm);
    dx.Text(IDC_DATA_PATH, m_strDataPath);
}

bool XKTDlg::OnInitDialog()
{
    Dialog::OnInitDialog();
    m_strTitle = WindowText(m_hWnd);
    AddAboutItemToSystemMenu();
    SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    LearnDataPath();
    return true;
}

void XKTDlg::AddAboutItemToSystemMenu()
{
    HMENU hSysMenu = GetSystemMenu(m_hWnd, FALSE);
    if (!hSysMenu)
        return;
    char szItem[256];
    if (LoadStringA(GetApp()->Instance(), IDS_ABOUTBOX, szItem, sizeof szItem) <= 0)
        return;
    AppendMenuA(hSysMenu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(hSysMenu, MF_STRING, IDM_ABOUTBOX, szItem);
}

void XKTDlg::LearnDataPath()
{
    // Data sets are written relative to the working directory; show the
    // operator where that is. The probe file stays behind, empty.
    File probe(fopen(kProbeFileName, "w"));
    m_strDataPath = FullPathName(kProbeFileName);
    if (m_strDataPath.size() >= sizeof kProbeFileName - 1)
        m_strDataPath.erase(m_strDataPath.size() - (sizeof kProbeFileName - 1));
    MembersToControls();
}

// ---------------------------------------------------------------------------
// Dialog services

void XKTDlg::MembersToControls()
{
    UpdateData(false);
}

void XKTDlg::ControlsToMembers()
{
    UpdateData(true);
}

int XKTDlg::ShowMessage(const std::string& strText, const std::string& strCaption,
                        unsigned nStyle)
{
    return MessageBoxA(m_hWnd, strText.c_str(), strCaption.c_str(), nStyle);
}

void XKTDlg::StartTimer()
{
    SetTimer(m_hWnd, KEEPALIVE_TIMER_ID, KEEPALIVE_PERIOD_MS, nullptr);
}

void XKTDlg::StopTimer()
{
    KillTimer(m_hWnd, KEEPALIVE_TIMER_ID);
}

void XKTDlg::RepaintNow()
{
    UpdateWindow(m_hWnd);
}

void XKTDlg::SetStatusBackground(uint32_t crColor)
{
    m_statusEdit.SetBackgroundColor(crColor);
}

bool XKTDlg::WaitBetweenPolls(unsigned nMilliseconds)
{
    // A download runs for minutes; a window that reads no messages for five
    // seconds is taken for hung, ghosted, and offered to the operator to be
    // ended. Commands sent to us meanwhile find the core busy and do nothing.
    PauseAnswering(nMilliseconds);
    return true;
}

void XKTDlg::ShowProgress(const char* szUnit, size_t nBytes)
{
    // The caption is also the taskbar button's text: an operator working in
    // another window sees the download go on.
    std::string strCaption = m_strTitle + " - " + ProgressText(szUnit, nBytes);
    SetWindowTextA(m_hWnd, strCaption.c_str());
}

void XKTDlg::EndProgress()
{
    SetWindowTextA(m_hWnd, m_strTitle.c_str());
    DropShutdownReason();   // the line is done with; what follows is the file
}

// ---------------------------------------------------------------------------
// Ending the session

XKTDlg::BusyScope::BusyScope(XKTDlg& dlg, std::string strWhat) : m_dlg(dlg), m_strOuter(dlg.m_strBusy)
{
    // A command sent to us inside an exchange finds the core busy; the
    // reason stays the one of the exchange under way.
    if (m_strOuter.empty())
        m_dlg.m_strBusy = std::move(strWhat);
}

XKTDlg::BusyScope::~BusyScope()
{
    m_dlg.m_strBusy = m_strOuter;
    if (m_strOuter.empty())
        m_dlg.DropShutdownReason();
}

// Asked before a logoff or shutdown. A data set half received is lost for
// good if the session ends now, and an erase or a search cut short leaves
// the operator not knowing what happened; at any other moment nothing is
// lost by ending.
bool XKTDlg::OnQueryEndSession()
{
    if (!Exchanging() || m_strBusy.empty())
        return true;
    static const auto pfnCreate = User32Function<ShutdownBlockReasonCreateFn>("ShutdownBlockReasonCreate");
    if (pfnCreate != nullptr && !m_bShutdownReason)
        m_bShutdownReason = pfnCreate(m_hWnd, Widen(m_strBusy).c_str()) != FALSE;
    return false;
}

void XKTDlg::DropShutdownReason()
{
    if (!m_bShutdownReason)
        return;
    static const auto pfnDestroy = User32Function<ShutdownBlockReasonDestroyFn>("ShutdownBlockReasonDestroy");
    if (pfnDestroy != nullptr)
        pfnDestroy(m_hWnd);
    m_bShutdownReason = false;
}

// ---------------------------------------------------------------------------
// Handlers

void XKTDlg::ShowAboutBox()
{
    // Sent from another program while an exchange polls, the box's own loop
    // would stop the polling for as long as it stays open.
    if (Exchanging())
        return;
    AboutDlg dlgAbout;
    dlgAbout.DoModal();
}

void XKTDlg::OnSysCommand(UINT nId, LPARAM /*lParam*/)
{
    if ((nId & 0xFFF0) == IDM_ABOUTBOX) {
        ShowAboutBox();
        return;
    }
    Default();
}

void XKTDlg::OnPaint()
{
    if (!IsIconic(m_hWnd)) {
        Default();
        return;
    }
    // Systems that leave minimised windows to the application to draw get
    // the icon centred in the client area.
    PAINTSTRUCT ps;
    HDC hdc = BeginPaint(m_hWnd, &ps);
    SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(hdc), 0);
    int cxIcon = GetSystemMetrics(SM_CXICON);
    int cyIcon = GetSystemMetrics(SM_CYICON);
    RECT rc;
    GetClientRect(m_hWnd, &rc);
    int x = MinimisedIconOffset(rc.right - rc.left, cxIcon);
    int y = MinimisedIconOffset(rc.bottom - rc.top, cyIcon);
    DrawIcon(hdc, x, y, m_hIcon);
    EndPaint(m_hWnd, &ps);
}

HICON XKTDlg::OnQueryDragIcon()
{
    return m_hIcon;
}

void XKTDlg::OnTimer(UINT_PTR nIdEvent)
{
    OnKeepAliveTimer(static_cast<unsigned>(nIdEvent));
    Default();
}

void XKTDlg::OnConnect()
{
    // The window shows what each operation did in its own message boxes;
    // the outcomes the operations return are for front ends without one.
    BusyScope busy(*this, "Searching for the instrument");
    SearchInstrument(ComPorts());
}

void XKTDlg::OnReadButton(int nId)
{
    for (const DataSet& set : g_dataSets) {
        if (set.nReadButton != nId)
            continue;
        BusyScope busy(*this, std::string("Downloading the ") + set.szUnit + " data set");
        ReadDataSet(set);
    }
}

void XKTDlg::OnEraseButton(int nId)
{
    for (const EraseCommand& command : g_eraseCommands) {
        if (command.nButton != nId)
            continue;
        BusyScope busy(*this, "Erasing data in the instrument");
        EraseDataSet(command.szLetter);
    }
}

void XKTDlg::OnFileNameChanged()
{
    ControlsToMembers();
}
