// SystemPorts on Windows: the serial ports the drivers entered in the registry.
#include "SystemPorts.h"

#include <windows.h>

std::vector<ListedPort> SystemSerialPorts()
{
    std::vector<ListedPort> ports;
    HKEY hKey = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return ports;   // no serial driver has run since the start
    for (DWORD nIndex = 0;; ++nIndex) {
        char szName[256], szData[256];
        DWORD nNameSize = sizeof(szName), nDataSize = sizeof(szData) - 1, nType = 0;
        LONG nResult = RegEnumValueA(hKey, nIndex, szName, &nNameSize, NULL, &nType,
                                     reinterpret_cast<BYTE*>(szData), &nDataSize);
        if (nResult == ERROR_NO_MORE_ITEMS)
            break;
        if (nResult != ERROR_SUCCESS || nType != REG_SZ)
            continue;   // not a port's name (or too long to be one)
        szData[nDataSize] = '\0';
        ports.push_back({szName, szData});
    }
    RegCloseKey(hKey);
    return ports;
}
