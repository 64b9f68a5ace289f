// orvel's Windows edges: the console's events, its code page, whether a
// COM port exists.
#include "orvelPlatform.h"

#include "PortNames.h"

#include <csignal>
#include <io.h>
#include <vector>
#include <windows.h>

namespace {

// Windows ends the program as soon as the handler returns from a close,
// logoff or shutdown event, and at the latest 5 s after the event: the
// handler holds it back until the command has cleaned up.
constexpr DWORD kCleanUpWaitMs = 4000;
HANDLE g_hCleanedUp = NULL;

BOOL WINAPI OnConsoleControl(DWORD dwType)
{
    switch (dwType) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        g_nSignal = SIGINT;
        g_bInterrupted = true;
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        g_nSignal = SIGTERM;
        g_bInterrupted = true;
        if (g_hCleanedUp != NULL)
            WaitForSingleObject(g_hCleanedUp, kCleanUpWaitMs);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

void CatchInterrupts()
{
    g_hCleanedUp = CreateEventA(NULL, TRUE, FALSE, NULL);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void SayCleanedUp()
{
    if (g_hCleanedUp != NULL)
        SetEvent(g_hCleanedUp);
}

// The console shows text in its own code page, which is rarely UTF-8: text
// for a console goes in UTF-16, anything else gets the bytes as they are.
const char kReference[] = "More in OPERATOR.txt, beside orvel.exe: \"From the command line (orvel.exe)\".";

void PutText(const char* szText, std::FILE* pFile)
{
    HANDLE hOut = GetStdHandle(pFile == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD dwMode = 0;
    if (hOut != INVALID_HANDLE_VALUE && GetConsoleMode(hOut, &dwMode)) {
        int nWide = MultiByteToWideChar(CP_UTF8, 0, szText, -1, NULL, 0);
        if (nWide > 1) {
            std::vector<wchar_t> wide(static_cast<size_t>(nWide));
            MultiByteToWideChar(CP_UTF8, 0, szText, -1, wide.data(), nWide);
            std::fflush(pFile);
            DWORD dwWritten = 0;
            if (WriteConsoleW(hOut, wide.data(), static_cast<DWORD>(nWide - 1), &dwWritten, NULL))
                return;
        }
    }
    std::fputs(szText, pFile);
}

bool StderrIsTerminal()
{
    return _isatty(_fileno(stderr)) != 0;
}

bool PortExists(const std::string& strDevice)
{
    HANDLE hPort = CreateFileA(strDevice.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                               OPEN_EXISTING, 0, NULL);
    if (hPort != INVALID_HANDLE_VALUE) {
        CloseHandle(hPort);
        return true;
    }
    DWORD dwError = GetLastError();
    return dwError != ERROR_FILE_NOT_FOUND && dwError != ERROR_PATH_NOT_FOUND;
}

bool HungUp()
{
    return false;   // a closed console window is a close event, not a hang-up
}

DeviceDirs TheDeviceDirs()
{
    return {kDevDir, kSysTtyDir};
}

void UseDeviceDirectory()
{
}
