// Why a device cannot be used: the holder of its lock or its open file, the
// group that may open it, the words for each reason.
#include "PortAccess.h"
#include "SerialPort.h"

#include "HeldPort.h"
#include "PtyPair.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TEST(LockHolderTest, FindsTheFlockOfTheDevicesInodeOnly)
{
    // Hex major:minor, decimal inode; waiters ("->") hold nothing.
    const std::string strLocks =
        "1: POSIX  ADVISORY  WRITE 400 08:01:1234 0 EOF\n"
        "2: FLOCK  ADVISORY  WRITE 500 00:1a:77 0 EOF\n"
        "2: -> FLOCK  ADVISORY  WRITE 600 00:1a:42 0 EOF\n"
        "3: FLOCK  ADVISORY  WRITE 812 00:1a:42 0 EOF\n"
        "4: OFDLCK ADVISORY  WRITE -1 00:1a:99 0 EOF\n";
    struct Case {
        unsigned nMajor, nMinor;
        ino_t nInode;
        long nPid;
    };
    const Case cases[] = {
        {0, 0x1a, 42, 812}, {0, 0x1a, 77, 500}, {8, 1, 1234, 400},
        {0, 0x1b, 42, 0},   {0, 0x1a, 43, 0},   {0, 0x1a, 99, 0},
    };
    for (const Case& c : cases) {
        PortHolder holder = LockHolderFromLocks(strLocks, makedev(c.nMajor, c.nMinor), c.nInode);
        EXPECT_EQ(c.nPid, holder.nPid) << c.nMajor << ":" << c.nMinor << ":" << c.nInode;
    }
}

class PortAccessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_pty.Ok());
        m_strLink = m_dir / "ttyUSB0";
        ASSERT_EQ(0, symlink(m_pty.SlavePath().c_str(), m_strLink.c_str()));
    }

    TempDir m_dir;
    PtyPair m_pty;
    std::string m_strLink;
};

TEST_F(PortAccessTest, AFreeDeviceIsFreeAndStaysFree)
{
    EXPECT_EQ(PortError::NONE, CheckPortAccess(m_strLink).nKind);
    // The check let go of it: a port opens it at once.
    SerialPort port;
    EXPECT_TRUE(port.Open(m_strLink, 9600));
    EXPECT_EQ(PortError::NONE, port.OpenError().nKind);
}

TEST_F(PortAccessTest, ALockedDeviceNamesTheHoldersProcess)
{
    Holder holder(m_strLink, true);
    ASSERT_TRUE(holder.Holding());
    const std::string strText = "in use by " + holder.Name() + " (pid " + std::to_string(holder.Pid()) + ")";
    ASSERT_FALSE(holder.Name().empty());

    PortError checked = CheckPortAccess(m_strLink);
    EXPECT_EQ(PortError::IN_USE, checked.nKind);
    EXPECT_EQ(strText, checked.strText);

    // SerialPort keeps the same reason, and still opens nothing.
    SerialPort port;
    EXPECT_FALSE(port.Open(m_strLink, 9600));
    EXPECT_EQ(PortError::IN_USE, port.OpenError().nKind);
    EXPECT_EQ(strText, port.OpenError().strText);
}

// ModemManager opens a new adapter to probe it for a modem: the operator
// learns that it lets go and how to keep it away for good.
TEST_F(PortAccessTest, ModemManagerAsHolderSaysWhatToDo)
{
    Holder holder(m_strLink, false, "ModemManager");
    ASSERT_TRUE(holder.Holding());
    ASSERT_EQ("ModemManager", holder.Name());
    const std::string strText = PortErrorFromSystem(m_strLink, EBUSY, false).strText;
    const std::string strStart = "in use by ModemManager (pid " + std::to_string(holder.Pid()) + "): ";
    EXPECT_EQ(strStart, strText.substr(0, strStart.size()));
    for (const char* szAdvice : {"ID_MM_DEVICE_IGNORE", "60-orvel.rules", "systemctl stop ModemManager"})
        EXPECT_NE(std::string::npos, strText.find(szAdvice)) << szAdvice << " not in: " << strText;
}

TEST_F(PortAccessTest, AHolderWithoutALockIsFoundAmongTheOpenFiles)
{
    // A terminal program may hold the line open with TIOCEXCL and no lock.
    Holder holder(m_strLink, false);
    ASSERT_TRUE(holder.Holding());
    PortHolder found = FindPortHolder(m_strLink);
    EXPECT_EQ(holder.Pid(), found.nPid);
    EXPECT_EQ(holder.Name(), found.strName);
    EXPECT_EQ("in use by " + holder.Name() + " (pid " + std::to_string(holder.Pid()) + ")",
              PortErrorFromSystem(m_strLink, EBUSY, false).strText);
}

TEST_F(PortAccessTest, AHolderTheSystemDoesNotShowIsNobody)
{
    // Another user's processes are hidden from an unprivileged user: what
    // cannot be seen is not guessed.
    Holder holder(m_strLink, true);
    ASSERT_TRUE(holder.Holding());
    TempDir emptyProc;
    EXPECT_EQ(0, FindPortHolder(m_strLink, emptyProc.Path()).nPid);
    EXPECT_EQ(holder.Pid(), FindPortHolder(m_strLink).nPid);
}

TEST(PortErrorTest, PermissionDeniedNamesTheDevicesGroup)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a file to another group needs root";
    const group* other = getgrnam("dialout");
    if (other == nullptr)
        other = getgrnam("nogroup");
    ASSERT_NE(nullptr, other);
    const std::string strGroup = other->gr_name;

    TempDir dir;
    const std::string strDevice = dir / "ttyUSB0";
    { std::ofstream(strDevice) << ""; }
    ASSERT_EQ(0, chown(strDevice.c_str(), 0, other->gr_gid));
    EXPECT_EQ(strGroup, DeviceGroup(strDevice));

    struct Case {
        mode_t nMode;
        std::string strText;
    };
    const Case cases[] = {
        {0660, "permission denied: " + strDevice + " belongs to group " + strGroup + " (sudo usermod -aG " + strGroup +
                   " $USER, then log in again)"},
        // Only the owner may open it: no group would help.
        {0600, "permission denied: " + strDevice},
        {0640, "permission denied: " + strDevice},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(0, chmod(strDevice.c_str(), c.nMode));
        PortError error = PortErrorFromSystem(strDevice, EACCES, false);
        EXPECT_EQ(PortError::PERMISSION_DENIED, error.nKind);
        EXPECT_EQ(c.strText, error.strText) << std::oct << c.nMode;
    }
}

TEST(PortErrorTest, EachReasonHasItsWords)
{
    TempDir dir;
    struct Case {
        int nErrno;
        PortError::Kind nKind;
        const char* szText;
    };
    const Case cases[] = {
        {ENOENT, PortError::NO_SUCH_PORT, "no such port"},
        {ENXIO, PortError::NO_SUCH_PORT, "no such port"},
        {ENOTTY, PortError::OTHER, "not a serial port"},
        {EIO, PortError::OTHER, "input/output error"},
        {EBUSY, PortError::IN_USE, "in use"},   // nothing holds it that this test could see
    };
    for (const Case& c : cases) {
        PortError error = PortErrorFromSystem(dir / "absent", c.nErrno, false);
        EXPECT_EQ(c.nKind, error.nKind) << c.szText;
        EXPECT_EQ(c.szText, error.strText);
    }
    // Opening what is no device says so.
    EXPECT_EQ("no such port", CheckPortAccess(dir / "absent").strText);
    EXPECT_EQ("not a serial port", CheckPortAccess(dir.Path()).strText);
    { std::ofstream(dir / "file") << "x"; }
    EXPECT_EQ("not a serial port", CheckPortAccess(dir / "file").strText);
}

}  // namespace
