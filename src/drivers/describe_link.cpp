#include "drivers/describe_link.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <chrono>

#include "drivers/line_faults.h"
#include "drivers/pty_driver.h"
#include "drivers/serial_tcpip_client.h"
#include "drivers/serial_tcpip_server.h"
#include "drivers/serial_win_comm.h"
#include "settings/names.h"
#include "settings/prefs.h"

LinkState DescribeLink(SerialDriver* link, const CommPrefs& settings) {
    SerialDriver* driver = Unwrapped(link);
    LinkState state;
    // A proxy is described side by side, each a link of its own; a side whose text did not
    // read shows as a port that is closed.
    state.kind = LinkKindFromSettings(settings.Type).value_or(LinkKind::Serial);
    if (state.kind == LinkKind::Proxy) state.kind = LinkKind::Serial;
    switch (state.kind) {
        case LinkKind::TcpClient:
            state.where = settings.RemoteIp + ":" + std::to_string(settings.RemotePort);
            if (auto* client = dynamic_cast<SerialTcpIpClient*>(driver)) {
                state.phase = client->IsConnected()    ? LinkState::Up
                              : client->IsConnecting() ? LinkState::Connecting
                                                       : LinkState::Closed;
                state.peers = client->PeerAddresses();
                if (const auto due = client->RetryDue()) {
                    // Whole seconds, rounded up: "retry in 1 s" until the try starts.
                    const auto left = std::max(std::chrono::steady_clock::duration::zero(),
                                               *due - std::chrono::steady_clock::now());
                    state.retryIn = static_cast<int>(
                        std::chrono::ceil<std::chrono::seconds>(left).count());
                }
            }
            break;
        case LinkKind::TcpServer:
            state.where = "port " + std::to_string(settings.LocalPort);
            if (auto* server = dynamic_cast<SerialTcpIpServer*>(driver);
                server != nullptr && server->IsOpen()) {
                state.where = "port " + std::to_string(server->LocalPort());
                state.phase = LinkState::Up;
                state.peers = server->PeerAddresses();
            }
            break;
        case LinkKind::Pty:
            state.where = settings.Port;
            if (auto* pty = dynamic_cast<PtyDriver*>(driver); pty != nullptr && pty->IsOpen()) {
                state.phase = LinkState::Up;
                state.where = pty->LinkPath();
                state.terminal = pty->TerminalPath();
                state.host = pty->HostSettings().SpeedAndStop();
                state.mismatch = pty->Mismatch();
            }
            break;
        case LinkKind::Serial:
        case LinkKind::Proxy:
            state.where = PortDisplayName(settings.Port);
            if (auto* port = dynamic_cast<SerialWinComm*>(driver);
                port != nullptr && port->IsOpen()) {
                state.phase = LinkState::Up;
                int lines = 0;
                if (port->ModemLines(lines)) {
                    state.dsr = (lines & TIOCM_DSR) != 0;
                    state.cts = (lines & TIOCM_CTS) != 0;
                    state.dcd = (lines & TIOCM_CAR) != 0;
                }
            }
            break;
    }
    return state;
}
