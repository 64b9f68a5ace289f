// How `orvel ports` shows a port, the same on every platform.
#include "PortList.h"

#include "PortName.h"
#include "PortNames.h"

std::string PortLine(const PortInfo& info)
{
    std::string strLine = PortDisplayName(info.strDevice);
    for (const std::string& strField : {info.strById, info.strSystemName, info.strUsbId, info.strManufacturer,
                                        info.strProduct, info.strSerial.empty() ? std::string() : "serial " + info.strSerial}) {
        if (!strField.empty())
            strLine += "  " + strField;
    }
    if (info.bConsole)
        return strLine + "  kernel console";
    return strLine + "  " + (info.access.Failed() ? info.access.strText : std::string("free"));
}
