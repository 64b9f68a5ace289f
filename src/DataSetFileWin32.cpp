// Win32 side of DataSetFile.
#include "DataSetFile.h"

#include "DataSetFilePlatform.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

bool FileExists(const std::string& strName)
{
    return GetFileAttributesA(strName.c_str()) != INVALID_FILE_ATTRIBUTES;
}

namespace platform {

bool IsOtherThanFile(const std::string& strName)
{
    DWORD attributes = GetFileAttributesA(strName.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0;
}

int OpenNew(const std::string& strName)
{
    return _open(strName.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}

bool WriteAll(int fd, const std::string& strData)
{
    size_t done = 0;
    while (done < strData.size()) {
        int n = _write(fd, strData.data() + done, static_cast<unsigned>(strData.size() - done));
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return _commit(fd) == 0;
}

bool CloseFile(int fd)
{
    return _close(fd) == 0;
}

void RemoveFile(const std::string& strName)
{
    DeleteFileA(strName.c_str());
}

bool IsWritable(const std::string& strName)
{
    HANDLE hFile = CreateFileA(strName.c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(hFile);
    return true;
}

bool MoveIntoPlace(const std::string& strFrom, const std::string& strTo)
{
    // Write-through makes a move that becomes a copy (to another volume)
    // flush before it returns; a rename on one volume it leaves as lazy as
    // any other change of a folder's entries, hence the flush below.
    return MoveFileExA(strFrom.c_str(), strTo.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

namespace {

// Flushes what the file system holds for the entry (a folder opened as
// such, or a file) and has the disk empty its own cache.
bool FlushEntry(const std::string& strName, DWORD dwFlags)
{
    HANDLE hEntry = CreateFileA(strName.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                OPEN_EXISTING, dwFlags, NULL);
    if (hEntry == INVALID_HANDLE_VALUE)
        return false;
    bool bFlushed = FlushFileBuffers(hEntry) != 0;
    CloseHandle(hEntry);
    return bFlushed;
}

}  // namespace

bool SyncFolderOf(const std::string& strName)
{
    // The folder's own flush writes its entries, the new name among them.
    // Where a folder cannot be opened for that (no right to change it, a
    // file system that refuses), the file's flush is the next best: on NTFS
    // it commits the file's metadata and the log that holds the rename.
    size_t nSep = strName.find_last_of("\\/:");
    std::string strFolder = nSep == std::string::npos ? "." : strName.substr(0, nSep + 1);
    bool bFlushed = FlushEntry(strFolder, FILE_FLAG_BACKUP_SEMANTICS) || FlushEntry(strName, FILE_ATTRIBUTE_NORMAL);
    return bFlushed && FolderSyncFaultFor(strFolder) == 0;
}

}  // namespace platform
