#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "settings/link_kind.h"

// What the link is doing, for the status bar: reported by the control thread when it changes
// (event LinkState), so the window never asks the driver itself.
struct LinkState {
    enum Phase { Closed = 0, Connecting = 1, Up = 2 };

    LinkKind kind = LinkKind::Serial;
    int phase = Closed;
    std::string where;               // the port, the remote address, or the listening port
    std::vector<std::string> peers;  // TCP: the other sides' addresses
    bool dsr = false, cts = false, dcd = false;  // serial modem lines
    int retryIn = -1;  // TCP client: seconds until it tries to connect again; -1 no try due
    // Virtual serial port: the terminal the link leads to, the line as the host last set it
    // ("115200 baud, 1 stop bit") and whether that differs from the simulator's.
    std::string terminal;
    std::string host;
    bool mismatch = false;
    // Proxy: side A's link and side B's, each described as a link of its own.
    std::vector<LinkState> sides;

    // When the state was seen (wall clock, microseconds since the epoch; 0 not known), so that
    // a record of the link can place it among the frames. Not part of the state itself.
    std::int64_t micros = 0;

    bool operator==(const LinkState& other) const;

    // One short line for the status bar, and the details for its tooltip.
    std::string Summary() const;
    std::string Details() const;
    // Whether bytes can flow (serial open, TCP connected to at least one peer; a proxy: both
    // sides).
    bool Connected() const;
    // Whether `after` has a connection `before` had not: the link came up, or a new client.
    static bool Gained(const LinkState& before, const LinkState& after);
};
