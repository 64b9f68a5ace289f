// POSIX backend of SerialPort: termios in raw mode, non-blocking reads.
#include "SerialPort.h"

#include "LineSettings.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/serial.h>
#endif

namespace {

constexpr int kWriteWaitMs = 1000;

std::string& DeviceDirectory()
{
    static std::string directory;
    return directory;
}

speed_t SpeedFor(int32_t baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
    }
}

tcflag_t CharacterSize(int nDataBits)
{
    switch (nDataBits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

// Raw bytes in both directions at the given speed, and the rest of the line
// as the instrument needs it, whatever the port had. Linux has no DSR/DTR
// handshake, DSR sensitivity, NUL stripping, error character or abort on
// error in its line settings, so the table's "off" for those holds as it is.
bool ApplyLineSettings(int fd, int32_t baud)
{
    const LineSettings& line = kInstrumentLine;
    speed_t speed = SpeedFor(baud);
    termios settings;
    if (speed == B0 || tcgetattr(fd, &settings) != 0)
        return false;
    settings.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY | INPCK | IXON | IXOFF);
    if (line.bXonXoffOut)
        settings.c_iflag |= IXON;
    if (line.bXonXoffIn)
        settings.c_iflag |= IXOFF;
    settings.c_oflag &= ~OPOST;
    settings.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    settings.c_cflag |= CharacterSize(line.nDataBits) | CREAD | CLOCAL;
    if (line.bParity)
        settings.c_cflag |= PARENB;
    if (line.nStopBits == 2)
        settings.c_cflag |= CSTOPB;
    if (line.bRtsCtsHandshake)
        settings.c_cflag |= CRTSCTS;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    if (tcsetattr(fd, TCSANOW, &settings) != 0)
        return false;
    // A pseudo-terminal or an adapter without modem lines refuses this; the
    // line works without them, so that is no reason to fail the Open.
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    ioctl(fd, line.bDtrOn ? TIOCMBIS : TIOCMBIC, &dtr);
    ioctl(fd, line.bRtsOn ? TIOCMBIS : TIOCMBIC, &rts);
    return true;
}

bool WriteOnce(int fd, char byte)
{
    ssize_t n;
    do {
        n = write(fd, &byte, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1;
}

// The driver's error counters, in the order of the LINE_ERROR_* bits; false
// where it keeps none (a pseudo-terminal, a system without them).
bool ReadErrorCounts(int fd, unsigned (&counts)[5])
{
#if defined(__linux__) && defined(TIOCGICOUNT)
    serial_icounter_struct counters = {};
    if (ioctl(fd, TIOCGICOUNT, &counters) != 0)
        return false;
    const int values[5] = {counters.frame, counters.parity, counters.overrun, counters.buf_overrun,
                           counters.brk};
    for (size_t i = 0; i < 5; ++i)
        counts[i] = static_cast<unsigned>(values[i]);
    return true;
#else
    (void)fd;
    (void)counts;
    return false;
#endif
}

bool HungUp(int fd)
{
    pollfd line = {fd, POLLIN, 0};
    return poll(&line, 1, 0) == 1 && (line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace

void SerialPort::SetDeviceDirectory(const std::string& directory)
{
    DeviceDirectory() = directory;
}

std::string SerialPort::DevicePath(int32_t port)
{
    if (DeviceDirectory().empty())
        return "/dev/ttyS" + std::to_string(port - 1);
    return DeviceDirectory() + "/com" + std::to_string(port);
}

SerialPort::SerialPort()
    : m_fd(-1), m_bOpened(false), m_bCountsErrors(false), m_nCountsAtOpen(), m_bReadFailed(false),
      m_bWriteFailed(false), m_nLineErrors(0), m_nBytesRead(0)
{
}

SerialPort::~SerialPort()
{
    Close();
}

bool SerialPort::OpenDevice(const std::string& strDevice, int32_t baud)
{
    // No sharing, as on Windows. TIOCEXCL alone does not stop root, so the
    // lock is what keeps a second holder out.
    int fd = OpenForExclusiveUse(strDevice, m_openError);
    if (fd < 0)
        return false;
    if (ioctl(fd, TIOCEXCL) != 0) {
        m_openError = PortErrorFromSystem(strDevice, errno, false);
    } else if (!ApplyLineSettings(fd, baud)) {
        m_openError.nKind = PortError::OTHER;
        m_openError.strText = "the line settings were refused";
    } else {
        // Bytes left over from an earlier session are not part of this
        // exchange; and whatever a freshly plugged adapter's default line
        // (echo on) sent back of them before the settings above took hold
        // goes no further: an echoed 'V' would erase a data set.
        tcflush(fd, TCIOFLUSH);
        m_fd = fd;
        m_bOpened = true;
        m_bReadFailed = false;
        return true;
    }
    close(fd);
    return false;
}

bool SerialPort::IsOpen() const
{
    return m_bOpened && m_fd >= 0;
}

bool SerialPort::Close()
{
    if (!IsOpen())
        return true;

    // Unread input is dropped with the port, as a serial driver does.
    tcflush(m_fd, TCIFLUSH);
    ioctl(m_fd, TIOCNXCL);
    close(m_fd);   // releases the lock too
    m_fd = -1;
    m_bOpened = false;
    TraceNote("close " + m_strDevice);
    return true;
}

bool SerialPort::PutByte(char byte)
{
    // A stalled line gets one bounded wait.
    if (WriteOnce(m_fd, byte))
        return true;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd ready = {m_fd, POLLOUT, 0};
        if (poll(&ready, 1, kWriteWaitMs) == 1 && (ready.revents & POLLOUT))
            return WriteOnce(m_fd, byte);
    }
    return false;
}

int32_t SerialPort::ReadQueued(char* buffer, int32_t limit)
{
    if (!IsOpen() || limit <= 0)
        return 0;

    // A line that was hung up (the device unplugged, the far end of a pty
    // gone) refuses the queue query, or reports the hang-up with nothing
    // queued; either way it is not a quiet line.
    int queued = 0;
    if (ioctl(m_fd, FIONREAD, &queued) != 0 || (queued <= 0 && HungUp(m_fd))) {
        m_bReadFailed = true;
        return 0;
    }
    if (queued <= 0)
        return 0;
    int32_t wanted = queued < limit ? queued : limit;

    ssize_t n;
    do {
        n = read(m_fd, buffer, static_cast<size_t>(wanted));
    } while (n < 0 && errno == EINTR);
    if (n > 0)
        return static_cast<int32_t>(n);
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
        m_bReadFailed = true;   // end of file on a terminal: it hung up
    return 0;
}

bool SerialPort::StartLineErrorCount()
{
    m_bCountsErrors = ReadErrorCounts(m_fd, m_nCountsAtOpen);
    return m_bCountsErrors;
}

unsigned SerialPort::QueryLineErrors()
{
    unsigned counts[5];
    if (!m_bCountsErrors || !ReadErrorCounts(m_fd, counts))
        return 0;
    unsigned nErrors = 0;
    for (size_t i = 0; i < 5; ++i) {
        if (counts[i] != m_nCountsAtOpen[i])
            nErrors |= 1u << i;
    }
    return nErrors;
}

void PollPause(unsigned milliseconds)
{
    timespec pause = {static_cast<time_t>(milliseconds / 1000),
                      static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}
