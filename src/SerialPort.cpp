// What SerialPort does the same way on every platform.
#include "SerialPort.h"

#include <set>

bool SerialPort::Open(int32_t port, int32_t baud)
{
    return Open(DevicePath(port), baud);
}

namespace {

// Set once by a front end before any port opens, and read by the one thread
// that talks to ports.
SerialPort::TraceSink g_traceSink = nullptr;
SerialPort::LineErrorFeed g_lineErrorFeed = nullptr;

struct LineErrorName {
    unsigned nBit;
    const char* szName;
};

const LineErrorName kLineErrorNames[] = {
    {LINE_ERROR_FRAMING, "framing error"},
    {LINE_ERROR_PARITY, "parity error"},
    {LINE_ERROR_OVERRUN, "overrun"},
    {LINE_ERROR_BUFFER_OVERRUN, "input buffer overrun"},
    {LINE_ERROR_BREAK, "break"},
};

// A line whose driver counts no errors (a pseudo-terminal) cannot tell a
// damaged byte from a good one; a trace says so once for each device.
void NoteUncountedLine(const std::string& strDevice)
{
    static std::set<std::string> noted;
    if (g_traceSink != nullptr && noted.insert(strDevice).second)
        SerialPort::TraceNote(strDevice + " cannot report line errors");
}

}  // namespace

void SerialPort::SetTrace(TraceSink sink)
{
    g_traceSink = sink;
}

void SerialPort::SetLineErrorFeed(LineErrorFeed feed)
{
    g_lineErrorFeed = feed;
}

std::string SerialPort::LineErrorText(unsigned nErrors)
{
    std::string strText;
    for (const LineErrorName& name : kLineErrorNames) {
        if ((nErrors & name.nBit) == 0)
            continue;
        if (!strText.empty())
            strText += ", ";
        strText += name.szName;
    }
    return strText;
}

void SerialPort::Trace(char cKind, const char* data, size_t nCount)
{
    if (g_traceSink != nullptr)
        g_traceSink(cKind, data, nCount);
}

bool SerialPort::Open(const std::string& device, int32_t baud)
{
    if (IsOpen())
        return true;

    m_openError = PortError();
    if (device.empty()) {
        m_openError.nKind = PortError::NO_SUCH_PORT;
        m_openError.strText = "no such port";
        return false;
    }
    if (!OpenDevice(device, baud)) {
        TraceNote("cannot open " + device + ": " + m_openError.strText);
        return false;
    }
    m_strDevice = device;
    m_bWriteFailed = false;
    m_nLineErrors = 0;
    m_nBytesRead = 0;
    TraceNote("open " + device + " at " + std::to_string(baud) + " baud");
    if (!StartLineErrorCount())
        NoteUncountedLine(device);
    return true;
}

int32_t SerialPort::Send(const char* data, int32_t count)
{
    if (!IsOpen())
        return 0;

    // One write per byte; a byte the line did not take still counts, but
    // the trace shows only what went out, and WriteFailed tells the rest.
    std::string strTaken;
    int32_t sent = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (PutByte(data[i]))
            strTaken += data[i];
        else
            NoteNotTaken();
        ++sent;
    }
    if (!strTaken.empty())
        Trace('>', strTaken.data(), strTaken.size());
    return sent;
}

bool SerialPort::WriteByte(char byte)
{
    if (!IsOpen())
        return true;
    if (PutByte(byte))
        Trace('>', &byte, 1);
    else
        NoteNotTaken();
    return true;
}

void SerialPort::NoteNotTaken()
{
    if (!m_bWriteFailed)
        TraceNote("the line did not take a byte on " + m_strDevice);
    m_bWriteFailed = true;
}

int32_t SerialPort::Read(char* buffer, int32_t limit)
{
    int32_t nRead = ReadQueued(buffer, limit);
    if (nRead > 0) {
        m_nBytesRead += static_cast<size_t>(nRead);
        Trace('<', buffer, static_cast<size_t>(nRead));
    }
    if (!IsOpen())
        return nRead;
    unsigned nErrors = QueryLineErrors();
    if (g_lineErrorFeed != nullptr)
        nErrors |= g_lineErrorFeed(m_strDevice, m_nBytesRead);
    // Said once per kind and Open: the trace shows where in the bytes it came.
    if ((nErrors & ~m_nLineErrors) != 0)
        TraceNote("line error on " + m_strDevice + ": " + LineErrorText(nErrors & ~m_nLineErrors));
    m_nLineErrors |= nErrors;
    return nRead;
}
