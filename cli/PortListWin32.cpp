// The COM ports Windows lists.
#include "PortList.h"

#include "PortName.h"
#include "PortNames.h"
#include "SystemPorts.h"

#include <algorithm>
#include <utility>

std::vector<PortInfo> ListPorts(const std::string& /*strDevDir*/, const std::string& /*strSysTtyDir*/)
{
    // By number; a name that is not COMn comes first.
    std::vector<std::pair<int32_t, PortInfo>> found;
    for (const ListedPort& port : SystemSerialPorts()) {
        PortInfo info;
        info.strSystemName = port.strDriverDevice;
        info.strDevice = PortDevice(port.strName);
        if (info.strDevice.empty())
            info.strDevice = DeviceNamespacePath(port.strName);   // not COMn: opened by its name
        found.emplace_back(ComNumber(port.strName), info);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<PortInfo> ports;
    for (auto& entry : found) {
        entry.second.access = CheckPortAccess(entry.second.strDevice);
        ports.push_back(entry.second);
    }
    return ports;
}
