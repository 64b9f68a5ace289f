// What PortNames does per platform (PortNamesWin32.cpp, PortNamesPosix.cpp),
// and what both use.
#pragma once

#include <string>

// Whether a --port text names a device by its path: on POSIX any text with
// a slash; on Windows none does.
bool IsDevicePath(const std::string& strArg);
