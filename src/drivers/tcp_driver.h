#pragma once

#include <concepts>
#include <cstdint>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include "drivers/serial_driver.h"
#include "drivers/tem_queue.h"

// An error of the socket layer, with the text the user sees.
class SocketError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "Socket error: <text> (<number>), on API '<call>'": the one form every socket failure is
// shown in, so the user always gets the system's error number and text.
std::string SocketErrorText(const boost::system::error_code& error, const char* api);

// "<address>:<port>" of an endpoint, an IPv4 address mapped into IPv6 shown as IPv4 and an
// IPv6 address in brackets.
std::string EndpointText(const boost::asio::ip::tcp::endpoint& endpoint);

// One TCP connection of a driver. Shared with the handlers waiting on it, so a handler
// that runs after its driver closed the connection still finds a valid (closed) socket.
struct TcpConnection {
    explicit TcpConnection(boost::asio::io_context& io);
    boost::asio::ip::tcp::socket socket;
    // Unique in the process, never reused: an answer meant for a connection that has gone
    // never reaches a later one.
    const std::uint64_t id;
    bool connected = false;
    bool writeArmed = false;  // a write notification is waiting for room in the socket
    bool paused = false;      // data left in the socket because the receive queue was full
    std::string peer;         // the other side's address, for the report when it closes
};

// What the TCP client and server share: the two queues and the notifications. Notifications
// are asio handlers on the control thread's io_context:
//  - read: the socket has data (or was closed). It is armed again before the data is read,
//    so bytes that arrive meanwhile raise it again (asio waits for edges, not levels).
//  - write: edge-triggered, once when a connection is made and once when a send that would
//    have blocked can go on; it sends what the transmit queue holds to that connection.
// What the engine writes in a poll is sent by Push at the end of that poll, in one write.
class SerialTcpIpDriver : public SerialDriver {
public:
    ~SerialTcpIpDriver() override;

    void Poll() override;
    void Configure(int, int, int, int) override {}
    void Purge() override {}
    std::int32_t ReadChar(std::int32_t& value) override { return ReadCharFromBlock(value); }
    bool IsOpen() override { return active_; }
    std::int32_t WriteChar(std::uint8_t byte) override;
    void WriteString(const char* text, std::int32_t length) override;
    void SetFlowControl(int) override {}
    void SetRts(bool) override {}
    void SetDtr(bool) override {}
    std::size_t ReadBlock(std::uint8_t* buffer, std::size_t capacity) override;
    bool HasInput() override { return rxQueue.Count() > 0 || !pausedReads_.empty(); }
    void Push() override;
    void DropLink() override;
    void ResetLink() override;
    void DropConnection(std::uint64_t origin) override;
    std::uint64_t LastOrigin() const override { return lastOrigin_; }
    bool Reaches(std::uint64_t origin) const override;
    bool CanDeliver() override { return active_ && !Connections().empty(); }
    bool TellsPeers() const override { return true; }
    void WriteTo(std::uint64_t origin, const std::uint8_t* data, std::size_t length) override;
    // Bytes meant for a connection that had gone when they were to be sent.
    std::uint64_t DroppedBytes() const { return droppedBytes_; }
    // The other side's address of every open connection, oldest first.
    std::vector<std::string> PeerAddresses() const override {
        std::vector<std::string> peers;
        for (const ConnectionPtr& connection : Connections()) peers.push_back(connection->peer);
        return peers;
    }

    TemQueue<int> rxQueue;
    TemQueue<int> txQueue;

protected:
    SerialTcpIpDriver(boost::asio::io_context& io, std::int32_t rxCapacity, std::int32_t txCapacity);

    using ConnectionPtr = std::shared_ptr<TcpConnection>;

    // Reads what the connection has, as far as the receive queue has room. Bytes that do not
    // fit stay in the socket (TCP keeps them safe) until the queue has room again; Poll then
    // reads on without waiting for a new notification. A closed or failed connection is
    // reported and closed.
    void ReceiveHandler(const ConnectionPtr& connection);
    // Sends what the transmit queue holds, each run of bytes to the connection it is meant
    // for: bytes for no connection in particular to `notifier` (a write notification's
    // connection) or else to Destination(0); bytes for a connection that has gone are dropped
    // and reported. Bytes for no connection in particular wait while there is none.
    void SendQueued(const ConnectionPtr& notifier);
    // Sends the first `count` bytes of the transmit queue to the connection; raises
    // SocketError when the send fails (the connection is closed first). Bytes not sent are
    // lost.
    void SendHandler(const ConnectionPtr& connection, std::size_t count);
    // Where bytes for `origin` go (0: for no connection in particular); null for nowhere.
    virtual ConnectionPtr Destination(std::uint64_t origin) const = 0;

    // A connection is up: start reading and raise its first write notification.
    void Connected(const ConnectionPtr& connection);
    void CloseConnection(const ConnectionPtr& connection);
    // The driver forgets a closed connection (the server drops it from its list).
    virtual void ConnectionClosed(const ConnectionPtr& connection) = 0;
    // Every open connection (the server's list, or the client's one).
    virtual std::vector<ConnectionPtr> Connections() const = 0;

    // Shows a socket error met while a notification was delivered: event 10003.
    void ReportError(const std::string& text, bool notice = false);

    // Wraps a handler so it does nothing once the driver is gone.
    template <typename Handler>
    struct GuardedHandler {
        std::weak_ptr<int> alive;
        Handler handler;
        template <typename... Args>
            requires std::invocable<Handler&, Args...>
        void operator()(Args&&... args) {
            if (!alive.expired()) handler(std::forward<Args>(args)...);
        }
    };
    template <typename Handler>
    GuardedHandler<Handler> Guarded(Handler handler) {
        return GuardedHandler<Handler>{alive_, std::move(handler)};
    }

    boost::asio::io_context& io_;
    bool active_ = false;

private:
    void ArmRead(const ConnectionPtr& connection);
    void ArmWrite(const ConnectionPtr& connection);
    void WriteNotification(const ConnectionPtr& connection);

    // Runs of queued bytes and whose they are, oldest first; their counts add up to the
    // queue's.
    struct Run {
        std::uint64_t connection;
        std::size_t count;
    };
    static void AddRun(std::deque<Run>& runs, std::uint64_t connection, std::size_t count);
    void Discard(std::size_t count);

    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    std::vector<ConnectionPtr> pausedReads_;  // connections with data that did not fit
    std::vector<std::uint8_t> buffer_;        // reused for every read and send
    std::deque<Run> rxRuns_;  // whose bytes rxQueue holds
    std::deque<Run> txRuns_;  // whom the bytes of txQueue are for (0: no one in particular)
    std::uint64_t lastOrigin_ = 0;
    std::uint64_t writeTarget_ = 0;  // whom WriteChar writes for
    std::uint64_t droppedBytes_ = 0;
};
