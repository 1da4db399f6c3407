#pragma once

#include <chrono>
#include <deque>
#include <string>

#include <boost/asio/steady_timer.hpp>

#include "drivers/tcp_driver.h"

// TCP server link: listens on a port on all local addresses and accepts every connection.
// Bytes from every connection go into the one receive queue, each block read knowing its
// connection. An answer goes to the connection its message came from (or nowhere, when that
// one has gone); what the simulator sends on its own goes to the oldest connection on a
// flush, or to the connection that raised a write notification.
class SerialTcpIpServer : public SerialTcpIpDriver {
public:
    // Raises SocketError when the port cannot be listened on. `address`: listen on that local
    // address only (an IPv4 or IPv6 literal); empty, on all of them.
    SerialTcpIpServer(boost::asio::io_context& io, int port, std::int32_t rxCapacity,
                      std::int32_t txCapacity, std::string address = {});
    ~SerialTcpIpServer() override;

    void Close() override;
    void Flush() override;
    std::int32_t Open(const char* name) override;

    // The port actually listened on (useful when 0 asked for an ephemeral one).
    int LocalPort() const;
    std::size_t ConnectionCount() const { return connections_.size(); }

private:
    void Activate();
    void Accept();
    void ConnectionClosed(const ConnectionPtr& connection) override;
    ConnectionPtr Destination(std::uint64_t origin) const override;
    std::vector<ConnectionPtr> Connections() const override {
        return {connections_.begin(), connections_.end()};
    }

    int port_;
    std::string address_;
    boost::asio::ip::tcp::acceptor acceptor_;
    std::deque<ConnectionPtr> connections_;  // oldest first
    // A failing accept (out of descriptors, say) is tried again later, each time twice as
    // late up to a second, and reported once until it changes or an accept succeeds.
    boost::asio::steady_timer acceptRetry_;
    std::chrono::milliseconds acceptDelay_{0};
    boost::system::error_code lastAcceptError_;
};
