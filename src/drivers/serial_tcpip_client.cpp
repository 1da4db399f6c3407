#include "drivers/serial_tcpip_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>

namespace asio = boost::asio;
using asio::ip::tcp;

SerialTcpIpClient::SerialTcpIpClient(asio::io_context& io, const std::string& host, int port,
                                     std::int32_t rxCapacity, std::int32_t txCapacity,
                                     Resolver resolver)
    : SerialTcpIpDriver(io, rxCapacity, txCapacity), host_(host), port_(port), resolver_(io),
      resolve_(std::move(resolver)) {
    Activate();
}

SerialTcpIpClient::~SerialTcpIpClient() { Close(); }

void SerialTcpIpClient::Activate() {
    if (host_.empty() || port_ <= 0 || port_ > 65535) {
        throw SocketError(SocketErrorText(asio::error::invalid_argument, "connect"));
    }
    connection_ = std::make_shared<TcpConnection>(io_);
    active_ = true;
    if (host_[0] >= '0' && host_[0] <= '9') {
        boost::system::error_code error;
        const auto address = asio::ip::make_address(host_, error);
        if (error) {
            active_ = false;
            throw SocketError(SocketErrorText(error, "inet_addr"));
        }
        Connect({tcp::endpoint(address, static_cast<unsigned short>(port_))});
        return;
    }
    if (resolve_) {
        // The replacement answers at once; its answer is handled as a notification all the same.
        boost::system::error_code error;
        auto endpoints = resolve_(host_, port_, error);
        asio::post(io_, Guarded([this, connection = connection_, error, endpoints = std::move(endpoints)] {
            if (connection != connection_ || !active_) return;
            if (error || endpoints.empty()) {
                ReportError(SocketErrorText(error ? error : asio::error::host_not_found, "gethostbyname"));
                return;
            }
            Connect(endpoints);
        }));
        return;
    }
    resolver_.async_resolve(
        host_, std::to_string(port_),
        Guarded([this, connection = connection_](const boost::system::error_code& error,
                                                 const tcp::resolver::results_type& results) {
            if (error == asio::error::operation_aborted || connection != connection_) return;
            if (error || results.empty()) {
                ReportError(SocketErrorText(error ? error : asio::error::host_not_found,
                                            "gethostbyname"));
                return;
            }
            std::vector<tcp::endpoint> endpoints;
            for (const auto& entry : results) endpoints.push_back(entry.endpoint());
            Connect(endpoints);
        }));
}

void SerialTcpIpClient::Connect(const std::vector<tcp::endpoint>& endpoints) {
    // Each address in turn ("localhost" may name ::1 first while the other side listens on
    // 127.0.0.1 only); the error of the last one is reported when none answers.
    asio::async_connect(
        connection_->socket, endpoints,
        Guarded([this, connection = connection_](const boost::system::error_code& error, const tcp::endpoint&) {
            if (error == asio::error::operation_aborted || connection != connection_) return;
            if (error) {
                // No automatic retry: the link stays down until it is reopened.
                ReportError(SocketErrorText(error, "connect"));
                boost::system::error_code ignored;
                connection->socket.close(ignored);
                return;
            }
            Connected(connection);
        }));
}

void SerialTcpIpClient::Close() {
    if (!active_) return;
    active_ = false;
    resolver_.cancel();
    if (connection_) {
        CloseConnection(connection_);
        boost::system::error_code ignored;
        connection_->socket.close(ignored);  // also ends a connect still under way
    }
}

void SerialTcpIpClient::ConnectionClosed(const ConnectionPtr&) {}

void SerialTcpIpClient::Flush() {
    // While not connected this takes the queued bytes out and loses them.
    if (txQueue.Count() > 0 && connection_) SendHandler(connection_);
}

std::int32_t SerialTcpIpClient::Open(const char*) {
    if (!active_) Activate();
    return IsOpen() ? 1 : 0;
}
