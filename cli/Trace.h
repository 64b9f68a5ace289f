// Trace: every byte orvel sends and receives, for a support case.
//
// One line per chunk moved, timed from the start of the command:
//   0.512 > 79  |y|
//   0.530 < 48 56 4d 2d 33 30  |HVM-30|
// and the opens and closes of ports as lines of their own:
//   0.501 # open /dev/ttyUSB0 at 9600 baud
// The bytes as hexdump -C shows them: two-digit hex, then the bytes between
// bars with everything unprintable as a dot.
#pragma once

#include <cstddef>
#include <string>

// The line (without its line end) for a chunk sent ('>') or received ('<'),
// or a note ('#', data is its text), dSeconds after the start.
std::string TraceLine(double dSeconds, char cKind, const char* data, size_t nCount);

// From now on every port's traffic goes to strFile ("-": stderr), timed from
// this call. False, with the system's reason in strError, when the file
// cannot be written.
bool StartTrace(const std::string& strFile, std::string& strError);
// Ends the trace and closes its file. False, with the system's reason in
// strError, when some of it could not be written (a full disk): a trace
// with a gap tells a wrong story.
bool StopTrace(std::string& strError);
