#pragma once

#include <string>
#include <string_view>
#include <vector>

// Where the serial ports are looked for. Tests point these at a prepared tree.
struct SerialPortPlaces {
    std::string sysClassTty = "/sys/class/tty";
    std::string devDir = "/dev";
    std::string byIdDir = "/dev/serial/by-id";
};

// The serial ports of this machine as the preferences offer them: first the kernel's tty
// devices that are backed by hardware (a UART that answered, a USB adapter), by name
// ("ttyS0", "ttyUSB0"), in natural order; then the stable links in /dev/serial/by-id as full
// paths. Unreadable places simply add nothing.
std::vector<std::string> ListSerialPorts(const SerialPortPlaces& places = {});

// The device a port name opens (see SerialWinComm::DevicePathFor), with links resolved;
// empty when it does not exist now.
std::string ResolvePortDevice(std::string_view name, const SerialPortPlaces& places = {});

// A typed path to a terminal the kernel list never shows: a pseudo-terminal, or a link to
// one such as socat makes. Such a port is offered again while it exists.
bool IsUnlistedTerminal(std::string_view name, const SerialPortPlaces& places = {});
