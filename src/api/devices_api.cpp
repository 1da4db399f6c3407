#include "api/devices_api.h"

#include "api/resources.h"
#include "app/app_core.h"
#include "text/integer.h"

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

namespace api {

ApiResponse Devices(const AppCore& core, const QueryFields& query, const std::optional<std::string>& id) {
    const auto fleet = core.Fleet();
    if (!fleet && id) throw ApiError(404, "no_fleet", "No fleet runs (start the simulator with --fleet FILE).");
    if (id) {
        OnlyParameters(query, {});
        const auto number = ParseUnsigned(*id, UINT32_MAX);
        const auto device = number ? fleet->Find(static_cast<std::uint32_t>(*number)) : std::nullopt;
        if (!device) throw ApiError(404, "not_found", "No device " + *id + " in the fleet.");
        return Json(200, DeviceJson(*device));
    }
    OnlyParameters(query, {"state", "after", "limit"});
    if (!fleet) {
        json none = DevicesPageJson(FleetBoard(std::vector<DeviceStatus>{}), std::nullopt, 0, 1);
        none["fleet"] = false;
        return Json(200, none);
    }
    std::optional<DeviceState> state;
    if (const auto it = query.find("state"); it != query.end()) {
        std::string error;
        state = DeviceStateQuery(it->second, error);
        if (!state) throw ApiError(400, "invalid_value", error, "state");
    }
    const auto after = static_cast<std::uint32_t>(QueryNumber(query, "after", 0, 0, UINT32_MAX));
    const std::uint64_t limit = QueryNumber(query, "limit", 100, 1, 1000);
    json page = DevicesPageJson(*fleet, state, after, static_cast<std::size_t>(limit));
    page["fleet"] = true;
    return Json(200, page);
}

}  // namespace api
