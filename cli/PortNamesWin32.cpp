// The ports a search tries on Windows, and what a --port path is there.
#include "PortNames.h"

#include "PortNamesPlatform.h"
#include "XKTCore.h"

bool IsDevicePath(const std::string& /*strArg*/)
{
    return false;   // a port is named by its number
}

std::vector<std::string> SearchPorts(const std::string& /*strDevDir*/, const std::string& /*strSysTtyDir*/)
{
    // The dialog's search: COM1 to COM8, then the system's other COM ports.
    std::vector<std::string> ports;
    for (const PortRef& port : ComPorts())
        ports.push_back(port.strDevice);
    return ports;
}
