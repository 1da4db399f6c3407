#include "base/link_state.h"


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
