#include "api/api_server.h"

// gcc 12 takes asio's coroutine frame allocator for a mismatched new/delete pair; it is not.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

// Boost 1.74 looks for C++20 coroutines only with gcc; clang 14 has them too.
#if defined(__clang__) && defined(__cpp_impl_coroutine) && __cpp_impl_coroutine >= 201902
#define BOOST_ASIO_HAS_CO_AWAIT 1
#define BOOST_ASIO_HAS_STD_COROUTINE 1
#endif

#include <atomic>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>  // before asio: its awaitable.hpp needs std::exchange

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "app/app_core.h"
#include "app/event_hub.h"
#include "app/scheduler.h"

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

constexpr std::size_t kMaxHeader = 8 * 1024;
constexpr std::size_t kEventsPerWrite = 2048;

// One request handed to the core's thread. The core begins it only if the API has not given
// up on it, so a request is either done and answered, or never done.
struct CoreCall {
    explicit CoreCall(net::io_context& io) : done(io) {}
    enum { Waiting, Begun, Withdrawn };
    std::atomic<int> state{Waiting};
    std::optional<ApiResponse> result;  // set on the API's thread
    net::steady_timer done;             // cancelled when the result is in
};

std::string StatusLine(int status) {
    return std::to_string(status) + " " +
           std::string(http::obsolete_reason(static_cast<http::status>(status)));
}

// A whole response for a request that could not be read: sent, then the connection closes.
std::string PlainError(int status, const std::string& text) {
    const std::string body = "{\"error\":\"" + text + "\"}";
    return "HTTP/1.1 " + StatusLine(status) +
           "\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Header(const http::request<http::string_body>& request, http::field field) {
    const auto it = request.find(field);
    return it == request.end() ? std::string() : std::string(it->value());
}

}  // namespace

struct ApiServer::Impl {
    Impl(AppCore& core, Scheduler& scheduler, Options options)
        : core(core), scheduler(scheduler), hub(core.Hub()), options(std::move(options)) {}

    AppCore& core;
    Scheduler& scheduler;
    EventHub& hub;
    Options options;
    // Read by the core's thread before it answers a request: false once the server stopped.
    std::shared_ptr<std::atomic<bool>> open = std::make_shared<std::atomic<bool>>(true);
    net::io_context io;
    tcp::acceptor acceptor{io};
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<bool> wakePosted{false};
    int hubToken = 0;
    int active = 0;
    std::set<tcp::socket*> sockets;
    std::set<net::steady_timer*> streams;
    std::set<CoreCall*> calls;  // waiting for the core

    net::awaitable<void> Accept();
    net::awaitable<void> Session(tcp::socket socket);
    net::awaitable<void> Stream(beast::tcp_stream& stream, std::uint64_t after);
    net::awaitable<std::optional<ApiResponse>> OnCore(ApiRequest request);
    void Wake() {
        wakePosted = false;
        for (net::steady_timer* timer : streams) timer->cancel();
    }
};

net::awaitable<void> ApiServer::Impl::Accept() {
    for (;;) {
        beast::error_code ec;
        tcp::socket socket =
            co_await acceptor.async_accept(net::redirect_error(net::use_awaitable, ec));
        if (!acceptor.is_open() || stopping) co_return;
        if (ec) continue;
        if (active >= options.maxConnections) {
            // Told why, then closed; a short answer fits the socket's buffer.
            const std::string busy = PlainError(503, "Too many connections.");
            socket.non_blocking(true, ec);
            socket.write_some(net::buffer(busy), ec);
            socket.close(ec);
            continue;
        }
        net::co_spawn(io, Session(std::move(socket)), net::detached);
    }
}

net::awaitable<void> ApiServer::Impl::Session(tcp::socket socket) {
    beast::tcp_stream stream(std::move(socket));
    ++active;
    sockets.insert(&stream.socket());
    struct Leave {
        Impl& server;
        beast::tcp_stream& stream;
        ~Leave() {
            --server.active;
            server.sockets.erase(&stream.socket());
        }
    } leave{*this, stream};

    beast::flat_buffer buffer;
    beast::error_code ec;
    while (!stopping) {
        http::request_parser<http::string_body> parser;
        parser.header_limit(kMaxHeader);
        parser.body_limit(kMaxApiBody);
        stream.expires_after(options.idle);
        co_await http::async_read_header(stream, buffer, parser,
                                         net::redirect_error(net::use_awaitable, ec));
        if (!ec && parser.get()[http::field::expect] == "100-continue") {
            static const std::string go = "HTTP/1.1 100 Continue\r\n\r\n";
            co_await net::async_write(stream, net::buffer(go),
                                      net::redirect_error(net::use_awaitable, ec));
        }
        if (!ec && !parser.is_done())
            co_await http::async_read(stream, buffer, parser,
                                      net::redirect_error(net::use_awaitable, ec));
        if (ec) {
            const bool quiet = ec == http::error::end_of_stream || ec == beast::error::timeout ||
                               ec == net::error::operation_aborted ||
                               ec == net::error::connection_reset || ec == net::error::eof;
            if (!quiet) {
                const std::string answer = ec == http::error::body_limit
                                               ? PlainError(413, "The body is larger than 1 MiB.")
                                           : ec == http::error::header_limit
                                               ? PlainError(431, "The header is larger than 8 KiB.")
                                               : PlainError(400, "Bad request.");
                stream.expires_after(options.idle);
                co_await net::async_write(stream, net::buffer(answer),
                                          net::redirect_error(net::use_awaitable, ec));
                // The client may still be sending what we refused; closing on unread bytes
                // would reset the connection before it reads the answer. So read and drop
                // them for a moment first.
                stream.socket().shutdown(tcp::socket::shutdown_send, ec);
                stream.expires_after(std::chrono::seconds(2));
                std::size_t drained = 0;
                char sink[16384];
                while (!ec && drained < 4 * kMaxApiBody) {
                    drained += co_await stream.async_read_some(
                        net::buffer(sink), net::redirect_error(net::use_awaitable, ec));
                }
            }
            break;
        }
        const http::request<http::string_body>& message = parser.get();
        ApiRequest request;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        request.host = Header(message, http::field::host);
        request.origin = Header(message, http::field::origin);
        request.contentType = Header(message, http::field::content_type);
        request.authorization = Header(message, http::field::authorization);
        if (const auto it = message.find("Last-Event-ID"); it != message.end())
            request.lastEventId = std::string(it->value());
        request.body = message.body();

        std::optional<ApiResponse> handled = CheckApiRequest(request, options.policy);
        if (!handled) handled = QuickApiRequest(request, core);
        if (!handled) handled = co_await OnCore(std::move(request));
        if (!handled) {
            handled = ApiResponse{};
            handled->status = 503;
            handled->body = "{\"error\":\"The simulator is busy; the request was not carried out.\"}";
        }
        if (handled->stream) {
            co_await Stream(stream, handled->streamAfter);
            break;
        }
        http::response<http::string_body> response{static_cast<http::status>(handled->status),
                                                   message.version()};
        if (!handled->body.empty()) response.set(http::field::content_type, "application/json");
        response.set(http::field::cache_control, "no-store");
        for (const auto& [name, value] : handled->headers) response.set(name, value);
        response.body() = std::move(handled->body);
        response.keep_alive(message.keep_alive());
        response.prepare_payload();
        stream.expires_after(options.idle);
        co_await http::async_write(stream, response, net::redirect_error(net::use_awaitable, ec));
        if (ec || !response.keep_alive()) break;
    }
    stream.socket().shutdown(tcp::socket::shutdown_send, ec);
}

net::awaitable<std::optional<ApiResponse>> ApiServer::Impl::OnCore(ApiRequest request) {
    auto call = std::make_shared<CoreCall>(io);
    scheduler.Post([call, open = open, &core = core, &io = io, request = std::move(request)] {
        int waiting = CoreCall::Waiting;
        if (!open->load() || !call->state.compare_exchange_strong(waiting, CoreCall::Begun))
            return;  // withdrawn: never carried out
        ApiResponse response = RouteApiRequest(request, core);
        // The server stops on this thread too, so it is either still open here or was never
        // left with this call (its io_context is gone only after `open` turned false).
        if (!open->load()) return;
        net::post(io, [call, response = std::move(response)]() mutable {
            call->result = std::move(response);
            call->done.cancel();
        });
    });
    calls.insert(call.get());
    struct Leave {
        Impl& server;
        CoreCall* call;
        ~Leave() { server.calls.erase(call); }
    } leave{*this, call.get()};
    beast::error_code ec;
    call->done.expires_after(options.corePatience);
    co_await call->done.async_wait(net::redirect_error(net::use_awaitable, ec));
    if (!call->result) {
        int waiting = CoreCall::Waiting;
        if (call->state.compare_exchange_strong(waiting, CoreCall::Withdrawn)) co_return std::nullopt;
        // Begun: the answer comes, however long the core takes.
        while (!call->result && !stopping) {
            call->done.expires_at(net::steady_timer::time_point::max());
            co_await call->done.async_wait(net::redirect_error(net::use_awaitable, ec));
        }
    }
    co_return std::move(call->result);
}

net::awaitable<void> ApiServer::Impl::Stream(beast::tcp_stream& stream, std::uint64_t after) {
    beast::error_code ec;
    std::string chunk =
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
        "Connection: close\r\n\r\n";
    net::steady_timer timer(io);
    streams.insert(&timer);
    struct Leave {
        Impl& server;
        net::steady_timer* timer;
        ~Leave() { server.streams.erase(timer); }
    } leave{*this, &timer};
    // The stream is one of the hub's readers: while it is far behind, the link is held back
    // until it has caught up. One that still falls out of what the hub keeps, or takes
    // nothing for a while, is dropped (and may resume with Last-Event-ID).
    const int reader = hub.AddReader(after);
    struct Unregister {
        EventHub& hub;
        int reader;
        ~Unregister() { hub.RemoveReader(reader); }
    } unregister{hub, reader};
    bool started = false;
    std::vector<HubEvent> events;
    while (!stopping) {
        if (started && after + 1 < hub.FirstKeptSeq()) break;
        started = true;
        // Copied out first, so the hub's lock (which the core publishes under) is held only
        // for the copy.
        hub.CopySince(after, kEventsPerWrite, events);
        for (const HubEvent& event : events) {
            chunk += "id: ";
            chunk += std::to_string(event.seq);
            chunk += "\nevent: ";
            chunk += event.kind;
            chunk += "\ndata: ";
            chunk += event.json;
            chunk += "\n\n";
            after = event.seq;
        }
        if (chunk.empty()) {
            // Woken by the hub (cancelled) or, on a quiet stream, by the time: a comment then
            // keeps proxies and the idle limit from closing it.
            timer.expires_after(options.keepAlive);
            co_await timer.async_wait(net::redirect_error(net::use_awaitable, ec));
            if (!ec) chunk = ": keep-alive\n\n";
            continue;
        }
        // A reader that takes nothing for a while is dropped: it may be holding the link.
        stream.expires_after(options.streamStall);
        co_await net::async_write(stream, net::buffer(chunk),
                                  net::redirect_error(net::use_awaitable, ec));
        if (ec) break;
        chunk.clear();
        hub.ReaderAt(reader, after);
    }
}

ApiServer::ApiServer(AppCore& core, Scheduler& scheduler, Options options)
    : impl_(std::make_unique<Impl>(core, scheduler, std::move(options))) {
    Impl& s = *impl_;
    beast::error_code ec;
    const auto address = net::ip::make_address(s.options.address, ec);
    if (ec) throw std::runtime_error("'" + s.options.address + "' is not an IP address.");
    const tcp::endpoint endpoint(address, s.options.port);
    s.acceptor.open(endpoint.protocol(), ec);
    if (!ec) s.acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) s.acceptor.bind(endpoint, ec);
    if (!ec) s.acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec)
        throw std::runtime_error("Cannot serve the control API on " + s.options.address + ":" +
                                 std::to_string(s.options.port) + ": " + ec.message());
    s.hubToken = s.hub.Subscribe([&s](const HubEvent&) {
        // One wake-up for a burst: the streams read everything new when they run.
        if (!s.wakePosted.exchange(true)) net::post(s.io, [&s] { s.Wake(); });
    });
    net::co_spawn(s.io, s.Accept(), net::detached);
    s.thread = std::thread([&s] { s.io.run(); });
}

ApiServer::~ApiServer() {
    Stop();
}

std::uint16_t ApiServer::Port() const {
    return impl_->acceptor.local_endpoint().port();
}

void ApiServer::Stop() {
    Impl& s = *impl_;
    if (!s.thread.joinable()) return;
    s.hub.Unsubscribe(s.hubToken);
    s.stopping = true;
    s.open->store(false);
    net::post(s.io, [&s] {
        beast::error_code ec;
        s.acceptor.close(ec);
        for (tcp::socket* socket : s.sockets) socket->close(ec);
        for (net::steady_timer* timer : s.streams) timer->cancel();
        for (CoreCall* call : s.calls) call->done.cancel();
    });
    // The sessions end as their operations fail; the loop runs dry.
    s.thread.join();
}

bool IsLoopbackAddress(const std::string& text) {
    beast::error_code ec;
    const auto address = net::ip::make_address(text, ec);
    return !ec && address.is_loopback();
}
