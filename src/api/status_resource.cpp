#include "api/resources.h"

#include "app/app_core.h"
#include "app/event_hub.h"
#include "protocol/frame.h"
#include "settings/link_kind.h"
#include "text/integer.h"
#include "text/json_text.h"

namespace api {

ApiResponse Ready(const AppCore& core) {
    const AppCore::Status status = core.GetStatus();
    if (status.link.phase != LinkState::Closed)
        return Json(200, {{"ready", true}, {"state", BytesToJsonText(status.link.Summary())}});
    std::string reason = status.linkError.empty() ? "The link is not open." : status.linkError;
    return Json(503, {{"ready", false}, {"reason", BytesToJsonText(reason)}});
}

ApiResponse Status(const AppCore& core) {
    const AppCore::Status status = core.GetStatus();
    const SendRuns::Counts& counts = status.sends;
    json peers = json::array();
    for (const std::string& peer : status.link.peers) peers.push_back(BytesToJsonText(peer));
    // The proxy: each side as a link of its own.
    json sides = json(nullptr);
    if (status.link.kind == LinkKind::Proxy) {
        sides = json::array();
        for (std::size_t i = 0; i < status.link.sides.size() && i < 2; ++i) {
            const LinkState& side = status.link.sides[i];
            json sidePeers = json::array();
            for (const std::string& peer : side.peers) sidePeers.push_back(BytesToJsonText(peer));
            sides.push_back({{"side", kSideNames[i]},
                             {"kind", LinkKindOf(side.kind).apiName},
                             {"where", BytesToJsonText(side.where)},
                             {"open", side.phase != LinkState::Closed},
                             {"connected", side.Connected()},
                             {"state", BytesToJsonText(side.Summary())},
                             {"peers", sidePeers}});
        }
    }
    // The proxy: frames passed on each way, and frames not delivered.
    json forwarded = json(nullptr), undelivered = json(nullptr);
    if (status.link.kind == LinkKind::Proxy) {
        forwarded = {{"AtoB", status.proxy.forwarded[0]}, {"BtoA", status.proxy.forwarded[1]}};
        undelivered = {{"AtoB", status.proxy.undelivered[0]}, {"BtoA", status.proxy.undelivered[1]}};
    }
    const auto kind = LinkKindFromSettings(status.linkType);
    json log = {{"enabled", status.logging},
                {"error", status.logError.empty() ? json(nullptr) : json(BytesToJsonText(status.logError))},
                {"lostBytes", status.logLostBytes}};
    return Json(200,
                {{"link",
                  {{"kind", kind ? LinkKindOf(*kind).apiName : "none"},
                   {"summary", BytesToJsonText(status.linkSummary)},
                   {"open", status.link.phase != LinkState::Closed},
                   {"connected", status.link.Connected()},
                   {"state", BytesToJsonText(status.link.Summary())},
                   {"peers", peers},
                   {"error", BytesToJsonText(status.linkError)},
                   // A virtual serial port: the line as its host set it, and whether it differs.
                   {"host", status.link.kind == LinkKind::Pty && status.link.phase == LinkState::Up
                                ? json(BytesToJsonText(status.link.host))
                                : json(nullptr)},
                   {"mismatch", status.link.kind == LinkKind::Pty && status.link.mismatch},
                   {"sides", sides},
                   {"forwarded", forwarded},
                   {"undelivered", undelivered},
                   {"heldBack", status.heldBy.empty() ? json(nullptr) : json(status.heldBy)}}},
                 {"engine",
                  {{"status", status.engineStatus < 0 ? json(nullptr) : json(status.engineStatus)},
                   {"statusText", StatusText(status.engineStatus)}}},
                 {"counts",
                  {{"received", status.received},
                   {"listed", status.listed},
                   {"listMax", status.listMax},
                   {"sent", counts.sent},
                   {"accepted", counts.accepted},
                   {"failed", counts.failed},
                   {"timedOut", counts.timedOut},
                   {"answersDropped", status.answersDropped}}},
                 {"log", log},
                 {"scenario",
                  {{"running", status.scenarioRunning},
                   {"name", status.scenarioRunning ? json(BytesToJsonText(status.scenario)) : json(nullptr)},
                   {"state", status.scenarioRunning ? json(BytesToJsonText(status.scenarioState)) : json(nullptr)},
                   {"error", status.scenarioError.empty() ? json(nullptr) : json(BytesToJsonText(status.scenarioError))},
                   {"expectations", status.judging ? json{{"passed", status.expectPassed},
                                                          {"failed", status.expectFailed},
                                                          {"pending", status.expectPending}}
                                                   : json(nullptr)}}}});
}

// Where an events stream starts: what happens next, or after the event a reader names
// ("<run>-<seq>" as the stream's ids are, or a bare number of this run).
ApiResponse EventsStart(const ApiRequest& request, const QueryFields& query, AppCore& core) {
    OnlyParameters(query, {"after"});
    ApiResponse response;
    response.stream = true;
    std::string resume = request.lastEventId;
    if (resume.empty() && query.count("after") != 0) resume = query.at("after");
    if (resume.empty()) {
        response.streamAfter = core.Hub().LastSeq();
        return response;
    }
    std::string seqText = resume;
    if (const auto dash = resume.rfind('-'); dash != std::string::npos) {
        response.streamRun = resume.substr(0, dash);
        seqText = resume.substr(dash + 1);
    }
    const auto seq = ParseUnsigned(seqText);
    if (!seq)
        throw ApiError(400, "invalid_value", "'" + resume + "' is not an event id.",
                       request.lastEventId.empty() ? "after" : "Last-Event-ID");
    response.streamAfter = *seq;
    response.streamResumes = true;
    response.streamFrom = resume;
    return response;
}

}  // namespace api
