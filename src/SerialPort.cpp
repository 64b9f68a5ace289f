// What SerialPort does the same way on every platform.
#include "SerialPort.h"

bool SerialPort::Open(int32_t port, int32_t baud)
{
    return Open(DevicePath(port), baud);
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
