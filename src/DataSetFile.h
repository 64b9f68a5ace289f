// Data set files: the instrument's text stored with DOS line ends.
//
// A download must never cost the operator an existing file: the new data
// goes to a temporary file beside the target and replaces the target only
// once it is complete on disk.
#pragma once

#include <string>

// Whether the file system has an entry of that name, whatever its kind or
// whoever holds it open.
bool FileExists(const std::string& strName);

// Whether Windows takes the name for a device: CON, PRN, AUX, NUL, COM1 to
// COM9 or LPT1 to LPT9 as the last part of the path, before its first dot,
// in any case, with trailing dots and spaces ignored ("nul", "Com2.txt",
// "lpt1 .txt", "runs\aux.txt"). The same on every platform, so a name is
// good or bad whichever front end saves it.
bool IsDeviceName(const std::string& strName);

// Whether a data set can be stored under the name: not a device name, and
// no existing entry there other than a plain file (a directory, a device or
// a FIFO could never hold it). Looks without opening anything, so it never
// blocks and never touches a device.
bool CanHoldDataSet(const std::string& strName);

// The text-mode form of data: every LF stored as CR LF, every other byte
// (zero bytes included) unchanged.
std::string ToTextMode(const std::string& strData);

// What a Commit did.
enum class CommitResult {
    Saved,        // in place and durable
    NotSaved,     // the target is as it was
    NotDurable,   // in place, but the folder could not be synced: nothing says it survives a power cut
};

// Where a front end that keeps a trace hears what the file system would not
// do and was let off (a folder that cannot be synced). Nothing is told while
// none is set.
using FileNoteSink = void (*)(const std::string& strText);
void SetFileNotes(FileNoteSink sink);
void FileNote(const std::string& strText);

// Where a test stands in for a file system whose folder sync fails: asked
// after each folder sync with the folder, a nonzero errno it returns counts
// as the sync's own failure. Nothing is asked while none is set.
using FolderSyncFault = int (*)(const std::string& strFolder);
void SetFolderSyncFault(FolderSyncFault fault);
int FolderSyncFaultFor(const std::string& strFolder);

class DataSetFile {
public:
    explicit DataSetFile(std::string strName);
    ~DataSetFile();   // an unfinished temporary file is removed
    DataSetFile(const DataSetFile&) = delete;
    DataSetFile& operator=(const DataSetFile&) = delete;

    // Prepares the replacement without touching the target: false when the
    // name cannot hold a data set, the temporary file cannot be created
    // beside it, or an existing target cannot be written.
    bool Create();
    // Writes strData in text mode and moves it into place, durably (the
    // data, then the folder's entry). Saved only when every step succeeded;
    // NotDurable when only the last sync failed: the target holds the new
    // data, but nothing says it survives a power cut.
    CommitResult Commit(const std::string& strData);
    // Drops the prepared replacement; the target stays as it was.
    void Discard();

private:
    std::string m_strName;
    std::string m_strTemp;
    int m_fd;
};
