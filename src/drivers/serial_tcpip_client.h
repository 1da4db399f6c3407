#pragma once

#include <string>

#include <boost/asio/ip/tcp.hpp>

#include "drivers/tcp_driver.h"

// TCP client link. The connection is started at construction and completes or fails later;
// there is no automatic reconnection (a new link means a new driver).
class SerialTcpIpClient : public SerialTcpIpDriver {
public:
    // A host starting with a digit is a numeric address; anything else is resolved as a name.
    // Raises SocketError when the connection cannot even be started.
    SerialTcpIpClient(boost::asio::io_context& io, const std::string& host, int port,
                      std::int32_t rxCapacity, std::int32_t txCapacity);
    ~SerialTcpIpClient() override;

    void Close() override;
    void Flush() override;
    std::int32_t Open(const char* name) override;

    bool IsConnected() const { return connection_ && connection_->connected; }

private:
    void Activate();
    void Connect(const boost::asio::ip::tcp::endpoint& endpoint);
    void ConnectionClosed(const ConnectionPtr& connection) override;

    std::string host_;
    int port_;
    ConnectionPtr connection_;
    boost::asio::ip::tcp::resolver resolver_;
};
