#include "api/resources.h"

#include "app/app_core.h"
#include "app/send_runs.h"
#include "protocol/frame.h"
#include "settings/link_kind.h"
#include "text/integer.h"
#include "text/json_text.h"
#include "text/times.h"

namespace api {

namespace {

json OptionalTime(std::int64_t ms) {
    return ms == 0 ? json(nullptr) : json(IsoTime(ms));
}

// The field a row's refused Send is about, as the row checks them: count, delay, type.
std::string RowProblemField(const SendPrefs& settings) {
    const auto count = ParseInteger(settings.Count);
    if (!count || !kSendCountRange.Holds(*count)) return "count";
    const auto delay = ParseInteger(settings.Delay);
    if (!delay || *delay < 0) return "delay";
    return "type";
}

}  // namespace

int RowNumber(const std::string& text) {
    const auto number = ParseUnsigned(text, kSendSlots);
    if (!number || *number < 1) throw ApiError(404, "not_found", "No such row.");
    return static_cast<int>(*number) - 1;
}

const SendRun& FindSend(AppCore& core, const std::string& text) {
    const auto id = ParseUnsigned(text);
    const SendRun* run = id ? core.Sends().Find(*id) : nullptr;
    if (run == nullptr) throw ApiError(404, "not_found", "No such send.");
    return *run;
}

json RunJson(const SendRun& run) {
    json out = {{"id", run.id},
                {"state", SendStateName(run.state)},
                {"running", run.running},
                {"sent", run.sent},
                {"count", run.target},
                {"delayMs", run.delayMs},
                {"text", BytesToJsonText(run.lastText)},
                {"response", BytesToJsonText(run.response)},
                {"status", run.status < 0 ? json(nullptr) : json(run.status)},
                {"statusText", StatusText(run.status)},
                {"attempts", run.attempts == 0 ? json(nullptr) : json(run.attempts)},
                {"createdAt", IsoTime(run.createdMs)},
                {"sentAt", OptionalTime(run.sentMs)},
                {"finishedAt", OptionalTime(run.finishedMs)}};
    if (run.row >= 0) {
        out["row"] = run.row + 1;
    } else {
        out["type"] = BytesToJsonText(run.type);
        out["expandFlags"] = run.expandFlags;
    }
    if (run.to > 0) out["to"] = kSideNames[(run.to - 1) & 1];
    // The session asked for, or else the one the latest message went to.
    const std::uint32_t session = run.session != 0 ? run.session : run.sentSession;
    out["session"] = session == 0 ? json(nullptr) : json(session);
    return out;
}

json RowJson(const AppCore& core, int row) {
    const SendPrefs settings = core.Row(row);
    json out = {{"row", row + 1},
                {"type", BytesToJsonText(settings.Type)},
                {"text", BytesToJsonText(settings.Msg)},
                {"count", NumberOrText(settings.Count)},
                {"delay", NumberOrText(settings.Delay)},
                {"run", nullptr}};
    if (const SendRun* run = core.Sends().RowRun(row)) out["run"] = RunJson(*run);
    return out;
}

ApiResponse PutRow(AppCore& core, int row, const json& body) {
    OnlyFields(body, {"type", "text", "count", "delay", "row", "run"});
    SendPrefs settings = core.Row(row);
    if (body.contains("type")) settings.Type = TypeField(body["type"], "type");
    if (body.contains("text")) settings.Msg = Bytes(body["text"], "text");
    if (body.contains("count")) settings.Count = RowFieldText(body["count"], "count");
    if (body.contains("delay")) settings.Delay = RowFieldText(body["delay"], "delay");
    core.SetRow(row, settings);
    return Json(200, RowJson(core, row));
}

ApiResponse PostSend(AppCore& core, const json& body) {
    OnlyFields(body, {"type", "text", "expandFlags", "count", "delayMs", "to", "session"});
    SendRuns::Request request;
    if (body.contains("session")) request.session = SessionField(core, body["session"], "session");
    if (body.contains("to")) {
        // The proxy's side; a link of the simulator's own has one other side only.
        const auto side = IndexOf(kSideNames, body["to"]);
        if (!side) throw ApiError(400, "invalid_value", "to must be A or B.", "to");
        if (!LinkCan(core.Link()).proxy) throw ApiError(409, "not_a_proxy", "to names a side of the proxy; the link is not one.", "to");
        request.to = *side + 1;
    }
    if (body.contains("type")) request.type = TypeField(body["type"], "type");
    if (body.contains("text")) request.text = Bytes(body["text"], "text");
    if (body.contains("expandFlags")) request.expandFlags = Flag(body["expandFlags"], "expandFlags");
    if (body.contains("count")) request.count = Integer(body["count"], "count");
    if (body.contains("delayMs")) request.delayMs = Integer(body["delayMs"], "delayMs");
    if (const std::string problem = SendRuns::Check(request); !problem.empty()) {
        const std::string field = request.count < 1 ? "count" : request.delayMs < 0 ? "delayMs" : "type";
        throw ApiError(400, field == "type" ? "missing_field" : "out_of_range", problem, field);
    }
    const std::uint64_t id = core.Sends().Start(request);
    ApiResponse response = Json(201, RunJson(*core.Sends().Find(id)));
    response.headers.emplace_back("Location", "/api/v1/sends/" + std::to_string(id));
    return response;
}

ApiResponse ListSends(AppCore& core, const QueryFields& query) {
    OnlyParameters(query, {"after", "limit"});
    const std::uint64_t after = QueryNumber(query, "after", 0);
    const std::uint64_t limit = QueryNumber(query, "limit", 100, 1, 1000);
    json list = json::array();
    for (const SendRun* run : core.Sends().List(after, limit)) list.push_back(RunJson(*run));
    return Json(200, {{"sends", list}, {"last", core.Sends().LastId()}});
}


ApiResponse SendRow(AppCore& core, int row, const json& body) {
    OnlyFields(body, {});
    if (const RowStart start = core.SendRow(row); !start.Ok())
        throw ApiError(400, start.kind == RowStart::NotANumber ? "invalid_value" : "out_of_range",
                       BytesToJsonText(start.error), RowProblemField(core.Row(row)));
    return Json(200, RowJson(core, row));
}

ApiResponse StopRow(AppCore& core, int row, const json& body) {
    OnlyFields(body, {});
    const SendRun* run = core.Sends().RowRun(row);
    if (run == nullptr || !run->StopEnabled()) throw ApiError(409, "not_running", "The row is not running.");
    core.StopRow(row);
    return Json(200, RowJson(core, row));
}

ApiResponse BatchSend(AppCore& core, const json& body) {
    OnlyFields(body, {});
    json rows = json::array();
    for (const AppCore::BatchResult& result : core.BatchSend()) {
        json row = {{"row", result.row + 1}, {"started", result.start.Ok()}};
        if (!result.start.Ok()) row["error"] = BytesToJsonText(result.start.error);
        rows.push_back(row);
    }
    return Json(200, {{"rows", rows}});
}

void StopSend(AppCore& core, const SendRun& run) {
    if (!core.Sends().Stop(run.id)) throw ApiError(409, "not_running", "The send is over.");
}

}  // namespace api
