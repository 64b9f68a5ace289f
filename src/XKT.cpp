#include "XKT.h"

#include "XKTDlg.h"

// The one application object; g_strCommand, the other static object, lives
// with the command exchange.
XKTApp theApp;

bool XKTApp::InitInstance()
{
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
