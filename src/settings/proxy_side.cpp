#include "settings/proxy_side.h"

#include <iterator>
#include <optional>

#include "settings/names.h"
#include "settings/value_checks.h"
#include "text/integer.h"

namespace {

// Decimal digits only, nothing around them.
std::optional<std::int32_t> Digits(std::string_view text) {
    const std::optional<std::uint64_t> value = ParseUnsigned(text, INT32_MAX);
    if (!value) return std::nullopt;
    return static_cast<std::int32_t>(*value);
}

// "HOST:PORT" or "[V6]:PORT": the host and the port's text; false when there is no port.
bool SplitHostPort(std::string_view text, std::string& host, std::string_view& port) {
    std::size_t colon;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
        host.assign(text.substr(1, close - 1));
        colon = close + 1;
    } else {
        colon = text.rfind(':');
        if (colon == std::string_view::npos) return false;
        host.assign(text.substr(0, colon));
    }
    port = text.substr(colon + 1);
    return true;
}

bool ParsePort(std::string_view text, std::int32_t& port, bool zeroAllowed) {
    const auto value = Digits(text);
    if (!value || !(kTcpPortRange.Holds(*value) || (zeroAllowed && *value == 0))) return false;
    port = static_cast<std::int32_t>(*value);
    return true;
}

}  // namespace

ProxySideLink ParseProxySide(std::string_view text, const CommPrefs& base, std::string& error) {
    ProxySideLink side;
    side.comm = base;
    error.clear();
    const std::size_t colon = text.find(':');
    const std::string_view kind = text.substr(0, colon);
    const std::string_view rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    const std::string quoted = "\"" + std::string(text) + "\"";
    if (kind == "serial" || kind == "pty") {
        side.comm.Type = SettingsValue(kind == "serial" ? LinkKind::Serial : LinkKind::Pty);
        std::string_view path = rest;
        // Both read alike: a number after the last colon is the baud rate, and must be one
        // offered; anything else there belongs to the path (/dev/serial/by-path/ names hold
        // colons of their own).
        const std::size_t last = rest.rfind(':');
        const std::string_view suffix = last == std::string_view::npos ? std::string_view() : rest.substr(last + 1);
        if (last != std::string_view::npos &&
            (suffix.empty() || suffix.find_first_not_of("+-0123456789") == std::string_view::npos)) {
            const auto baud = Digits(suffix);
            int index = -1;
            for (std::size_t i = 0; baud && i < std::size(kBaudRates); ++i)
                if (kBaudRates[i] == *baud) index = static_cast<int>(i);
            if (index < 0) {
                error = quoted + ": \"" + std::string(suffix) + "\" is not a baud rate offered (write " +
                        std::string(kind) + ":PATH[:BAUD])";
                return side;
            }
            side.comm.Baud = index;
            path = rest.substr(0, last);
        }
        if (path.empty()) {
            error = quoted + ": the port's path is missing";
            return side;
        }
        side.comm.Port.assign(path);
        return side;
    }
    if (kind == "tcp-client") {
        side.comm.Type = SettingsValue(LinkKind::TcpClient);
        std::string host;
        std::string_view port;
        if (!SplitHostPort(rest, host, port) || host.empty()) {
            error = quoted + ": write tcp-client:HOST:PORT";
        } else if (!ParsePort(port, side.comm.RemotePort, false)) {
            error = quoted + ": the port must be " + kTcpPortRange.Text();
        } else {
            side.comm.RemoteIp = host;
            // A proxy stands between two devices that come and go: a side that is down (at
            // the start, or later) is tried again with the client's back-off, whatever the
            // simulator's own link does.
            side.comm.AutoReconnect = 1;
        }
        return side;
    }
    if (kind == "tcp-server") {
        side.comm.Type = SettingsValue(LinkKind::TcpServer);
        std::string address;
        std::string_view port = rest;
        if (rest.find(':') != std::string_view::npos || (!rest.empty() && rest.front() == '[')) {
            if (!SplitHostPort(rest, address, port) || address.empty()) {
                error = quoted + ": write tcp-server:[ADDRESS:]PORT";
                return side;
            }
        }
        // 0 listens on a port the system picks (tests, scripts that read it from the status).
        if (!ParsePort(port, side.comm.LocalPort, true)) {
            error = quoted + ": the port must be " + ValueRange{0, kTcpPortRange.high}.Text();
            return side;
        }
        side.listenAddress = address;
        return side;
    }
    error = quoted + ": a side is serial:PATH[:BAUD], tcp-client:HOST:PORT, tcp-server:[ADDRESS:]PORT or pty:PATH[:BAUD]";
    return side;
}

std::string ProxySidesError(const CommPrefs& comm) {
    std::string error;
    ParseProxySide(comm.ProxyA, comm, error);
    if (!error.empty()) return "side A: " + error;
    ParseProxySide(comm.ProxyB, comm, error);
    if (!error.empty()) return "side B: " + error;
    if (comm.ProxyInject != 0 && comm.ProxyInject != 1) return "the side to send to must be 0 (A) or 1 (B)";
    return {};
}
