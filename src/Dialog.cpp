#include "Dialog.h"

#include <chrono>

namespace {

App* s_pTheApp = nullptr;

bool IsColourRequest(UINT nMessage)
{
    return nMessage >= WM_CTLCOLORMSGBOX && nMessage <= WM_CTLCOLORSTATIC;
}

// A dialog procedure returns the answer to these itself; every other answer
// goes through DWLP_MSGRESULT. (The platform's list is a little longer, but
// the rest are messages no dialog of ours answers.)
bool ReturnsValueDirectly(UINT nMessage)
{
    return IsColourRequest(nMessage) || nMessage == WM_QUERYDRAGICON;
}

// The program's own path with the extension .HLP.
std::string HelpFilePath(HINSTANCE hInstance)
{
    char szPath[MAX_PATH];
    DWORD nLength = GetModuleFileNameA(hInstance, szPath, MAX_PATH);
    if (nLength == 0 || nLength >= MAX_PATH)
        return std::string();
    std::string strPath(szPath, nLength);
    std::string::size_type nDot = strPath.find_last_of(".\\");
    if (nDot != std::string::npos && strPath[nDot] == '.')
        strPath.erase(nDot);
    return strPath + ".HLP";
}

} // namespace

// ---------------------------------------------------------------------------

bool EventTarget::OnEvent(Event& /*ev*/)
{
    return false;
}

// ---------------------------------------------------------------------------

const EventEntry<App> App::s_events[] = {
    EventEntry<App>::Command(ID_HELP, 0, &App::OnHelp),
};

App::App()
{
    s_pTheApp = this;
}

App::~App()
{
    s_pTheApp = nullptr;
}

App* GetApp()
{
    return s_pTheApp;
}

int App::Run(HINSTANCE hInstance)
{
    m_hInstance = hInstance;
    // The program lives in the dialog that InitInstance runs; when that
    // returns there is nothing left to do, so there is no message loop here.
    InitInstance();
    return 0;
}

HICON App::LoadAppIcon(int nId) const
{
    return LoadIconA(m_hInstance, MAKEINTRESOURCEA(nId));
}

HWND App::MainWindow() const
{
    return m_pMainWnd ? m_pMainWnd->GetSafeHwnd() : nullptr;
}

bool App::OnEvent(Event& ev)
{
    return DispatchEvent(*this, s_events, ev) || EventTarget::OnEvent(ev);
}

void App::OnHelp()
{
    // The platform's help for an application is the help file beside the
    // program, shown by the help viewer. Orvel ships none. The viewer, asked
    // for a missing file, asks back from another process while WinHelpA
    // waits for it, and the program freezes behind that question. So the
    // viewer is asked only when a help file is there; otherwise we say so.
    std::string strHelpFile = HelpFilePath(m_hInstance);
    if (!strHelpFile.empty() && GetFileAttributesA(strHelpFile.c_str()) != INVALID_FILE_ATTRIBUTES) {
        WinHelpA(MainWindow(), strHelpFile.c_str(), HELP_FINDER, 0);
        return;
    }
    // Owned by the window in front (the about box, say): a box owned by a
    // disabled main window would enable it again when it closes.
    HWND hOwner = MainWindow();
    if (hOwner)
        hOwner = GetLastActivePopup(hOwner);
    MessageBoxA(hOwner, "No help is available for Orvel.", "Help:", MB_OK | MB_ICONINFORMATION);
}

// ---------------------------------------------------------------------------

std::string WindowText(HWND hWnd)
{
    std::string strText(GetWindowTextLengthA(hWnd) + 1, '\0');
    strText.resize(GetWindowTextA(hWnd, strText.data(), static_cast<int>(strText.size())));
    return strText;
}

void PauseAnswering(unsigned nMilliseconds)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(nMilliseconds);
    for (;;) {
        // PeekMessage delivers the sent messages on its own; of the queue it
        // takes paint requests only, so no click or key starts anything here.
        MSG msg;
        while (PeekMessageA(&msg, nullptr, WM_PAINT, WM_PAINT,
                            PM_REMOVE | PM_QS_SENDMESSAGE | PM_QS_PAINT))
            DispatchMessageA(&msg);
        const auto rest = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
        if (rest <= 0)
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(rest),
                                  QS_SENDMESSAGE | QS_PAINT);
    }
}

// ---------------------------------------------------------------------------

DataExchange::DataExchange(Dialog& dialog, bool bSaveAndValidate)
    : m_bSaveAndValidate(bSaveAndValidate), m_dialog(dialog)
{
}

void DataExchange::Text(int nId, std::string& strValue)
{
    HWND hControl = GetDlgItem(m_dialog.GetSafeHwnd(), nId);
    std::string strShown = WindowText(hControl);
    if (m_bSaveAndValidate)
        strValue = strShown;
    else if (strShown != strValue)
        SetWindowTextA(hControl, strValue.c_str());
}

void DataExchange::Attach(int nId, Control& control)
{
    if (!control.GetSafeHwnd())
        m_dialog.AttachControl(nId, control);
}

// ---------------------------------------------------------------------------

const EventEntry<Dialog> Dialog::s_events[] = {
    EventEntry<Dialog>::Command(IDOK, BN_CLICKED, &Dialog::OnOK),
    EventEntry<Dialog>::Command(IDCANCEL, BN_CLICKED, &Dialog::OnCancel),
    EventEntry<Dialog>::Message(WM_HELP, &Dialog::OnHelpRequest),
};

Dialog::Dialog(int nTemplateId, HWND hParent) : m_nTemplateId(nTemplateId), m_hParent(hParent)
{
}

Dialog::~Dialog() = default;

INT_PTR Dialog::DoModal()
{
    // A dialog without parent belongs to the main window, which is disabled
    // while it runs; the main window itself has no owner.
    HWND hOwner = m_hParent;
    if (!hOwner && GetApp()->m_pMainWnd != this)
        hOwner = GetApp()->MainWindow();
    return DialogBoxParamA(GetApp()->Instance(), MAKEINTRESOURCEA(m_nTemplateId), hOwner,
                           DialogProc, reinterpret_cast<LPARAM>(this));
}

void Dialog::EndDialog(int nResult)
{
    ::EndDialog(m_hWnd, nResult);
}

void Dialog::UpdateData(bool bSaveAndValidate)
{
    // Writing a field makes it notify its parent; those notifications
    // come from us, not from the operator, and must not reach a handler.
    bool bWasLocked = m_bNotificationsLocked;
    m_bNotificationsLocked = true;
    DataExchange dx(*this, bSaveAndValidate);
    DoDataExchange(dx);
    m_bNotificationsLocked = bWasLocked;
}

void Dialog::DoDataExchange(DataExchange& /*dx*/)
{
}

bool Dialog::OnInitDialog()
{
    UpdateData(false);
    return true;
}

bool Dialog::OnEvent(Event& ev)
{
    return DispatchEvent(*this, s_events, ev) || EventTarget::OnEvent(ev);
}

void Dialog::OnOK()
{
    UpdateData(true);
    EndDialog(IDOK);
}

void Dialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

void Dialog::Default()
{
    if (m_pCurrentEvent)
        m_pCurrentEvent->bHandled = false;
}

void Dialog::OnHelpRequest()
{
    if (HWND hMain = GetApp()->MainWindow())
        SendMessageA(hMain, WM_COMMAND, ID_HELP, 0);
}

void Dialog::AttachControl(int nId, Control& control)
{
    control.Attach(GetDlgItem(m_hWnd, nId));
    m_attachedControls.push_back(&control);
}

INT_PTR CALLBACK Dialog::DialogProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    if (nMessage == WM_INITDIALOG) {
        auto* pDialog = reinterpret_cast<Dialog*>(lParam);
        SetWindowLongPtrA(hWnd, DWLP_USER, lParam);
        pDialog->m_hWnd = hWnd;
        pDialog->CenterWindow();
        return pDialog->OnInitDialog();
    }

    // WM_SETFONT and a few others arrive before WM_INITDIALOG.
    auto* pDialog = reinterpret_cast<Dialog*>(GetWindowLongPtrA(hWnd, DWLP_USER));
    if (!pDialog)
        return FALSE;

    INT_PTR nResult = pDialog->HandleMessage(nMessage, wParam, lParam);
    if (nMessage == WM_NCDESTROY) {
        for (Control* pControl : pDialog->m_attachedControls)
            pControl->Detach();
        pDialog->m_attachedControls.clear();
        pDialog->m_hWnd = nullptr;
        SetWindowLongPtrA(hWnd, DWLP_USER, 0);
    }
    return nResult;
}

INT_PTR Dialog::HandleMessage(UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    if (nMessage == WM_COMMAND && lParam != 0 && m_bNotificationsLocked)
        return TRUE;

    Event ev{nMessage, wParam, lParam, 0, true};
    bool bFound = IsColourRequest(nMessage) ? ReflectCtlColor(ev) : RouteEvent(ev);
    if (!bFound || !ev.bHandled)
        return FALSE;
    if (ReturnsValueDirectly(nMessage))
        return ev.lResult;
    SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, ev.lResult);
    return TRUE;
}

bool Dialog::RouteEvent(Event& ev)
{
    // Handlers open message boxes and dialogs whose loops dispatch more
    // events to us; Default() must mark the event of its own handler.
    Event* pOuterEvent = m_pCurrentEvent;
    m_pCurrentEvent = &ev;
    bool bFound = OnEvent(ev);
    // Commands that no dialog table takes go on to the application object.
    if (!bFound && ev.nMessage == WM_COMMAND)
        bFound = GetApp()->OnEvent(ev);
    m_pCurrentEvent = pOuterEvent;
    return bFound;
}

bool Dialog::ReflectCtlColor(Event& ev)
{
    HWND hControl = reinterpret_cast<HWND>(ev.lParam);
    for (Control* pControl : m_attachedControls) {
        if (pControl->GetSafeHwnd() != hControl)
            continue;
        Event reflected{WM_REFLECTED_CTLCOLOR, ev.wParam,
                        static_cast<LPARAM>(ev.nMessage - WM_CTLCOLORMSGBOX), 0, true};
        if (!pControl->OnEvent(reflected) || !reflected.bHandled)
            return false;
        ev.lResult = reflected.lResult;
        return true;
    }
    return false;
}

void Dialog::CenterWindow()
{
    RECT rcArea;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &rcArea, 0);
    RECT rcCentre = rcArea;
    HWND hOwner = GetWindow(m_hWnd, GW_OWNER);
    if (hOwner && IsWindowVisible(hOwner) && !IsIconic(hOwner))
        GetWindowRect(hOwner, &rcCentre);

    RECT rcWindow;
    GetWindowRect(m_hWnd, &rcWindow);
    int nWidth = rcWindow.right - rcWindow.left;
    int nHeight = rcWindow.bottom - rcWindow.top;
    int x = (rcCentre.left + rcCentre.right - nWidth) / 2;
    int y = (rcCentre.top + rcCentre.bottom - nHeight) / 2;

    // Over an owner near the screen's edge, stay on the screen.
    if (x + nWidth > rcArea.right)
        x = rcArea.right - nWidth;
    if (x < rcArea.left)
        x = rcArea.left;
    if (y + nHeight > rcArea.bottom)
        y = rcArea.bottom - nHeight;
    if (y < rcArea.top)
        y = rcArea.top;
    SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}
