#include "XKTDlg.h"

#include <cstdio>
#include <memory>
#include <vector>

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
// these, and the newer calls of user32 the window uses, are looked up at run
// time so that the program starts where they do not exist.
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

// Plain RGB pixels, rows top down.
BITMAPINFO TopDownRgb(int nWidth, int nHeight, WORD nBitCount)
{
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
    bmi.bmiHeader.biWidth = nWidth;
    bmi.bmiHeader.biHeight = -nHeight;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = nBitCount;
    bmi.bmiHeader.biCompression = BI_RGB;
    return bmi;
}

// The picture's pixels, 32 bits each, rows top down.
Pixels ReadPixels(HBITMAP hBitmap)
{
    Pixels pixels;
    BITMAP bm = {};
    if (!GetObjectA(hBitmap, sizeof bm, &bm) || bm.bmWidth <= 0 || bm.bmHeight <= 0)
        return pixels;
    BITMAPINFO bmi = TopDownRgb(bm.bmWidth, bm.bmHeight, 32);
    std::vector<uint32_t> data(static_cast<size_t>(bm.bmWidth) * bm.bmHeight);
    HDC hdc = GetDC(nullptr);
    int nRows = GetDIBits(hdc, hBitmap, 0, bm.bmHeight, data.data(), &bmi, DIB_RGB_COLORS);
    ReleaseDC(nullptr, hdc);
    if (nRows != bm.bmHeight)
        return pixels;
    pixels.nWidth = bm.bmWidth;
    pixels.nHeight = bm.bmHeight;
    pixels.data = std::move(data);
    return pixels;
}

// A 24-bit bitmap of the pixels. Not 32 bits: the version 6 static control
// would take any byte in the fourth channel for transparency.
OwnedBitmap MakeBitmap(const Pixels& pixels)
{
    BITMAPINFO bmi = TopDownRgb(pixels.nWidth, pixels.nHeight, 24);
    void* pBits = nullptr;
    OwnedBitmap bitmap(CreateDIBSection(nullptr, &bmi, DIB_RGB_COLORS, &pBits, nullptr, 0));
    if (!bitmap || !pBits)
        return nullptr;
    const size_t nStride = (static_cast<size_t>(pixels.nWidth) * 3 + 3) & ~size_t(3);
    for (int y = 0; y < pixels.nHeight; ++y) {
        BYTE* pRow = static_cast<BYTE*>(pBits) + y * nStride;
        for (int x = 0; x < pixels.nWidth; ++x) {
            uint32_t pixel = pixels.data[static_cast<size_t>(y) * pixels.nWidth + x];
            pRow[3 * x] = static_cast<BYTE>(pixel);
            pRow[3 * x + 1] = static_cast<BYTE>(pixel >> 8);
            pRow[3 * x + 2] = static_cast<BYTE>(pixel >> 16);
        }
    }
    GdiFlush();
    return bitmap;
}

// The dialog manager's base units for a dialog in font lf at nHeight
// pixels: the average width of the alphabet's letters, rounded, and the
// character height.
SIZE DialogBaseUnits(LOGFONTA lf, int nHeight)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    lf.lfHeight = nHeight;
    lf.lfWidth = 0;
    SIZE units = {0, 0};
    HFONT hFont = CreateFontIndirectA(&lf);
    if (!hFont)
        return units;
    HDC hdc = GetDC(nullptr);
    HGDIOBJ hOld = SelectObject(hdc, hFont);
    TEXTMETRICA tm = {};
    SIZE extent = {0, 0};
    if (GetTextMetricsA(hdc, &tm)
        && GetTextExtentPoint32A(hdc, kAlphabet, sizeof kAlphabet - 1, &extent))
        units = {(extent.cx / 26 + 1) / 2, tm.tmHeight};
    SelectObject(hdc, hOld);
    ReleaseDC(nullptr, hdc);
    DeleteObject(hFont);
    return units;
}

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
    Entry::Message(WM_DPICHANGED, &XKTDlg::OnDpiChanged),
    Entry::Message(WM_SIZE_PICTURE, &XKTDlg::SizePictureForDpi),
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
    SizePictureForDpi(WindowDpi());
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
// The picture at the window's DPI

int XKTDlg::WindowDpi() const
{
    // GetDpiForWindow knows the monitor the window is on (Windows 10 1607
    // and later); older systems have one DPI for all monitors.
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto pGetDpiForWindow = User32Function<GetDpiForWindowFn>("GetDpiForWindow");
    if (pGetDpiForWindow) {
        if (UINT nDpi = pGetDpiForWindow(m_hWnd))
            return static_cast<int>(nDpi);
    }
    HDC hdc = GetDC(m_hWnd);
    int nDpi = GetDeviceCaps(hdc, LOGPIXELSX);
    ReleaseDC(m_hWnd, hdc);
    return nDpi > 0 ? nDpi : kPictureDpi;
}

HWND XKTDlg::PictureControl() const
{
    // The picture has no id of its own; it is the one bitmap static.
    HWND hChild = GetWindow(m_hWnd, GW_CHILD);
    for (; hChild; hChild = GetWindow(hChild, GW_HWNDNEXT)) {
        if ((GetWindowLongA(hChild, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP)
            return hChild;
    }
    return nullptr;
}

SIZE XKTDlg::PictureSizeForDpi(SIZE sizeAt96, int nDpi) const
{
    HFONT hFont = reinterpret_cast<HFONT>(SendMessageA(m_hWnd, WM_GETFONT, 0, 0));
    LOGFONTA lf = {};
    if (!hFont || !GetObjectA(hFont, sizeof lf, &lf) || lf.lfHeight >= 0)
        return {PictureLengthForDpi(sizeAt96.cx, nDpi), PictureLengthForDpi(sizeAt96.cy, nDpi)};
    // The dialog's font in points, as the template gave it, at the DPI the
    // dialog was laid out for.
    int nPoints = MulDiv(-lf.lfHeight, 72, WindowDpi());
    SIZE unitsNow = DialogBaseUnits(lf, -MulDiv(nPoints, nDpi, 72));
    SIZE unitsAt96 = DialogBaseUnits(lf, -MulDiv(nPoints, kPictureDpi, 72));
    return {ScaleLength(sizeAt96.cx, unitsNow.cx, unitsAt96.cx),
            ScaleLength(sizeAt96.cy, unitsNow.cy, unitsAt96.cy)};
}

void XKTDlg::SizePictureForDpi(int nDpi)
{
    HWND hPicture = PictureControl();
    if (!hPicture)
        return;
    if (!m_hTemplatePicture) {
        m_hTemplatePicture = reinterpret_cast<HBITMAP>(
            SendMessageA(hPicture, STM_GETIMAGE, IMAGE_BITMAP, 0));
    }
    // From the resource itself: the control's copy is already mapped to the
    // screen's colours.
    OwnedBitmap bmpResource(static_cast<HBITMAP>(LoadImageA(GetApp()->Instance(),
        MAKEINTRESOURCEA(IDB_TITLE), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
    Pixels original = bmpResource ? ReadPixels(bmpResource.get()) : Pixels();
    if (original.data.empty() || !m_hTemplatePicture)
        return;
    SIZE size = PictureSizeForDpi({original.nWidth, original.nHeight}, nDpi);
    // A replaced bitmap of ours goes only once the control shows another.
    OwnedBitmap bmpOld;
    if (size.cx == original.nWidth && size.cy == original.nHeight) {
        if (m_bmpScaledPicture) {
            SendMessageA(hPicture, STM_SETIMAGE, IMAGE_BITMAP,
                         reinterpret_cast<LPARAM>(m_hTemplatePicture));
            bmpOld = std::move(m_bmpScaledPicture);
        }
        return;
    }
    OwnedBitmap bmpScaled = MakeBitmap(ScalePixels(original, size.cx, size.cy));
    if (!bmpScaled)
        return;
    // The static control resizes itself to the new bitmap, its top left
    // corner staying where the dialog's layout put it for this DPI.
    SendMessageA(hPicture, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bmpScaled.get()));
    bmpOld = std::move(m_bmpScaledPicture);
    m_bmpScaledPicture = std::move(bmpScaled);
}

void XKTDlg::OnDpiChanged(int nDpi)
{
    // Moved to a monitor with another DPI. The dialog manager rescales the
    // fonts and the controls after this handler, the picture's control with
    // them; the picture follows once that is done.
    PostMessageA(m_hWnd, WM_SIZE_PICTURE, static_cast<WPARAM>(nDpi), 0);
    Default();
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
// the operator not knowing what happened; at any other moment, also while
// only a box an exchange showed is open, nothing is lost by ending.
bool XKTDlg::OnQueryEndSession()
{
    if (!OnLine() || m_strBusy.empty())
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
