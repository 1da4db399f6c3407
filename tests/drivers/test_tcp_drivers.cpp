#include "drivers/serial_tcpip_server.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>

#include "drivers/serial_tcpip_client.h"
#include "base/event_manager.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;

// Runs passes as the control thread does (one notification, then the driver's poll) until
// `done` holds, for at most `limit`.
bool Passes(asio::io_context& io, SerialDriver& driver, const std::function<bool()>& done,
            std::chrono::milliseconds limit = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        io.poll_one();
        driver.Poll();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

struct Fixture : ::testing::Test {
    asio::io_context io;
    EventManager sink;

    // A blocking test peer connected to 127.0.0.1:port, reading without blocking.
    std::unique_ptr<tcp::socket> Peer(int port) {
        auto peer = std::make_unique<tcp::socket>(io);
        peer->connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
        peer->non_blocking(true);
        return peer;
    }

    static std::string ReadAvailable(tcp::socket& peer) {
        std::string data;
        char buffer[4096];
        boost::system::error_code error;
        for (;;) {
            const std::size_t n = peer.read_some(asio::buffer(buffer), error);
            if (error) break;
            data.append(buffer, n);
        }
        return data;
    }

    static std::string Drain(SerialDriver& driver) {
        std::string data;
        std::int32_t value = 0;
        while (driver.ReadChar(value)) data.push_back(static_cast<char>(value));
        return data;
    }

    // Runs passes until `listener` has taken the client's connection into `accepted` and the
    // client knows it is connected.
    bool AcceptClient(tcp::acceptor& listener, tcp::socket& accepted, SerialTcpIpClient& client) {
        return Passes(io, client, [&] {
            boost::system::error_code error;
            if (!accepted.is_open()) listener.accept(accepted, error);
            return accepted.is_open() && client.IsConnected();
        });
    }

    std::vector<Event> Events() {
        std::vector<Event> events;
        Event e;
        while (sink.GetEvent(e)) events.push_back(e);
        return events;
    }
};

using TcpServer = Fixture;
using TcpClient = Fixture;

TEST_F(TcpServer, ReceivesFromEveryClientAndPushSendsToTheOldest) {
    SerialTcpIpServer server(io, 0, 1500, 1500);
    server.eventSink = &sink;
    ASSERT_TRUE(server.IsOpen());
    auto first = Peer(server.LocalPort());
    ASSERT_TRUE(Passes(io, server, [&] { return server.ConnectionCount() == 1; }));
    auto second = Peer(server.LocalPort());
    ASSERT_TRUE(Passes(io, server, [&] { return server.ConnectionCount() == 2; }));

    asio::write(*first, asio::buffer(std::string("from first")));
    asio::write(*second, asio::buffer(std::string("from second")));
    std::string received;
    ASSERT_TRUE(Passes(io, server, [&] {
        received += Drain(server);
        return received.size() == 21;
    }));
    EXPECT_TRUE(received == "from firstfrom second" || received == "from secondfrom first");

    // Let the write notifications of both new connections pass first.
    for (int i = 0; i < 20; ++i) io.poll_one();
    server.WriteString("answer", 0);
    for (int poll = 0; poll < 20; ++poll) server.Poll();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(ReadAvailable(*first), "");  // written bytes wait for the push
    server.Push();
    EXPECT_EQ(server.txQueue.Count(), 0);
    std::string got;
    ASSERT_TRUE(Passes(io, server, [&] { got += ReadAvailable(*first); return got == "answer"; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(ReadAvailable(*second), "");
    EXPECT_TRUE(Events().empty());
}

TEST_F(TcpServer, KeepsWrittenBytesForTheFirstClient) {
    SerialTcpIpServer server(io, 0, 1500, 1500);
    std::string written;
    for (int i = 0; i < 1499; ++i) written.push_back(static_cast<char>(i % 251));
    for (char c : written) EXPECT_EQ(server.WriteChar(static_cast<std::uint8_t>(c)), 1);
    for (int i = 0; i < 3; ++i) server.Push(), server.Poll();  // nobody to send to
    EXPECT_EQ(server.txQueue.Count(), 1499);
    EXPECT_EQ(server.WriteChar('x'), 0);  // the queue is full: further bytes are dropped
    EXPECT_EQ(server.txQueue.Count(), 1499);

    auto peer = Peer(server.LocalPort());
    std::string got;
    ASSERT_TRUE(Passes(io, server, [&] { got += ReadAvailable(*peer); return got.size() >= 1499; }));
    EXPECT_EQ(got, written);
}

TEST_F(TcpServer, TheWriteThatFillsTheQueueFlushesItFirst) {
    SerialTcpIpServer server(io, 0, 1500, 1500);
    auto peer = Peer(server.LocalPort());
    ASSERT_TRUE(Passes(io, server, [&] { return server.ConnectionCount() == 1; }));
    for (int i = 0; i < 20; ++i) io.poll_one();
    for (int i = 0; i < 1499; ++i) server.WriteChar('a');
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(ReadAvailable(*peer), "");
    server.WriteChar('b');  // the 1500th: the 1499 go out, then 'b' is queued
    EXPECT_EQ(server.txQueue.Count(), 1);
    server.Push();
    std::string got;
    ASSERT_TRUE(Passes(io, server, [&] { got += ReadAvailable(*peer); return got.size() >= 1500; }));
    EXPECT_EQ(got, std::string(1499, 'a') + "b");
}

TEST_F(TcpServer, AFullReceiveQueueLeavesBytesInTheSocket) {
    SerialTcpIpServer server(io, 0, 100, 1500);
    auto peer = Peer(server.LocalPort());
    std::string sent;
    for (int i = 0; i < 20000; ++i) sent.push_back(static_cast<char>('A' + i % 26));
    peer->non_blocking(false);
    asio::write(*peer, asio::buffer(sent));
    std::string got;
    // The engine reads a little per pass; everything must still arrive, in order.
    ASSERT_TRUE(Passes(io, server, [&] {
        std::int32_t value = 0;
        for (int i = 0; i < 37 && server.ReadChar(value); ++i) got.push_back(static_cast<char>(value));
        return got.size() >= sent.size();
    }, 20000ms));
    EXPECT_EQ(got, sent);
}

TEST_F(TcpServer, AClosedConnectionIsReportedAndLeavesTheList) {
    SerialTcpIpServer server(io, 0, 1500, 1500);
    server.eventSink = &sink;
    auto peer = Peer(server.LocalPort());
    const int peerPort = peer->local_endpoint().port();
    ASSERT_TRUE(Passes(io, server, [&] { return server.ConnectionCount() == 1; }));
    peer->close();
    ASSERT_TRUE(Passes(io, server, [&] { return server.ConnectionCount() == 0; }));
    const auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, EventId::Error);
    // The other side closing its end is not an error of ours: who closed is reported instead.
    EXPECT_EQ(events[0].text, "Connection closed by 127.0.0.1:" + std::to_string(peerPort));
    EXPECT_TRUE(server.IsOpen());  // still listening for the next client
}

TEST_F(TcpServer, APortInUseFailsConstruction) {
    tcp::acceptor taken(io, tcp::endpoint(tcp::v4(), 0));
    const int port = taken.local_endpoint().port();
    try {
        SerialTcpIpServer server(io, port, 1500, 1500);
        FAIL() << "constructed on a port in use";
    } catch (const SocketError& error) {
        EXPECT_NE(std::string(error.what()).find("(98), on API 'bind'"), std::string::npos)
            << error.what();
    }
}

TEST_F(TcpServer, ASendHeldBackByTheOtherSideGivesUpOnStop) {
    SerialTcpIpServer server(io, 0, 1500, 1500);
    std::stop_source stop;
    server.SetStopToken(stop.get_token());
    auto peer = std::make_unique<tcp::socket>(io);
    peer->open(tcp::v4());
    peer->set_option(asio::socket_base::receive_buffer_size(4096));
    peer->connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), server.LocalPort()));
    ASSERT_TRUE(Passes(io, server, [&] { return server.ConnectionCount() == 1; }));
    stop.request_stop();
    // The peer never reads: sooner or later a send would block, and must not wait for ever.
    std::size_t written = 0;
    for (int burst = 0; burst < 40000 && server.ConnectionCount() == 1; ++burst) {
        for (int i = 0; i < 1499; ++i) server.WriteChar('z');
        server.Flush();
        written += 1499;
    }
    // Sends that would have blocked gave up and lost their bytes instead of waiting.
    peer->non_blocking(true);
    std::size_t received = 0;
    for (int i = 0; i < 100000; ++i) {
        const std::size_t n = ReadAvailable(*peer).size();
        if (n == 0) break;
        received += n;
    }
    EXPECT_LT(received, written);
}

TEST_F(TcpClient, ConnectsByAddressAndByNameAndExchangesBytes) {
    for (const std::string host : {"127.0.0.1", "localhost"}) {
        tcp::acceptor listener(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        listener.non_blocking(true);
        SerialTcpIpClient client(io, host, listener.local_endpoint().port(), 1500, 1500);
        client.eventSink = &sink;
        tcp::socket accepted(io);
        ASSERT_TRUE(AcceptClient(listener, accepted, client)) << host;
        accepted.non_blocking(true);
        asio::write(accepted, asio::buffer(std::string("ping")));
        std::string got;
        ASSERT_TRUE(Passes(io, client, [&] { got += Drain(client); return got == "ping"; }));
        client.WriteString("pong", 0);
        client.Push();
        std::string answer;
        ASSERT_TRUE(Passes(io, client, [&] { answer += ReadAvailable(accepted); return answer == "pong"; }));
        EXPECT_TRUE(Events().empty()) << host;
    }
}

TEST_F(TcpClient, BytesWrittenBeforeTheConnectionAreLost) {
    tcp::acceptor listener(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    listener.non_blocking(true);
    SerialTcpIpClient client(io, "127.0.0.1", listener.local_endpoint().port(), 1500, 1500);
    client.WriteString("early", 0);
    client.Push();  // no notification delivered yet: not connected
    EXPECT_EQ(client.txQueue.Count(), 0);
    tcp::socket accepted(io);
    ASSERT_TRUE(AcceptClient(listener, accepted, client));
    for (int i = 0; i < 20; ++i) io.poll_one();
    accepted.non_blocking(true);
    EXPECT_EQ(ReadAvailable(accepted), "");
}

TEST_F(TcpClient, ARefusedConnectionIsReportedOnceAndNotRetried) {
    int port = 0;
    {
        tcp::acceptor probe(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        port = probe.local_endpoint().port();
    }  // closed again: nobody listens there now
    SerialTcpIpClient client(io, "127.0.0.1", port, 1500, 1500);
    client.eventSink = &sink;
    ASSERT_TRUE(Passes(io, client, [&] { return !sink.Empty(); }));
    for (int i = 0; i < 50; ++i) io.poll_one(), client.Poll();
    const auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, EventId::Error);
    EXPECT_EQ(events[0].text, "Socket error: Connection refused (111), on API 'connect'");
    EXPECT_FALSE(client.IsConnected());
    EXPECT_TRUE(client.IsOpen());
}

TEST_F(TcpClient, BadAddressesFailConstruction) {
    EXPECT_THROW(SerialTcpIpClient(io, "", 5000, 1500, 1500), SocketError);
    EXPECT_THROW(SerialTcpIpClient(io, "127.0.0.x", 5000, 1500, 1500), SocketError);
    EXPECT_THROW(SerialTcpIpClient(io, "127.0.0.1", 70000, 1500, 1500), SocketError);
}

TEST_F(TcpClient, LineSettingsHaveNoEffect) {
    tcp::acceptor listener(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    SerialTcpIpClient client(io, "127.0.0.1", listener.local_endpoint().port(), 1500, 1500);
    client.Configure(0, 0, 1, 0);
    client.SetFlowControl(0);
    client.SetRts(true);
    client.SetDtr(false);
    client.Purge();
    EXPECT_TRUE(client.IsOpen());
    client.Close();
    EXPECT_FALSE(client.IsOpen());
    std::int32_t value = 0;
    EXPECT_EQ(client.ReadChar(value), 0);
}

// Bytes wait for a write notification (the peer took nothing for a while); when the peer
// then resets the connection, the send that notification makes fails, and that failure is
// reported, not swallowed.
TEST_F(TcpServer, ASendThatFailsInAWriteNotificationIsReported) {
    SerialTcpIpServer server(io, 0, 1500, 1500);
    server.eventSink = &sink;
    std::stop_source stop;
    server.SetStopToken(stop.get_token());
    stop.request_stop();  // a send that would block gives up at once and waits for the notification
    tcp::socket peer(io);
    peer.open(tcp::v4());
    peer.set_option(asio::socket_base::receive_buffer_size(4096));
    peer.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(server.LocalPort())));
    ASSERT_TRUE(Passes(io, server, [&] { return server.ConnectionCount() == 1; }));
    for (int i = 0; i < 20; ++i) io.poll_one();
    for (int burst = 0; burst < 2000; ++burst) {
        for (int i = 0; i < 1499; ++i) server.WriteChar('z');
        server.Push();
    }
    for (int i = 0; i < 100; ++i) server.WriteChar('w');  // waiting for room in the socket
    peer.set_option(asio::socket_base::linger(true, 0));
    peer.close();  // a reset, with bytes still unread
    std::vector<Event> events;
    ASSERT_TRUE(Passes(io, server, [&] {
        for (Event& e : Events()) events.push_back(e);
        return !events.empty();
    }));
    EXPECT_EQ(events[0].id, EventId::Error);
    EXPECT_NE(events[0].text.find("), on API 'send'"), std::string::npos) << events[0].text;
}

// Out of descriptors, accepting fails until one is free: reported once, tried ever later,
// and the waiting client is taken as soon as it can be.
TEST_F(TcpServer, ARepeatedAcceptErrorIsReportedOnceAndRetriedLater) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers' own checks open descriptors, which this test takes away";
#endif
    SerialTcpIpServer server(io, 0, 1500, 1500);
    server.eventSink = &sink;
    tcp::socket peer(io);
    peer.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(server.LocalPort())));
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);  // no new descriptor can be made
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const auto end = std::chrono::steady_clock::now() + 500ms;
    while (std::chrono::steady_clock::now() < end) io.poll(), std::this_thread::sleep_for(1ms);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    const auto events = Events();
    ASSERT_EQ(events.size(), 1u) << "one report for the same error, not one per attempt";
    EXPECT_EQ(events[0].text, "Socket error: Too many open files (24), on API 'accept'");
    EXPECT_EQ(server.ConnectionCount(), 0u);
    EXPECT_TRUE(Passes(io, server, [&] { return server.ConnectionCount() == 1; }));
}

// A name that resolves to two addresses of which only the second listens: the client tries
// both and connects to the second.
TEST_F(TcpClient, EveryAddressANameResolvesToIsTriedInTurn) {
    tcp::acceptor listener(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    listener.non_blocking(true);
    const auto port = listener.local_endpoint().port();
    const int closed = [&] {
        tcp::acceptor probe(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        return probe.local_endpoint().port();
    }();
    std::string askedFor;
    SerialTcpIpClient client(io, "device.test", port, 1500, 1500,
                             [&](const std::string& host, int, boost::system::error_code&) {
                                 askedFor = host;
                                 return std::vector<tcp::endpoint>{
                                     tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(closed)),
                                     tcp::endpoint(asio::ip::make_address("127.0.0.1"), port)};
                             });
    client.eventSink = &sink;
    tcp::socket accepted(io);
    ASSERT_TRUE(AcceptClient(listener, accepted, client));
    EXPECT_EQ(askedFor, "device.test");
    EXPECT_TRUE(Events().empty()) << "a refused first address is no error while another answers";

    // When none answers, the last one's error is the one reported.
    SerialTcpIpClient none(io, "nowhere.test", closed, 1500, 1500,
                           [&](const std::string&, int, boost::system::error_code&) {
                               return std::vector<tcp::endpoint>{
                                   tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(closed)),
                                   tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(closed))};
                           });
    none.eventSink = &sink;
    ASSERT_TRUE(Passes(io, none, [&] { return !sink.Empty(); }));
    const auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].text, "Socket error: Connection refused (111), on API 'connect'");
}

TEST_F(TcpClient, WriteStringTakesNoNullTextAndNoNegativeLength) {
    tcp::acceptor listener(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    SerialTcpIpClient client(io, "127.0.0.1", listener.local_endpoint().port(), 1500, 1500);
    client.WriteString(nullptr, 0);
    client.WriteString(nullptr, 5);
    client.WriteString("abc", -1);
    EXPECT_EQ(client.txQueue.Count(), 0);
    client.WriteString("abc", 2);
    EXPECT_EQ(client.txQueue.Count(), 2);
}

}  // namespace
