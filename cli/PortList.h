// PortList: the serial ports of this machine, as `orvel ports` shows them.
#pragma once

#include "PortAccess.h"

#include <string>
#include <vector>

struct PortInfo {
    std::string strDevice;        // what --port takes
    std::string strById;          // its /dev/serial/by-id name, a steady name for a USB adapter
    std::string strUsbId;         // "0403:6001", USB vendor and product
    std::string strManufacturer;  // from the adapter's USB descriptors
    std::string strProduct;
    std::string strSerial;
    std::string strSystemName;    // Windows: the driver's device, "\Device\Serial0"
    bool bConsole = false;        // the kernel's console runs on it: never opened
    PortError access;             // free, or why it cannot be used
};

// The ports: on Linux the devices a search tries in strDevDir (see
// SearchPorts) and the console's serial port, with what strSysTtyDir (the
// kernel's tty class, /sys/class/tty; "" for none) and strDevDir/serial/by-id
// tell about each; on Windows the COM ports the system lists
// (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM), by number, and the arguments are not
// used. Each port but the console is opened and closed at once to see
// whether it is free; nothing is written to any.
std::vector<PortInfo> ListPorts(const std::string& strDevDir, const std::string& strSysTtyDir);

// One line: the device, then what is known, then "free", the reason it
// cannot be used, or "kernel console"; fields apart by two spaces.
std::string PortLine(const PortInfo& info);
