#pragma once

#include <functional>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "drivers/tcp_driver.h"

// TCP client link. The connection is started at construction and completes or fails later;
// there is no automatic reconnection (a new link means a new driver).
class SerialTcpIpClient : public SerialTcpIpDriver {
public:
    // Looks a host name up; replaces the system's resolver in tests.
    using Resolver = std::function<std::vector<boost::asio::ip::tcp::endpoint>(
        const std::string& host, int port, boost::system::error_code& error)>;

    // A host starting with a digit is a numeric address; anything else is resolved as a name,
    // and every address it resolves to is tried in turn. Raises SocketError when the
    // connection cannot even be started.
    SerialTcpIpClient(boost::asio::io_context& io, const std::string& host, int port,
                      std::int32_t rxCapacity, std::int32_t txCapacity, Resolver resolver = {});
    ~SerialTcpIpClient() override;

    void Close() override;
    void Flush() override;
    std::int32_t Open(const char* name) override;

    bool IsConnected() const { return connection_ && connection_->connected; }
    // A connection is being made (resolving or connecting), neither up nor given up yet.
    bool IsConnecting() const {
        return active_ && connection_ && !connection_->connected && connection_->socket.is_open();
    }

private:
    void Activate();
    void Connect(const std::vector<boost::asio::ip::tcp::endpoint>& endpoints);
    void ConnectionClosed(const ConnectionPtr& connection) override;
    std::vector<ConnectionPtr> Connections() const override {
        return connection_ && connection_->connected ? std::vector<ConnectionPtr>{connection_} : std::vector<ConnectionPtr>{};
    }

    std::string host_;
    int port_;
    ConnectionPtr connection_;
    boost::asio::ip::tcp::resolver resolver_;
    Resolver resolve_;
};
