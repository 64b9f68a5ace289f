#include "Trace.h"

#include "SerialPort.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

std::FILE* g_pTraceFile = nullptr;
bool g_bTraceOwnsFile = false;
std::chrono::steady_clock::time_point g_traceStart;
int g_nTraceErrno = 0;   // the first write that failed; 0 while all went out

void WriteTraceLine(char cKind, const char* data, size_t nCount)
{
    if (g_pTraceFile == nullptr)
        return;
    double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - g_traceStart).count();
    std::string strLine = TraceLine(dSeconds, cKind, data, nCount) + "\n";
    // Flushed line by line: a trace is wanted most when the program is
    // stopped or hangs.
    errno = 0;
    if ((std::fputs(strLine.c_str(), g_pTraceFile) < 0 || std::fflush(g_pTraceFile) != 0) &&
        g_nTraceErrno == 0)
        g_nTraceErrno = errno != 0 ? errno : EIO;
}

}  // namespace

std::string TraceLine(double dSeconds, char cKind, const char* data, size_t nCount)
{
    char szTime[32];
    std::snprintf(szTime, sizeof(szTime), "%.3f %c ", dSeconds, cKind);
    std::string strLine = szTime;
    if (cKind == '#')
        return strLine + std::string(data, nCount);

    static const char kHex[] = "0123456789abcdef";
    std::string strText = "|";
    for (size_t i = 0; i < nCount; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (i > 0)
            strLine += ' ';
        strLine += kHex[c >> 4];
        strLine += kHex[c & 0x0F];
        strText += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
    }
    return strLine + "  " + strText + "|";
}

bool StartTrace(const std::string& strFile, std::string& strError)
{
    std::string strIgnored;
    StopTrace(strIgnored);
    if (strFile == "-") {
        g_pTraceFile = stderr;
    } else {
        g_pTraceFile = std::fopen(strFile.c_str(), "w");
        if (g_pTraceFile == nullptr) {
            strError = std::strerror(errno);
            return false;
        }
        g_bTraceOwnsFile = true;
    }
    g_traceStart = std::chrono::steady_clock::now();
    g_nTraceErrno = 0;
    SerialPort::SetTrace(WriteTraceLine);
    return true;
}

bool StopTrace(std::string& strError)
{
    SerialPort::SetTrace(nullptr);
    errno = 0;
    if (g_bTraceOwnsFile && std::fclose(g_pTraceFile) != 0 && g_nTraceErrno == 0)
        g_nTraceErrno = errno != 0 ? errno : EIO;
    g_pTraceFile = nullptr;
    g_bTraceOwnsFile = false;
    if (g_nTraceErrno == 0)
        return true;
    strError = std::strerror(g_nTraceErrno);
    g_nTraceErrno = 0;
    return false;
}
