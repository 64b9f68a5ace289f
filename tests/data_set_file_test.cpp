// The data set file's name rule and its refusal of names that are no file,
// on the POSIX side.
#include "DataSetFile.h"

#include "DeviceNameCases.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class DeviceNameTest : public ::testing::TestWithParam<DeviceNameCase> {
};

TEST_P(DeviceNameTest, IsRefusedExactlyWhenWindowsTakesItForADevice)
{
    const DeviceNameCase& c = GetParam();
    EXPECT_EQ(c.bDevice, IsDeviceName(c.szName)) << c.szName;
    EXPECT_EQ(!c.bDevice, CanHoldDataSet(c.szName)) << c.szName;   // none of them exists here
}

INSTANTIATE_TEST_SUITE_P(Names, DeviceNameTest, ::testing::ValuesIn(g_deviceNameCases),
                         [](const auto& info) { return std::to_string(info.index); });

class DataSetFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(m_dir.Path().empty()); }

    // Create on the name, which must end well within the bound and leave
    // nothing behind but what was there.
    bool CreateWithin(const std::string& strName, double maxSeconds = 1.0)
    {
        auto start = std::chrono::steady_clock::now();
        bool bCreated;
        {
            DataSetFile file(strName);
            bCreated = file.Create();
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(seconds, maxSeconds) << strName;
        return bCreated;
    }

    TempDir m_dir;
};

TEST_F(DataSetFileTest, ExistingEntriesThatAreNoFileAreRefusedWithoutBlocking)
{
    const std::string strFifo = m_dir / "fifo.txt";
    const std::string strDir = m_dir / "dir.txt";
    const std::string strDevice = m_dir / "device.txt";
    ASSERT_EQ(0, mkfifo(strFifo.c_str(), 0644));
    ASSERT_EQ(0, mkdir(strDir.c_str(), 0755));
    ASSERT_EQ(0, symlink("/dev/null", strDevice.c_str()));

    for (const std::string& strName : {strFifo, strDir, strDevice}) {
        EXPECT_TRUE(FileExists(strName));
        EXPECT_FALSE(CanHoldDataSet(strName)) << strName;
        EXPECT_FALSE(CreateWithin(strName)) << strName;
    }
    struct stat info;
    ASSERT_EQ(0, lstat(strFifo.c_str(), &info));
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_NE(0, access((strFifo + ".tmp").c_str(), F_OK));   // no temporary file left
}

TEST_F(DataSetFileTest, PlainFilesAndFreeNamesTakeTheDataSet)
{
    const std::string strFile = m_dir / "old.txt";
    const std::string strNew = m_dir / "new.txt";
    ASSERT_EQ(0, close(open(strFile.c_str(), O_CREAT | O_WRONLY, 0644)));

    for (const std::string& strName : {strFile, strNew}) {
        EXPECT_TRUE(CanHoldDataSet(strName)) << strName;
        DataSetFile file(strName);
        ASSERT_TRUE(file.Create()) << strName;
        ASSERT_EQ(CommitResult::Saved, file.Commit("a\nb")) << strName;
        char content[8] = {};
        int fd = open(strName.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(4, read(fd, content, sizeof content));
        close(fd);
        EXPECT_STREQ("a\r\nb", content);
    }
}

TEST_F(DataSetFileTest, AReplacedFileKeepsItsPermissions)
{
    // Whatever the umask: the old file's bits, exactly.
    mode_t oldMask = umask(022);
    for (mode_t nMode : {0600, 0640, 0660, 0664, 0604, 0755}) {
        const std::string strName = m_dir / ("run" + std::to_string(nMode) + ".txt");
        ASSERT_EQ(0, close(open(strName.c_str(), O_CREAT | O_WRONLY, 0600)));
        ASSERT_EQ(0, chmod(strName.c_str(), nMode));
        DataSetFile file(strName);
        ASSERT_TRUE(file.Create());
        ASSERT_EQ(CommitResult::Saved, file.Commit("new\n"));
        struct stat info;
        ASSERT_EQ(0, stat(strName.c_str(), &info));
        EXPECT_EQ(5, info.st_size);   // the new data
        EXPECT_EQ(nMode, info.st_mode & 07777) << std::oct << nMode;
    }
    // A new file is made as any other.
    const std::string strNew = m_dir / "fresh.txt";
    DataSetFile file(strNew);
    ASSERT_TRUE(file.Create());
    ASSERT_EQ(CommitResult::Saved, file.Commit("new\n"));
    struct stat info;
    ASSERT_EQ(0, stat(strNew.c_str(), &info));
    EXPECT_EQ(static_cast<mode_t>(0644), info.st_mode & 07777);
    umask(oldMask);
}

TEST_F(DataSetFileTest, AFifoTakingTheNameAfterTheLookIsNotWaitedFor)
{
    // The name was free when looked at; by the writability check it is a
    // FIFO nobody reads. The check must refuse it, not wait for a reader.
    const std::string strName = m_dir / "late.txt";
    ASSERT_TRUE(CanHoldDataSet(strName));
    ASSERT_EQ(0, mkfifo(strName.c_str(), 0644));
    int reader = open(strName.c_str(), O_RDONLY | O_NONBLOCK);   // an open reader: the open would succeed
    ASSERT_GE(reader, 0);
    EXPECT_FALSE(CreateWithin(strName));
    close(reader);
    EXPECT_FALSE(CreateWithin(strName));
}

}  // namespace
