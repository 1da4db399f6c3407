#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

struct CommPrefs;

// The kinds of link the simulator can be. The value of each is what the settings file keeps
// as Comm/Type, so it never changes once given.
enum class LinkKind : std::int32_t { Serial = 0, TcpClient = 1, TcpServer = 2, Pty = 3, Proxy = 4 };

// What a kind of link can be asked to do, and what it is.
struct LinkAbilities {
    bool sendBreak = false;        // a break on its line
    bool modemLines = false;       // DSR, CTS and DCD to watch
    bool xoff = false;             // hold the peer with XOFF, then XON
    bool rawBytes = false;         // bytes outside any frame, on a line of its own
    bool dropConnections = false;  // end the connection(s) it has now
    bool reconnect = false;        // open anew with its settings
    bool proxy = false;            // stands between two links of the other kinds
    bool listens = false;          // waits for the other side to connect
    bool makesPort = false;  // Port is a path this program creates, not a device that is there

    bool operator==(const LinkAbilities&) const = default;
};

// How a capture's interface names the link and says what it is.
struct LinkInterfaceText {
    std::string name;         // "tcp-server:port 5100", "serial:/dev/ttyUSB0"
    std::string description;  // kind, port or address, line settings in words
};

// One kind of link, described once: everything that differs between the kinds and is not the
// driver itself (drivers/link_driver.h makes that) is read here.
struct LinkKindInfo {
    LinkKind kind;
    const char* apiName;      // in the control API and the proxy's side texts: "tcp-client"
    const char* displayName;  // the preferences' radio button: "TCP/IP Client"
    // The Comm keys of the settings file this kind reads (besides Type).
    std::span<const char* const> settingsKeys;
    LinkAbilities can;
    // Why an action it cannot do is refused, when there is more to say than that; or null.
    const char* whyNot;
    // The one line the status bar shows of these settings: "TCP/IP Server on Port 5100".
    std::string (*summary)(const CommPrefs& comm);
    // A capture's interface for the link: `where` is where the open link really is (the
    // port a server listens on), empty to take it from the settings.
    LinkInterfaceText (*interfaceText)(const CommPrefs& comm, const std::string& where);

    bool Reads(std::string_view key) const;
};

// Every kind, in the order of their settings values (the order the preferences offer them).
std::span<const LinkKindInfo> LinkKinds();
inline constexpr std::int32_t kLinkKindCount = 5;

const LinkKindInfo& LinkKindOf(LinkKind kind);
// The kind the settings name; nothing for a value that names none.
std::optional<LinkKind> LinkKindFromSettings(std::int32_t value);
// The kind the API names, in any case ("TCP-Client" too); nothing for a name of none.
std::optional<LinkKind> LinkKindFromApiName(std::string_view name);
constexpr std::int32_t SettingsValue(LinkKind kind) {
    return static_cast<std::int32_t>(kind);
}

// The kind of the link `comm` describes; null when its Type names none.
const LinkKindInfo* FindLinkKind(const CommPrefs& comm);
// What the link `comm` describes can do; nothing at all for a Type that names no kind.
LinkAbilities LinkCan(const CommPrefs& comm);
