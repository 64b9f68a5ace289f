// What SerialPort does the same way on every platform.
#include "SerialPort.h"

namespace {

std::vector<std::string>& DeviceNames()
{
    static std::vector<std::string> names;
    return names;
}

}  // namespace

void SerialPort::SetDeviceNames(std::vector<std::string> names)
{
    DeviceNames() = std::move(names);
}

std::string SerialPort::DeviceName(int32_t port)
{
    const std::vector<std::string>& names = DeviceNames();
    if (names.empty())
        return DevicePath(port);
    if (port < 1 || static_cast<size_t>(port) > names.size())
        return std::string();
    return names[static_cast<size_t>(port) - 1];
}

int32_t SerialPort::Send(const char* data, int32_t count)
{
    if (!IsOpen())
        return 0;

    // One write per byte; a byte the line did not take still counts.
    int32_t sent = 0;
    for (int32_t i = 0; i < count; ++i) {
        WriteByte(data[i]);
        ++sent;
    }
    return sent;
}
