// orvel's POSIX edges: signals, the terminal, whether a device exists, and
// where the devices are.
#include "orvelPlatform.h"

#include "PortNames.h"
#include "SerialPort.h"

#include <csignal>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void OnSignal(int nSignal)
{
    g_nSignal = nSignal;
    g_bInterrupted = true;
}

}  // namespace

void CatchInterrupts()
{
    // SA_RESTART: a signal during a write to stdout, a file or the port must
    // not turn into a failed write. Pauses end early anyway: they sleep in
    // steps of 10 ms and look at the flag after each. A closed terminal
    // (SIGHUP) ends the command as Ctrl-C does, cleaning up.
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    // A reader gone from stdout or stderr must not end the program before
    // it has cleaned up; the failed write is noticed and reported instead.
    signal(SIGPIPE, SIG_IGN);
}

void SayCleanedUp()
{
}

const char kReference[] = "The reference, with every message and examples: man orvel";

void PutText(const char* szText, std::FILE* pFile)
{
    std::fputs(szText, pFile);
}

bool StderrIsTerminal()
{
    return isatty(STDERR_FILENO) != 0;
}

bool PortExists(const std::string& strDevice)
{
    struct stat info;
    return stat(strDevice.c_str(), &info) == 0;
}

bool HungUp()
{
    return g_nSignal == SIGHUP;
}

DeviceDirs TheDeviceDirs()
{
    DeviceDirs dirs = {kDevDir, kSysTtyDir};
    const char* szDevDir = std::getenv("ORVEL_DEVICE_DIR");
    if (szDevDir != nullptr && *szDevDir != '\0')
        dirs = {szDevDir, std::string()};   // the kernel's knowledge is about /dev, not about this folder
    return dirs;
}

void UseDeviceDirectory()
{
    if (TheDeviceDirs().strDev != kDevDir)
        SerialPort::SetDeviceDirectory(TheDeviceDirs().strDev);
}
