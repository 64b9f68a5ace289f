// POSIX side of DataSetFile.
#include "DataSetFile.h"

#include "DataSetFilePlatform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool FileExists(const std::string& strName)
{
    // A dangling link is an entry too: the name is taken.
    struct stat info;
    return lstat(strName.c_str(), &info) == 0;
}

namespace platform {

bool IsOtherThanFile(const std::string& strName)
{
    // Through links: what counts is what a write would reach. A dangling
    // link reaches nothing yet, and the move replaces the link itself.
    struct stat info;
    return stat(strName.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
}

int OpenNew(const std::string& strName)
{
    return open(strName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
}

bool WriteAll(int fd, const std::string& strData)
{
    size_t done = 0;
    while (done < strData.size()) {
        ssize_t n = write(fd, strData.data() + done, strData.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return fsync(fd) == 0;
}

bool CloseFile(int fd)
{
    return close(fd) == 0;
}

void RemoveFile(const std::string& strName)
{
    unlink(strName.c_str());
}

bool IsWritable(const std::string& strName)
{
    // Non-blocking: had a FIFO taken the name since it was looked at, a
    // plain open would wait for a reader that never comes.
    int fd = open(strName.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info;
    bool bFile = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    close(fd);
    return bFile;
}

bool MoveIntoPlace(const std::string& strFrom, const std::string& strTo)
{
    // The replacement keeps who may read and write the file: an operator who
    // made a data set private, or shared it with the group, meant it to stay so.
    struct stat old;
    if (stat(strTo.c_str(), &old) == 0 && S_ISREG(old.st_mode) &&
        chmod(strFrom.c_str(), old.st_mode & (S_IRWXU | S_IRWXG | S_IRWXO)) != 0)
        return false;
    return rename(strFrom.c_str(), strTo.c_str()) == 0;
}

// A rename lives in the folder's entries, which the file's own sync does not
// write: until the folder is synced, a power cut may bring back the old file
// or no file at all, while the instrument was already erased.
bool SyncFolderOf(const std::string& strName)
{
    size_t nSlash = strName.find_last_of('/');
    std::string strFolder = nSlash == std::string::npos ? "." : strName.substr(0, nSlash == 0 ? 1 : nSlash);
    int fd = open(strFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    int nError = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    if (nError == 0)
        nError = FolderSyncFaultFor(strFolder);
    if (nError == EINVAL || nError == ENOTSUP) {
        // A file system that cannot sync a folder at all (some network and
        // FUSE ones) keeps its entries by its own rules; refusing every save
        // there would leave the operator no way to keep a data set.
        static std::set<std::string> noted;
        if (noted.insert(strFolder).second)
            FileNote(strFolder + " cannot be synced (" + std::strerror(nError) + "): its entries are taken as written");
        return true;
    }
    return nError == 0;
}

}  // namespace platform
