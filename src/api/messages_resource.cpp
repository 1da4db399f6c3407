#include "api/resources.h"

#include "app/app_core.h"
#include "app/received_store.h"
#include "app/session_table.h"
#include "drivers/fleet_board.h"
#include "base/traffic_sink.h"
#include "protocol/frame.h"
#include "text/integer.h"
#include "text/json_text.h"
#include "text/times.h"

namespace api {

namespace {

json MessageJson(const ReceivedMessage& m) {
    return {{"id", m.id},
            {"time", IsoTime(m.arrivalMs)},
            {"timestamp", ListTime(m.msecsSinceMidnight)},
            {"status", StatusName(m.statusCode)},
            {"statusCode", m.statusCode},
            {"type", BytesToJsonText(m.type)},
            {"text", BytesToJsonText(m.text)},
            {"rxBcc", BytesToJsonText(m.rxBcc)},
            {"calcBcc", BytesToJsonText(m.calcBcc)},
            {"rule", m.rule.empty() ? json(nullptr) : json(BytesToJsonText(m.rule))},
            {"nearMiss", m.nearMiss.empty() ? json(nullptr) : json(BytesToJsonText(m.nearMiss))},
            {"way", m.way < 0 ? json(nullptr) : json(ProxyDirectionText(static_cast<ProxyDirection>(m.way)))},
            {"session", m.session == 0 ? json(nullptr) : json(m.session)}};
}

// With a fleet, the device whose session it came in.
json MessageJson(const AppCore& core, const ReceivedMessage& m) {
    json out = MessageJson(m);
    const auto fleet = core.Fleet();
    const std::uint32_t device = fleet && m.session != 0 ? fleet->DeviceOfSession(m.session) : 0;
    out["device"] = device == 0 ? json(nullptr) : json(device);
    return out;
}

json SessionJson(const SessionTable::Row& row) {
    const SessionTable::Counts& c = row.counts;
    return {{"session", row.session},
            {"peer", BytesToJsonText(row.peer)},
            {"since", IsoTime(row.sinceMicros / 1000)},
            {"received", c.received},
            {"answered", c.answered},
            {"errors", c.errors},
            {"faulted", c.faulted},
            {"sent", c.sent},
            {"accepted", c.accepted},
            {"failed", c.failed}};
}

constexpr std::uint64_t kMaxWaitMs = 60000;

}  // namespace

ApiResponse Sessions(const AppCore& core) {
    json list = json::array();
    for (const SessionTable::Row& row : core.Sessions().Open()) list.push_back(SessionJson(row));
    return Json(200, {{"sessions", list}, {"begun", core.Sessions().Begun()}});
}

std::uint32_t SessionField(const AppCore& core, const json& value, const char* field) {
    const std::int32_t number = Ranged(value, field, 1, INT32_MAX);
    if (core.Sessions().Find(static_cast<std::uint32_t>(number)) == nullptr)
        throw ApiError(409, "session_not_open", "Session " + std::to_string(number) + " is not open.", field);
    return static_cast<std::uint32_t>(number);
}

ApiResponse Messages(AppCore& core, const QueryFields& query, bool head) {
    OnlyParameters(query, {"after", "limit", "wait", "type", "status", "text", "since", "session"});
    const std::uint64_t after = QueryNumber(query, "after", 0);
    const std::uint64_t limit = QueryNumber(query, "limit", 100, 1, 1000);
    const std::uint64_t wait = QueryNumber(query, "wait", 0, 0, kMaxWaitMs);
    MessageFilter filter;
    filter.type = QueryBytes(query, "type");
    if (filter.type.size() > 1)
        throw ApiError(400, "invalid_value", "The message type is one character.", "type");
    filter.status = QueryBytes(query, "status");
    filter.text = QueryBytes(query, "text");
    filter.session = static_cast<std::uint32_t>(QueryNumber(query, "session", 0, 0, UINT32_MAX));
    if (const auto since = query.find("since"); since != query.end()) {
        // An ISO 8601 time as the messages show it, or epoch milliseconds.
        if (const auto ms = ParseUnsigned(since->second)) {
            filter.sinceMs = static_cast<std::int64_t>(*ms);
        } else if (const auto iso = ParseIsoTime(since->second)) {
            filter.sinceMs = *iso;
        } else {
            throw ApiError(400, "invalid_value",
                           "since must be a time such as 2026-12-07T10:55:23.042+01:00, or epoch "
                           "milliseconds.",
                           "since");
        }
    }
    json list = json::array();
    for (const ReceivedMessage& m : core.Messages().List(after, limit, filter))
        list.push_back(MessageJson(core, m));
    ApiResponse response = Json(200, {{"messages", list}, {"last", core.Messages().LastId()}});
    if (list.empty() && wait > 0 && !head) {
        response.poll = true;
        response.pollMs = static_cast<std::int64_t>(wait);
    }
    return response;
}

}  // namespace api
