#include "drivers/fleet_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>

#include "base/event_manager.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;

// A host on 127.0.0.1 that accepts every connection, in the test's own io_context.
struct Host {
    explicit Host(asio::io_context& io, unsigned short port = 0)
        : acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), port)) {
        Accept();
    }
    void Accept() {
        auto socket = std::make_shared<tcp::socket>(acceptor.get_executor());
        acceptor.async_accept(*socket, [this, socket](const boost::system::error_code& error) {
            if (error) return;
            accepted.push_back(socket);
            Accept();
        });
    }
    int Port() const { return acceptor.local_endpoint().port(); }
    tcp::acceptor acceptor;
    std::vector<std::shared_ptr<tcp::socket>> accepted;
};

FleetLinkPlan Plan(int port, std::uint32_t count, std::vector<std::string> sources = {}) {
    FleetGroupLink group;
    group.name = "test";
    group.host = "127.0.0.1";
    group.port = port;
    group.sources = std::move(sources);
    group.rate = 1000;
    group.backoff = {50, 200, 0.2};
    for (std::uint32_t i = 0; i < count; ++i) group.members.push_back({500 + i, false, 0});
    return FleetLinkPlan{{group}};
}

struct FleetFixture : ::testing::Test {
    asio::io_context io;
    EventManager sink;
    std::vector<std::pair<std::uint64_t, bool>> told;  // PeersChanged, in order

    std::unique_ptr<FleetClient> Make(const FleetLinkPlan& plan) {
        auto board = std::make_shared<FleetBoard>(FleetDevices(plan));
        auto client = std::make_unique<FleetClient>(io, plan, board, 4096, 4096);
        client->eventSink = &sink;
        client->SetOnPeersChanged([this](std::uint64_t origin, const std::string&, bool up) { told.emplace_back(origin, up); });
        return client;
    }

    bool Run(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            io.run_for(5ms);
        }
        return true;
    }

    static std::size_t InState(const FleetBoard& board, DeviceState state) {
        std::size_t n = 0;
        for (const DeviceStatus& d : board.Snapshot()) n += d.state == state;
        return n;
    }
};

TEST_F(FleetFixture, EveryDeviceConnectsFromTheSourcesInTurnAndHearsOnlyItsOwnBytes) {
    Host host(io);
    auto client = Make(Plan(host.Port(), 30, {"127.0.0.1", "127.0.0.2", "127.0.0.3"}));
    const FleetBoard& board = *client->Board();
    ASSERT_TRUE(Run([&] { return host.accepted.size() == 30 && InState(board, DeviceState::Up) == 30; }));
    std::map<std::string, int> bySource;
    for (const auto& socket : host.accepted) ++bySource[socket->remote_endpoint().address().to_string()];
    EXPECT_EQ(bySource, (std::map<std::string, int>{{"127.0.0.1", 10}, {"127.0.0.2", 10}, {"127.0.0.3", 10}}));
    std::set<std::uint64_t> origins;
    for (const DeviceStatus& d : board.Snapshot()) {
        origins.insert(d.origin);
        EXPECT_EQ(board.DeviceOf(d.origin), d.number);
        EXPECT_EQ(d.connects, 1u);
    }
    EXPECT_EQ(origins.size(), 30u);
    EXPECT_EQ(told.size(), 30u);

    // Bytes for device 517 reach its connection, and no other.
    const DeviceStatus device = *board.Find(517);
    client->WriteTo(device.origin, reinterpret_cast<const std::uint8_t*>("hello"), 5);
    client->Push();
    std::shared_ptr<tcp::socket> its;
    for (const auto& socket : host.accepted) {
        boost::system::error_code ignored;
        const std::string remote = socket->remote_endpoint().address().to_string() + ":" +
                                   std::to_string(socket->remote_endpoint().port());
        if (remote == device.localAddress) its = socket;
    }
    ASSERT_NE(its, nullptr) << device.localAddress;
    char got[5] = {};
    asio::read(*its, asio::buffer(got));
    EXPECT_EQ(std::string(got, 5), "hello");
    for (const auto& socket : host.accepted)
        if (socket != its) {
            EXPECT_EQ(socket->available(), 0u);
        }

    // And what a device's host sends comes out as that device's origin.
    asio::write(*host.accepted.front(), asio::buffer(std::string("xyz")));
    std::uint8_t buffer[16];
    std::size_t n = 0;
    ASSERT_TRUE(Run([&] { return (n = client->ReadBlock(buffer, sizeof buffer)) > 0; }));
    EXPECT_EQ(n, 3u);
    EXPECT_NE(board.DeviceOf(client->LastOrigin()), 0u);
}

TEST_F(FleetFixture, DevicesRetryUntilTheHostListensThenConnect) {
    unsigned short port = 0;
    {
        tcp::acceptor probe(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        port = probe.local_endpoint().port();
    }  // closed: nothing listens there now
    auto client = Make(Plan(port, 5));
    const FleetBoard& board = *client->Board();
    ASSERT_TRUE(Run([&] {
        for (const DeviceStatus& d : board.Snapshot())
            if (d.failures < 2) return false;
        return true;
    }));
    for (const DeviceStatus& d : board.Snapshot()) {
        EXPECT_EQ(d.state, DeviceState::Retrying);
        EXPECT_NE(d.lastError.find("connect"), std::string::npos) << d.lastError;
    }
    Host host(io, port);
    ASSERT_TRUE(Run([&] { return InState(board, DeviceState::Up) == 5; }));
    EXPECT_EQ(host.accepted.size(), 5u);
}

TEST_F(FleetFixture, AProfileDropsAfterItsTimeOrNeverConnects) {
    Host host(io);
    FleetLinkPlan plan = Plan(host.Port(), 4);
    plan.groups[0].members[1].dropAfterS = 1;
    plan.groups[0].members[2].neverConnect = true;
    auto client = Make(plan);
    const FleetBoard& board = *client->Board();
    ASSERT_TRUE(Run([&] { return board.Find(501)->connects >= 2; }, 10000ms));
    EXPECT_EQ(board.Find(501)->drops, 1u);
    EXPECT_EQ(board.Find(502)->state, DeviceState::Failed);
    EXPECT_EQ(board.Find(502)->connects, 0u);
    for (std::uint32_t other : {500u, 503u}) EXPECT_EQ(board.Find(other)->drops, 0u) << other;
    EXPECT_EQ(host.accepted.size(), 4u);  // three, and 501 a second time
    // The host saw a reset: reading the first connection of 501 fails rather than ends cleanly.
    bool reset = false;
    for (const auto& socket : host.accepted) {
        boost::system::error_code error;
        char byte;
        socket->non_blocking(true);
        socket->read_some(asio::buffer(&byte, 1), error);
        reset = reset || error == asio::error::connection_reset;
    }
    EXPECT_TRUE(reset);
}

TEST_F(FleetFixture, AConnectionTheHostEndsIsMadeAgain) {
    Host host(io);
    auto client = Make(Plan(host.Port(), 2));
    const FleetBoard& board = *client->Board();
    ASSERT_TRUE(Run([&] { return InState(board, DeviceState::Up) == 2; }));
    host.accepted.front()->close();
    ASSERT_TRUE(Run([&] { return host.accepted.size() == 3 && InState(board, DeviceState::Up) == 2; }));
    std::uint32_t drops = 0;
    for (const DeviceStatus& d : board.Snapshot()) drops += d.drops;
    EXPECT_EQ(drops, 1u);
    EXPECT_EQ(told.size(), 4u);  // up, up, down, up
    EXPECT_FALSE(told[2].second);
}

TEST_F(FleetFixture, AFleetThatCannotStartSaysWhyAndConnectsNothing) {
    Host host(io);
    struct Case {
        std::string host;
        std::vector<std::string> sources;
        std::string why;
    };
    const Case cases[] = {
        {"no-such-host.invalid", {}, "no-such-host.invalid"},
        {"127.0.0.1", {"not-an-address"}, "'not-an-address' is not an IP address"},
        {"127.0.0.1", {"::1"}, "not of the host's address family"},
    };
    for (const Case& c : cases) {
        FleetLinkPlan plan = Plan(host.Port(), 3, c.sources);
        plan.groups[0].host = c.host;
        try {
            Make(plan);
            ADD_FAILURE() << c.why;
        } catch (const SocketError& error) {
            EXPECT_NE(std::string(error.what()).find(c.why), std::string::npos) << error.what();
        }
    }
    io.run_for(50ms);
    EXPECT_TRUE(host.accepted.empty());
}

TEST_F(FleetFixture, ASourceThatIsNotLocalFailsEachDeviceNamingIt) {
    Host host(io);
    auto client = Make(Plan(host.Port(), 2, {"192.0.2.1"}));
    const FleetBoard& board = *client->Board();
    ASSERT_TRUE(Run([&] { return InState(board, DeviceState::Retrying) == 2 && board.Find(500)->failures > 0; }));
    EXPECT_NE(board.Find(500)->lastError.find("bind"), std::string::npos) << board.Find(500)->lastError;
    EXPECT_NE(board.Find(500)->lastError.find("192.0.2.1"), std::string::npos);
    EXPECT_TRUE(host.accepted.empty());
}

TEST_F(FleetFixture, CloseEndsEveryConnectionAndTellsIt) {
    Host host(io);
    auto client = Make(Plan(host.Port(), 3));
    ASSERT_TRUE(Run([&] { return InState(*client->Board(), DeviceState::Up) == 3; }));
    client->Close();
    EXPECT_EQ(client->ConnectedCount(), 0u);
    EXPECT_EQ(InState(*client->Board(), DeviceState::Failed), 3u);
    std::size_t downs = 0;
    for (const auto& [origin, up] : told) downs += !up;
    EXPECT_EQ(downs, 3u);
    io.run_for(300ms);  // no reconnect after a close
    EXPECT_EQ(host.accepted.size(), 3u);
}

}  // namespace
