// The parts of orvel that each platform does its own way: interrupts and
// the console, the terminal, whether a port exists, where the devices are
// (orvelWin32.cpp, orvelPosix.cpp).
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

// Set by a signal handler, or on Windows by the console's handler thread.
extern std::atomic<bool> g_bInterrupted;
extern std::atomic<int> g_nSignal;   // what interrupted: SIGINT, SIGTERM, SIGHUP

// The last line of --help: where the whole reference is. Windows ships no
// man page; the guide beside orvel.exe has its part.
extern const char kReference[];

void CatchInterrupts();
// The port is released and no file of the command's own is left.
void SayCleanedUp();
void PutText(const char* szText, std::FILE* pFile);
bool StderrIsTerminal();
// A port that is merely busy exists; only a name the system does not know is absent.
bool PortExists(const std::string& strDevice);
// Whether what interrupted the command was a closed terminal (SIGHUP).
bool HungUp();

// Where the devices are: /dev, with what the kernel says of its ports; or
// ORVEL_DEVICE_DIR standing in for /dev, for tests and demonstrations on
// machines whose own ports must stay untouched.
struct DeviceDirs {
    std::string strDev;
    std::string strSysTty;
};

DeviceDirs TheDeviceDirs();
// Port n (--port 3) is then <dir>/comN.
void UseDeviceDirectory();
