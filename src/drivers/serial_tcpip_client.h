#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "drivers/tcp_driver.h"

// How a TCP client tries again after a failed or lost connection: not at all, or after a wait
// that starts at `first` and doubles with every failed try up to `longest`.
struct TcpRetry {
    bool on = false;
    std::chrono::milliseconds first{1000};
    std::chrono::milliseconds longest{30000};
};

// TCP client link. The connection is started at construction and completes or fails later.
// Without automatic reconnection a failed or closed connection stays so (a new link means a
// new driver); with it, the client tries again after a wait that doubles after every failed
// try, up to a limit, and starts from the shortest wait again once a connection was made.
class SerialTcpIpClient : public SerialTcpIpDriver {
public:
    // Looks a host name up; replaces the system's resolver in tests.
    using Resolver = std::function<std::vector<boost::asio::ip::tcp::endpoint>(
        const std::string& host, int port, boost::system::error_code& error)>;
    using Retry = TcpRetry;

    // A host starting with a digit is a numeric address; anything else is resolved as a name,
    // and every address it resolves to is tried in turn. Raises SocketError when the
    // connection cannot even be started.
    SerialTcpIpClient(boost::asio::io_context& io, const std::string& host, int port,
                      std::int32_t rxCapacity, std::int32_t txCapacity, Resolver resolver = {},
                      Retry retry = {});
    ~SerialTcpIpClient() override;

    void Close() override;
    void Flush() override;
    std::int32_t Open(const char* name) override;

    bool IsConnected() const { return connection_ && connection_->connected; }
    // A connection is being made (resolving or connecting), neither up nor given up yet.
    bool IsConnecting() const {
        return active_ && connection_ && !connection_->connected &&
               (connection_->socket.is_open() || resolving_);
    }
    // When the next try starts, while one is waited for.
    std::optional<std::chrono::steady_clock::time_point> RetryDue() const { return retryDue_; }

private:
    void Activate();
    void StartAttempt();
    void Failed(const std::string& error);
    void ScheduleRetry();
    void Connect(const std::vector<boost::asio::ip::tcp::endpoint>& endpoints);
    void ConnectionClosed(const ConnectionPtr& connection) override;
    ConnectionPtr Destination(std::uint64_t origin) const override;
    std::vector<ConnectionPtr> Connections() const override {
        return connection_ && connection_->connected ? std::vector<ConnectionPtr>{connection_} : std::vector<ConnectionPtr>{};
    }

    std::string host_;
    int port_;
    ConnectionPtr connection_;
    boost::asio::ip::tcp::resolver resolver_;
    Resolver resolve_;
    bool resolving_ = false;
    Retry retry_;
    std::chrono::milliseconds retryDelay_;
    boost::asio::steady_timer retryTimer_;
    std::optional<std::chrono::steady_clock::time_point> retryDue_;
};
