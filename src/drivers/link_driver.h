#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

class FleetBoard;
class SerialDriver;
struct CommPrefs;
struct FleetLinkPlan;

// What a link's driver needs besides its settings.
struct LinkDriverPlace {
    boost::asio::io_context& io;
    std::int32_t queueCapacity;     // TCP: the receive and transmit queues
    std::int32_t serialBufferSize;  // serial port: its input and output buffers
    std::string listenAddress;      // TCP server: listen on this address only; empty: on all
    // A fleet: the link is its devices' connections, whatever the settings' kind.
    std::shared_ptr<const FleetLinkPlan> fleet;
    std::shared_ptr<FleetBoard> fleetBoard;
};

// The driver of the link `settings` describe (its LinkKind), opened, or connecting or listening
// in the background; null for a kind without a driver of its own (the proxy is two links) and
// for a Type that names no kind. When it could not be opened `reason` says why and the driver
// is returned even so, to be opened again later. A TCP server whose address is taken throws.
std::unique_ptr<SerialDriver> MakeLinkDriver(const CommPrefs& settings,
                                             const LinkDriverPlace& place, std::string& reason);

// Opens `driver`, a serial port, (again) on the settings' port with their line settings and no
// flow control: "" when open, else why not.
std::string OpenSerialPort(SerialDriver* driver, const CommPrefs& settings);
