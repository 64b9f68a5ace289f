// PortName: the rules of serial port names, one copy for the core and orvel.
#include "PortName.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>

bool StartsWithNoCase(const std::string& strText, const std::string& strPrefix)
{
    return strText.size() >= strPrefix.size() &&
           std::equal(strPrefix.begin(), strPrefix.end(), strText.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

bool IsDigits(const std::string& strText)
{
    return !strText.empty() && std::all_of(strText.begin(), strText.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

bool IsPortNumber(const std::string& strText)
{
    return strText.size() <= MAX_PORT_DIGITS && IsDigits(strText);
}

int32_t ComNumber(const std::string& strName)
{
    if (!StartsWithNoCase(strName, "COM"))
        return 0;
    const std::string strDigits = strName.substr(3);
    if (!IsPortNumber(strDigits))
        return 0;
    return static_cast<int32_t>(std::atoi(strDigits.c_str()));
}

std::string ComDevicePath(int32_t nPort)
{
    std::string strName = "COM" + std::to_string(nPort);
    return nPort < 10 ? strName : DeviceNamespacePath(strName);
}

std::string DeviceNamespacePath(const std::string& strName)
{
    return DEVICE_NAMESPACE + strName;
}

std::string PortDisplayName(const std::string& strDevice)
{
    const std::string strPrefix = DEVICE_NAMESPACE;
    if (strDevice.compare(0, strPrefix.size(), strPrefix) == 0)
        return strDevice.substr(strPrefix.size());
    return strDevice;
}

std::vector<std::string> ConsolePortNames(const std::string& strSysTtyDir)
{
    std::vector<std::string> names;
    if (strSysTtyDir.empty())
        return names;
    std::ifstream active(strSysTtyDir + "/console/active");
    std::string strName;
    while (active >> strName)
        names.push_back(strName);
    return names;
}
