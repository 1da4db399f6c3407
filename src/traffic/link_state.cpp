#include "traffic/link_state.h"

#include <sys/ioctl.h>

#include "drivers/serial_tcpip_client.h"
#include "drivers/serial_tcpip_server.h"
#include "drivers/serial_win_comm.h"
#include "settings/prefs.h"

std::string LinkState::Encode() const {
    std::string text = std::to_string(kind) + '\t' + std::to_string(phase) + '\t' +
                       (dsr ? "1" : "0") + '\t' + (cts ? "1" : "0") + '\t' + (dcd ? "1" : "0") +
                       '\t' + where;
    for (const std::string& peer : peers) text += '\t' + peer;
    return text;
}

LinkState LinkState::Decode(const std::string& text) {
    LinkState state;
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = text.find('\t', start);
        fields.push_back(
            text.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    if (fields.size() < 6) return state;
    const auto number = [](const std::string& field, int low, int high) {
        const int value =
            field.size() == 1 && field[0] >= '0' && field[0] <= '9' ? field[0] - '0' : low;
        return value > high ? low : value;
    };
    state.kind = number(fields[0], Serial, Server);
    state.phase = number(fields[1], Closed, Up);
    state.dsr = fields[2] == "1";
    state.cts = fields[3] == "1";
    state.dcd = fields[4] == "1";
    state.where = fields[5];
    state.peers.assign(fields.begin() + 6, fields.end());
    return state;
}

bool LinkState::Connected() const {
    return phase == Up && (kind == Serial || !peers.empty());
}

std::string LinkState::Summary() const {
    switch (kind) {
        case Client:
            if (phase == Up) return "Connected to " + where;
            if (phase == Connecting) return "Connecting to " + where;
            return "Not connected to " + where;
        case Server:
            if (phase != Up) return "Not listening on " + where;
            if (peers.empty()) return "Listening on " + where + ", no client";
            if (peers.size() == 1) return "Listening on " + where + ", client " + peers[0];
            return "Listening on " + where + ", " + std::to_string(peers.size()) + " clients";
        default:
            if (phase != Up) return where + " closed";
            return where + " open  DSR " + (dsr ? "on" : "off") + "  CTS " + (cts ? "on" : "off") +
                   "  DCD " + (dcd ? "on" : "off");
    }
}

std::string LinkState::Details() const {
    std::string text = Summary();
    if (kind == Server && !peers.empty()) {
        text += "\nConnected clients:";
        for (const std::string& peer : peers) text += "\n  " + peer;
    } else if (kind == Client && phase == Closed) {
        text += "\nThe connection failed or was closed; reopen the link to try again.";
    } else if (kind == Serial && phase == Up) {
        text += std::string("\nData Set Ready: ") + (dsr ? "on" : "off") +
                "\nClear To Send: " + (cts ? "on" : "off") +
                "\nData Carrier Detect: " + (dcd ? "on" : "off");
    }
    return text;
}

LinkState DescribeLink(SerialDriver* driver, const CommPrefs& settings) {
    LinkState state;
    state.kind = settings.Type == 1   ? LinkState::Client
                 : settings.Type == 2 ? LinkState::Server
                                      : LinkState::Serial;
    switch (state.kind) {
        case LinkState::Client:
            state.where = settings.RemoteIp + ":" + std::to_string(settings.RemotePort);
            if (auto* client = dynamic_cast<SerialTcpIpClient*>(driver)) {
                state.phase = client->IsConnected()    ? LinkState::Up
                              : client->IsConnecting() ? LinkState::Connecting
                                                       : LinkState::Closed;
                state.peers = client->PeerAddresses();
            }
            break;
        case LinkState::Server:
            state.where = "port " + std::to_string(settings.LocalPort);
            if (auto* server = dynamic_cast<SerialTcpIpServer*>(driver);
                server != nullptr && server->IsOpen()) {
                state.where = "port " + std::to_string(server->LocalPort());
                state.phase = LinkState::Up;
                state.peers = server->PeerAddresses();
            }
            break;
        default:
            state.where = settings.Port;
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
