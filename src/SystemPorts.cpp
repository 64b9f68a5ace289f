// What SystemPorts reads from a listed port, the same on every platform.
#include "SystemPorts.h"

#include "PortName.h"

bool IsBluetoothPort(const ListedPort& port)
{
    // The name Windows' Bluetooth serial driver gives every port it serves.
    return StartsWithNoCase(port.strDriverDevice, "\\Device\\BthModem");
}
