// XKTDlg: Orvel's main dialog, and AboutDlg, the about box.
//
// The dialog is the window half of XKTCore: it binds the connection state
// and the file names to its controls, routes the buttons and the keep-alive
// timer to the core's operations and provides the core's dialog services.
#pragma once

#include "Dialog.h"
#include "ReadOnlyEdit.h"
#include "XKTCore.h"

// Resources.
constexpr int IDD_ABOUTBOX = 100;
constexpr int IDS_ABOUTBOX = 101;
constexpr int IDD_XKT_DIALOG = 102;
constexpr int IDR_MAINFRAME = 128;

// The system-menu command that opens the about box. System commands must
// keep their low four bits clear.
constexpr UINT IDM_ABOUTBOX = 0x0010;

// Controls of the main dialog.
enum : int {
    IDC_CONNECT = 1000,
    IDC_STATUS = 1001,
    IDC_INFO = 1002,
    IDC_LAST_REPLY = 1003,
    IDC_READ_KV = 1005,
    IDC_ERASE_KV = 1006,
    IDC_READ_UA = 1007,
    IDC_ERASE_UA = 1008,
    IDC_READ_KOHM = 1009,
    IDC_ERASE_KOHM = 1010,
    IDC_ERASE_ALL = 1011,
    IDC_FILE_KV = 1012,
    IDC_FILE_UA = 1015,
    IDC_FILE_KOHM = 1016,
    IDC_DATA_PATH = 1022,
};

// Where the minimised window draws its icon along one axis: centred, the
// odd pixel to the right or bottom, truncated toward zero when the icon is
// larger than the client area.
constexpr int MinimisedIconOffset(int nClientSize, int nIconSize)
{
    return (nClientSize - nIconSize + 1) / 2;
}

class AboutDlg : public Dialog {
public:
    AboutDlg() : Dialog(IDD_ABOUTBOX) {}
};

class XKTDlg : public Dialog, public XKTCore {
public:
    explicit XKTDlg(HWND hParent = nullptr);
    ~XKTDlg() override;

    // Dialog services of the core.
    void MembersToControls() override;
    void ControlsToMembers() override;
    int ShowMessage(const std::string& strText, const std::string& strCaption,
                    unsigned nStyle) override;
    void StartTimer() override;
    void StopTimer() override;
    void RepaintNow() override;
    void SetStatusBackground(uint32_t crColor) override;
    bool WaitBetweenPolls(unsigned nMilliseconds) override;
    void ShowProgress(const char* szUnit, size_t nBytes) override;
    void EndProgress() override;

    void ShowAboutBox();

    bool OnEvent(Event& ev) override;

protected:
    void DoDataExchange(DataExchange& dx) override;
    bool OnInitDialog() override;

private:
    void AddAboutItemToSystemMenu();
    void LearnDataPath();

    void OnSysCommand(UINT nId, LPARAM lParam);
    void OnPaint();
    HICON OnQueryDragIcon();
    void OnTimer(UINT_PTR nIdEvent);
    void OnReadButton(int nId);
    void OnEraseButton(int nId);
    void OnFileNameChanged();

    ReadOnlyEdit m_statusEdit;
    std::string m_strDataPath;
    std::string m_strTitle;   // the caption when no download is under way
    HICON m_hIcon;   // shared resource: never destroyed

    static const EventEntry<XKTDlg> s_events[];
};
