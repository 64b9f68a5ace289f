// XKTDlg: Orvel's main dialog, and AboutDlg, the about box.
//
// The dialog is the window half of XKTCore: it binds the connection state
// and the file names to its controls, routes the buttons and the keep-alive
// timer to the core's operations and provides the core's dialog services.
#pragma once

#include <memory>
#include <type_traits>

#include "Dialog.h"
#include "PictureScale.h"
#include "ReadOnlyEdit.h"
#include "XKTCore.h"
#include "resource.h"

// Where the minimised window draws its icon along one axis: centred, the
// odd pixel to the right or bottom, truncated toward zero when the icon is
// larger than the client area.
constexpr int MinimisedIconOffset(int nClientSize, int nIconSize)
{
    return (nClientSize - nIconSize + 1) / 2;
}

// Asks the dialog, by posting, to size its picture for the DPI in wParam.
constexpr UINT WM_SIZE_PICTURE = WM_APP + 1;

// A GDI bitmap the dialog made; deleted with its owner.
struct BitmapDeleter {
    void operator()(HBITMAP hBitmap) const { DeleteObject(hBitmap); }
};
using OwnedBitmap = std::unique_ptr<std::remove_pointer_t<HBITMAP>, BitmapDeleter>;

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
    bool Interrupted() override { return false; }   // the operator has no way to stop an exchange
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

    // The picture at the DPI the window is shown at (see PictureScale.h).
    int WindowDpi() const;
    HWND PictureControl() const;
    SIZE PictureSizeForDpi(SIZE sizeAt96, int nDpi) const;
    void SizePictureForDpi(int nDpi);
    void OnDpiChanged(int nDpi);

    void OnSysCommand(UINT nId, LPARAM lParam);
    void OnPaint();
    HICON OnQueryDragIcon();
    void OnTimer(UINT_PTR nIdEvent);
    void OnConnect();
    bool OnQueryEndSession();
    void OnReadButton(int nId);
    void OnEraseButton(int nId);
    void OnFileNameChanged();

    // What the operator started and the system would cut short by ending
    // the session; shown to the user when a logoff waits for it.
    class BusyScope {
    public:
        BusyScope(XKTDlg& dlg, std::string strWhat);
        ~BusyScope();
        BusyScope(const BusyScope&) = delete;
        BusyScope& operator=(const BusyScope&) = delete;

    private:
        XKTDlg& m_dlg;
        std::string m_strOuter;
    };
    void DropShutdownReason();

    ReadOnlyEdit m_statusEdit;
    std::string m_strBusy;            // empty while the operator waits for nothing
    bool m_bShutdownReason = false;   // the system holds our reason
    std::string m_strDataPath;
    std::string m_strTitle;   // the caption when no download is under way
    HICON m_hIcon;   // shared resource: never destroyed
    HBITMAP m_hTemplatePicture = nullptr;   // the control's own, shown at 96 DPI
    OwnedBitmap m_bmpScaledPicture;          // shown at any other DPI

    static const EventEntry<XKTDlg> s_events[];
};
