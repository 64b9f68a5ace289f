// SystemPorts on POSIX: the system names no COM ports.
#include "SystemPorts.h"

std::vector<ListedPort> SystemSerialPorts()
{
    return {};
}
