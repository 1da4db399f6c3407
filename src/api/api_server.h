#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "api/request_handler.h"

class AppCore;
class EventHub;
class Scheduler;

// The control API over HTTP/1.1 on a thread of its own. Each request is handled on the
// core's thread (HandleApiRequest); the events stream is fed from the hub directly.
class ApiServer {
public:
    struct Options {
        std::string address = "127.0.0.1";
        std::uint16_t port = 0;  // 0: any free port
        ApiPolicy policy;
        int maxConnections = 32;
        std::chrono::seconds idle{30};
        std::chrono::seconds keepAlive{15};  // comment lines on a quiet events stream
    };

    // Binds and starts serving; throws std::runtime_error when the address cannot be used.
    ApiServer(AppCore& core, Scheduler& scheduler, EventHub& hub, Options options);
    // Stops: open connections are closed.
    ~ApiServer();

    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    std::uint16_t Port() const;
    // Closes everything and ends the thread; call it from the core's thread before the core
    // stops taking calls.
    void Stop();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// True for 127.0.0.0/8 and ::1; false also for what is not an address at all.
bool IsLoopbackAddress(const std::string& address);
