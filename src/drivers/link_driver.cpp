#include "drivers/link_driver.h"

#include <exception>

#include "drivers/fleet_client.h"
#include "drivers/pty_driver.h"
#include "drivers/serial_tcpip_client.h"
#include "drivers/serial_tcpip_server.h"
#include "drivers/serial_win_comm.h"
#include "settings/link_kind.h"
#include "settings/prefs.h"

std::unique_ptr<SerialDriver> MakeLinkDriver(const CommPrefs& settings,
                                             const LinkDriverPlace& place, std::string& reason) {
    if (place.fleet)
        return std::make_unique<FleetClient>(place.io, *place.fleet, place.fleetBoard, place.queueCapacity,
                                             place.queueCapacity);
    const auto kind = LinkKindFromSettings(settings.Type);
    if (!kind) return nullptr;
    switch (*kind) {
        case LinkKind::Serial: {
            auto port =
                std::make_unique<SerialWinComm>("", place.serialBufferSize, place.serialBufferSize);
            reason = OpenSerialPort(port.get(), settings);
            return port;
        }
        case LinkKind::TcpClient:
            return std::make_unique<SerialTcpIpClient>(
                place.io, settings.RemoteIp, settings.RemotePort, place.queueCapacity,
                place.queueCapacity, SerialTcpIpClient::Resolver{},
                SerialTcpIpClient::Retry{settings.AutoReconnect != 0});
        case LinkKind::TcpServer:
            return std::make_unique<SerialTcpIpServer>(place.io, settings.LocalPort,
                                                       place.queueCapacity, place.queueCapacity,
                                                       place.listenAddress);
        case LinkKind::Pty: {
            auto pty = std::make_unique<PtyDriver>(place.io);
            if (pty->Open(settings.Port.c_str()) != 0) {
                pty->Configure(settings.Baud, settings.Bits, settings.Stop, settings.Parity);
            } else {
                reason = pty->OpenError();
            }
            return pty;
        }
        case LinkKind::Proxy:
            return nullptr;
    }
    return nullptr;
}

std::string OpenSerialPort(SerialDriver* driver, const CommPrefs& settings) {
    auto* port = dynamic_cast<SerialWinComm*>(driver);
    if (port == nullptr) return "COM port driver not instantiated.";
    try {
        if (port->IsOpen()) port->Close();
        port->Open(settings.Port.c_str());
        if (!port->IsOpen()) return "Error opening COM port: " + settings.Port;
        port->SetFlowControl(2);
        port->Configure(settings.Baud, settings.Bits, settings.Stop, settings.Parity);
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}
