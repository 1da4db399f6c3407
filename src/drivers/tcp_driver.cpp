#include "drivers/tcp_driver.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include "base/event_manager.h"

namespace asio = boost::asio;

std::string SocketErrorText(const boost::system::error_code& error, const char* api) {
    return "Socket error: " + error.message() + " (" + std::to_string(error.value()) +
           "), on API '" + api + "'";
}

std::string EndpointText(const asio::ip::tcp::endpoint& endpoint) {
    asio::ip::address address = endpoint.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    const std::string port = std::to_string(endpoint.port());
    return address.is_v6() ? "[" + address.to_string() + "]:" + port : address.to_string() + ":" + port;
}

namespace {
std::atomic<std::uint64_t> nextConnectionId{1};
}  // namespace

TcpConnection::TcpConnection(asio::io_context& io) : socket(io), id(nextConnectionId++) {}

SerialTcpIpDriver::SerialTcpIpDriver(asio::io_context& io, std::int32_t rxCapacity,
                                     std::int32_t txCapacity)
    : rxQueue(rxCapacity), txQueue(txCapacity), io_(io) {}

SerialTcpIpDriver::~SerialTcpIpDriver() = default;

void SerialTcpIpDriver::Poll() {
    // Data left in a socket because the receive queue was full: read on once there is room.
    // Its notification has passed already, so it is read here rather than waited for.
    if (!pausedReads_.empty() && rxQueue.Free() > 0) {
        std::vector<ConnectionPtr> paused;
        paused.swap(pausedReads_);
        for (const auto& connection : paused) {
            connection->paused = false;
            if (connection->connected) ReceiveHandler(connection);
        }
    }
}

void SerialTcpIpDriver::Push() {
    if (active_ && txQueue.Count() > 0) Flush();
}

void SerialTcpIpDriver::DropLink() {
    // Closed from this side: the server goes on listening, the client stays unconnected (or
    // tries again later, when it reconnects by itself). Said so, so that nobody takes it for
    // the other side's doing.
    for (const auto& connection : Connections()) {
        const std::string peer = connection->peer;
        CloseConnection(connection);
        ReportError("Connection to " + peer + " dropped by the simulator", true);
    }
}

void SerialTcpIpDriver::DropConnection(std::uint64_t origin) {
    if (origin == 0) {
        DropLink();
        return;
    }
    for (const auto& connection : Connections()) {
        if (connection->id != origin) continue;
        const std::string peer = connection->peer;
        CloseConnection(connection);
        ReportError("Connection to " + peer + " dropped by the simulator", true);
    }
}

void SerialTcpIpDriver::ResetLink() {
    // Lingering for no time makes the close send a reset: the other side reads an error, not
    // the end of the stream.
    for (const auto& connection : Connections()) {
        const std::string peer = connection->peer;
        boost::system::error_code ignored;
        connection->socket.set_option(asio::socket_base::linger(true, 0), ignored);
        connection->connected = false;
        connection->socket.close(ignored);
        ConnectionClosed(connection);
        ReportError("Connection to " + peer + " reset by the simulator", true);
    }
}

void SerialTcpIpDriver::AddRun(std::deque<Run>& runs, std::uint64_t connection, std::size_t count) {
    if (count == 0) return;
    if (!runs.empty() && runs.back().connection == connection) {
        runs.back().count += count;
    } else {
        runs.push_back(Run{connection, count});
    }
}

std::size_t SerialTcpIpDriver::ReadBlock(std::uint8_t* buffer, std::size_t capacity) {
    // One connection's bytes per block, so that the engine knows whom a frame came from.
    if (rxRuns_.empty()) return 0;
    Run& run = rxRuns_.front();
    lastOrigin_ = run.connection;
    const std::size_t wanted = std::min(capacity, run.count);
    std::size_t count = 0;
    int byte = 0;
    while (count < wanted && rxQueue.Get(byte)) buffer[count++] = static_cast<std::uint8_t>(byte);
    run.count -= count;
    if (run.count == 0) rxRuns_.pop_front();
    return count;
}

std::int32_t SerialTcpIpDriver::WriteChar(std::uint8_t byte) {
    if (txQueue.Free() == 0) Flush();
    if (!txQueue.Put(byte)) return 0;
    AddRun(txRuns_, writeTarget_, 1);
    return 1;
}

void SerialTcpIpDriver::WriteTo(std::uint64_t origin, const std::uint8_t* data, std::size_t length) {
    writeTarget_ = origin;
    for (std::size_t i = 0; i < length; ++i) WriteChar(data[i]);
    writeTarget_ = 0;
}

bool SerialTcpIpDriver::Reaches(std::uint64_t origin) const {
    return origin == 0 || Destination(origin) != nullptr;
}

void SerialTcpIpDriver::Discard(std::size_t count) {
    int value = 0;
    for (std::size_t i = 0; i < count && txQueue.Get(value); ++i) {
    }
}

void SerialTcpIpDriver::SendQueued(const ConnectionPtr& notifier) {
    while (!txRuns_.empty()) {
        const Run run = txRuns_.front();
        ConnectionPtr to = run.connection == 0 && notifier ? notifier : Destination(run.connection);
        if (!to) {
            if (run.connection == 0) return;  // nobody to send to yet: the bytes wait
            // The connection this answer is for has gone: it goes nowhere else.
            txRuns_.pop_front();
            Discard(run.count);
            droppedBytes_ += run.count;
            if (eventSink != nullptr)
                eventSink->AddEvent(Event{EventId::AnswerDropped, static_cast<std::int32_t>(run.count), 0, {}});
            continue;
        }
        txRuns_.pop_front();
        SendHandler(to, run.count);
    }
}

void SerialTcpIpDriver::WriteString(const char* text, std::int32_t length) {
    if (text == nullptr || length < 0) return;
    const std::size_t n = length == 0 ? std::strlen(text) : static_cast<std::size_t>(length);
    for (std::size_t i = 0; i < n; ++i) WriteChar(static_cast<std::uint8_t>(text[i]));
}

void SerialTcpIpDriver::ReportError(const std::string& text, bool notice) {
    if (eventSink != nullptr)
        eventSink->AddEvent(Event{EventId::Error, notice ? EventId::kErrorIsNotice : 0, 0, text});
}

void SerialTcpIpDriver::Connected(const ConnectionPtr& connection) {
    boost::system::error_code ignored;
    connection->socket.non_blocking(true, ignored);
    connection->socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    const auto remote = connection->socket.remote_endpoint(ignored);
    connection->peer = ignored ? std::string("the other side") : EndpointText(remote);
    connection->connected = true;
    PeersChanged(connection->id, connection->peer, true);
    ArmRead(connection);
    // The first write notification of a new connection: queued bytes go out to it.
    asio::post(io_, Guarded([this, connection] { WriteNotification(connection); }));
}

void SerialTcpIpDriver::CloseConnection(const ConnectionPtr& connection) {
    if (!connection->connected && !connection->socket.is_open()) return;
    connection->connected = false;
    boost::system::error_code ignored;
    connection->socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    connection->socket.close(ignored);
    ConnectionClosed(connection);
    PeersChanged(connection->id, connection->peer, false);
}

void SerialTcpIpDriver::ArmRead(const ConnectionPtr& connection) {
    connection->socket.async_wait(
        asio::ip::tcp::socket::wait_read,
        Guarded([this, connection](const boost::system::error_code& error) {
            if (error == asio::error::operation_aborted || !connection->connected) return;
            if (error) {
                ReportError(SocketErrorText(error, "select"));
                CloseConnection(connection);
                return;
            }
            ArmRead(connection);
            if (!connection->paused) ReceiveHandler(connection);
        }));
}

void SerialTcpIpDriver::ArmWrite(const ConnectionPtr& connection) {
    if (connection->writeArmed) return;
    connection->writeArmed = true;
    connection->socket.async_wait(
        asio::ip::tcp::socket::wait_write,
        Guarded([this, connection](const boost::system::error_code& error) {
            connection->writeArmed = false;
            if (error == asio::error::operation_aborted || !connection->connected) return;
            WriteNotification(connection);
        }));
}

void SerialTcpIpDriver::WriteNotification(const ConnectionPtr& connection) {
    if (!connection->connected) return;
    try {
        SendQueued(connection);
    } catch (const SocketError& error) {
        ReportError(error.what());
    }
}

void SerialTcpIpDriver::ReceiveHandler(const ConnectionPtr& connection) {
    boost::system::error_code error;
    std::size_t waiting = connection->socket.available(error);
    if (!error && waiting == 0) waiting = 1;  // readable with nothing waiting: closed, or an error
    const std::size_t room = static_cast<std::size_t>(std::max(0, rxQueue.Free()));
    const std::size_t wanted = std::min(waiting, room);
    if (!error && wanted == 0) {
        connection->paused = true;
        pausedReads_.push_back(connection);
        return;
    }
    std::size_t got = 0;
    if (!error) {
        buffer_.resize(wanted);
        got = connection->socket.read_some(asio::buffer(buffer_.data(), wanted), error);
    }
    if (error == asio::error::would_block || error == asio::error::try_again) return;
    if (error == asio::error::eof) {
        // The other side closed its end: the normal end of a connection, not a failure.
        ReportError("Connection closed by " + connection->peer, true);
        CloseConnection(connection);
        return;
    }
    if (error) {
        ReportError(SocketErrorText(error, "recv"));
        CloseConnection(connection);
        return;
    }
    std::size_t put = 0;
    while (put < got && rxQueue.Put(buffer_[put])) ++put;
    AddRun(rxRuns_, connection->id, put);
    if (waiting > got) {
        connection->paused = true;
        pausedReads_.push_back(connection);
    }
}

void SerialTcpIpDriver::SendHandler(const ConnectionPtr& connection, std::size_t count) {
    const std::int32_t n = std::min<std::int32_t>(txQueue.Count(), static_cast<std::int32_t>(count));
    if (n <= 0) return;
    buffer_.resize(static_cast<std::size_t>(n));
    for (std::int32_t i = 0; i < n; ++i) {
        int value = 0;
        txQueue.Get(value);
        buffer_[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value);
    }
    std::size_t sent = 0;
    bool wouldBlock = false;
    while (sent < buffer_.size() && connection->connected) {
        boost::system::error_code error;
        sent += connection->socket.write_some(
            asio::buffer(buffer_.data() + sent, buffer_.size() - sent), error);
        if (error == asio::error::would_block || error == asio::error::try_again) {
            // The other side is not reading. Wait for it, but never past a stop request.
            wouldBlock = true;
            if (StopRequested()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } else if (error) {
            const std::string text = SocketErrorText(error, "send");
            CloseConnection(connection);
            throw SocketError(text);
        }
    }
    if (wouldBlock && connection->connected) ArmWrite(connection);
}
