// The serial ports of a Linux machine: the devices a search tries and the
// console's port, with what sysfs and /dev/serial/by-id tell about each.
#include "PortList.h"

#include "PortName.h"
#include "PortNames.h"

#include <algorithm>
#include <climits>
#include <dirent.h>
#include <fstream>
#include <stdlib.h>

namespace {

// A USB device sits a level or two above its tty in sysfs (the interface,
// then the device); anything further up is a hub or the bus, not ours.
constexpr int kUsbLevels = 3;

std::string RealPath(const std::string& strPath)
{
    char szReal[PATH_MAX];
    return realpath(strPath.c_str(), szReal) != nullptr ? std::string(szReal) : std::string();
}

std::string FirstLine(const std::string& strFile)
{
    std::ifstream file(strFile);
    std::string strLine;
    std::getline(file, strLine);
    while (!strLine.empty() && (strLine.back() == ' ' || strLine.back() == '\r'))
        strLine.pop_back();
    return strLine;
}

std::string BaseName(const std::string& strPath)
{
    size_t nSlash = strPath.rfind('/');
    return nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
}

void AddUsbDetails(const std::string& strSysTtyDir, PortInfo& info)
{
    if (strSysTtyDir.empty())
        return;
    std::string strDir = RealPath(strSysTtyDir + "/" + BaseName(info.strDevice) + "/device");
    for (int nLevel = 0; nLevel < kUsbLevels && !strDir.empty(); ++nLevel) {
        std::string strVendor = FirstLine(strDir + "/idVendor");
        if (!strVendor.empty()) {
            info.strUsbId = strVendor + ":" + FirstLine(strDir + "/idProduct");
            info.strManufacturer = FirstLine(strDir + "/manufacturer");
            info.strProduct = FirstLine(strDir + "/product");
            info.strSerial = FirstLine(strDir + "/serial");
            return;
        }
        strDir = strDir.substr(0, strDir.rfind('/'));
    }
}

void AddById(const std::string& strDevDir, PortInfo& info)
{
    const std::string strByIdDir = strDevDir + "/serial/by-id";
    const std::string strTarget = RealPath(info.strDevice);
    DIR* dir = opendir(strByIdDir.c_str());
    if (dir == nullptr || strTarget.empty()) {
        if (dir != nullptr)
            closedir(dir);
        return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir)) {
        std::string strName = entry->d_name;
        if (strName != "." && strName != ".." && RealPath(strByIdDir + "/" + strName) == strTarget)
            names.push_back(strByIdDir + "/" + strName);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    if (!names.empty())
        info.strById = names.front();
}

// The serial ports among those the kernel writes its console to.
std::vector<std::string> ConsoleDevices(const std::string& strDevDir, const std::string& strSysTtyDir)
{
    std::vector<std::string> devices;
    for (const std::string& strName : ConsolePortNames(strSysTtyDir)) {
        // tty0 and the like are the screen; only a serial line needs marking.
        bool bSerial = false;
        for (const char* szKind : {"ttyS", "ttyUSB", "ttyACM", "ttyAMA"})
            bSerial = bSerial || strName.compare(0, std::string(szKind).size(), szKind) == 0;
        if (bSerial && !RealPath(strDevDir + "/" + strName).empty())
            devices.push_back(strDevDir + "/" + strName);
    }
    return devices;
}

}  // namespace

std::vector<PortInfo> ListPorts(const std::string& strDevDir, const std::string& strSysTtyDir)
{
    std::vector<PortInfo> ports;
    for (const std::string& strDevice : SearchPorts(strDevDir, strSysTtyDir)) {
        PortInfo info;
        info.strDevice = strDevice;
        AddById(strDevDir, info);
        AddUsbDetails(strSysTtyDir, info);
        info.access = CheckPortAccess(strDevice);
        ports.push_back(info);
    }
    // The search leaves the console's port out; the list shows it, marked,
    // since an operator who sees a port missing would wonder.
    for (const std::string& strDevice : ConsoleDevices(strDevDir, strSysTtyDir)) {
        PortInfo info;
        info.strDevice = strDevice;
        info.bConsole = true;
        AddById(strDevDir, info);
        AddUsbDetails(strSysTtyDir, info);
        ports.push_back(info);
    }
    return ports;
}
