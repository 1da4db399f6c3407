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
#include <list>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>  // before asio: its awaitable.hpp needs std::exchange

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <nlohmann/json.hpp>

#include "app/app_core.h"
#include "base/regular_file.h"
#include "app/event_hub.h"
#include "app/scheduler.h"

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

constexpr std::size_t kMaxHeader = 8 * 1024;
constexpr std::size_t kEventsPerWrite = 2048;
constexpr auto kAuthMemory = std::chrono::minutes(1);
constexpr std::size_t kAuthAddresses = 4096;
constexpr int kAuthQueue = 8;  // requests of a throttled address waiting their turn at most

using Steady = std::chrono::steady_clock;

// One request handed to the core's thread. The core begins it only if the API has not given
// up on it, so a request is either done and answered, or never done.
struct CoreCall {
    explicit CoreCall(net::io_context& io) : done(io) {}
    enum { Waiting, Begun, Withdrawn };
    std::atomic<int> state{Waiting};
    std::optional<ApiResponse> result;  // set on the API's thread
    net::steady_timer done;             // cancelled when the result is in
};

// A connection's place in the server's books.
struct Connection {
    std::function<void()> close;  // closes its socket (on the API's thread)
    bool idle = false;            // waiting for a request: may be closed for a newcomer
    std::list<Connection*>::iterator place;
};

// The read side of an events stream: ends when the reader closes its connection.
struct StreamReader {
    StreamReader(net::io_context& io, net::steady_timer& writer) : done(io), writer(writer) {}
    bool closed = false;
    bool running = true;
    net::steady_timer done;      // cancelled when the reading ends
    net::steady_timer& writer;   // the stream's own wait, cut short by the end
};

std::string StatusLine(int status) {
    return std::to_string(status) + " " +
           std::string(http::obsolete_reason(static_cast<http::status>(status)));
}

// A whole response for a request that could not be read: sent, then the connection closes.
std::string PlainError(int status, const std::string& code, const std::string& text) {
    const std::string body = ApiErrorBody(code, text);
    return "HTTP/1.1 " + StatusLine(status) +
           "\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Header(const http::request<http::string_body>& request, http::field field) {
    const auto it = request.find(field);
    return it == request.end() ? std::string() : std::string(it->value());
}

bool Quiet(const beast::error_code& ec) {
    return ec == http::error::end_of_stream || ec == beast::error::timeout ||
           ec == net::error::operation_aborted || ec == net::error::connection_reset ||
           ec == net::error::eof || ec == net::error::bad_descriptor ||
           ec.category() == net::error::get_ssl_category() || ec == net::ssl::error::stream_truncated;
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
    std::unique_ptr<net::ssl::context> tls;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<bool> wakePosted{false};
    std::uint64_t wakes = 0;
    int hubToken = 0;
    ApiCounters counters;
    // The books, on the API's thread only.
    int active = 0;
    int streamsOpen = 0;
    std::set<Connection*> connections;
    std::list<Connection*> idle;  // oldest first
    std::set<net::steady_timer*> waiters;  // woken when the hub has something new
    std::set<net::steady_timer*> pauses;   // cut short only by the end
    std::set<CoreCall*> calls;             // waiting for the core
    struct AuthFailures {
        int count = 0;
        Steady::time_point last;
        // Once throttled, the address's requests are looked at one per authDelay, across all
        // its connections: the next one's turn.
        Steady::time_point nextTurn;
    };
    std::map<std::string, AuthFailures> authFailures;

    net::awaitable<void> Accept();
    net::awaitable<void> Session(tcp::socket socket);
    template <class Stream>
    net::awaitable<void> Serve(Stream& stream, Connection& connection, bool loopback,
                               std::string peer);
    template <class Stream>
    net::awaitable<void> Events(Stream& stream, const ApiResponse& start);
    template <class Stream>
    net::awaitable<void> ReadUntilClosed(Stream& stream, std::shared_ptr<StreamReader> reader);
    net::awaitable<std::optional<ApiResponse>> OnCore(ApiRequest request);
    // `seen`: the hub's news counted before the first answer was worked out, so that news
    // that came while it was on its way is not missed.
    net::awaitable<void> LongPoll(const ApiRequest& request, ApiResponse& answer, std::uint64_t seen);

    // A timer that the hub's news cuts short, for as long as it lives.
    struct Waiter {
        explicit Waiter(Impl& server) : server(server), timer(server.io) {
            server.waiters.insert(&timer);
        }
        ~Waiter() { server.waiters.erase(&timer); }
        Impl& server;
        net::steady_timer timer;
    };

    void Wake() {
        wakePosted = false;
        ++wakes;
        for (net::steady_timer* timer : waiters) timer->cancel();
    }
    void Idle(Connection& c) {
        if (c.idle) return;
        c.idle = true;
        c.place = idle.insert(idle.end(), &c);
    }
    void Busy(Connection& c) {
        if (!c.idle) return;
        c.idle = false;
        idle.erase(c.place);
    }
    // Makes room for a newcomer: closes the connection that has waited longest for a request.
    bool CloseOldestIdle() {
        if (idle.empty()) return false;
        Connection* oldest = idle.front();
        Busy(*oldest);
        oldest->close();
        return true;
    }
    // How long a request of this address waits before it is looked at: nothing until it has
    // failed authFailuresBeforeDelay times within a minute; then each request takes the next
    // turn, authDelay after the one before (and at least authDelay from now), so parallel
    // connections gain no guesses. Nothing when too many are queued already: the request is
    // then refused unseen.
    std::optional<Steady::duration> Turn(const std::string& peer) {
        const auto it = authFailures.find(peer);
        if (it == authFailures.end() || it->second.count < options.authFailuresBeforeDelay ||
            Steady::now() - it->second.last >= kAuthMemory)
            return Steady::duration::zero();
        const Steady::time_point now = Steady::now();
        const Steady::time_point turn = std::max(now, it->second.nextTurn) + options.authDelay;
        if (turn - now > kAuthQueue * options.authDelay) return std::nullopt;
        it->second.nextTurn = turn;
        return turn - now;
    }
    void AuthFailed(const std::string& peer) {
        counters.AuthFailed();
        if (authFailures.size() >= kAuthAddresses) {
            std::erase_if(authFailures, [](const auto& entry) {
                return Steady::now() - entry.second.last >= kAuthMemory;
            });
            if (authFailures.size() >= kAuthAddresses) authFailures.clear();
        }
        AuthFailures& record = authFailures[peer];
        if (Steady::now() - record.last >= kAuthMemory) record.count = 0;
        ++record.count;
        record.last = Steady::now();
    }
};

net::awaitable<void> ApiServer::Impl::Accept() {
    for (;;) {
        beast::error_code ec;
        tcp::socket socket =
            co_await acceptor.async_accept(net::redirect_error(net::use_awaitable, ec));
        if (!acceptor.is_open() || stopping) co_return;
        if (ec) {
            // Out of file descriptors: an idle connection makes room, else a moment's pause
            // (the pending connection waits in the backlog).
            if (!CloseOldestIdle()) {
                net::steady_timer pause(io, std::chrono::milliseconds(50));
                co_await pause.async_wait(net::redirect_error(net::use_awaitable, ec));
            }
            continue;
        }
        if (active >= options.maxConnections && !CloseOldestIdle()) {
            // Every connection is busy with a request: told why, then closed; a short answer
            // fits the socket's buffer.
            if (!tls) {
                const std::string busy =
                    PlainError(503, "too_many_connections", "Too many connections.");
                socket.non_blocking(true, ec);
                socket.write_some(net::buffer(busy), ec);
            }
            socket.close(ec);
            continue;
        }
        net::co_spawn(io, Session(std::move(socket)), net::detached);
    }
}

net::awaitable<void> ApiServer::Impl::Session(tcp::socket socket) {
    beast::error_code ec;
    const auto local = socket.local_endpoint(ec);
    const bool loopback = !ec && local.address().is_loopback();
    const auto remote = socket.remote_endpoint(ec);
    const std::string peer = ec ? std::string() : remote.address().to_string();

    Connection connection;
    ++active;
    connections.insert(&connection);
    struct Leave {
        Impl& server;
        Connection& connection;
        ~Leave() {
            server.Busy(connection);
            server.connections.erase(&connection);
            --server.active;
        }
    } leave{*this, connection};
    // Until it has sent a request, a connection is as idle as one between requests.
    Idle(connection);

    if (tls) {
        beast::ssl_stream<beast::tcp_stream> stream(beast::tcp_stream(std::move(socket)), *tls);
        connection.close = [&stream] {
            beast::error_code ignored;
            beast::get_lowest_layer(stream).socket().close(ignored);
        };
        beast::get_lowest_layer(stream).expires_after(options.headerTimeout);
        co_await stream.async_handshake(net::ssl::stream_base::server,
                                        net::redirect_error(net::use_awaitable, ec));
        if (!ec && !stopping) co_await Serve(stream, connection, loopback, peer);
        beast::get_lowest_layer(stream).socket().close(ec);
        connection.close = [] {};
    } else {
        beast::tcp_stream stream(std::move(socket));
        connection.close = [&stream] {
            beast::error_code ignored;
            stream.socket().close(ignored);
        };
        co_await Serve(stream, connection, loopback, peer);
        stream.socket().shutdown(tcp::socket::shutdown_send, ec);
        connection.close = [] {};
    }
}

template <class Stream>
net::awaitable<void> ApiServer::Impl::Serve(Stream& stream, Connection& connection, bool loopback,
                                            std::string peer) {
    auto& lowest = beast::get_lowest_layer(stream);
    beast::flat_buffer buffer;
    beast::error_code ec;
    bool first = true;
    while (!stopping) {
        Idle(connection);
        if (!first && buffer.size() == 0) {
            // Kept alive: the next request may take its time to begin...
            lowest.expires_after(options.idle);
            const std::size_t got = co_await stream.async_read_some(
                buffer.prepare(kMaxHeader), net::redirect_error(net::use_awaitable, ec));
            buffer.commit(got);
            if (ec) break;
        }
        first = false;
        // ...but once begun (or on a new connection), its whole header must come in time:
        // a client that trickles it in byte by byte holds no slot for long.
        http::request_parser<http::string_body> parser;
        parser.header_limit(kMaxHeader);
        parser.body_limit(kMaxApiBody);
        lowest.expires_after(options.headerTimeout);
        co_await http::async_read_header(stream, buffer, parser,
                                         net::redirect_error(net::use_awaitable, ec));
        Busy(connection);
        if (!ec && parser.get()[http::field::expect] == "100-continue") {
            static const std::string go = "HTTP/1.1 100 Continue\r\n\r\n";
            co_await net::async_write(stream, net::buffer(go),
                                      net::redirect_error(net::use_awaitable, ec));
        }
        if (!ec && !parser.is_done()) {
            lowest.expires_after(options.idle);
            co_await http::async_read(stream, buffer, parser,
                                      net::redirect_error(net::use_awaitable, ec));
        }
        if (ec) {
            if (!Quiet(ec)) {
                // A body announced past the limit is refused at once, from its header.
                const std::string answer =
                    ec == http::error::body_limit
                        ? PlainError(413, "body_too_large", "The body is larger than 1 MiB.")
                    : ec == http::error::header_limit
                        ? PlainError(431, "header_too_large", "The header is larger than 8 KiB.")
                        : PlainError(400, "bad_request", "Bad request.");
                counters.Answered(ec == http::error::body_limit     ? 413
                                  : ec == http::error::header_limit ? 431
                                                                    : 400);
                lowest.expires_after(options.idle);
                co_await net::async_write(stream, net::buffer(answer),
                                          net::redirect_error(net::use_awaitable, ec));
                // The client may still be sending what we refused; closing on unread bytes
                // would reset the connection before it reads the answer. So read and drop
                // them for a moment first.
                lowest.socket().shutdown(tcp::socket::shutdown_send, ec);
                lowest.expires_after(std::chrono::seconds(2));
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
        request.ambiguous = message.count(http::field::host) > 1 || message.count(http::field::origin) > 1 ||
                            message.count(http::field::authorization) > 1;
        request.tls = std::is_same_v<Stream, beast::ssl_stream<beast::tcp_stream>>;
        request.origin = Header(message, http::field::origin);
        request.contentType = Header(message, http::field::content_type);
        request.authorization = Header(message, http::field::authorization);
        if (const auto it = message.find("Last-Event-ID"); it != message.end())
            request.lastEventId = std::string(it->value());
        request.body = message.body();
        request.version = message.version();
        request.loopbackPeer = loopback;
        const bool head = request.method == "HEAD";

        // An address that keeps failing to authenticate is looked at once a turn, whatever
        // the connection; a right token does not clear its count (it may be one of many
        // guesses): the count runs out a minute after the last failure.
        std::optional<ApiResponse> handled;
        if (const auto wait = Turn(peer); !wait) {
            handled = ApiResponse{};
            handled->status = 429;
            handled->body = ApiErrorBody("too_many_requests", "Too many failed authentications; try again later.");
            handled->headers.emplace_back("Retry-After", "60");
        } else if (*wait > Steady::duration::zero()) {
            net::steady_timer pause(io, *wait);
            pauses.insert(&pause);
            co_await pause.async_wait(net::redirect_error(net::use_awaitable, ec));
            pauses.erase(&pause);
            if (stopping) break;
        }
        if (!handled) handled = CheckApiRequest(request, options.policy);
        if (handled && handled->authFailed) AuthFailed(peer);
        if (!handled) handled = QuickApiRequest(request, core, &counters);
        const std::uint64_t wakesBefore = wakes;
        if (!handled) handled = co_await OnCore(request);
        if (!handled) {
            handled = ApiResponse{};
            handled->status = 503;
            handled->body =
                ApiErrorBody("busy", "The simulator is busy; the request was not carried out.");
        }
        if (handled->poll) co_await LongPoll(request, *handled, wakesBefore);
        if (handled->stream) {
            if (head) {
                handled->stream = false;
                handled->contentType = "text/event-stream";
            } else if (streamsOpen >= options.maxStreams) {
                *handled = ApiResponse{};
                handled->status = 503;
                handled->body = ApiErrorBody("too_many_streams", "Too many event streams.");
            } else {
                counters.Answered(200);
                ++streamsOpen;
                co_await Events(stream, *handled);
                --streamsOpen;
                break;
            }
        }
        counters.Answered(handled->status);
        const auto status = static_cast<http::status>(handled->status);
        const bool keepAlive = message.keep_alive();
        if (head) {
            // The header a GET would have, and no body: the client reads no more.
            http::response<http::empty_body> response{status, message.version()};
            if (!handled->body.empty()) response.set(http::field::content_type, handled->contentType);
            if (handled->stream || handled->contentType == "text/event-stream")
                response.set(http::field::content_type, "text/event-stream");
            response.set(http::field::cache_control, "no-store");
            for (const auto& [name, value] : handled->headers) response.set(name, value);
            response.content_length(handled->body.size());
            response.keep_alive(keepAlive);
            lowest.expires_after(options.idle);
            co_await http::async_write(stream, response,
                                       net::redirect_error(net::use_awaitable, ec));
        } else {
            http::response<http::string_body> response{status, message.version()};
            if (!handled->body.empty()) response.set(http::field::content_type, handled->contentType);
            response.set(http::field::cache_control, "no-store");
            for (const auto& [name, value] : handled->headers) response.set(name, value);
            response.body() = std::move(handled->body);
            response.keep_alive(keepAlive);
            response.prepare_payload();
            lowest.expires_after(options.idle);
            co_await http::async_write(stream, response,
                                       net::redirect_error(net::use_awaitable, ec));
        }
        if (ec || !keepAlive) break;
    }
}

net::awaitable<std::optional<ApiResponse>> ApiServer::Impl::OnCore(ApiRequest request) {
    auto call = std::make_shared<CoreCall>(io);
    scheduler.Post([call, open = open, &core = core, &io = io, &policy = options.policy, request = std::move(request)] {
        int waiting = CoreCall::Waiting;
        if (!open->load() || !call->state.compare_exchange_strong(waiting, CoreCall::Begun))
            return;  // withdrawn: never carried out
        ApiResponse response = RouteApiRequest(request, core, policy);
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

// A listing that found nothing yet: asked again whenever the hub has news, until it finds
// something or its time is up. `answer` is the answer either way.
net::awaitable<void> ApiServer::Impl::LongPoll(const ApiRequest& request, ApiResponse& answer,
                                               std::uint64_t seen) {
    Waiter waiter(*this);
    net::steady_timer& timer = waiter.timer;
    const auto deadline = Steady::now() + std::chrono::milliseconds(answer.pollMs);
    beast::error_code ec;
    while (!stopping && Steady::now() < deadline) {
        if (wakes == seen) {
            timer.expires_at(deadline);
            co_await timer.async_wait(net::redirect_error(net::use_awaitable, ec));
            if (!ec || stopping) break;  // the time is up
        }
        seen = wakes;
        std::optional<ApiResponse> again = co_await OnCore(request);
        if (!again) break;
        if (!again->poll) {
            answer = std::move(*again);
            break;
        }
    }
    answer.poll = false;
}

template <class Stream>
net::awaitable<void> ApiServer::Impl::ReadUntilClosed(Stream& stream,
                                                      std::shared_ptr<StreamReader> reader) {
    // Nothing more is expected from an events reader: whatever it sends is dropped, and the
    // end of its connection ends the stream at once (not at the next write).
    char sink[512];
    beast::error_code ec;
    while (!ec) {
        // The read is never timed: a quiet reader is fine. (This leaves a pending write's
        // time limit as it is.)
        beast::get_lowest_layer(stream).expires_never();
        co_await stream.async_read_some(net::buffer(sink), net::redirect_error(net::use_awaitable, ec));
    }
    reader->closed = true;
    reader->running = false;
    reader->writer.cancel();
    reader->done.cancel();
}

template <class Stream>
net::awaitable<void> ApiServer::Impl::Events(Stream& stream, const ApiResponse& start) {
    auto& lowest = beast::get_lowest_layer(stream);
    beast::error_code ec;
    std::string chunk =
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
        "Connection: close\r\n\r\n";
    Waiter waiter(*this);
    net::steady_timer& timer = waiter.timer;

    std::uint64_t after = start.streamAfter;
    const std::string run = hub.RunId();
    if (start.streamResumes) {
        // Resumed from an id this run cannot go on from: the reader is told, and gets what
        // is kept from the oldest on.
        const std::uint64_t first = hub.FirstKeptSeq(), last = hub.LastSeq();
        std::string reason;
        if (!start.streamRun.empty() && start.streamRun != run)
            reason = "The id is of another run.";
        else if (after > last)
            reason = "The id lies past the latest event of this run.";
        else if (after + 1 < first)
            reason = "The events after the id are no longer kept.";
        if (!reason.empty()) {
            after = first - 1;
            const nlohmann::json gap = {{"kind", "gap"},
                                        {"run", run},
                                        {"from", start.streamFrom},
                                        {"first", first},
                                        {"firstId", run + "-" + std::to_string(first)},
                                        {"reason", reason}};
            chunk += "event: gap\ndata: " +
                     gap.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n\n";
        }
    }

    auto reader = std::make_shared<StreamReader>(io, timer);
    reader->done.expires_at(net::steady_timer::time_point::max());
    lowest.expires_never();
    net::co_spawn(io, ReadUntilClosed(stream, reader), net::detached);

    // The stream is one of the hub's readers: while it is far behind, the link is held back
    // until it has caught up. One that still falls out of what the hub keeps, or takes
    // nothing for a while, is dropped (and may resume with Last-Event-ID).
    const int hubReader = hub.AddReader(after);
    struct Unregister {
        EventHub& hub;
        int reader;
        ~Unregister() { hub.RemoveReader(reader); }
    } unregister{hub, hubReader};
    std::vector<HubEvent> events;
    bool started = false;
    while (!stopping && !reader->closed) {
        // A stream that has fallen further behind than the hub keeps is dropped: it would
        // miss events without knowing. It resumes with its last id and is told of the gap.
        if (started && after + 1 < hub.FirstKeptSeq()) break;
        started = true;
        // Copied out first, so the hub's lock (which the core publishes under) is held only
        // for the copy.
        hub.CopySince(after, kEventsPerWrite, events);
        for (const HubEvent& event : events) {
            chunk += "id: ";
            chunk += run;
            chunk += '-';
            chunk += std::to_string(event.seq);
            chunk += "\nevent: ";
            chunk += event.kind;
            chunk += "\ndata: ";
            chunk += event.json;
            chunk += "\n\n";
            after = event.seq;
        }
        if (chunk.empty()) {
            // Woken by the hub or the reader's end (cancelled) or, on a quiet stream, by the
            // time: a comment then keeps proxies from closing it.
            timer.expires_after(options.keepAlive);
            co_await timer.async_wait(net::redirect_error(net::use_awaitable, ec));
            if (!ec) chunk = ": keep-alive\n\n";
            continue;
        }
        // A reader that takes nothing for a while is dropped: it may be holding the link.
        lowest.expires_after(options.streamStall);
        co_await net::async_write(stream, net::buffer(chunk),
                                  net::redirect_error(net::use_awaitable, ec));
        if (ec) break;
        // Only the write is timed: the reader's pending read and a quiet stream are not.
        lowest.expires_never();
        chunk.clear();
        hub.ReaderAt(hubReader, after);
    }
    // The reader's read ends with the socket; the stream is not left before it has.
    lowest.socket().shutdown(tcp::socket::shutdown_both, ec);
    lowest.socket().cancel(ec);
    while (reader->running) {
        co_await reader->done.async_wait(net::redirect_error(net::use_awaitable, ec));
    }
}

ApiServer::ApiServer(AppCore& core, Scheduler& scheduler, Options options)
    : impl_(std::make_unique<Impl>(core, scheduler, std::move(options))) {
    Impl& s = *impl_;
    beast::error_code ec;
    if (!s.options.certFile.empty() || !s.options.keyFile.empty()) {
        s.tls = std::make_unique<net::ssl::context>(net::ssl::context::tls_server);
        s.tls->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                           net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 |
                           net::ssl::context::no_tlsv1_1);
        // Read here, as every file is, so a device or a huge file at the path is refused
        // before the TLS library sees it.
        std::string certificate, key;
        try {
            certificate = files::ReadRegular(s.options.certFile, files::kMaxSecretBytes);
            key = files::ReadRegular(s.options.keyFile, files::kMaxSecretBytes);
        } catch (const files::FileError& error) {
            throw std::runtime_error(std::string("Cannot use ") + error.what());
        }
        s.tls->use_certificate_chain(net::buffer(certificate), ec);
        if (ec)
            throw std::runtime_error("Cannot use the certificate " + s.options.certFile +
                                     ": it holds no PEM certificate");
        s.tls->use_private_key(net::buffer(key), net::ssl::context::pem, ec);
        if (ec)
            throw std::runtime_error("Cannot use the key " + s.options.keyFile +
                                     ": it holds no PEM private key that fits the certificate");
    }
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

std::string ApiServer::Url() const {
    const auto endpoint = impl_->acceptor.local_endpoint();
    const std::string host = endpoint.address().is_v6()
                                 ? "[" + endpoint.address().to_string() + "]"
                                 : endpoint.address().to_string();
    return std::string(impl_->tls ? "https" : "http") + "://" + host + ":" +
           std::to_string(endpoint.port()) + "/api/v1";
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
        for (Connection* connection : s.connections)
            if (connection->close) connection->close();
        for (net::steady_timer* timer : s.waiters) timer->cancel();
        for (net::steady_timer* timer : s.pauses) timer->cancel();
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
