// The file operations under DataSetFile that each platform provides
// (DataSetFileWin32.cpp, DataSetFilePosix.cpp).
#pragma once

#include <string>

namespace platform {

// An existing entry of that name that is not a plain file.
bool IsOtherThanFile(const std::string& strName);
// Creates a new file for writing, failing with EEXIST when the name is taken;
// -1 on failure.
int OpenNew(const std::string& strName);
// Writes all of strData and forces it to disk.
bool WriteAll(int fd, const std::string& strData);
bool CloseFile(int fd);
void RemoveFile(const std::string& strName);
// Whether an existing plain file can be opened for writing.
bool IsWritable(const std::string& strName);
// Replaces strTo by strFrom in one step; false when the target is as it was.
bool MoveIntoPlace(const std::string& strFrom, const std::string& strTo);
// Makes the folder entry of strName durable, as far as the file system can:
// false when it cannot be known to survive a power cut.
bool SyncFolderOf(const std::string& strName);

}  // namespace platform
