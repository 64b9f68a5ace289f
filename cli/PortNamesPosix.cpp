// The ports a search tries on Linux, and what a --port path is there.
#include "PortNames.h"

#include "PortName.h"
#include "PortNamesPlatform.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <utility>

namespace {

constexpr int kOnBoardPorts = 4;

// The entries "<prefix>n" of a directory, as (n, name) in the order of n.
std::vector<std::pair<int, std::string>> NumberedEntries(const std::string& strDir, const std::string& strPrefix)
{
    std::vector<std::pair<int, std::string>> entries;
    DIR* dir = opendir(strDir.c_str());
    if (dir == nullptr)
        return entries;
    while (const dirent* entry = readdir(dir)) {
        std::string strName = entry->d_name;
        if (strName.compare(0, strPrefix.size(), strPrefix) == 0 && IsPortNumber(strName.substr(strPrefix.size())))
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

}  // namespace

bool IsDevicePath(const std::string& strArg)
{
    return strArg.find('/') != std::string::npos;
}

std::vector<std::string> SearchPorts(const std::string& strDevDir, const std::string& strSysTtyDir)
{
    std::vector<std::string> ports;
    const std::vector<std::string> consoles = ConsolePortNames(strSysTtyDir);
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
    return ports;
}
