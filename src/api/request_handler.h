#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class AppCore;

// One HTTP request as the control API sees it.
struct ApiRequest {
    std::string method;  // "GET", "PUT", ...
    std::string target;  // path and query
    std::string host;
    std::string origin;
    std::string contentType;
    std::string authorization;
    std::string lastEventId;
    std::string body;
};

struct ApiResponse {
    int status = 200;
    std::string body;  // JSON, or empty
    std::vector<std::pair<std::string, std::string>> headers;
    // The events stream: the server streams the hub's events numbered after streamAfter.
    bool stream = false;
    std::uint64_t streamAfter = 0;
};

// Who may call: with a token every request must carry it; without one only requests that
// name a loopback host are taken (a web page cannot rebind a name of its own onto us).
struct ApiPolicy {
    std::string token;
    std::vector<std::string> hosts;  // accepted host names beside the loopback ones
};

inline constexpr std::size_t kMaxApiBody = 1024 * 1024;

// A request is handled in up to three steps; none of them throws: anything a request holds
// gives a response.
// 1. Who may call and what the request may carry, on any thread: a response when refused.
std::optional<ApiResponse> CheckApiRequest(const ApiRequest& request, const ApiPolicy& policy);
// 2. What is answered from what the core shows to every thread (its status, the start of an
//    events stream), on the API's own thread: the API never waits for the core for these.
std::optional<ApiResponse> QuickApiRequest(const ApiRequest& request, AppCore& core);
// 3. Everything else, on the core's thread.
ApiResponse RouteApiRequest(const ApiRequest& request, AppCore& core);
// The three in order, on the core's thread (tests, fuzzing).
ApiResponse HandleApiRequest(const ApiRequest& request, AppCore& core, const ApiPolicy& policy);
