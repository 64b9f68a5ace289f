// What SerialPort does the same way on every platform.
#include "SerialPort.h"

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
