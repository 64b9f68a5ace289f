// PortNames: what orvel's --port means, and which ports it searches by default
// (what a port's name is, and how it is shown: PortName).
#pragma once

#include <string>
#include <vector>

// The device that a --port argument names: a number or COMn (any number, in
// any case) is the platform's port of that number; on POSIX a text with a
// slash is a device path. Empty when the text names no port at all.
std::string PortDevice(const std::string& strArg);

// The devices a search tries. Windows: those of the dialog's search (COM1 to
// COM8, then the other COM ports the system lists; see ComPorts). POSIX, in
// this order: USB serial adapters
// (ttyUSB*), USB CDC-ACM adapters (ttyACM*), each by number, then the
// on-board ports ttyS0 to ttyS3. Only entries that exist in strDevDir count;
// an on-board port that strSysTtyDir (the kernel's tty class, e.g.
// /sys/class/tty) reports without a UART behind it is left out, since
// probing it would only cost a second, and so is a port the kernel's console
// runs on, since a probe would write into it. An empty strSysTtyDir keeps
// them all.
std::vector<std::string> SearchPorts(const std::string& strDevDir, const std::string& strSysTtyDir);

// Where a search looks on a Linux machine.
constexpr const char* kDevDir = "/dev";
constexpr const char* kSysTtyDir = "/sys/class/tty";
