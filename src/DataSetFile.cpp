// What DataSetFile does the same way on every platform: the name rule, the
// text form and the temporary-file-then-move sequence.
#include "DataSetFile.h"

#include "DataSetFilePlatform.h"

#include <cctype>
#include <cerrno>

namespace {

// Set once by a front end before any file is saved.
FileNoteSink g_fileNoteSink = nullptr;
FolderSyncFault g_folderSyncFault = nullptr;

// Enough attempts to step over temporary files that a crash left behind.
constexpr int kTempAttempts = 100;

const char* const kDeviceNames[] = {"CON", "PRN", "AUX", "NUL"};
const char* const kNumberedDevices[] = {"COM", "LPT"};

bool SameLetters(const std::string& strA, const char* szB)
{
    size_t i = 0;
    for (; i < strA.size() && szB[i] != '\0'; ++i) {
        if (std::toupper(static_cast<unsigned char>(strA[i])) != szB[i])
            return false;
    }
    return i == strA.size() && szB[i] == '\0';
}

// The part Windows matches against its device names: the last part of the
// path (a drive letter counts as a path), up to its first dot, without the
// dots and spaces Windows strips from its end.
std::string DeviceStem(const std::string& strName)
{
    size_t begin = strName.find_last_of("/\\:");
    begin = begin == std::string::npos ? 0 : begin + 1;
    size_t end = strName.find('.', begin);
    if (end == std::string::npos)
        end = strName.size();
    while (end > begin && (strName[end - 1] == ' ' || strName[end - 1] == '.'))
        --end;
    return strName.substr(begin, end - begin);
}

}  // namespace

void SetFileNotes(FileNoteSink sink)
{
    g_fileNoteSink = sink;
}

void FileNote(const std::string& strText)
{
    if (g_fileNoteSink != nullptr)
        g_fileNoteSink(strText);
}

void SetFolderSyncFault(FolderSyncFault fault)
{
    g_folderSyncFault = fault;
}

int FolderSyncFaultFor(const std::string& strFolder)
{
    return g_folderSyncFault != nullptr ? g_folderSyncFault(strFolder) : 0;
}

bool IsDeviceName(const std::string& strName)
{
    const std::string strStem = DeviceStem(strName);
    for (const char* szDevice : kDeviceNames) {
        if (SameLetters(strStem, szDevice))
            return true;
    }
    if (strStem.size() != 4 || strStem[3] < '1' || strStem[3] > '9')
        return false;
    for (const char* szDevice : kNumberedDevices) {
        if (SameLetters(strStem.substr(0, 3), szDevice))
            return true;
    }
    return false;
}

bool CanHoldDataSet(const std::string& strName)
{
    return !IsDeviceName(strName) && !platform::IsOtherThanFile(strName);
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
    if (!CanHoldDataSet(m_strName))
        return false;
    if (FileExists(m_strName) && !platform::IsWritable(m_strName))
        return false;
    for (int attempt = 0; attempt < kTempAttempts && m_fd < 0; ++attempt) {
        std::string strTemp = m_strName + (attempt == 0 ? "" : "." + std::to_string(attempt)) + ".tmp";
        m_fd = platform::OpenNew(strTemp);
        if (m_fd >= 0)
            m_strTemp = strTemp;
        else if (errno != EEXIST)
            break;
    }
    return m_fd >= 0;
}

CommitResult DataSetFile::Commit(const std::string& strData)
{
    if (m_fd < 0)
        return CommitResult::NotSaved;
    bool bWritten = platform::WriteAll(m_fd, ToTextMode(strData));
    bool bClosed = platform::CloseFile(m_fd);
    m_fd = -1;
    if (!bWritten || !bClosed || !platform::MoveIntoPlace(m_strTemp, m_strName)) {
        Discard();
        return CommitResult::NotSaved;
    }
    m_strTemp.clear();
    // The new file is in place from here on, whatever the sync says.
    return platform::SyncFolderOf(m_strName) ? CommitResult::Saved : CommitResult::NotDurable;
}

void DataSetFile::Discard()
{
    if (m_fd >= 0) {
        platform::CloseFile(m_fd);
        m_fd = -1;
    }
    if (!m_strTemp.empty()) {
        platform::RemoveFile(m_strTemp);
        m_strTemp.clear();
    }
}
