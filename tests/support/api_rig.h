#pragma once

// The control API's test and measurement rig: the headless program in-process (settings,
// brokers, a real control thread serving the link on 127.0.0.1, the core and the API
// server), a device played over TCP, and an HTTP client.

#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>  // before asio: its awaitable.hpp needs std::exchange
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include "api/api_server.h"
#include "app/app_core.h"
#include "app/event_hub.h"
#include "app/scheduler.h"
#include "protocol/frame.h"
#include "settings/preferences.h"
#include "support/loopback.h"

namespace api_rig {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;
using nlohmann::json;
using namespace std::chrono_literals;

struct Reply {
    int status = 0;
    json body;
    http::response<http::string_body> raw;
};

using Headers = std::vector<std::pair<std::string, std::string>>;
const Headers kJson = {{"Content-Type", "application/json"}};

// One request on a fresh connection.
inline Reply Call(int port, http::verb method, const std::string& target,
                  const std::string& body = "", const Headers& headers = kJson) {
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect(
        tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
    http::request<http::string_body> request{method, target, 11};
    request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
    for (const auto& [name, value] : headers) request.set(name, value);
    request.body() = body;
    request.prepare_payload();
    http::write(socket, request);
    beast::flat_buffer buffer;
    Reply reply;
    http::read(socket, buffer, reply.raw);
    reply.status = static_cast<int>(reply.raw.result_int());
    if (!reply.raw.body().empty()) reply.body = json::parse(reply.raw.body(), nullptr, false);
    return reply;
}

// Bytes sent raw on a fresh connection; whatever comes back until the server closes, or
// until nothing more has come for `seconds`.
inline std::string RawExchange(int port, const std::string& bytes, int seconds = 5) {
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect(
        tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
    boost::system::error_code ec;
    asio::write(socket, asio::buffer(bytes), ec);
    timeval timeout{seconds, 0};
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string answer;
    char chunk[4096];
    ssize_t n;
    while ((n = ::recv(socket.native_handle(), chunk, sizeof chunk, 0)) > 0)
        answer.append(chunk, static_cast<std::size_t>(n));
    return answer;
}

// recv on a socket whose SO_RCVTIMEO is set (asio's own reads would wait on regardless).
inline ssize_t BoundedRead(tcp::socket& socket, char* data, std::size_t size) {
    return ::recv(socket.native_handle(), data, size, 0);
}

// The device on the other end of the link: connects to the simulator's TCP server.
class Peer {
public:
    explicit Peer(int port) : socket_(io_) {
        const auto end = std::chrono::steady_clock::now() + 5s;
        boost::system::error_code ec;
        do {
            socket_.close(ec);
            socket_.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"),
                                          static_cast<unsigned short>(port)),
                            ec);
            if (ec) std::this_thread::sleep_for(20ms);
        } while (ec && std::chrono::steady_clock::now() < end);
        if (ec)
            throw std::runtime_error("the simulator does not listen on " + std::to_string(port));
        timeval timeout{5, 0};
        ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    // The next frame, up to and with its CR; "" after 5 s without one.
    std::string ReadFrame() {
        std::string frame;
        char c = 0;
        while (BoundedRead(socket_, &c, 1) == 1) {
            frame += c;
            if (c == '\r') return frame;
        }
        return "";
    }
    void Write(const std::string& bytes) { asio::write(socket_, asio::buffer(bytes)); }
    // What one read takes (as much as has come, at least a byte); "" after 5 s without any.
    std::string ReadSome() {
        char chunk[256];
        const ssize_t r = BoundedRead(socket_, chunk, sizeof chunk);
        return r > 0 ? std::string(chunk, static_cast<std::size_t>(r)) : std::string();
    }
    // Up to `n` bytes; fewer after 5 s without more, or at the end of the stream.
    std::string ReadBytes(std::size_t n) {
        std::string bytes(n, '\0');
        std::size_t got = 0;
        while (got < n) {
            const ssize_t r = BoundedRead(socket_, bytes.data() + got, n - got);
            if (r <= 0) break;
            got += static_cast<std::size_t>(r);
        }
        bytes.resize(got);
        return bytes;
    }
    // Answers the next message with ACK (or `code`) and `text`; returns the message.
    std::string Answer(const std::string& text, std::uint8_t code = ctrl::ACK) {
        const std::string message = ReadFrame();
        if (message.size() > 1) Write(WireFrame(message[1], code, text));
        return message;
    }

private:
    asio::io_context io_;
    tcp::socket socket_;
};

// Polls `check` until it holds or 5 s have gone.
template <class Check>
bool Eventually(Check check) {
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (!check()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// The headless program, in-process: settings, the core (with its control thread serving the
// link on 127.0.0.1) on a thread of its own, and the API server.
struct Simulator {
    std::filesystem::path dir;
    std::unique_ptr<Preferences> prefs;
    std::unique_ptr<LoopScheduler> scheduler = std::make_unique<LoopScheduler>();
    std::unique_ptr<AppCore> core;
    std::unique_ptr<ApiServer> api;
    int devicePort = FreeTcpPort();
    int port = 0;

    explicit Simulator(ApiServer::Options options = {}) {
        dir = std::filesystem::temp_directory_path() /
              ("vantor-api-" + std::to_string(::getpid()) + "-" + std::to_string(devicePort));
        std::filesystem::create_directories(dir);
        prefs = std::make_unique<Preferences>((dir / "ZentrelConfig.ini").string());
        CommPrefs comm;
        comm.Type = 2;
        comm.LocalPort = devicePort;
        prefs->Set_comm_prefs(comm);
        OnCore([this] {
            core = std::make_unique<AppCore>(*prefs, *scheduler);
            core->Start();
        });
        // Files that requests name are taken from the simulator's own folder.
        if (options.policy.filesFolder.empty()) options.policy.filesFolder = dir.string();
        api = std::make_unique<ApiServer>(*core, *scheduler, options);
        port = api->Port();
    }
    ~Simulator() {
        api->Stop();
        OnCore([this] { core.reset(); });
        scheduler.reset();  // no core work runs after this
        std::filesystem::remove_all(dir);
    }
    EventHub& Hub() { return core->Hub(); }
    void OnCore(std::function<void()> work) {
        CallOn<int>(
            *scheduler,
            [&work] {
                work();
                return 0;
            },
            10s);
    }
    Reply Get(const std::string& path) { return Call(port, http::verb::get, "/api/v1/" + path); }
    Reply Put(const std::string& path, const json& body) {
        return Call(port, http::verb::put, "/api/v1/" + path, body.dump());
    }
    Reply Post(const std::string& path, const json& body = json::object()) {
        return Call(port, http::verb::post, "/api/v1/" + path, body.dump());
    }
    // Every event the hub kept, of one kind.
    std::vector<json> Logged(const std::string& kind) {
        std::vector<json> out;
        for (const HubEvent& event : Hub().Since(0, 100000))
            if (event.kind == kind) out.push_back(json::parse(event.json));
        return out;
    }
};

}  // namespace api_rig
