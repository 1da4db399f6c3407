#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "api/request_handler.h"

class AppCore;
class Scheduler;

// The control API over HTTP/1.1 (optionally over TLS) on a thread of its own, which never waits for the core: a
// request that needs the core is handed to the core's thread and answered once the core has
// done it, while other connections and event streams go on; the status and the events stream
// are served from what the core shows every thread. A request the core has not begun within
// a few seconds is withdrawn (it is then never carried out) and answered 503.
class ApiServer {
public:
    struct Options {
        std::string address = "127.0.0.1";
        std::uint16_t port = 0;  // 0: any free port
        ApiPolicy policy;
        // Connections served at once. When all are taken, the one that has waited longest
        // for a request (idle or slow) is closed for the newcomer; only when every one is busy
        // with a request is the newcomer refused.
        int maxConnections = 256;
        int maxStreams = 16;                         // event streams at once, beside those
        std::chrono::seconds headerTimeout{10};     // a request's whole header, from its start
        std::chrono::seconds idle{30};              // a kept-alive connection between requests
        std::chrono::seconds keepAlive{15};         // comment lines on a quiet events stream
        // An events stream whose reader takes nothing for this long is dropped.
        std::chrono::milliseconds streamStall{3000};
        // How long a request may wait for the core to begin it before it is withdrawn.
        std::chrono::milliseconds corePatience{5000};
        // After this many failed authentications from one address within a minute, each of
        // its requests waits authDelay before it is looked at.
        int authFailuresBeforeDelay = 5;
        std::chrono::milliseconds authDelay{1000};
        // TLS (PEM files) when both are given.
        std::string certFile;
        std::string keyFile;
    };

    // Binds and starts serving; throws std::runtime_error when the address cannot be used.
    ApiServer(AppCore& core, Scheduler& scheduler, Options options);
    // Stops: open connections are closed.
    ~ApiServer();

    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    std::uint16_t Port() const;
    // The URL served: "http://127.0.0.1:8080/api/v1", "https://[::1]:8443/api/v1".
    std::string Url() const;
    // Closes everything and ends the thread; call it from the core's thread. Requests handed
    // to the core and not yet begun are then never carried out.
    void Stop();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// True for 127.0.0.0/8 and ::1; false also for what is not an address at all.
bool IsLoopbackAddress(const std::string& address);
