#include "DataSetFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

// Enough attempts to step over temporary files that a crash left behind.
constexpr int kTempAttempts = 100;

#ifdef _WIN32
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

bool CloseFile(int fd) { return _close(fd) == 0; }
void RemoveFile(const std::string& strName) { DeleteFileA(strName.c_str()); }

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
#else
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

bool CloseFile(int fd) { return close(fd) == 0; }
void RemoveFile(const std::string& strName) { unlink(strName.c_str()); }

bool IsWritable(const std::string& strName)
{
    int fd = open(strName.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

bool MoveIntoPlace(const std::string& strFrom, const std::string& strTo)
{
    return rename(strFrom.c_str(), strTo.c_str()) == 0;
}
#endif

}  // namespace

bool FileExists(const std::string& strName)
{
#ifdef _WIN32
    return GetFileAttributesA(strName.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat info;
    return lstat(strName.c_str(), &info) == 0;
#endif
}

std::string ToTextMode(const std::string& strData)
{
    std::string strText;
    strText.reserve(strData.size() + strData.size() / 16);
    for (char c : strData) {
        if (c == '\n')
            strText += '\r';
        strText += c;
    }
    return strText;
}

DataSetFile::DataSetFile(std::string strName) : m_strName(std::move(strName)), m_fd(-1)
{
}

DataSetFile::~DataSetFile()
{
    Discard();
}

bool DataSetFile::Create()
{
    Discard();
    if (FileExists(m_strName) && !IsWritable(m_strName))
        return false;
    for (int attempt = 0; attempt < kTempAttempts && m_fd < 0; ++attempt) {
        std::string strTemp = m_strName + (attempt == 0 ? "" : "." + std::to_string(attempt)) + ".tmp";
        m_fd = OpenNew(strTemp);
        if (m_fd >= 0)
            m_strTemp = strTemp;
        else if (errno != EEXIST)
            break;
    }
    return m_fd >= 0;
}

bool DataSetFile::Commit(const std::string& strData)
{
    if (m_fd < 0)
        return false;
    bool bWritten = WriteAll(m_fd, ToTextMode(strData));
    bool bClosed = CloseFile(m_fd);
    m_fd = -1;
    if (!bWritten || !bClosed || !MoveIntoPlace(m_strTemp, m_strName)) {
        Discard();
        return false;
    }
    m_strTemp.clear();
    return true;
}

void DataSetFile::Discard()
{
    if (m_fd >= 0) {
        CloseFile(m_fd);
        m_fd = -1;
    }
    if (!m_strTemp.empty()) {
        RemoveFile(m_strTemp);
        m_strTemp.clear();
    }
}
