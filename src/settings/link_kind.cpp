#include "settings/link_kind.h"

#include <array>

#include "settings/names.h"
#include "settings/prefs.h"

namespace {

// ",9600,8,1,N"
std::string LineSummary(const CommPrefs& comm) {
    return "," + TableEntry(kBaudRates, comm.Baud) + "," + TableEntry(kDataBits, comm.Bits) + "," +
           TableEntry(kStopBits, comm.Stop) + "," + TableEntry(kParityLetters, comm.Parity);
}

std::string Plural(int n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// "Serial port ttyS0, 9600 baud, 8 data bits, parity None, 1 stop bit (ttyS0,9600,8,1,N)"
std::string LineDescription(const char* what, const std::string& port, const CommPrefs& comm,
                            const std::string& summary) {
    const int bits = comm.Bits >= 0 && comm.Bits < 2 ? kDataBits[comm.Bits] : 0;
    const int stop = comm.Stop >= 0 && comm.Stop < 2 ? kStopBits[comm.Stop] : 0;
    return what + port + ", " + TableEntry(kBaudRates, comm.Baud) + " baud, " +
           Plural(bits, "data bit", "data bits") + ", parity " +
           TableEntry(kParityNames, comm.Parity) + ", " + Plural(stop, "stop bit", "stop bits") +
           " (" + summary + ")";
}

std::string SerialSummary(const CommPrefs& comm) {
    return PortDisplayName(comm.Port) + LineSummary(comm);
}

LinkInterfaceText SerialInterface(const CommPrefs& comm, const std::string& where) {
    const std::string port = where.empty() ? PortDisplayName(comm.Port) : where;
    return {"serial:" + port, LineDescription("Serial port ", port, comm, SerialSummary(comm))};
}

std::string ClientSummary(const CommPrefs& comm) {
    return "TCP/IP Client to " + comm.RemoteIp + ":" + std::to_string(comm.RemotePort);
}

LinkInterfaceText ClientInterface(const CommPrefs& comm, const std::string& where) {
    const std::string to =
        where.empty() ? comm.RemoteIp + ":" + std::to_string(comm.RemotePort) : where;
    return {"tcp-client:" + to, "TCP/IP client to " + to};
}

std::string ServerSummary(const CommPrefs& comm) {
    return "TCP/IP Server on Port " + std::to_string(comm.LocalPort);
}

LinkInterfaceText ServerInterface(const CommPrefs& comm, const std::string& where) {
    const std::string on = where.empty() ? "port " + std::to_string(comm.LocalPort) : where;
    return {"tcp-server:" + on, "TCP/IP server on " + on};
}

std::string PtySummary(const CommPrefs& comm) {
    return "Virtual serial port " + comm.Port + LineSummary(comm);
}

LinkInterfaceText PtyInterface(const CommPrefs& comm, const std::string& where) {
    const std::string port = where.empty() ? comm.Port : where;
    return {"pty:" + port, LineDescription("Virtual serial port ", port, comm, PtySummary(comm))};
}

std::string ProxySummary(const CommPrefs& comm) {
    return "Proxy between A " + comm.ProxyA + " and B " + comm.ProxyB;
}

LinkInterfaceText ProxyInterface(const CommPrefs& comm, const std::string&) {
    return {"proxy:" + comm.ProxyA + " <-> " + comm.ProxyB,
            "Proxy between side A (" + comm.ProxyA + ") and side B (" + comm.ProxyB +
                "): inbound packets went from A to B, outbound from B to A"};
}

constexpr const char* kLineKeys[] = {"Port", "Baud", "Bits", "Stop", "Parity"};
constexpr const char* kClientKeys[] = {"RemoteIp", "RemotePort", "AutoReconnect"};
constexpr const char* kServerKeys[] = {"LocalPort"};
// A serial or virtual side takes the line settings it does not name.
constexpr const char* kProxyKeys[] = {"ProxyA", "ProxyB", "ProxyInject", "Baud",
                                      "Bits",   "Stop",   "Parity"};

// A line of its own takes a break (serial lines), XOFF and raw bytes; a link of connections
// can drop them; the proxy has no line of its own but can drop and reopen its sides.
constexpr std::array<LinkKindInfo, kLinkKindCount> kKinds = {{
    {LinkKind::Serial,
     "serial",
     "Serial Port (RS232)",
     kLineKeys,
     {.sendBreak = true, .modemLines = true, .xoff = true, .rawBytes = true, .reconnect = true},
     nullptr,
     SerialSummary,
     SerialInterface},
    {LinkKind::TcpClient,
     "tcp-client",
     "TCP/IP Client",
     kClientKeys,
     {.xoff = true, .rawBytes = true, .dropConnections = true, .reconnect = true},
     nullptr,
     ClientSummary,
     ClientInterface},
    {LinkKind::TcpServer,
     "tcp-server",
     "TCP/IP Server",
     kServerKeys,
     {.xoff = true, .rawBytes = true, .dropConnections = true, .reconnect = true, .listens = true},
     nullptr,
     ServerSummary,
     ServerInterface},
    {LinkKind::Pty,
     "pty",
     "Virtual Serial Port",
     kLineKeys,
     {.sendBreak = true, .xoff = true, .rawBytes = true, .reconnect = true, .makesPort = true},
     nullptr,
     PtySummary,
     PtyInterface},
    {LinkKind::Proxy,
     "proxy",
     "Proxy",
     kProxyKeys,
     {.dropConnections = true, .reconnect = true, .proxy = true},
     "The proxy has no line of its own: a break, XOFF or raw bytes go to a side as its line "
     "faults, or as a "
     "message of ours",
     ProxySummary,
     ProxyInterface},
}};
// Looked up by their settings value.
static_assert([] {
    for (std::size_t i = 0; i < kKinds.size(); ++i)
        if (SettingsValue(kKinds[i].kind) != static_cast<std::int32_t>(i)) return false;
    return true;
}());

bool SameLetters(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

}  // namespace

bool LinkKindInfo::Reads(std::string_view key) const {
    for (const char* k : settingsKeys)
        if (key == k) return true;
    return false;
}

std::span<const LinkKindInfo> LinkKinds() {
    return kKinds;
}

const LinkKindInfo& LinkKindOf(LinkKind kind) {
    return kKinds[static_cast<std::size_t>(kind)];
}

std::optional<LinkKind> LinkKindFromSettings(std::int32_t value) {
    for (const LinkKindInfo& info : kKinds)
        if (SettingsValue(info.kind) == value) return info.kind;
    return std::nullopt;
}

std::optional<LinkKind> LinkKindFromApiName(std::string_view name) {
    for (const LinkKindInfo& info : kKinds)
        if (SameLetters(name, info.apiName)) return info.kind;
    return std::nullopt;
}

const LinkKindInfo* FindLinkKind(const CommPrefs& comm) {
    const auto kind = LinkKindFromSettings(comm.Type);
    return kind ? &LinkKindOf(*kind) : nullptr;
}

LinkAbilities LinkCan(const CommPrefs& comm) {
    const LinkKindInfo* info = FindLinkKind(comm);
    return info != nullptr ? info->can : LinkAbilities{};
}
