// The list of ports Connect searches, from the system's list of serial ports.
#include "SerialPort.h"
#include "XKTCore.h"

#include <gtest/gtest.h>

namespace {

TEST(SearchList, FixedPortsThenListedOnesByNumberBluetoothLast)
{
    SerialPort::SetDeviceDirectory("/tmp/ports");
    // In the order a registry gives its values, which is not the ports'.
    const std::vector<ListedPort> listed = {
        {"\\Device\\Serial1", "COM2"},          // one of the fixed ports: tried there
        {"\\Device\\BthModem0", "COM11"},
        {"\\Device\\VCP0", "COM12"},
        {"\\Device\\Serial255", "COM256"},
        {"\\Device\\ProlificSerial0", "COM10"},
        {"\\Device\\com0com10", "CNCA0"},
        {"\\Device\\BthModem1", "COM9"},
        {"\\Device\\Serial11", "COM12"},        // listed twice, tried once
    };
    std::vector<int32_t> numbers;
    std::vector<std::string> devices;
    for (const PortRef& port : SearchList(listed)) {
        numbers.push_back(port.nNumber);
        devices.push_back(port.strDevice);
    }
    EXPECT_EQ((std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 10, 12, 256, 9, 11}), numbers);
    // Port n is the device directory's comN (SerialPort's POSIX rule).
    const std::vector<std::string> expected = {
        "/tmp/ports/com1",  "/tmp/ports/com2",  "/tmp/ports/com3",   "/tmp/ports/com4", "/tmp/ports/com5",
        "/tmp/ports/com6",  "/tmp/ports/com7",  "/tmp/ports/com8",   "/tmp/ports/com10", "/tmp/ports/com12",
        "/tmp/ports/com256", "/tmp/ports/com9", "/tmp/ports/com11",
    };
    EXPECT_EQ(expected, devices);

    numbers.clear();
    for (const PortRef& port : SearchList({}))
        numbers.push_back(port.nNumber);
    EXPECT_EQ((std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8}), numbers);
    SerialPort::SetDeviceDirectory("");
}

}  // namespace
