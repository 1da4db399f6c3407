#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "api/request_handler.h"

class AppCore;
class Scheduler;

// The control API over HTTP/1.1 on a thread of its own, which never waits for the core: a
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
        int maxConnections = 32;
        std::chrono::seconds idle{30};
        std::chrono::seconds keepAlive{15};  // comment lines on a quiet events stream
        // An events stream whose reader takes nothing for this long is dropped.
        std::chrono::milliseconds streamStall{3000};
        // How long a request may wait for the core to begin it before it is withdrawn.
        std::chrono::milliseconds corePatience{5000};
    };

    // Binds and starts serving; throws std::runtime_error when the address cannot be used.
    ApiServer(AppCore& core, Scheduler& scheduler, Options options);
    // Stops: open connections are closed.
    ~ApiServer();

    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    std::uint16_t Port() const;
    // Closes everything and ends the thread; call it from the core's thread. Requests handed
    // to the core and not yet begun are then never carried out.
    void Stop();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// True for 127.0.0.0/8 and ::1; false also for what is not an address at all.
bool IsLoopbackAddress(const std::string& address);
