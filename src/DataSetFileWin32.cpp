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
    return MoveFileExA(strFrom.c_str(), strTo.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace platform
