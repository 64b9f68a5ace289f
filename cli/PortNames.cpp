// What --port means and how a port is shown, the same on every platform.
#include "PortNames.h"

#include "PortNamesPlatform.h"
#include "SerialPort.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace {

const char* const kDevicePrefix = "\\\\.\\";

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

}  // namespace

// Windows keeps COM numbers below 256 unless told otherwise; anything longer
// than four digits is a typing error, not a port.
constexpr size_t kMaxPortDigits = 4;

bool IsNumber(const std::string& strText)
{
    return !strText.empty() && strText.size() <= kMaxPortDigits &&
           std::all_of(strText.begin(), strText.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

std::string PortDevice(const std::string& strArg)
{
    std::string strNumber = StartsWithNoCase(strArg, "COM") ? strArg.substr(3) : strArg;
    if (IsNumber(strNumber)) {
        int nPort = std::atoi(strNumber.c_str());
        return nPort >= 1 ? SerialPort::DevicePath(nPort) : std::string();
    }
    if (IsDevicePath(strArg))
        return strArg;
    return std::string();
}

std::string PortDisplayName(const std::string& strDevice)
{
    if (strDevice.compare(0, 4, kDevicePrefix) == 0)
        return strDevice.substr(4);
    return strDevice;
}

