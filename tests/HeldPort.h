// Another process that holds a device (with its lock, or merely open)
// until the test lets go: a terminal program or brltty, as the user meets them.
#pragma once

#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

class Holder {
public:
    // szName: the holder's process name, as a daemon that holds ports has it.
    Holder(const std::string& strDevice, bool bLock, const char* szName = nullptr)
    {
        int ready[2], quit[2];
        if (pipe(ready) != 0 || pipe(quit) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            close(ready[0]);
            close(quit[1]);
            if (szName)
                prctl(PR_SET_NAME, szName);
            int fd = open(strDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            char c = (fd >= 0 && (!bLock || flock(fd, LOCK_EX | LOCK_NB) == 0)) ? 'y' : 'n';
            if (write(ready[1], &c, 1) != 1)
                _exit(1);
            while (read(quit[0], &c, 1) > 0) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(quit[0]);
        m_quit = quit[1];
        char c = 'n';
        m_bHolding = read(ready[0], &c, 1) == 1 && c == 'y';
        close(ready[0]);
    }
    ~Holder()
    {
        if (m_pid <= 0)
            return;
        close(m_quit);
        waitpid(m_pid, nullptr, 0);
    }
    bool Holding() const { return m_bHolding; }
    long Pid() const { return static_cast<long>(m_pid); }
    std::string Name() const
    {
        std::ifstream comm("/proc/" + std::to_string(m_pid) + "/comm");
        std::string strName;
        std::getline(comm, strName);
        return strName;
    }

private:
    pid_t m_pid = -1;
    int m_quit = -1;
    bool m_bHolding = false;
};
