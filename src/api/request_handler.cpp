#include "api/request_handler.h"

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/api_fields.h"
#include "api/metrics_text.h"
#include "api/resources.h"
#include "app/app_core.h"
#include "app/send_runs.h"

#ifndef VANTOR_VERSION
#define VANTOR_VERSION "unknown"
#endif

// Who may call, which resource a request names, and the resource's answer: the resources
// themselves are in their own files (resources.h), their shared checks in api_fields.h.

using namespace api;

namespace {

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

bool SameToken(const std::string& given, const std::string& wanted) {
    // Compared in full whatever differs, so the time taken does not tell how much matched.
    unsigned char diff = given.size() == wanted.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size(); ++i)
        diff |=
            static_cast<unsigned char>(given[i] ^ wanted[i % (wanted.empty() ? 1 : wanted.size())]);
    return diff == 0 && !wanted.empty();
}

// The credentials of an Authorization header of the Bearer scheme (its name in any case);
// nothing for another scheme.
std::optional<std::string> BearerToken(const std::string& header) {
    const auto space = header.find_first_of(" \t");
    if (space == std::string::npos || Lower(header.substr(0, space)) != "bearer") return std::nullopt;
    const auto begin = header.find_first_not_of(" \t", space);
    if (begin == std::string::npos) return std::string();
    const auto end = header.find_last_not_of(" \t");
    return header.substr(begin, end - begin + 1);
}

// ---- routing ----------------------------------------------------------------------------

// The resources in the order of ApiRoutes().
enum class R {
    Status, Health, Ready, Version, OpenApi, Metrics, Events, Link, LinkActions, LinkFaults, ProxyFaults, Replies,
    Row, RowSend, RowStop, BatchSend, Messages, Sends, Send, SendStop, Reset, Scenario, ScenarioReload,
    Expectations, Verify, Capture, Replay, Sessions, Devices, Device
};

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

// A request's target, matched against the routes.
struct Target {
    R route;
    std::vector<std::string> params;  // the parts matched by {name}, in order
    QueryFields query;
    bool head = false;
};

bool Allows(const ApiRoute& route, const std::string& method) {
    for (const char* m : route.methods)
        if (method == m || (method == "HEAD" && std::string(m) == "GET")) return true;
    return false;
}

std::string AllowHeader(const ApiRoute& route) {
    std::string allow;
    for (const char* m : route.methods) {
        if (!allow.empty()) allow += ", ";
        allow += m;
        if (std::string(m) == "GET") allow += ", HEAD";
    }
    return allow;
}

// The route the request names: 404 for none, 405 (with Allow) for a method it does not take.
Target Parse(const ApiRequest& request) {
    const std::string_view target = request.target;
    const auto mark = target.find('?');
    const std::vector<std::string> path = Segments(target.substr(0, mark));
    if (path.size() < 3 || path[0] != "api" || path[1] != "v1")
        throw ApiError(404, "not_found", "No such resource.");
    const auto& routes = ApiRoutes();
    for (std::size_t i = 0; i < routes.size(); ++i) {
        const std::vector<std::string> pattern = Segments(routes[i].path);
        if (pattern.size() != path.size() - 2) continue;
        Target t;
        bool match = true;
        for (std::size_t k = 0; k < pattern.size() && match; ++k) {
            if (pattern[k].front() == '{')
                t.params.push_back(path[k + 2]);
            else
                match = pattern[k] == path[k + 2];
        }
        if (!match) continue;
        if (!Allows(routes[i], request.method)) {
            ApiError error(405, "method_not_allowed", "Method not allowed.");
            error.allow = AllowHeader(routes[i]);
            throw error;
        }
        t.route = static_cast<R>(i);
        t.query = Query(mark == std::string_view::npos ? "" : target.substr(mark + 1));
        t.head = request.method == "HEAD";
        return t;
    }
    throw ApiError(404, "not_found", "No such resource.");
}

void NoParameters(const Target& t) {
    OnlyParameters(t.query, {});
}

// The resources answered from what the core shows every thread.
std::optional<ApiResponse> Quick(const ApiRequest& request, AppCore& core, const ApiCounters* counters) {
    Target t = Parse(request);
    switch (t.route) {
        case R::Status:
            NoParameters(t);
            return Status(core);
        case R::Health:
            NoParameters(t);
            return Json(200, {{"status", "ok"}});
        case R::Ready:
            NoParameters(t);
            return Ready(core);
        case R::Version:
            NoParameters(t);
            return Json(200, {{"name", "vantor-simulator"}, {"version", VANTOR_VERSION}, {"api", "v1"}});
        case R::OpenApi: {
            NoParameters(t);
            ApiResponse response;
            response.body = kOpenApiDocument;
            return response;
        }
        case R::Metrics: {
            NoParameters(t);
            ApiResponse response;
            response.body = MetricsText(core.GetStatus(), counters);
            response.contentType = "text/plain; version=0.0.4; charset=utf-8";
            return response;
        }
        case R::Events:
            return EventsStart(request, t.query, core);
        default:
            return std::nullopt;
    }
}

ApiResponse Route(const ApiRequest& request, AppCore& core, const ApiPolicy& policy) {
    if (auto quick = Quick(request, core, nullptr)) return *quick;
    const Target t = Parse(request);
    const std::string& method = request.method;
    const bool get = method == "GET" || method == "HEAD";
    if (t.route != R::Messages && t.route != R::Sends && t.route != R::LinkFaults && t.route != R::Devices)
        NoParameters(t);
    switch (t.route) {
        case R::Devices:
            return Devices(core, t.query, std::nullopt);
        case R::Device:
            return Devices(core, t.query, t.params[0]);
        case R::Link:
            return get ? Json(200, LinkJson(core.Link())) : PutLink(core, Body(request));
        case R::LinkActions:
            return LinkActions(core, Body(request));
        case R::LinkFaults:
        {
            const int side = LineSide(t.query);
            return get ? Json(200, LineFaultsJson(core.GetLineFaults(side))) : PutLineFaults(core, Body(request), side);
        }
        case R::ProxyFaults:
            return get ? Json(200, ProxyFaultsJson(core.GetProxyFaults())) : PutProxyFaults(core, Body(request));
        case R::Replies:
            return get ? Json(200, RepliesJson(core.Replies(), core.FaultSeed()))
                       : PutReplies(core, Body(request));
        case R::Row: {
            const int row = RowNumber(t.params[0]);
            return get ? Json(200, RowJson(core, row)) : PutRow(core, row, Body(request));
        }
        case R::RowSend:
            return SendRow(core, RowNumber(t.params[0]), Body(request));
        case R::RowStop:
            return StopRow(core, RowNumber(t.params[0]), Body(request));
        case R::BatchSend:
            return BatchSend(core, Body(request));
        case R::Messages:
            if (get) return Messages(core, t.query, t.head);
            NoParameters(t);
            core.ClearMessages();
            return NoContent();
        case R::Sends:
            if (get) return ListSends(core, t.query);
            NoParameters(t);
            return PostSend(core, Body(request));
        case R::Send: {
            const SendRun& run = FindSend(core, t.params[0]);
            if (get) return Json(200, RunJson(run));
            StopSend(core, run);
            return NoContent();
        }
        case R::SendStop: {
            const SendRun& run = FindSend(core, t.params[0]);
            OnlyFields(Body(request), {});
            const std::uint64_t id = run.id;
            StopSend(core, run);
            return Json(200, RunJson(*core.Sends().Find(id)));
        }
        case R::Reset:
            OnlyFields(Body(request), {});
            core.Reset();
            return Json(200, {{"reset", true}});
        case R::Scenario:
            if (get) return Json(200, ScenarioJson(core.Scenarios().GetView(), core.Now()));
            if (method == "PUT") return PutScenario(core, Body(request), policy);
            core.Scenarios().Stop();
            return NoContent();
        case R::ScenarioReload:
            return ReloadScenario(core, Body(request));
        case R::Expectations:
            if (method == "PUT") return PutExpectations(core, Body(request), policy);
            core.Scenarios().ClearExpectations();
            return NoContent();
        case R::Verify:
            return Json(200, VerifyJson(core.Scenarios()));
        case R::Capture:
            return get ? Json(200, CaptureJson(core.CaptureStatus())) : PostCapture(core, Body(request));
        case R::Replay:
            return get ? Json(200, ReplayJson(core.Replays().GetView())) : PostReplay(core, Body(request));
        case R::Sessions:
            return Sessions(core);
        default:
            throw ApiError(404, "not_found", "No such resource.");
    }
}

// A step's answer, or the response its error stands for.
template <class Result, class Step>
Result Answered(Step&& step) {
    try {
        return step();
    } catch (const ApiError& error) {
        ApiResponse response = Error(error.status, error.code, error.what(), error.field);
        if (!error.allow.empty()) response.headers.emplace_back("Allow", error.allow);
        return response;
    } catch (const std::exception& error) {
        return Error(500, "internal", error.what());
    }
}

}  // namespace

void ApiCounters::Answered(int status) {
    std::lock_guard<std::mutex> guard(lock_);
    ++byStatus_[status];
}

std::map<int, std::uint64_t> ApiCounters::ByStatus() const {
    std::lock_guard<std::mutex> guard(lock_);
    return byStatus_;
}

const std::vector<ApiRoute>& ApiRoutes() {
    static const std::vector<ApiRoute> routes = {
        {"/status", {"GET"}},
        {"/health", {"GET"}},
        {"/ready", {"GET"}},
        {"/version", {"GET"}},
        {"/openapi.json", {"GET"}},
        {"/metrics", {"GET"}},
        {"/events", {"GET"}},
        {"/link", {"GET", "PUT"}},
        {"/link/actions", {"POST"}},
        {"/link/faults", {"GET", "PUT"}},
        {"/proxy/faults", {"GET", "PUT"}},
        {"/replies", {"GET", "PUT"}},
        {"/rows/{row}", {"GET", "PUT"}},
        {"/rows/{row}/send", {"POST"}},
        {"/rows/{row}/stop", {"POST"}},
        {"/batch-send", {"POST"}},
        {"/messages", {"GET", "DELETE"}},
        {"/sends", {"GET", "POST"}},
        {"/sends/{id}", {"GET", "DELETE"}},
        {"/sends/{id}/stop", {"POST"}},
        {"/reset", {"POST"}},
        {"/scenario", {"GET", "PUT", "DELETE"}},
        {"/scenario/reload", {"POST"}},
        {"/expectations", {"PUT", "DELETE"}},
        {"/verify", {"GET"}},
        {"/capture", {"GET", "POST"}},
        {"/replay", {"GET", "POST"}},
        {"/sessions", {"GET"}},
        {"/devices", {"GET"}},
        {"/devices/{id}", {"GET"}},
    };
    return routes;
}

std::string ApiErrorBody(const std::string& code, const std::string& message, const std::string& field) {
    return Dump({{"error",
                  {{"code", code},
                   {"message", message},
                   {"field", field.empty() ? json(nullptr) : json(field)}}}});
}

std::optional<ApiResponse> CheckApiRequest(const ApiRequest& request, const ApiPolicy& policy) {
    try {
        // Two answers to who is asking: proxies and servers may each believe another one.
        if (request.ambiguous)
            return Error(400, "bad_request", "A request names its Host, Origin and Authorization once each.");
        if (!policy.token.empty()) {
            const auto given = BearerToken(request.authorization);
            if (!given || !SameToken(*given, policy.token)) {
                ApiResponse response =
                    Error(401, "unauthorized", "A valid bearer token is required.");
                response.headers.emplace_back("WWW-Authenticate", "Bearer");
                response.authFailed = true;
                return response;
            }
        } else {
            const std::string host = HostName(request.host);
            // HTTP/1.0 has no Host; a request that came in on loopback needs none.
            bool known = IsLoopbackName(host) ||
                         (request.host.empty() && request.version < 11 && request.loopbackPeer);
            for (const std::string& name : policy.hosts) known = known || host == Lower(name);
            if (!known) return Error(403, "host_refused", "Requests must name a loopback host.");
        }
        // A web page may send simple requests anywhere, and read nothing back; it cannot send
        // these, and a page of another origin (another port too) holds no stream open.
        // The origin is ours only with our scheme too: a page over https is not this plain server.
        if (!request.origin.empty() &&
            Lower(request.origin) != (request.tls ? "https://" : "http://") + Lower(request.host))
            return Error(403, "cross_site", "Cross-site requests are refused.");
        const bool changes = request.method == "PUT" || request.method == "POST" ||
                             (request.method == "DELETE" && !request.body.empty());
        if (changes) {
            std::string type = Lower(request.contentType.substr(0, request.contentType.find(';')));
            std::erase(type, ' ');
            if (type != "application/json")
                return Error(415, "unsupported_media_type", "Content-Type must be application/json.");
        }
        if (request.body.size() > kMaxApiBody)
            return Error(413, "body_too_large", "The body is larger than 1 MiB.");
        return std::nullopt;
    } catch (const std::exception& error) {
        return Error(500, "internal", error.what());
    }
}

std::optional<ApiResponse> QuickApiRequest(const ApiRequest& request, AppCore& core,
                                           const ApiCounters* counters) {
    return Answered<std::optional<ApiResponse>>([&] { return Quick(request, core, counters); });
}

ApiResponse RouteApiRequest(const ApiRequest& request, AppCore& core, const ApiPolicy& policy) {
    return Answered<ApiResponse>([&] { return Route(request, core, policy); });
}

ApiResponse HandleApiRequest(const ApiRequest& request, AppCore& core, const ApiPolicy& policy) {
    if (auto refused = CheckApiRequest(request, policy)) return *refused;
    return RouteApiRequest(request, core, policy);
}
