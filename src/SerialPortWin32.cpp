// Win32 backend of SerialPort: overlapped I/O with bounded waits.
#include "SerialPort.h"

#include "CommErrors.h"
#include "LineSettings.h"
#include "PortName.h"

// The portable copies of ClearCommError's bits are the headers' own.
static_assert(COMM_ERROR_RXOVER == CE_RXOVER && COMM_ERROR_OVERRUN == CE_OVERRUN &&
                  COMM_ERROR_RXPARITY == CE_RXPARITY && COMM_ERROR_FRAME == CE_FRAME && COMM_ERROR_BREAK == CE_BREAK,
              "ClearCommError's bits");

namespace {

constexpr DWORD kQueueSize = 10000;
constexpr DWORD kWriteWaitMs = 1000;
constexpr DWORD kReadWaitMs = 2000;
constexpr DWORD kWriteTotalTimeoutMs = 5000;

// An overlapped operation that outlived its wait must not touch its record or
// buffer afterwards: cancel it and wait until the driver has let go of both.
void SettleAbandoned(HANDLE hComm, OVERLAPPED& overlapped)
{
    DWORD transferred = 0;
    CancelIo(hComm);
    GetOverlappedResult(hComm, &overlapped, &transferred, TRUE);
}

}  // namespace

SerialPort::SerialPort()
    : m_hComm(NULL), m_overlappedRead(), m_overlappedWrite(), m_bOpened(FALSE), m_dwCommErrors(0),
      m_bReadFailed(false), m_bWriteFailed(false), m_nLineErrors(0), m_nBytesRead(0)
{
}

SerialPort::~SerialPort()
{
    Close();
}

std::string SerialPort::DevicePath(int32_t port)
{
    // The portable rule, not wsprintfA: that would make every program on
    // this port import USER32, and a console program that does gets no
    // logoff or shutdown notice from its console.
    return ComDevicePath(port);
}

bool SerialPort::OpenDevice(const std::string& strDevice, int32_t baud)
{
    m_hComm = CreateFileA(strDevice.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
    if (m_hComm == INVALID_HANDLE_VALUE) {
        m_openError = PortErrorFromSystem(GetLastError());
        m_hComm = NULL;
        return false;
    }

    ZeroMemory(&m_overlappedRead, sizeof(m_overlappedRead));
    ZeroMemory(&m_overlappedWrite, sizeof(m_overlappedWrite));

    // Reads complete at once with whatever is queued; the caller polls.
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = kWriteTotalTimeoutMs;
    SetCommTimeouts(m_hComm, &timeouts);

    m_overlappedRead.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    m_overlappedWrite.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);

    // The whole line is ours: a port keeps what the last program left on
    // it, and the instrument knows one line only. The special characters
    // stay as read, but XON and XOFF must differ or the DCB is refused.
    const LineSettings& line = kInstrumentLine;
    DCB dcb;
    ZeroMemory(&dcb, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    GetCommState(m_hComm, &dcb);
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.ByteSize = static_cast<BYTE>(line.nDataBits);
    dcb.fParity = line.bParity;
    dcb.Parity = line.bParity ? EVENPARITY : NOPARITY;
    dcb.StopBits = line.nStopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fOutX = line.bXonXoffOut;
    dcb.fInX = line.bXonXoffIn;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutxCtsFlow = line.bRtsCtsHandshake;
    dcb.fRtsControl = line.bRtsCtsHandshake ? RTS_CONTROL_HANDSHAKE
                      : line.bRtsOn         ? RTS_CONTROL_ENABLE
                                            : RTS_CONTROL_DISABLE;
    dcb.fOutxDsrFlow = line.bDsrDtrHandshake;
    dcb.fDtrControl = line.bDsrDtrHandshake ? DTR_CONTROL_HANDSHAKE
                      : line.bDtrOn         ? DTR_CONTROL_ENABLE
                                            : DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = line.bDsrSensitivity;
    dcb.fNull = line.bStripNul;
    dcb.fErrorChar = line.bErrorChar;
    dcb.fAbortOnError = line.bAbortOnError;
    dcb.fBinary = line.bBinary;
    if (dcb.XonChar == dcb.XoffChar) {
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
    }

    // Bytes left in the driver's queues from an earlier session are not part
    // of this exchange: a stale reply byte would lead the next reply, and a
    // letter still queued for output would reach the instrument unasked.
    if (!SetCommState(m_hComm, &dcb) || !SetupComm(m_hComm, kQueueSize, kQueueSize) ||
        !PurgeComm(m_hComm, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR) ||
        m_overlappedRead.hEvent == NULL || m_overlappedWrite.hEvent == NULL) {
        m_openError = PortErrorFromSystem(GetLastError());
        if (m_overlappedRead.hEvent != NULL)
            CloseHandle(m_overlappedRead.hEvent);
        if (m_overlappedWrite.hEvent != NULL)
            CloseHandle(m_overlappedWrite.hEvent);
        ZeroMemory(&m_overlappedRead, sizeof(m_overlappedRead));
        ZeroMemory(&m_overlappedWrite, sizeof(m_overlappedWrite));
        CloseHandle(m_hComm);
        m_hComm = NULL;
        return false;
    }

    m_bOpened = TRUE;
    m_bReadFailed = false;
    return true;
}

bool SerialPort::IsOpen() const
{
    return m_bOpened && m_hComm != NULL;
}

bool SerialPort::Close()
{
    if (!IsOpen())
        return true;

    if (m_overlappedRead.hEvent != NULL)
        CloseHandle(m_overlappedRead.hEvent);
    if (m_overlappedWrite.hEvent != NULL)
        CloseHandle(m_overlappedWrite.hEvent);
    CloseHandle(m_hComm);
    ZeroMemory(&m_overlappedRead, sizeof(m_overlappedRead));
    ZeroMemory(&m_overlappedWrite, sizeof(m_overlappedWrite));
    m_bOpened = FALSE;
    m_hComm = NULL;
    TraceNote("close " + m_strDevice);
    return true;
}

bool SerialPort::PutByte(char byte)
{
    // The byte lives on this frame: a write still pending after the wait is
    // cancelled before the frame goes away.
    DWORD written = 0;
    if (WriteFile(m_hComm, &byte, 1, &written, &m_overlappedWrite))
        return written == 1;
    if (GetLastError() != ERROR_IO_PENDING)
        return false;
    if (WaitForSingleObject(m_overlappedWrite.hEvent, kWriteWaitMs) != WAIT_OBJECT_0) {
        SettleAbandoned(m_hComm, m_overlappedWrite);
        return false;
    }
    return GetOverlappedResult(m_hComm, &m_overlappedWrite, &written, FALSE) && written == 1;
}

int32_t SerialPort::ReadQueued(char* buffer, int32_t limit)
{
    if (!IsOpen() || limit <= 0)
        return 0;

    DWORD errors = 0;
    COMSTAT status;
    ZeroMemory(&status, sizeof(status));
    if (!ClearCommError(m_hComm, &errors, &status)) {
        m_bReadFailed = true;   // the device is gone (an adapter pulled)
        return 0;
    }
    // Cleared by the call that reports them: kept for QueryLineErrors.
    m_dwCommErrors |= errors;
    if (status.cbInQue == 0)
        return 0;

    DWORD wanted = status.cbInQue;
    if (limit < static_cast<int32_t>(wanted))
        wanted = static_cast<DWORD>(limit);

    DWORD read = 0;
    if (ReadFile(m_hComm, buffer, wanted, &read, &m_overlappedRead))
        return static_cast<int32_t>(read);
    if (GetLastError() != ERROR_IO_PENDING) {
        m_bReadFailed = true;
        return 0;
    }
    // Bytes the driver said it had and did not hand over within the wait
    // are lost to this reply: that is a failed read too.
    if (WaitForSingleObject(m_overlappedRead.hEvent, kReadWaitMs) != WAIT_OBJECT_0) {
        // Abandoned: nothing may land in the caller's buffer after we return.
        SettleAbandoned(m_hComm, m_overlappedRead);
        m_bReadFailed = true;
        return 0;
    }
    read = 0;
    if (!GetOverlappedResult(m_hComm, &m_overlappedRead, &read, FALSE))
        m_bReadFailed = true;
    return static_cast<int32_t>(read);
}

bool SerialPort::StartLineErrorCount()
{
    // What an earlier program or session left in the error bits is not ours.
    DWORD errors = 0;
    ClearCommError(m_hComm, &errors, NULL);
    m_dwCommErrors = 0;
    return true;
}

unsigned SerialPort::QueryLineErrors()
{
    return LineErrorsFromCommErrors(m_dwCommErrors);
}

void PollPause(unsigned milliseconds)
{
    Sleep(milliseconds);
}
