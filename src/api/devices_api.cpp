#include "api/devices_api.h"

#include "text/json_text.h"
#include "text/times.h"

using nlohmann::json;

json DeviceJson(const DeviceStatus& d) {
    return {{"id", d.number},
            {"name", BytesToJsonText(d.name)},
            {"template", d.group},
            {"state", DeviceStateName(d.state)},
            {"since", d.sinceMs == 0 ? json(nullptr) : json(IsoTime(d.sinceMs))},
            {"session", d.session == 0 ? json(nullptr) : json(d.session)},
            {"localAddress", d.state == DeviceState::Up ? json(d.localAddress) : json(nullptr)},
            {"connects", d.connects},
            {"drops", d.drops},
            {"failures", d.failures},
            {"received", d.received},
            {"sent", d.sent},
            {"lastError", d.lastError.empty() ? json(nullptr) : json(BytesToJsonText(d.lastError))}};
}

json DevicesPageJson(const FleetBoard& board, std::optional<DeviceState> state, std::uint32_t after,
                     std::size_t limit) {
    const std::vector<DeviceStatus> all = board.Snapshot();
    json counts = json::object();
    for (const DeviceState s : {DeviceState::Connecting, DeviceState::Up, DeviceState::Retrying, DeviceState::Failed})
        counts[DeviceStateName(s)] = 0;
    json page = json::array();
    json next = nullptr;
    for (const DeviceStatus& d : all) {
        counts[DeviceStateName(d.state)] = counts[DeviceStateName(d.state)].get<std::uint64_t>() + 1;
        if (d.number <= after || (state && d.state != *state) || !next.is_null()) continue;
        if (page.size() == limit) {
            next = page.back()["id"];  // another one follows: the next page starts after the last given
            continue;
        }
        page.push_back(DeviceJson(d));
    }
    return {{"devices", page}, {"total", all.size()}, {"counts", counts}, {"next", next}};
}

std::optional<DeviceState> DeviceStateQuery(const std::string& text, std::string& error) {
    if (auto state = DeviceStateFromName(text)) return state;
    error = "state must be connecting, up, retrying or failed.";
    return std::nullopt;
}
