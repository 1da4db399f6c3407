#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class AppCore;

// One HTTP request as the control API sees it.
struct ApiRequest {
    std::string method;  // "GET", "HEAD", "PUT", ...
    std::string target;  // path and query
    std::string host;
    std::string origin;
    std::string contentType;
    std::string authorization;
    std::string lastEventId;
    std::string body;
    unsigned version = 11;     // 10 for HTTP/1.0
    bool loopbackPeer = true;  // it came in on a loopback address
    bool tls = false;          // it came over TLS (an Origin must then be https)
    bool ambiguous = false;    // it named a Host, Origin or Authorization more than once
};

struct ApiResponse {
    int status = 200;
    std::string body;  // JSON (or the content type's), or empty
    std::string contentType = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;
    // The events stream: the server streams the hub's events numbered after streamAfter. A
    // stream that resumes (from a number of this run or another) starts with a gap event when
    // it cannot go on exactly where it left off.
    bool stream = false;
    std::uint64_t streamAfter = 0;
    bool streamResumes = false;
    std::string streamRun;   // the run the resumed number is of; empty: this one
    std::string streamFrom;  // the id the reader resumed from, as it gave it
    // A long poll that found nothing: the server asks again whenever something happens, for
    // pollMs at most, and then answers with this (empty) response.
    bool poll = false;
    std::int64_t pollMs = 0;
    bool authFailed = false;  // refused for a missing or wrong token
};

// Who may call: with a token every request must carry it; without one only requests that
// name a loopback host are taken (a web page cannot rebind a name of its own onto us).
struct ApiPolicy {
    std::string token;
    std::vector<std::string> hosts;  // accepted host names beside the loopback ones
    // The folder that scenario, script and expectations files named by a caller must lie in
    // ("" is the working folder), so no request can make the program read, or quote in an
    // error, a file outside it.
    std::string filesFolder;
};

// What the API itself counts, for the metrics: any thread.
class ApiCounters {
public:
    void Answered(int status);
    void AuthFailed() { ++authFailures_; }
    std::map<int, std::uint64_t> ByStatus() const;
    std::uint64_t AuthFailures() const { return authFailures_.load(); }

private:
    mutable std::mutex lock_;
    std::map<int, std::uint64_t> byStatus_;
    std::atomic<std::uint64_t> authFailures_{0};
};

inline constexpr std::size_t kMaxApiBody = 1024 * 1024;

// The resources the API serves: the path under /api/v1 ({name} stands for one part) and the
// methods, as the router dispatches them (HEAD is served for every GET besides).
struct ApiRoute {
    const char* path;
    std::vector<const char*> methods;
};
const std::vector<ApiRoute>& ApiRoutes();

// The OpenAPI description of the routes, kept in docs/openapi.json.
extern const char* const kOpenApiDocument;

// The body of an error: {"error":{"code":...,"message":...,"field":...}}; `field` "" for none.
std::string ApiErrorBody(const std::string& code, const std::string& message,
                         const std::string& field = "");

// A request is handled in up to three steps; none of them throws: anything a request holds
// gives a response.
// 1. Who may call and what the request may carry, on any thread: a response when refused.
std::optional<ApiResponse> CheckApiRequest(const ApiRequest& request, const ApiPolicy& policy);
// 2. What is answered from what the core shows to every thread (status, health, readiness,
//    version, the OpenAPI document, the metrics, the start of an events stream), on the API's
//    own thread: the API never waits for the core for these.
std::optional<ApiResponse> QuickApiRequest(const ApiRequest& request, AppCore& core,
                                           const ApiCounters* counters = nullptr);
// 3. Everything else, on the core's thread.
ApiResponse RouteApiRequest(const ApiRequest& request, AppCore& core, const ApiPolicy& policy);
// The three in order, on the core's thread (tests, fuzzing).
ApiResponse HandleApiRequest(const ApiRequest& request, AppCore& core, const ApiPolicy& policy);
