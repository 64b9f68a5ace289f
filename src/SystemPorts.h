// SystemPorts: the serial ports the system itself lists.
//
// Windows enters every serial port its drivers serve in
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: each value's name is the driver's
// device ("\Device\Serial0", "\Device\VCP0", "\Device\BthModem2"), its data
// the port's name ("COM12"). Windows numbers a USB adapter when it first
// meets it, one number per adapter and socket, so on a lab PC an adapter is
// often COM10 or higher; Wine numbers its ports in the order it finds them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ListedPort {
    std::string strDriverDevice;   // "\Device\Serial11"
    std::string strName;           // "COM12"
};

// The system's list as it stands now, in the order the system gives it: on
// Windows the values of SERIALCOMM; elsewhere none, since only Windows
// names its ports COMn.
std::vector<ListedPort> SystemSerialPorts();

// Whether the port is a Bluetooth serial link: opening one makes Windows
// look for the paired device, which can take many seconds.
bool IsBluetoothPort(const ListedPort& port);
