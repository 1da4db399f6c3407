#include "api/request_handler.h"

#include <charconv>
#include <exception>
#include <map>
#include <optional>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "app/app_core.h"
#include "app/event_hub.h"
#include "protocol/frame.h"
#include "settings/names.h"
#include "text/integer.h"
#include "text/json_text.h"
#include "text/times.h"

using nlohmann::json;

namespace {

// A request's fault, answered with its status and text.
struct ApiError : std::runtime_error {
    ApiError(int status, const std::string& text) : std::runtime_error(text), status(status) {}
    int status;
};

ApiResponse Json(int status, const json& body) {
    ApiResponse response;
    response.status = status;
    response.body = body.dump(-1, ' ', false, json::error_handler_t::replace);
    return response;
}

ApiResponse Error(int status, const std::string& text) {
    return Json(status, {{"error", BytesToJsonText(text)}});
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The host name of a Host header or an origin's authority, without port or brackets.
std::string HostName(std::string authority) {
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        return Lower(
            authority.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    }
    const auto colon = authority.find(':');
    return Lower(authority.substr(0, colon));
}

// localhost, ::1 or a dotted 127.x.x.x address; not a name that merely starts with "127.".
bool IsLoopbackName(const std::string& host) {
    if (host == "localhost" || host == "::1") return true;
    if (host.rfind("127.", 0) != 0) return false;
    int dots = 0;
    for (const char c : host) {
        if (c == '.')
            ++dots;
        else if (c < '0' || c > '9')
            return false;
    }
    return dots == 3;
}

// "http://127.0.0.1:8080" gives "127.0.0.1:8080"; "null" stays as it is.
std::string Authority(const std::string& origin) {
    const auto scheme = origin.find("://");
    return Lower(scheme == std::string::npos ? origin : origin.substr(scheme + 3));
}

bool SameToken(const std::string& given, const std::string& wanted) {
    // Compared in full whatever differs, so the time taken does not tell how much matched.
    unsigned char diff = given.size() == wanted.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size(); ++i)
        diff |=
            static_cast<unsigned char>(given[i] ^ wanted[i % (wanted.empty() ? 1 : wanted.size())]);
    return diff == 0 && !wanted.empty();
}

std::optional<std::uint64_t> ToUnsigned(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

std::map<std::string, std::string> Query(std::string_view query) {
    std::map<std::string, std::string> fields;
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const auto eq = pair.find('=');
        fields[std::string(pair.substr(0, eq))] =
            eq == std::string_view::npos ? "" : std::string(pair.substr(eq + 1));
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    }
    return fields;
}

std::uint64_t QueryNumber(const std::map<std::string, std::string>& query, const std::string& name,
                          std::uint64_t fallback) {
    const auto it = query.find(name);
    if (it == query.end()) return fallback;
    const auto value = ToUnsigned(it->second);
    if (!value) throw ApiError(400, "'" + it->second + "' is not a valid integer value");
    return *value;
}

// ---- JSON fields ------------------------------------------------------------------------

json Body(const ApiRequest& request) {
    if (request.body.empty()) return json::object();
    json body = json::parse(request.body, nullptr, false);
    if (body.is_discarded()) throw ApiError(400, "The body is not valid JSON.");
    if (!body.is_object()) throw ApiError(400, "The body must be a JSON object.");
    return body;
}

void OnlyFields(const json& body, std::initializer_list<const char*> names) {
    for (const auto& [key, value] : body.items()) {
        bool known = false;
        for (const char* name : names) known = known || key == name;
        if (!known) throw ApiError(400, "Unknown field '" + key + "'.");
    }
}

std::string Bytes(const json& value, const std::string& name) {
    if (!value.is_string()) throw ApiError(400, name + " must be a string.");
    auto bytes = JsonTextToBytes(value.get_ref<const std::string&>());
    if (!bytes) throw ApiError(400, name + " holds a character above U+00FF.");
    return *bytes;
}

// A number, or a text that must be one (as typed into a field of the window).
std::int32_t Integer(const json& value, const std::string& name) {
    if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        if (number >= INT32_MIN && number <= INT32_MAX) return static_cast<std::int32_t>(number);
        throw ApiError(400, "'" + value.dump() + "' is not a valid integer value");
    }
    if (value.is_number_unsigned() || value.is_number_float())
        throw ApiError(400, "'" + value.dump() + "' is not a valid integer value");
    const std::string text = Bytes(value, name);
    const auto number = ParseInteger(text);
    if (!number) throw ApiError(400, NotAnIntegerText(text));
    return *number;
}

// Count and delay of a row stay texts, as typed; a number is written as its digits.
std::string FieldText(const json& value, const std::string& name) {
    if (value.is_number_integer()) return std::to_string(Integer(value, name));
    return Bytes(value, name);
}

json LinkJson(const CommPrefs& comm) {
    return {{"type", comm.Type},
            {"port", BytesToJsonText(comm.Port)},
            {"baud", comm.Baud},
            {"bits", comm.Bits},
            {"stop", comm.Stop},
            {"parity", comm.Parity},
            {"remoteIp", BytesToJsonText(comm.RemoteIp)},
            {"remotePort", comm.RemotePort},
            {"localPort", comm.LocalPort},
            {"autoReconnect", comm.AutoReconnect != 0},
            {"summary", BytesToJsonText(LinkSummaryText(comm))}};
}

json RepliesJson(const std::array<ReplyPrefs, kReplySlots>& replies) {
    json rows = json::array();
    for (const ReplyPrefs& reply : replies) {
        const bool named = reply.Action >= 0 && reply.Action < 4;
        rows.push_back(
            {{"type", BytesToJsonText(reply.Type)},
             {"text", BytesToJsonText(reply.Msg)},
             {"action", named ? json(kReplyActionNames[reply.Action]) : json(reply.Action)}});
    }
    return {{"replies", rows}};
}

json OptionalTime(std::int64_t ms) {
    return ms == 0 ? json(nullptr) : json(IsoTime(ms));
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
    return out;
}

json RowJson(const AppCore& core, int row) {
    const SendPrefs settings = core.Row(row);
    json out = {{"row", row + 1},
                {"type", BytesToJsonText(settings.Type)},
                {"text", BytesToJsonText(settings.Msg)},
                {"count", BytesToJsonText(settings.Count)},
                {"delay", BytesToJsonText(settings.Delay)},
                {"run", nullptr}};
    if (const SendRun* run = core.Sends().RowRun(row)) out["run"] = RunJson(*run);
    return out;
}

json MessageJson(const ReceivedMessage& m) {
    return {{"id", m.id},
            {"time", IsoTime(m.arrivalMs)},
            {"timestamp", ListTime(m.msecsSinceMidnight)},
            {"status", m.status},
            {"type", BytesToJsonText(m.type)},
            {"text", BytesToJsonText(m.text)},
            {"rxBcc", BytesToJsonText(m.rxBcc)},
            {"calcBcc", BytesToJsonText(m.calcBcc)}};
}

// ---- resources --------------------------------------------------------------------------

ApiResponse Status(const AppCore& core) {
    const AppCore::Status status = core.GetStatus();
    const SendRuns::Counts& counts = status.sends;
    static const char* const kinds[] = {"serial", "tcp-client", "tcp-server"};
    return Json(200,
                {{"link",
                  {{"kind", status.linkType >= 0 && status.linkType < 3 ? kinds[status.linkType] : "none"},
                   {"summary", BytesToJsonText(status.linkSummary)},
                   {"open", status.link.phase != LinkState::Closed},
                   {"connected", status.link.Connected()},
                   {"state", BytesToJsonText(status.link.Summary())},
                   {"peers", [&] {
                        json peers = json::array();
                        for (const std::string& peer : status.link.peers) peers.push_back(BytesToJsonText(peer));
                        return peers;
                    }()},
                   {"error", BytesToJsonText(status.linkError)},
                   {"heldBack", status.heldBy.empty() ? json(nullptr) : json(status.heldBy)}}},
                 {"engine",
                  {{"status", status.engineStatus < 0 ? json(nullptr) : json(status.engineStatus)},
                   {"statusText", StatusText(status.engineStatus)}}},
                 {"counts",
                  {{"received", status.received},
                   {"listed", status.listed},
                   {"sent", counts.sent},
                   {"accepted", counts.accepted},
                   {"failed", counts.failed},
                   {"timedOut", counts.timedOut},
                   {"answersDropped", status.answersDropped}}},
                 {"log", {{"error", status.logError.empty() ? json(nullptr) : json(BytesToJsonText(status.logError))}}}});
}

ApiResponse PutLink(AppCore& core, const json& body) {
    OnlyFields(body, {"type", "port", "baud", "bits", "stop", "parity", "remoteIp", "remotePort",
                      "localPort", "autoReconnect", "summary"});
    CommPrefs comm = core.Link();
    const std::pair<const char*, std::int32_t*> numbers[] = {
        {"type", &comm.Type},          {"baud", &comm.Baud},     {"bits", &comm.Bits},
        {"stop", &comm.Stop},          {"parity", &comm.Parity}, {"remotePort", &comm.RemotePort},
        {"localPort", &comm.LocalPort}};
    for (const auto& [name, field] : numbers)
        if (body.contains(name)) *field = Integer(body[name], name);
    if (body.contains("port")) comm.Port = Bytes(body["port"], "port");
    if (body.contains("remoteIp")) comm.RemoteIp = Bytes(body["remoteIp"], "remoteIp");
    if (body.contains("autoReconnect")) {
        if (!body["autoReconnect"].is_boolean()) throw ApiError(400, "autoReconnect must be true or false.");
        comm.AutoReconnect = body["autoReconnect"].get<bool>() ? 1 : 0;
    }
    if (const std::string problem = AppCore::CheckLink(comm); !problem.empty())
        throw ApiError(400, problem);
    core.ApplyLink(comm);
    return Json(200, LinkJson(core.Link()));
}

ApiResponse PutReplies(AppCore& core, const json& body) {
    OnlyFields(body, {"replies"});
    if (!body.contains("replies") || !body["replies"].is_array())
        throw ApiError(400, "replies must be an array.");
    const json& rows = body["replies"];
    if (rows.size() > kReplySlots) throw ApiError(400, "At most 10 reply actions.");
    std::array<ReplyPrefs, kReplySlots> replies = core.Replies();
    for (std::size_t slot = 0; slot < kReplySlots; ++slot) {
        ReplyPrefs& reply = replies[slot];
        // The table's rows are replaced; each row keeps its faults (and the reserved flags),
        // which this resource does not show.
        const ReplyPrefs kept = reply;
        reply = ReplyPrefs{};
        reply.Flags = kept.Flags;
        reply.Faults = kept.Faults;
        if (slot >= rows.size()) continue;
        const json& row = rows[slot];
        if (!row.is_object()) throw ApiError(400, "A reply action must be an object.");
        OnlyFields(row, {"type", "text", "action"});
        if (row.contains("type")) reply.Type = Bytes(row["type"], "type");
        if (row.contains("text")) reply.Msg = Bytes(row["text"], "text");
        // The settings file keeps one line per value: a line break would not survive a save.
        if ((reply.Type + reply.Msg).find_first_of("\r\n") != std::string::npos)
            throw ApiError(400, "A reply action cannot hold a line break.");
        if (row.contains("action")) {
            const json& action = row["action"];
            reply.Action = -1;
            if (action.is_string()) {
                for (int i = 0; i < 4; ++i)
                    if (Lower(action.get<std::string>()) == Lower(kReplyActionNames[i]))
                        reply.Action = i;
            } else if (action.is_number_integer()) {
                reply.Action = Integer(action, "action");
            }
            if (reply.Action < 0 || reply.Action > 3)
                throw ApiError(400, "action must be Normal, NAK Error, Type Error or BCC Error.");
        }
    }
    core.ApplyReplies(replies);
    return Json(200, RepliesJson(core.Replies()));
}

ApiResponse PutRow(AppCore& core, int row, const json& body) {
    OnlyFields(body, {"type", "text", "count", "delay", "row", "run"});
    SendPrefs settings = core.Row(row);
    if (body.contains("type")) settings.Type = Bytes(body["type"], "type");
    if (settings.Type.size() > 1) throw ApiError(400, "The message type is one character.");
    if (body.contains("text")) settings.Msg = Bytes(body["text"], "text");
    if (body.contains("count")) settings.Count = FieldText(body["count"], "count");
    if (body.contains("delay")) settings.Delay = FieldText(body["delay"], "delay");
    core.SetRow(row, settings);
    return Json(200, RowJson(core, row));
}

ApiResponse PostSend(AppCore& core, const json& body) {
    OnlyFields(body, {"type", "text", "expandFlags", "count", "delayMs"});
    SendRuns::Request request;
    if (body.contains("type")) request.type = Bytes(body["type"], "type");
    if (body.contains("text")) request.text = Bytes(body["text"], "text");
    if (body.contains("expandFlags")) {
        if (!body["expandFlags"].is_boolean())
            throw ApiError(400, "expandFlags must be true or false.");
        request.expandFlags = body["expandFlags"].get<bool>();
    }
    if (body.contains("count")) request.count = Integer(body["count"], "count");
    if (body.contains("delayMs")) request.delayMs = Integer(body["delayMs"], "delayMs");
    if (const std::string problem = SendRuns::Check(request); !problem.empty())
        throw ApiError(400, problem);
    const std::uint64_t id = core.Sends().Start(request);
    ApiResponse response = Json(201, RunJson(*core.Sends().Find(id)));
    response.headers.emplace_back("Location", "/api/v1/sends/" + std::to_string(id));
    return response;
}

ApiResponse Messages(AppCore& core, const std::map<std::string, std::string>& query) {
    const std::uint64_t after = QueryNumber(query, "after", 0);
    const std::uint64_t limit = QueryNumber(query, "limit", 100);
    if (limit < 1 || limit > 1000) throw ApiError(400, "limit must be 1 to 1000.");
    json list = json::array();
    for (const ReceivedMessage& m : core.Messages().List(after, limit))
        list.push_back(MessageJson(m));
    return Json(200, {{"messages", list}, {"last", core.Messages().LastId()}});
}

ApiResponse NotAllowed(const char* allow) {
    ApiResponse response = Error(405, "Method not allowed.");
    response.headers.emplace_back("Allow", allow);
    return response;
}

std::vector<std::string> Segments(std::string_view path) {
    std::vector<std::string> parts;
    while (!path.empty()) {
        const auto slash = path.find('/');
        if (slash != 0) parts.emplace_back(path.substr(0, slash));
        if (slash == std::string_view::npos) break;
        path.remove_prefix(slash + 1);
    }
    return parts;
}

// A request's target, cut up.
struct Target {
    std::vector<std::string> path;
    std::map<std::string, std::string> query;
    std::string name;  // the resource: the third part of the path
    std::size_t depth = 0;  // parts after it
};

Target Parse(const ApiRequest& request) {
    const std::string_view target = request.target;
    const auto mark = target.find('?');
    Target t;
    t.path = Segments(target.substr(0, mark));
    t.query = Query(mark == std::string_view::npos ? "" : target.substr(mark + 1));
    if (t.path.size() < 3 || t.path[0] != "api" || t.path[1] != "v1")
        throw ApiError(404, "No such resource.");
    t.name = t.path[2];
    t.depth = t.path.size() - 3;
    return t;
}

// The resources answered from what the core shows every thread.
std::optional<ApiResponse> Quick(const ApiRequest& request, AppCore& core) {
    const Target t = Parse(request);
    const bool get = request.method == "GET";
    if (t.name == "status" && t.depth == 0) return get ? Status(core) : NotAllowed("GET");
    if (t.name == "events" && t.depth == 0) {
        if (!get) return NotAllowed("GET");
        ApiResponse response;
        response.stream = true;
        const std::string& resume = request.lastEventId;
        if (!resume.empty()) {
            const auto seq = ToUnsigned(resume);
            if (!seq) throw ApiError(400, "'" + resume + "' is not a valid integer value");
            response.streamAfter = *seq;
        } else {
            // Without a place to resume from, the stream starts with what happens next, or
            // after the given event.
            response.streamAfter = QueryNumber(t.query, "after", core.Hub().LastSeq());
        }
        return response;
    }
    return std::nullopt;
}

ApiResponse Route(const ApiRequest& request, AppCore& core) {
    const Target t = Parse(request);
    const std::vector<std::string>& path = t.path;
    const auto& query = t.query;
    const std::string& method = request.method;
    const bool get = method == "GET", put = method == "PUT", post = method == "POST";
    const std::string& name = t.name;
    const std::size_t depth = t.depth;

    if (const auto quick = Quick(request, core)) return *quick;
    if (name == "link" && depth == 0) {
        if (get) return Json(200, LinkJson(core.Link()));
        return put ? PutLink(core, Body(request)) : NotAllowed("GET, PUT");
    }
    if (name == "link" && depth == 1 && path[3] == "actions") {
        if (!post) return NotAllowed("POST");
        const json body = Body(request);
        OnlyFields(body, {"action", "ms", "bytes"});
        const std::string action = body.contains("action") && body["action"].is_string()
                                       ? body["action"].get<std::string>()
                                       : std::string();
        if (action == "drop") {
            core.LinkAction(LinkActionCode::DropConnections);
        } else if (action == "break") {
            core.LinkAction(LinkActionCode::SendBreak);
        } else if (action == "xoff") {
            LinkActionArgs args;
            args.ms = Integer(body.contains("ms") ? body["ms"] : json(), "ms");
            if (args.ms < 0 || args.ms > FaultLimit::kMaxMs)
                throw ApiError(400, "ms must be 0 to " + std::to_string(FaultLimit::kMaxMs) + ".");
            core.LinkAction(LinkActionCode::HoldWithXoff, args);
        } else if (action == "reconnect") {
            core.LinkAction(LinkActionCode::Reconnect);
        } else if (action == "raw") {
            LinkActionArgs args;
            args.bytes = Bytes(body.contains("bytes") ? body["bytes"] : json(), "bytes");
            core.LinkAction(LinkActionCode::SendRaw, args);
        } else {
            throw ApiError(400, "action must be one of drop, break, xoff, raw, reconnect.");
        }
        return Json(202, {{"action", action}});
    }
    if (name == "replies" && depth == 0) {
        if (get) return Json(200, RepliesJson(core.Replies()));
        return put ? PutReplies(core, Body(request)) : NotAllowed("GET, PUT");
    }
    if (name == "rows" && (depth == 1 || depth == 2)) {
        const auto number = ToUnsigned(path[3]);
        if (!number || *number < 1 || *number > kSendSlots) throw ApiError(404, "No such row.");
        const int row = static_cast<int>(*number) - 1;
        if (depth == 1) {
            if (get) return Json(200, RowJson(core, row));
            return put ? PutRow(core, row, Body(request)) : NotAllowed("GET, PUT");
        }
        if (path[4] != "send" && path[4] != "stop") throw ApiError(404, "No such resource.");
        if (!post) return NotAllowed("POST");
        Body(request);
        if (path[4] == "stop") {
            const SendRun* run = core.Sends().RowRun(row);
            if (run == nullptr || !run->StopEnabled())
                throw ApiError(409, "The row is not running.");
            core.StopRow(row);
        } else if (const RowStart start = core.SendRow(row); !start.Ok()) {
            throw ApiError(400, start.error);
        }
        return Json(200, RowJson(core, row));
    }
    if (name == "batch-send" && depth == 0) {
        if (!post) return NotAllowed("POST");
        Body(request);
        json rows = json::array();
        for (const AppCore::BatchResult& result : core.BatchSend()) {
            json row = {{"row", result.row + 1}, {"started", result.start.Ok()}};
            if (!result.start.Ok()) row["error"] = BytesToJsonText(result.start.error);
            rows.push_back(row);
        }
        return Json(200, {{"rows", rows}});
    }
    if (name == "messages" && depth == 0) {
        if (get) return Messages(core, query);
        if (method != "DELETE") return NotAllowed("GET, DELETE");
        core.ClearMessages();
        ApiResponse response;
        response.status = 204;
        return response;
    }
    if (name == "sends" && depth == 0)
        return post ? PostSend(core, Body(request)) : NotAllowed("POST");
    if (name == "sends" && (depth == 1 || depth == 2)) {
        const auto id = ToUnsigned(path[3]);
        const SendRun* run = id ? core.Sends().Find(*id) : nullptr;
        if (depth == 2 && path[4] != "stop") throw ApiError(404, "No such resource.");
        if (run == nullptr) throw ApiError(404, "No such send.");
        if (depth == 1) return get ? Json(200, RunJson(*run)) : NotAllowed("GET");
        if (!post) return NotAllowed("POST");
        Body(request);
        if (!core.Sends().Stop(*id)) throw ApiError(409, "The send is over.");
        return Json(200, RunJson(*core.Sends().Find(*id)));
    }
    throw ApiError(404, "No such resource.");
}

}  // namespace

std::optional<ApiResponse> CheckApiRequest(const ApiRequest& request, const ApiPolicy& policy) {
    try {
        if (!policy.token.empty()) {
            const std::string prefix = "Bearer ";
            const std::string& given = request.authorization;
            if (given.rfind(prefix, 0) != 0 ||
                !SameToken(given.substr(prefix.size()), policy.token)) {
                ApiResponse response = Error(401, "A valid bearer token is required.");
                response.headers.emplace_back("WWW-Authenticate", "Bearer");
                return response;
            }
        } else {
            const std::string host = HostName(request.host);
            bool known = IsLoopbackName(host);
            for (const std::string& name : policy.hosts) known = known || host == Lower(name);
            if (!known) return Error(403, "Requests must name a loopback host.");
        }
        const bool changes = request.method != "GET" && request.method != "HEAD";
        if (changes) {
            // A web page may send simple requests anywhere; it cannot send these.
            if (!request.origin.empty() && Authority(request.origin) != Lower(request.host))
                return Error(403, "Cross-site requests are refused.");
            std::string type = Lower(request.contentType.substr(0, request.contentType.find(';')));
            std::erase(type, ' ');
            if (type != "application/json")
                return Error(415, "Content-Type must be application/json.");
        }
        if (request.body.size() > kMaxApiBody) return Error(413, "The body is larger than 1 MiB.");
        return std::nullopt;
    } catch (const std::exception& error) {
        return Error(500, error.what());
    }
}

// A step's answer, or the response its error stands for.
template <class Result, class Step>
Result Answered(Step&& step) {
    try {
        return step();
    } catch (const ApiError& error) {
        return Error(error.status, error.what());
    } catch (const std::exception& error) {
        return Error(500, error.what());
    }
}

std::optional<ApiResponse> QuickApiRequest(const ApiRequest& request, AppCore& core) {
    return Answered<std::optional<ApiResponse>>([&] { return Quick(request, core); });
}

ApiResponse RouteApiRequest(const ApiRequest& request, AppCore& core) {
    return Answered<ApiResponse>([&] { return Route(request, core); });
}

ApiResponse HandleApiRequest(const ApiRequest& request, AppCore& core, const ApiPolicy& policy) {
    if (auto refused = CheckApiRequest(request, policy)) return *refused;
    return RouteApiRequest(request, core);
}
