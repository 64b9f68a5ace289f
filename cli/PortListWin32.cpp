// The COM ports Windows lists.
#include "PortList.h"

#include "PortNames.h"

#include <algorithm>
#include <cstdlib>
#include <windows.h>

std::vector<PortInfo> ListPorts(const std::string& /*strDevDir*/, const std::string& /*strSysTtyDir*/)
{
    // The serial drivers enter every port they serve here: value name the
    // driver's device, value data the COM name.
    std::vector<std::pair<long, PortInfo>> found;
    HKEY hKey = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return {};
    for (DWORD nIndex = 0;; ++nIndex) {
        char szName[256], szData[256];
        DWORD nNameSize = sizeof(szName), nDataSize = sizeof(szData) - 1, nType = 0;
        LONG nResult = RegEnumValueA(hKey, nIndex, szName, &nNameSize, NULL, &nType,
                                     reinterpret_cast<BYTE*>(szData), &nDataSize);
        if (nResult == ERROR_NO_MORE_ITEMS)
            break;
        if (nResult != ERROR_SUCCESS || nType != REG_SZ)
            continue;
        szData[nDataSize] = '\0';
        PortInfo info;
        info.strSystemName = szName;
        info.strDevice = PortDevice(szData);
        if (info.strDevice.empty())
            info.strDevice = std::string("\\\\.\\") + szData;   // not COMn: opened by its name
        long nNumber = std::strtol(szData + (std::string(szData).compare(0, 3, "COM") == 0 ? 3 : 0), nullptr, 10);
        found.emplace_back(nNumber, info);
    }
    RegCloseKey(hKey);
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<PortInfo> ports;
    for (auto& entry : found) {
        entry.second.access = CheckPortAccess(entry.second.strDevice);
        ports.push_back(entry.second);
    }
    return ports;
}
