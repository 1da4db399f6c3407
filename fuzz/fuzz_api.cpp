// Arbitrary bytes as HTTP requests to the control API, as JSON bodies of every request that
// takes one, and as the query of the listings and the id an events stream resumes from: every
// request gets an answer with a status and a JSON object (an error with its code), nothing
// throws, and the settings stay within what the window could set.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>  // before asio: its awaitable.hpp needs std::exchange

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include "api/request_handler.h"
#include "app/app_core.h"
#include "app/event_hub.h"
#include "app/scheduler.h"
#include "settings/preferences.h"

namespace http = boost::beast::http;

namespace {

struct NoScheduler : Scheduler {
    void Post(std::function<void()>, int) override {}  // delayed sends never come due here
    bool RunsHere() const override { return true; }
};

void Check(const ApiResponse& response) {
    if (response.status < 200 || response.status > 599) std::abort();
    if (response.stream || response.body.empty()) return;
    if (response.contentType != "application/json") return;  // the metrics
    const nlohmann::json body = nlohmann::json::parse(response.body, nullptr, false);
    if (!body.is_object()) std::abort();
    if (response.status >= 400 &&
        (!body["error"].is_object() || !body["error"]["code"].is_string() ||
         !body["error"]["message"].is_string()))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Preferences prefs(
        (std::filesystem::temp_directory_path() / "vantor-fuzz-api-absent.ini").string());
    // A fresh core per input, so what one input queued does not pile up over a long run.
    NoScheduler scheduler;
    AppCore::Options options;
    options.runLink = false;  // what a request posts stays in the core's broker
    options.keptEvents = 64;
    AppCore core(prefs, scheduler, options);
    const std::string input(reinterpret_cast<const char*>(data), size);
    const ApiPolicy policy;

    http::request_parser<http::string_body> parser;
    parser.header_limit(8 * 1024);
    parser.body_limit(kMaxApiBody);
    parser.eager(true);
    boost::beast::error_code ec;
    parser.put(boost::asio::buffer(input), ec);
    if (!ec && parser.is_done()) {
        const auto& message = parser.get();
        ApiRequest request;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        request.host = std::string(message[http::field::host]);
        request.origin = std::string(message[http::field::origin]);
        request.contentType = std::string(message[http::field::content_type]);
        request.authorization = std::string(message[http::field::authorization]);
        request.lastEventId = std::string(message["Last-Event-ID"]);
        request.body = message.body();
        request.version = message.version();
        Check(HandleApiRequest(request, core, policy));
    }
    static const std::pair<const char*, const char*> kTakesBody[] = {
        {"PUT", "/api/v1/link"},         {"PUT", "/api/v1/replies"},
        {"PUT", "/api/v1/rows/1"},       {"POST", "/api/v1/sends"},
        {"POST", "/api/v1/rows/2/send"}, {"POST", "/api/v1/sends/1/stop"},
        {"POST", "/api/v1/reset"},       {"DELETE", "/api/v1/sends/1"},
        {"POST", "/api/v1/link/actions"}};
    for (const auto& [method, target] : kTakesBody) {
        ApiRequest request{method, target, "127.0.0.1", "", "application/json", "", "", input};
        Check(HandleApiRequest(request, core, policy));
    }
    // The input as a query, and as the id a stream resumes from.
    const std::string query = input.substr(0, input.find_first_of(" \r\n#"));
    for (const char* path : {"/api/v1/messages?", "/api/v1/sends?", "/api/v1/events?"}) {
        ApiRequest request{"GET", path + query, "127.0.0.1", "", "", "", "", ""};
        Check(HandleApiRequest(request, core, policy));
    }
    ApiRequest resume{"GET", "/api/v1/events", "127.0.0.1", "", "", "", input, ""};
    Check(HandleApiRequest(resume, core, policy));
    const CommPrefs comm = prefs.Get_comm_prefs();
    if (!AppCore::CheckLink(comm).empty()) std::abort();
    return 0;
}
