// PortAccess: why a serial device cannot be used, in the operator's words.
//
// An adapter that "does not answer" is usually one the program could not
// open: the user is not in the device's group, or another program (a
// terminal program, brltty, a modem manager) holds it. Saying which, and
// what fixes it, saves a support call.
#pragma once

#include <string>

struct PortError {
    enum Kind {
        NONE,               // the device opened
        NO_SUCH_PORT,       // the system knows no such device
        PERMISSION_DENIED,  // the user may not open it
        IN_USE,             // another program holds it
        OTHER,              // anything else the system said
    };
    Kind nKind = NONE;
    // For the operator, without the device's name in front: "no such port",
    // "in use by brltty (pid 812)", "permission denied: /dev/ttyUSB0 belongs
    // to group dialout (sudo usermod -aG dialout $USER, then log in again)".
    std::string strText;

    bool Failed() const { return nKind != NONE; }
};

// Whether the device can be taken for exclusive use right now. It is opened,
// locked and closed at once: no line settings, nothing written. On Linux the
// open still raises the modem lines for that moment, as any open does.
PortError CheckPortAccess(const std::string& strDevice);

#ifdef _WIN32
#include <windows.h>

// The reason for a CreateFile on a COM port that failed with dwError.
PortError PortErrorFromSystem(DWORD dwError);
#else
#include <sys/types.h>

// The reason for an open of strDevice that failed with nErrno (EACCES, EBUSY,
// ENOENT, ...), or for a lock refused on it when bLockRefused.
PortError PortErrorFromSystem(const std::string& strDevice, int nErrno, bool bLockRefused);

// Opens the device for reading and writing, takes its lock and checks that it
// is a terminal: the descriptor, or -1 with the reason in error. No line
// settings are applied.
int OpenForExclusiveUse(const std::string& strDevice, PortError& error);

// The name of the group that owns the device, "" when it has none by name.
std::string DeviceGroup(const std::string& strDevice);

// A process that holds a device.
struct PortHolder {
    long nPid = 0;          // 0: nobody found
    std::string strName;    // its command name, "" when unknown
};

// The holder of a flock on the file with that inode on that file system
// (st_dev, st_ino), from the text of /proc/locks.
PortHolder LockHolderFromLocks(const std::string& strLocks, dev_t nDevice, ino_t nInode);

// Who holds the device: the owner of its flock (strProcDir/locks), else
// another process with it open (strProcDir/<pid>/fd). strProcDir is /proc
// on a live system.
PortHolder FindPortHolder(const std::string& strDevice, const std::string& strProcDir = "/proc");
#endif
