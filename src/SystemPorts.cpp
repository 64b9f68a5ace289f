// What SystemPorts reads from a listed port, the same on every platform.
#include "SystemPorts.h"

#include <algorithm>
#include <cctype>

namespace {

// Windows keeps COM numbers below 256 unless told otherwise; a name with
// more digits than this is not one of its ports.
constexpr size_t kMaxComDigits = 4;

bool StartsWithNoCase(const std::string& strText, const std::string& strPrefix)
{
    return strText.size() >= strPrefix.size() &&
           std::equal(strPrefix.begin(), strPrefix.end(), strText.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

}  // namespace

int32_t ListedComNumber(const std::string& strName)
{
    if (!StartsWithNoCase(strName, "COM"))
        return 0;
    const std::string strDigits = strName.substr(3);
    if (strDigits.empty() || strDigits.size() > kMaxComDigits ||
        !std::all_of(strDigits.begin(), strDigits.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }))
        return 0;
    return static_cast<int32_t>(std::stol(strDigits));
}

bool IsBluetoothPort(const ListedPort& port)
{
    // The name Windows' Bluetooth serial driver gives every port it serves.
    return StartsWithNoCase(port.strDriverDevice, "\\Device\\BthModem");
}
