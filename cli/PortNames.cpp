#include "PortNames.h"

#include "SerialPort.h"
#include "XKTCore.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <utility>

#ifndef _WIN32
#include <dirent.h>
#include <sys/stat.h>
#endif

namespace {

// Windows keeps COM numbers below 256 unless told otherwise; anything longer
// than four digits is a typing error, not a port.
constexpr size_t kMaxPortDigits = 4;
constexpr int kOnBoardPorts = 4;
const char* const kDevicePrefix = "\\\\.\\";

bool IsNumber(const std::string& strText)
{
    return !strText.empty() && strText.size() <= kMaxPortDigits &&
           std::all_of(strText.begin(), strText.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

bool StartsWithNoCase(const std::string& strText, const char* szPrefix)
{
    size_t i = 0;
    for (; szPrefix[i] != '\0'; ++i) {
        if (i >= strText.size() ||
            std::tolower(static_cast<unsigned char>(strText[i])) != std::tolower(static_cast<unsigned char>(szPrefix[i])))
            return false;
    }
    return true;
}

#ifndef _WIN32
// The entries "<prefix>n" of a directory, as (n, name) in the order of n.
std::vector<std::pair<int, std::string>> NumberedEntries(const std::string& strDir, const std::string& strPrefix)
{
    std::vector<std::pair<int, std::string>> entries;
    DIR* dir = opendir(strDir.c_str());
    if (dir == nullptr)
        return entries;
    while (const dirent* entry = readdir(dir)) {
        std::string strName = entry->d_name;
        if (strName.compare(0, strPrefix.size(), strPrefix) == 0 && IsNumber(strName.substr(strPrefix.size())))
            entries.emplace_back(std::atoi(strName.c_str() + strPrefix.size()), strName);
    }
    closedir(dir);
    std::sort(entries.begin(), entries.end());
    return entries;
}

// The serial driver lists a port it found no UART for as type 0.
bool HasUart(const std::string& strSysTtyDir, const std::string& strName)
{
    if (strSysTtyDir.empty())
        return true;
    std::ifstream type(strSysTtyDir + "/" + strName + "/type");
    int nType = -1;
    return !(type >> nType) || nType != 0;
}

// The ports the kernel writes its console to.
std::vector<std::string> ConsolePorts(const std::string& strSysTtyDir)
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
#endif

}  // namespace

std::string PortDevice(const std::string& strArg)
{
    std::string strNumber = StartsWithNoCase(strArg, "COM") ? strArg.substr(3) : strArg;
    if (IsNumber(strNumber)) {
        int nPort = std::atoi(strNumber.c_str());
        return nPort >= 1 ? SerialPort::DevicePath(nPort) : std::string();
    }
#ifndef _WIN32
    if (strArg.find('/') != std::string::npos)
        return strArg;
#endif
    return std::string();
}

std::string PortDisplayName(const std::string& strDevice)
{
    if (strDevice.compare(0, 4, kDevicePrefix) == 0)
        return strDevice.substr(4);
    return strDevice;
}

std::vector<std::string> SearchPorts(const std::string& strDevDir, const std::string& strSysTtyDir)
{
    std::vector<std::string> ports;
#ifndef _WIN32
    const std::vector<std::string> consoles = ConsolePorts(strSysTtyDir);
    auto add = [&](const std::string& strName) {
        if (std::find(consoles.begin(), consoles.end(), strName) == consoles.end())
            ports.push_back(strDevDir + "/" + strName);
    };
    for (const char* szKind : {"ttyUSB", "ttyACM"}) {
        for (const auto& entry : NumberedEntries(strDevDir, szKind))
            add(entry.second);
    }
    for (const auto& entry : NumberedEntries(strDevDir, "ttyS")) {
        if (entry.first < kOnBoardPorts && HasUart(strSysTtyDir, entry.second))
            add(entry.second);
    }
#else
    // The ports the dialog's search walks.
    (void)strDevDir;
    (void)strSysTtyDir;
    for (int32_t nPort = 1; nPort < NO_PORT; ++nPort)
        ports.push_back(SerialPort::DevicePath(nPort));
#endif
    return ports;
}
