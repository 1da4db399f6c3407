#include "base/link_state.h"

#include <algorithm>


bool LinkState::operator==(const LinkState& other) const {
    return kind == other.kind && phase == other.phase && where == other.where && peers == other.peers &&
           dsr == other.dsr && cts == other.cts && dcd == other.dcd && retryIn == other.retryIn &&
           terminal == other.terminal && host == other.host && mismatch == other.mismatch && sides == other.sides;
}

bool LinkState::Connected() const {
    if (kind == LinkKind::Proxy)
        return sides.size() == 2 && sides[0].Connected() && sides[1].Connected();
    // A line is connected while open; a link of connections while it has one.
    return phase == Up && (!LinkKindOf(kind).can.dropConnections || !peers.empty());
}

bool LinkState::Gained(const LinkState& before, const LinkState& after) {
    if (!after.Connected()) return false;
    if (!before.Connected() || before.kind != after.kind || before.where != after.where) return true;
    if (after.kind == LinkKind::Proxy && before.sides.size() == 2 && after.sides.size() == 2)
        return Gained(before.sides[0], after.sides[0]) || Gained(before.sides[1], after.sides[1]);
    for (const std::string& peer : after.peers)
        if (std::find(before.peers.begin(), before.peers.end(), peer) == before.peers.end()) return true;
    return false;
}

std::string LinkState::Summary() const {
    switch (kind) {
        case LinkKind::Proxy:
            if (sides.size() != 2) return "Proxy: not open";
            return "Proxy  A: " + sides[0].Summary() + "  B: " + sides[1].Summary();
        case LinkKind::TcpClient:
            if (phase == Up) return "Connected to " + where;
            if (phase == Connecting) return "Connecting to " + where;
            if (retryIn >= 0) return "Not connected to " + where + ", retry in " + std::to_string(retryIn) + " s";
            return "Not connected to " + where;
        case LinkKind::TcpServer:
            if (phase != Up) return "Not listening on " + where;
            if (peers.empty()) return "Listening on " + where + ", no client";
            if (peers.size() == 1) return "Listening on " + where + ", client " + peers[0];
            return "Listening on " + where + ", " + std::to_string(peers.size()) + " clients";
        case LinkKind::Pty:
            if (phase != Up) return "Virtual serial port " + where + " closed";
            return "Virtual serial port " + where + " open, host " + host +
                   (mismatch ? " (does not match)" : "");
        default:
            if (phase != Up) return where + " closed";
            return where + " open  DSR " + (dsr ? "on" : "off") + "  CTS " + (cts ? "on" : "off") +
                   "  DCD " + (dcd ? "on" : "off");
    }
}

std::string LinkState::Details() const {
    if (kind == LinkKind::Proxy && sides.size() == 2)
        return "Proxy between side A and side B\n\nSide A: " + sides[0].Details() + "\n\nSide B: " + sides[1].Details();
    std::string text = Summary();
    if (kind == LinkKind::TcpServer && !peers.empty()) {
        text += "\nConnected clients:";
        for (const std::string& peer : peers) text += "\n  " + peer;
    } else if (kind == LinkKind::TcpClient && phase == Closed && retryIn >= 0) {
        text += "\nThe connection failed or was closed; it is tried again automatically, "
                "each time a little later (Link > Reconnect tries now).";
    } else if (kind == LinkKind::TcpClient && phase == Closed) {
        text += "\nThe connection failed or was closed; Link > Reconnect tries again.";
    } else if (kind == LinkKind::Pty && phase == Up) {
        text += "\nThe link leads to " + terminal + "; host software opens " + where +
                " as a serial port.\nThe host's line: " + host +
                (mismatch ? "\nIts speed or stop bits differ from the simulator's: a real line would garble the bytes."
                          : "") +
                "\n(A pseudo-terminal shows the host's speed and stop bits, not its data bits or parity.)";
    } else if (LinkKindOf(kind).can.modemLines && phase == Up) {
        text += std::string("\nData Set Ready: ") + (dsr ? "on" : "off") +
                "\nClear To Send: " + (cts ? "on" : "off") +
                "\nData Carrier Detect: " + (dcd ? "on" : "off");
    }
    return text;
}
