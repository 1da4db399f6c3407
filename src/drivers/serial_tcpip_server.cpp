#include "drivers/serial_tcpip_server.h"

#include <algorithm>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/system/system_error.hpp>

namespace asio = boost::asio;
using asio::ip::tcp;

SerialTcpIpServer::SerialTcpIpServer(asio::io_context& io, int port, std::int32_t rxCapacity,
                                     std::int32_t txCapacity, std::string address)
    : SerialTcpIpDriver(io, rxCapacity, txCapacity), port_(port), address_(std::move(address)), acceptor_(io),
      acceptRetry_(io) {
    Activate();
}

SerialTcpIpServer::~SerialTcpIpServer() { Close(); }

void SerialTcpIpServer::Activate() {
    if (port_ < 0 || port_ > 65535) {
        throw SocketError(SocketErrorText(asio::error::invalid_argument, "bind"));
    }
    boost::system::error_code error;
    // Listen on all local addresses, IPv6 and IPv4 alike where the system allows it.
    tcp::endpoint endpoint(tcp::v6(), static_cast<unsigned short>(port_));
    if (!address_.empty()) {
        const auto address = asio::ip::make_address(address_, error);
        if (error) throw SocketError("Cannot listen on " + address_ + ": not an IP address");
        endpoint = tcp::endpoint(address, static_cast<unsigned short>(port_));
        acceptor_.open(endpoint.protocol(), error);
    } else if (acceptor_.open(endpoint.protocol(), error); !error) {
        acceptor_.set_option(asio::ip::v6_only(false), error);
    } else {
        endpoint = tcp::endpoint(tcp::v4(), static_cast<unsigned short>(port_));
        acceptor_.open(endpoint.protocol(), error);
    }
    if (error) throw SocketError(SocketErrorText(error, "socket"));
    acceptor_.set_option(tcp::acceptor::reuse_address(true), error);
    acceptor_.bind(endpoint, error);
    if (error) {
        boost::system::error_code ignored;
        acceptor_.close(ignored);
        throw SocketError(SocketErrorText(error, "bind"));
    }
    acceptor_.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
        boost::system::error_code ignored;
        acceptor_.close(ignored);
        throw SocketError(SocketErrorText(error, "listen"));
    }
    active_ = true;
    Accept();
}

void SerialTcpIpServer::Accept() {
    auto connection = std::make_shared<TcpConnection>(io_);
    acceptor_.async_accept(connection->socket,
                           Guarded([this, connection](const boost::system::error_code& error) {
                               if (error == asio::error::operation_aborted || !active_) return;
                               if (!error) {
                                   acceptDelay_ = std::chrono::milliseconds(0);
                                   lastAcceptError_.clear();
                                   connections_.push_back(connection);
                                   Connected(connection);
                                   Accept();
                                   return;
                               }
                               // The same error again and again (out of descriptors, say)
                               // is reported once, and retried ever later, not every pass.
                               if (error != lastAcceptError_) ReportError(SocketErrorText(error, "accept"));
                               lastAcceptError_ = error;
                               acceptDelay_ = std::clamp(acceptDelay_ * 2, std::chrono::milliseconds(10),
                                                         std::chrono::milliseconds(1000));
                               acceptRetry_.expires_after(acceptDelay_);
                               acceptRetry_.async_wait(Guarded([this](const boost::system::error_code& e) {
                                   if (!e && active_) Accept();
                               }));
                           }));
}

void SerialTcpIpServer::Close() {
    if (!active_) return;
    active_ = false;
    boost::system::error_code ignored;
    acceptRetry_.cancel();
    acceptor_.close(ignored);
    while (!connections_.empty()) CloseConnection(connections_.front());
}

void SerialTcpIpServer::ConnectionClosed(const ConnectionPtr& connection) {
    connections_.erase(std::remove(connections_.begin(), connections_.end(), connection),
                       connections_.end());
}

void SerialTcpIpServer::Flush() {
    // Without a connection the bytes wait in the queue for the first client.
    if (txQueue.Count() > 0) SendQueued(nullptr);
}

SerialTcpIpDriver::ConnectionPtr SerialTcpIpServer::Destination(std::uint64_t origin) const {
    // What the simulator sends on its own goes to the oldest client; an answer to the client
    // its message came from.
    if (origin == 0) return connections_.empty() ? nullptr : connections_.front();
    for (const ConnectionPtr& connection : connections_)
        if (connection->id == origin && connection->connected) return connection;
    return nullptr;
}

std::int32_t SerialTcpIpServer::Open(const char*) {
    if (!active_) Activate();
    return IsOpen() ? 1 : 0;
}

int SerialTcpIpServer::LocalPort() const {
    boost::system::error_code error;
    const auto endpoint = acceptor_.local_endpoint(error);
    return error ? 0 : endpoint.port();
}
