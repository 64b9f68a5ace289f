// The ports a search tries on Windows, and what a --port path is there.
#include "PortNames.h"

#include "PortNamesPlatform.h"
#include "SerialPort.h"
#include "XKTCore.h"

bool IsDevicePath(const std::string& /*strArg*/)
{
    return false;   // a port is named by its number
}

std::vector<std::string> SearchPorts(const std::string& strDevDir, const std::string& strSysTtyDir)
{
    std::vector<std::string> ports;
    // The ports the dialog's search walks.
    (void)strDevDir;
    (void)strSysTtyDir;
    for (int32_t nPort = 1; nPort < NO_PORT; ++nPort)
        ports.push_back(SerialPort::DevicePath(nPort));
    return ports;
}
