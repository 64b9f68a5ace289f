// What SerialPort does the same way on every platform.
#include "SerialPort.h"

bool SerialPort::Open(int32_t port, int32_t baud)
{
    return Open(DevicePath(port), baud);
}

namespace {

// Set once by a front end before any port opens, and read by the one thread
// that talks to ports.
SerialPort::TraceSink g_traceSink = nullptr;

}  // namespace

void SerialPort::SetTrace(TraceSink sink)
{
    g_traceSink = sink;
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
    TraceNote("open " + device + " at " + std::to_string(baud) + " baud");
    return true;
}

int32_t SerialPort::Send(const char* data, int32_t count)
{
    if (!IsOpen())
        return 0;

    // One write per byte; a byte the line did not take still counts, but
    // the trace shows only what went out.
    std::string strTaken;
    int32_t sent = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (PutByte(data[i]))
            strTaken += data[i];
        ++sent;
    }
    if (!strTaken.empty())
        Trace('>', strTaken.data(), strTaken.size());
    return sent;
}

bool SerialPort::WriteByte(char byte)
{
    if (IsOpen() && PutByte(byte))
        Trace('>', &byte, 1);
    return true;
}

int32_t SerialPort::Read(char* buffer, int32_t limit)
{
    int32_t nRead = ReadQueued(buffer, limit);
    if (nRead > 0)
        Trace('<', buffer, static_cast<size_t>(nRead));
    return nRead;
}
