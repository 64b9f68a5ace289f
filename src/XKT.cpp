#include "XKT.h"

#include "XKTDlg.h"

// The one application object; g_strCommand, the other static object, lives
// with the command exchange.
XKTApp theApp;

bool XKTApp::InitInstance()
{
    // Nothing to switch on first: no template holds an embedded control,
    // and a program marked for Windows 4.0 gets the three-dimensional
    // control look in every dialog from the system.
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
