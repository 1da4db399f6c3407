#pragma once

#include <string>
#include <string_view>

#include "settings/prefs.h"

// One side of the proxy as a link of its own: the settings a link of that kind opens with.
struct ProxySideLink {
    CommPrefs comm;            // a serial, TCP client, TCP server or virtual port link
    std::string listenAddress;  // TCP server: listen on this address only; empty: on all
};

// A side written "serial:PATH[:BAUD]", "tcp-client:HOST:PORT", "tcp-server:[ADDRESS:]PORT" or
// "pty:PATH[:BAUD]" (an IPv6 host or address in brackets: "tcp-client:[::1]:5000"). A serial or
// virtual side reads alike: after the last colon comes a baud rate offered, or the side is
// refused. The line settings a serial or virtual side does not name come from `base`; a TCP
// client side always connects again by itself. On a fault `error` says what is wrong and the
// result is not to be used.
ProxySideLink ParseProxySide(std::string_view text, const CommPrefs& base, std::string& error);

// Both sides of a proxy's settings, each checked; the first fault names its side ("side B:
// ..."); empty when both are sound.
std::string ProxySidesError(const CommPrefs& comm);
