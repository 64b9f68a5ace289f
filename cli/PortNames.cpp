// What --port means, the same on every platform.
#include "PortNames.h"

#include "PortName.h"
#include "PortNamesPlatform.h"
#include "SerialPort.h"

#include <cstdlib>

std::string PortDevice(const std::string& strArg)
{
    std::string strNumber = StartsWithNoCase(strArg, "COM") ? strArg.substr(3) : strArg;
    if (IsPortNumber(strNumber)) {
        int nPort = std::atoi(strNumber.c_str());
        return nPort >= 1 ? SerialPort::DevicePath(nPort) : std::string();
    }
    if (IsDevicePath(strArg))
        return strArg;
    return std::string();
}
