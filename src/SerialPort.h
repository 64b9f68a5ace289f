// SerialPort: one RS-232 device for the span of one command exchange.
//
// Every wait is bounded. Read never waits for data: it takes what the driver
// has queued and the caller polls. The Win32 backend drives the device with
// overlapped I/O; the POSIX backend uses termios in raw mode.
#pragma once

#include "PortAccess.h"

#include <cstddef>
#include <cstdint>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

// Line errors, as bits.
constexpr unsigned LINE_ERROR_FRAMING = 1;
constexpr unsigned LINE_ERROR_PARITY = 2;
constexpr unsigned LINE_ERROR_OVERRUN = 4;         // the UART's own buffer
constexpr unsigned LINE_ERROR_BUFFER_OVERRUN = 8;  // the driver's input queue
constexpr unsigned LINE_ERROR_BREAK = 16;

class SerialPort {
public:
    SerialPort();
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // True when the port is open afterwards, also when it already was.
    // Port n is the device DevicePath(n); a front end that names its devices
    // (a path, any COM number) opens the device itself.
    bool Open(int32_t port, int32_t baud);
    bool Open(const std::string& device, int32_t baud);
    // Why the last Open failed, as the system said it (NONE after a good one).
    const PortError& OpenError() const { return m_openError; }
    // Always true; closing a closed port does nothing.
    bool Close();
    // Hands each of the first count bytes to WriteByte; returns how many it handed over.
    int32_t Send(const char* data, int32_t count);
    // Writes one byte; always true (a byte the line did not take is told by WriteFailed).
    bool WriteByte(char byte);
    // Whether a byte handed over since Open was not taken by the line within
    // its bound (a stalled adapter, output held by flow control): the far
    // end never got it, whatever Send counted.
    bool WriteFailed() const { return m_bWriteFailed; }
    // Places at most limit already-received bytes at buffer; never waits for more.
    int32_t Read(char* buffer, int32_t limit);
    // Whether a Read since Open failed on the open port rather than found
    // the line quiet: the device went away (a USB adapter pulled, a line
    // hung up). Read itself still returns 0 then.
    bool ReadFailed() const { return m_bReadFailed; }
    // The line errors the driver reported for what Read took since Open
    // (LINE_ERROR_* bits; 0 for none). A byte that came with a framing or
    // parity error, after an overrun or as a BREAK is not the byte that was
    // sent, or stands where bytes were lost.
    unsigned LineErrors() const { return m_nLineErrors; }
    // The errors as an operator reads them: "framing error, break".
    static std::string LineErrorText(unsigned nErrors);

    // Where a test stands in for a driver that reports line errors: asked
    // after each Read with the bytes Read has taken since Open, its bits
    // count as the driver's own. Nothing is asked while none is set.
    using LineErrorFeed = unsigned (*)(const std::string& strDevice, size_t nBytesRead);
    static void SetLineErrorFeed(LineErrorFeed feed);

#ifndef _WIN32
    // POSIX has no COMn names. Port n is "/dev/ttyS<n-1>", as Wine maps it,
    // until a device directory is set; then it is "<directory>/comN", so a
    // test can link pseudo-terminals there (or a USB adapter as comN).
    static void SetDeviceDirectory(const std::string& directory);
#endif
    // The device of port n. On Windows "COMn", and from COM10 on "\\.\COMn",
    // the only form in which Windows opens those.
    static std::string DevicePath(int32_t port);

    // What a front end that keeps a trace is told: the bytes each chunk
    // sent ('>') or received ('<'), and the opens and closes ('#', with the
    // reason when an open failed). Nothing is told while no sink is set.
    using TraceSink = void (*)(char cKind, const char* data, size_t nCount);
    static void SetTrace(TraceSink sink);
    static void Trace(char cKind, const char* data, size_t nCount);
    static void TraceNote(const std::string& strText) { Trace('#', strText.data(), strText.size()); }

private:
    bool IsOpen() const;
    // The platform's halves of Open, WriteByte and Read.
    bool OpenDevice(const std::string& strDevice, int32_t baud);
    // False when the line did not take the byte.
    bool PutByte(char byte);
    void NoteNotTaken();
    int32_t ReadQueued(char* buffer, int32_t limit);
    // Starts counting line errors afresh for this Open; false when the
    // driver keeps no count (a pseudo-terminal).
    bool StartLineErrorCount();
    // The errors the driver counted since StartLineErrorCount.
    unsigned QueryLineErrors();

#ifdef _WIN32
    HANDLE m_hComm;
    OVERLAPPED m_overlappedRead;
    OVERLAPPED m_overlappedWrite;
    BOOL m_bOpened;
    DWORD m_dwCommErrors;       // ClearCommError's bits since Open
#else
    int m_fd;
    bool m_bOpened;
    bool m_bCountsErrors;       // the driver keeps error counters
    unsigned m_nCountsAtOpen[5];   // and these were theirs at Open
#endif
    bool m_bReadFailed;
    bool m_bWriteFailed;
    unsigned m_nLineErrors;
    size_t m_nBytesRead;
    std::string m_strDevice;   // what is open, for the trace
    PortError m_openError;
};

// The pause between two polls of a port (the platform's sleep).
void PollPause(unsigned milliseconds);
