// POSIX side of PortAccess: the device's group, the holder of its lock.
#include "PortAccess.h"

#include "PortName.h"
#include "SerialPort.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

std::string CommandName(const std::string& strProcDir, long nPid)
{
    std::ifstream comm(strProcDir + "/" + std::to_string(nPid) + "/comm");
    std::string strName;
    std::getline(comm, strName);
    return strName;
}

// The processes that list the device among their open files, lowest pid first.
std::vector<long> OpenedBy(const std::string& strProcDir, dev_t nDevice)
{
    std::vector<long> pids;
    DIR* proc = opendir(strProcDir.c_str());
    if (proc == nullptr)
        return pids;
    const long nSelf = static_cast<long>(getpid());
    while (const dirent* entry = readdir(proc)) {
        std::string strPid = entry->d_name;
        if (!IsDigits(strPid) || std::atol(strPid.c_str()) == nSelf)
            continue;
        std::string strFdDir = strProcDir + "/" + strPid + "/fd";
        DIR* fds = opendir(strFdDir.c_str());   // another user's: refused unless root
        if (fds == nullptr)
            continue;
        while (const dirent* fd = readdir(fds)) {
            struct stat info;
            if (IsDigits(fd->d_name) && stat((strFdDir + "/" + fd->d_name).c_str(), &info) == 0 &&
                S_ISCHR(info.st_mode) && info.st_rdev == nDevice) {
                pids.push_back(std::atol(strPid.c_str()));
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    std::sort(pids.begin(), pids.end());
    return pids;
}

std::string InUseText(const PortHolder& holder)
{
    if (holder.nPid <= 0)
        return "in use";
    std::string strPid = "pid " + std::to_string(holder.nPid);
    if (holder.strName.empty())
        return "in use by " + strPid;
    std::string strText = "in use by " + holder.strName + " (" + strPid + ")";
    // ModemManager opens every new adapter to probe it for a modem, and
    // lets go after a while; a udev rule keeps it away from this one.
    if (holder.strName == "ModemManager")
        strText += ": it probes new adapters for a modem and lets go within a minute; to keep it away, "
                   "give the adapter ENV{ID_MM_DEVICE_IGNORE}=\"1\" in a udev rule (as "
                   "/usr/share/doc/orvel/60-orvel.rules does), or sudo systemctl stop ModemManager";
    return strText;
}

std::string PermissionText(const std::string& strDevice)
{
    // Naming a group helps only where the group may read and write; a
    // device that only its owner may open needs its owner, not a group.
    struct stat info;
    std::string strGroup = DeviceGroup(strDevice);
    if (strGroup.empty() || stat(strDevice.c_str(), &info) != 0 || (info.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return "permission denied: " + strDevice;
    return "permission denied: " + strDevice + " belongs to group " + strGroup + " (sudo usermod -aG " + strGroup +
           " $USER, then log in again)";
}

std::string SystemText(int nErrno)
{
    std::string strText = std::strerror(nErrno);
    if (!strText.empty())
        strText[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(strText[0])));
    return strText;
}

}  // namespace

std::string DeviceGroup(const std::string& strDevice)
{
    struct stat info;
    if (stat(strDevice.c_str(), &info) != 0)
        return std::string();
    // getgrgid_r: the lookup may run while another thread asks for a group.
    std::vector<char> buffer(16384);
    group entry;
    group* found = nullptr;
    if (getgrgid_r(info.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return std::string();
    return found->gr_name;
}

PortHolder LockHolderFromLocks(const std::string& strLocks, dev_t nDevice, ino_t nInode)
{
    // "1: FLOCK  ADVISORY  WRITE 812 00:05:3 0 EOF"; the device of the file
    // system in hex, the inode in decimal. Lines with "->" are waiters.
    std::istringstream lines(strLocks);
    std::string strLine;
    while (std::getline(lines, strLine)) {
        std::istringstream fields(strLine);
        std::string strId, strType, strMode, strAccess, strFile;
        long nPid = 0;
        if (!(fields >> strId >> strType) || strType == "->")
            continue;
        if (!(fields >> strMode >> strAccess >> nPid >> strFile) || nPid <= 0)
            continue;
        unsigned nMajor = 0, nMinor = 0;
        unsigned long long nFileInode = 0;
        if (std::sscanf(strFile.c_str(), "%x:%x:%llu", &nMajor, &nMinor, &nFileInode) != 3)
            continue;
        if (nMajor == major(nDevice) && nMinor == minor(nDevice) && nFileInode == static_cast<unsigned long long>(nInode)) {
            PortHolder holder;
            holder.nPid = nPid;
            return holder;
        }
    }
    return PortHolder();
}

PortHolder FindPortHolder(const std::string& strDevice, const std::string& strProcDir)
{
    struct stat info;
    if (stat(strDevice.c_str(), &info) != 0)
        return PortHolder();

    std::ifstream locksFile(strProcDir + "/locks");
    std::stringstream locks;
    locks << locksFile.rdbuf();
    PortHolder holder = LockHolderFromLocks(locks.str(), info.st_dev, info.st_ino);
    if (holder.nPid <= 0 && S_ISCHR(info.st_mode)) {
        std::vector<long> pids = OpenedBy(strProcDir, info.st_rdev);
        if (!pids.empty())
            holder.nPid = pids.front();
    }
    if (holder.nPid > 0)
        holder.strName = CommandName(strProcDir, holder.nPid);
    return holder;
}

PortError PortErrorFromSystem(const std::string& strDevice, int nErrno, bool bLockRefused)
{
    PortError error;
    if (bLockRefused || nErrno == EBUSY) {
        error.nKind = PortError::IN_USE;
        error.strText = InUseText(FindPortHolder(strDevice));
    } else if (nErrno == EACCES || nErrno == EPERM) {
        error.nKind = PortError::PERMISSION_DENIED;
        error.strText = PermissionText(strDevice);
    } else if (nErrno == ENOENT || nErrno == ENODEV || nErrno == ENXIO) {
        error.nKind = PortError::NO_SUCH_PORT;
        error.strText = "no such port";
    } else if (nErrno == ENOTTY || nErrno == EISDIR) {
        error.nKind = PortError::OTHER;
        error.strText = "not a serial port";
    } else {
        error.nKind = PortError::OTHER;
        error.strText = SystemText(nErrno);
    }
    return error;
}

int OpenForExclusiveUse(const std::string& strDevice, PortError& error)
{
    error = PortError();
    int fd = open(strDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = PortErrorFromSystem(strDevice, errno, false);
        return -1;
    }
    if (!isatty(fd)) {
        error = PortErrorFromSystem(strDevice, ENOTTY, false);
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int nErrno = errno;
        error = PortErrorFromSystem(strDevice, nErrno, nErrno == EWOULDBLOCK);
    } else {
        return fd;
    }
    close(fd);
    return -1;
}

PortError CheckPortAccess(const std::string& strDevice)
{
    PortError error;
    int fd = OpenForExclusiveUse(strDevice, error);
    if (fd >= 0)
        close(fd);   // and with it the lock
    SerialPort::TraceNote("check " + strDevice + ": " + (error.Failed() ? error.strText : std::string("free")));
    return error;
}
