// PortName: what the name of a serial port is, the same on every platform.
//
// Windows names its serial ports COMn. It opens COM1 to COM9 by those names
// alone, and a port from COM10 on (or one a driver named otherwise, such as
// com0com's "CNCA0") only in its device namespace: "\\.\COM10". Linux names
// a port after its driver and number (ttyS0, ttyUSB3) and lists those its
// kernel console writes to in /sys/class/tty/console/active.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Windows hands out COM numbers below 256 unless its database of COM names
// is grown, and that database holds 4096 at most: four digits hold every
// port number, and a longer one is a typing error, not a port.
constexpr size_t MAX_PORT_DIGITS = 4;

// The prefix of a device in Windows' device namespace.
constexpr const char* DEVICE_NAMESPACE = "\\\\.\\";

// Whether strText begins with strPrefix, letters in either case.
bool StartsWithNoCase(const std::string& strText, const std::string& strPrefix);

// Whether strText is a number: one digit or more, nothing else.
bool IsDigits(const std::string& strText);

// Whether strText is a port number as a name writes it: digits only, at most
// MAX_PORT_DIGITS of them.
bool IsPortNumber(const std::string& strText);

// The number of a COM port's name ("COM12", in any case, gives 12), or 0 for
// a text that names no COM port ("CNCA0", "COM0", "COM12x").
int32_t ComNumber(const std::string& strName);

// The device by which Windows opens COM port n: "COM9", "\\.\COM10".
std::string ComDevicePath(int32_t nPort);

// The device by which Windows opens a port a driver named: "\\.\CNCA0".
std::string DeviceNamespacePath(const std::string& strName);

// How a device is shown to the operator: "COM12", not "\\.\COM12"; a device
// outside Windows' namespace as it is.
std::string PortDisplayName(const std::string& strDevice);

// The ports the kernel writes its console to ("tty0", "ttyS0"), as
// strSysTtyDir (the kernel's tty class, /sys/class/tty) lists them; none
// where it lists none or strSysTtyDir is empty.
std::vector<std::string> ConsolePortNames(const std::string& strSysTtyDir);
