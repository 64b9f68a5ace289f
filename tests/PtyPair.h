// A pseudo-terminal pair: the test plays the far end of the line on the
// master while SerialPort opens the slave through a comN link.
//
// The line starts cooked, as a terminal's defaults have it (line editing,
// echo, XON/XOFF, CR to LF, output processing, signals), and as an earlier
// program might have left a serial port (RTS/CTS handshake, two stop bits,
// parity checked): both ends of a pty share one set of settings, so a raw
// 8N1 line seen here is SerialPort's doing.
#pragma once

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>

class PtyPair {
public:
    PtyPair()
    {
        char name[256] = {};
        if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
            return;
        m_slavePath = name;
        termios cooked;
        tcgetattr(m_master, &cooked);
        cooked.c_iflag |= ICRNL | IXON | IXOFF | INPCK;
        cooked.c_cflag |= CRTSCTS | CSTOPB;
        cooked.c_oflag |= OPOST | ONLCR;
        cooked.c_lflag |= ICANON | ECHO | ECHOE | ISIG | IEXTEN;
        tcsetattr(m_master, TCSANOW, &cooked);
    }
    ~PtyPair()
    {
        if (m_master >= 0)
            close(m_master);
        if (m_slave >= 0)
            close(m_slave);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return m_master >= 0; }
    int Master() const { return m_master; }
    const std::string& SlavePath() const { return m_slavePath; }
    int Slave() const { return m_slave; }

    // The instrument's side: what it sends reaches the port's receive queue.
    bool Write(const std::string& bytes) const
    {
        return write(m_master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // Collects what the port sent until count bytes arrived or the time is up.
    std::string ReadFor(size_t count, int timeoutMs = 2000) const
    {
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < count) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now()).count();
            if (left <= 0)
                break;
            pollfd ready = {m_master, POLLIN, 0};
            if (poll(&ready, 1, static_cast<int>(left)) != 1)
                break;
            char buffer[512];
            ssize_t n = read(m_master, buffer, sizeof(buffer));
            if (n <= 0)
                break;
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }

    // The far end goes away: the slave is hung up for whoever holds it.
    void HangUp()
    {
        if (m_master >= 0)
            close(m_master);
        if (m_slave >= 0)
            close(m_slave);
        m_master = m_slave = -1;
    }

    // Waits until the slave's input queue holds at least count bytes.
    bool WaitQueued(int count, int timeoutMs = 2000) const
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            int queued = 0;
            if (ioctl(m_slave, FIONREAD, &queued) == 0 && queued >= count)
                return true;
            usleep(1000);
        }
        return false;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
};
