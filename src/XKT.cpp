#include "XKT.h"

#include "XKTDlg.h"

// The one application object; g_strCommand, the other static object, lives
// with the command exchange.
XKTApp theApp;

bool XKTApp::InitInstance()
{
    // Embedded controls and the three-dimensional control look are switches
    // of older frameworks; Win32 dialogs of this program need neither.
    XKTDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return false;
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE /*hPrevInstance*/, LPSTR /*lpCmdLine*/,
                   int /*nCmdShow*/)
{
    return GetApp()->Run(hInstance);
}
