#include "drivers/serial_tcpip_client.h"

#include <algorithm>

#include <boost/asio/connect.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/post.hpp>

namespace asio = boost::asio;
using asio::ip::tcp;

SerialTcpIpClient::SerialTcpIpClient(asio::io_context& io, const std::string& host, int port,
                                     std::int32_t rxCapacity, std::int32_t txCapacity,
                                     Resolver resolver, Retry retry)
    : SerialTcpIpDriver(io, rxCapacity, txCapacity), host_(host), port_(port), resolver_(io),
      resolve_(std::move(resolver)), retry_(retry), retryDelay_(retry.first), retryTimer_(io) {
    Activate();
}

SerialTcpIpClient::~SerialTcpIpClient() { Close(); }

void SerialTcpIpClient::Activate() {
    if (host_.empty() || port_ <= 0 || port_ > 65535) {
        throw SocketError(SocketErrorText(asio::error::invalid_argument, "connect"));
    }
    if (host_[0] >= '0' && host_[0] <= '9') {
        boost::system::error_code error;
        asio::ip::make_address(host_, error);
        if (error) throw SocketError(SocketErrorText(error, "inet_addr"));
    }
    active_ = true;
    StartAttempt();
}

void SerialTcpIpClient::StartAttempt() {
    retryDue_.reset();
    connection_ = std::make_shared<TcpConnection>(io_);
    if (host_[0] >= '0' && host_[0] <= '9') {
        boost::system::error_code error;
        const auto address = asio::ip::make_address(host_, error);
        Connect({tcp::endpoint(address, static_cast<unsigned short>(port_))});
        return;
    }
    resolving_ = true;
    if (resolve_) {
        // The replacement answers at once; its answer is handled as a notification all the same.
        boost::system::error_code error;
        auto endpoints = resolve_(host_, port_, error);
        asio::post(io_, Guarded([this, connection = connection_, error, endpoints = std::move(endpoints)] {
            if (connection != connection_ || !active_) return;
            resolving_ = false;
            if (error || endpoints.empty()) {
                Failed(SocketErrorText(error ? error : asio::error::host_not_found, "gethostbyname"));
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
            resolving_ = false;
            if (error || results.empty()) {
                Failed(SocketErrorText(error ? error : asio::error::host_not_found, "gethostbyname"));
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
                boost::system::error_code ignored;
                connection->socket.close(ignored);
                Failed(SocketErrorText(error, "connect"));
                return;
            }
            retryDelay_ = retry_.first;  // a connection was made: the waits start short again
            Connected(connection);
        }));
}

void SerialTcpIpClient::Failed(const std::string& error) {
    ReportError(error);
    ScheduleRetry();
}

void SerialTcpIpClient::ScheduleRetry() {
    // Without automatic reconnection the link stays down until it is reopened.
    if (!retry_.on || !active_ || retryDue_) return;
    const auto delay = retryDelay_;
    retryDelay_ = std::min(retryDelay_ * 2, retry_.longest);
    retryDue_ = std::chrono::steady_clock::now() + delay;
    retryTimer_.expires_at(*retryDue_);
    retryTimer_.async_wait(Guarded([this](const boost::system::error_code& error) {
        if (error || !active_) return;
        StartAttempt();
    }));
}

void SerialTcpIpClient::Close() {
    if (!active_) return;
    active_ = false;
    resolver_.cancel();
    retryTimer_.cancel();
    retryDue_.reset();
    if (connection_) {
        CloseConnection(connection_);
        boost::system::error_code ignored;
        connection_->socket.close(ignored);  // also ends a connect still under way
    }
}

void SerialTcpIpClient::ConnectionClosed(const ConnectionPtr& connection) {
    if (connection == connection_) ScheduleRetry();
}

SerialTcpIpDriver::ConnectionPtr SerialTcpIpClient::Destination(std::uint64_t origin) const {
    // Bytes for no connection in particular go to the one there is, connected or not (while
    // it is not, they are lost); an answer only to the connection its message came from.
    if (origin == 0) return connection_;
    return connection_ && connection_->id == origin && connection_->connected ? connection_ : nullptr;
}

void SerialTcpIpClient::Flush() {
    // While not connected this takes the queued bytes out and loses them.
    if (txQueue.Count() > 0 && connection_) SendQueued(nullptr);
}

std::int32_t SerialTcpIpClient::Open(const char*) {
    if (!active_) Activate();
    return IsOpen() ? 1 : 0;
}
