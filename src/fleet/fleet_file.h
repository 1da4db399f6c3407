#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "drivers/fleet_client.h"
#include "settings/prefs.h"

// A fleet: many simulated devices in one process, described by templates (docs/FLEET.md,
// data/fleet.schema.json). Each template is a count of devices numbered from `first`; "{id}"
// (the device's number) and "{index}" (its place in the template, from 0) are replaced in its
// names, texts and paths.
namespace fleet {

// A file that cannot be a fleet: the message names the place ("/templates/0/count: ..." or,
// for a syntax error, "line 3, column 7: ...").
class FleetError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The most devices a fleet may have, all templates together.
inline constexpr std::uint32_t kMaxDevices = 100000;

struct OwnMessage {
    std::uint8_t type = 0;
    std::string text;  // bytes; "{id}" and "{index}" not yet replaced
};

struct Every {
    std::int64_t ms = 1000;
    std::int64_t jitterMs = 0;  // each wait is ms +- up to this, drawn from the seed
    OwnMessage message;
};

struct FaultProfile {
    std::optional<ReplyFaults> replyFaults;  // on every answer of the device
    bool neverConnect = false;
    std::int32_t dropAfterS = 0;  // 0: never
};

// Which devices of a template get the profile: a share of them (chosen by the seed) or the
// numbers of a range.
struct FaultShare {
    std::optional<double> fraction;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> range;  // inclusive
    FaultProfile profile;
};

struct Connect {
    std::string host;
    int port = 0;
    std::vector<std::string> sources;
    double rate = 100;
    std::int64_t retryFirstMs = 1000;
    std::int64_t retryLongestMs = 30000;
    double jitter = 0.2;
};

struct Template {
    std::string name;        // "{id}" allowed: each device's name
    std::uint32_t count = 0;
    std::uint32_t first = 1;
    Connect connect;
    std::vector<ReplyPrefs> replies;  // the device's reply table; empty: the link's
    std::string scenario;             // a scenario file, relative to the fleet file; "" none
    std::vector<OwnMessage> onConnect;
    std::optional<Every> every;
    std::vector<FaultShare> faults;
};

struct FleetFile {
    std::uint32_t seed = 1;
    std::vector<Template> templates;
};

// One device: small and flat; its texts come from its template when they are used.
struct Device {
    std::uint32_t number = 0;
    std::uint32_t index = 0;     // in its template
    std::uint32_t templ = 0;     // which template
    std::int32_t share = -1;     // the template's fault share it is in; -1 none
};

// "{id}" and "{index}" replaced; any other brace is left as it is.
std::string Substitute(std::string_view text, std::uint32_t id, std::uint32_t index);

// Reads a fleet; throws FleetError naming the place of the first problem.
FleetFile ParseFleet(std::string_view text);
// Reads the file (a regular file of at most 8 MiB); a refusal names the file too.
FleetFile LoadFleet(const std::string& path);

// Every device, in number order, each with the share it falls in (the first that takes it).
// A fraction takes round(fraction * count) devices of its template, chosen by the seed: the
// same devices every run.
std::vector<Device> ExpandDevices(const FleetFile& file);

const FaultProfile* ProfileOf(const FleetFile& file, const Device& device);
std::string DeviceName(const FleetFile& file, const Device& device);

// How the devices connect, for the fleet's driver.
FleetLinkPlan LinkPlan(const FleetFile& file, const std::vector<Device>& devices);

}  // namespace fleet
