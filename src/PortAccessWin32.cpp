// Win32 side of PortAccess.
#include "PortAccess.h"

#include "SerialPort.h"

namespace {

// The system's own words, without the line end and full stop it appends.
std::string SystemText(DWORD dwError)
{
    char szText[512] = "";
    DWORD nLength = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, dwError,
                                   0, szText, sizeof(szText), NULL);
    std::string strText(szText, nLength);
    while (!strText.empty() && (strText.back() == '\r' || strText.back() == '\n' || strText.back() == ' ' ||
                                strText.back() == '.'))
        strText.pop_back();
    if (strText.empty())
        strText = "system error " + std::to_string(dwError);
    return strText;
}

}  // namespace

PortError PortErrorFromSystem(DWORD dwError)
{
    // Windows opens a COM port for one program at a time and answers every
    // other with "access denied"; no user is refused a COM port as such.
    PortError error;
    switch (dwError) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        error.nKind = PortError::IN_USE;
        error.strText = "in use by another program";
        break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        error.nKind = PortError::NO_SUCH_PORT;
        error.strText = "no such port";
        break;
    default:
        error.nKind = PortError::OTHER;
        error.strText = SystemText(dwError);
        break;
    }
    return error;
}

PortError CheckPortAccess(const std::string& strDevice)
{
    PortError error;
    HANDLE hPort = CreateFileA(strDevice.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (hPort == INVALID_HANDLE_VALUE)
        error = PortErrorFromSystem(GetLastError());
    else
        CloseHandle(hPort);
    SerialPort::TraceNote("check " + strDevice + ": " + (error.Failed() ? error.strText : std::string("free")));
    return error;
}
