// What PortNames does per platform (PortNamesWin32.cpp, PortNamesPosix.cpp),
// and what both use.
#pragma once

#include <string>

// A port number as --port and the device names write it: digits only, and
// not too many of them.
bool IsNumber(const std::string& strText);

// Whether a --port text names a device by its path: on POSIX any text with
// a slash; on Windows none does.
bool IsDevicePath(const std::string& strArg);
