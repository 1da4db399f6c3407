#include "drivers/describe_link.h"

#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "drivers/serial_tcpip_client.h"
#include "drivers/serial_tcpip_server.h"
#include "drivers/serial_win_comm.h"
#include "settings/prefs.h"
#include "support/loopback.h"

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// Runs the io_context until `done` holds, for at most two seconds.
bool RunUntil(asio::io_context& io, const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        io.restart();
        io.run_for(std::chrono::milliseconds(5));
    }
    return true;
}

CommPrefs Settings(int type) {
    CommPrefs s;
    s.Type = type;
    s.RemoteIp = "127.0.0.1";
    return s;
}

TEST(LinkState, ServerListensAndListsItsClients) {
    asio::io_context io;
    CommPrefs settings = Settings(2);
    settings.LocalPort = 0;
    SerialTcpIpServer server(io, 0, 1500, 1500);
    LinkState state = DescribeLink(&server, settings);
    EXPECT_EQ(state.phase, LinkState::Up);
    EXPECT_EQ(state.where, "port " + std::to_string(server.LocalPort()));
    EXPECT_FALSE(state.Connected());
    EXPECT_EQ(state.Summary(), "Listening on " + state.where + ", no client");

    tcp::socket peer(io);
    peer.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"),
                               static_cast<unsigned short>(server.LocalPort())));
    ASSERT_TRUE(RunUntil(io, [&] { return server.ConnectionCount() == 1; }));
    state = DescribeLink(&server, settings);
    ASSERT_EQ(state.peers.size(), 1u);
    EXPECT_EQ(state.peers[0], "127.0.0.1:" + std::to_string(peer.local_endpoint().port()));
    EXPECT_TRUE(state.Connected());
    EXPECT_NE(state.Details().find("Connected clients:\n  " + state.peers[0]), std::string::npos);

    server.Close();
    EXPECT_EQ(DescribeLink(&server, settings).phase, LinkState::Closed);
}

TEST(LinkState, ClientConnectsAndLosesItsServer) {
    asio::io_context io;
    tcp::acceptor listener(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    CommPrefs settings = Settings(1);
    settings.RemotePort = listener.local_endpoint().port();
    SerialTcpIpClient client(io, "127.0.0.1", settings.RemotePort, 1500, 1500);
    EXPECT_EQ(DescribeLink(&client, settings).phase, LinkState::Connecting);
    tcp::socket accepted(io);
    listener.accept(accepted);
    ASSERT_TRUE(RunUntil(io, [&] { return client.IsConnected(); }));
    const LinkState up = DescribeLink(&client, settings);
    EXPECT_EQ(up.Summary(), "Connected to 127.0.0.1:" + std::to_string(settings.RemotePort));
    EXPECT_TRUE(up.Connected());

    // Nobody listens on this one: the attempt fails and the link stays down.
    CommPrefs nowhere = Settings(1);
    nowhere.RemotePort = FreeTcpPort();
    SerialTcpIpClient lost(io, "127.0.0.1", nowhere.RemotePort, 1500, 1500);
    ASSERT_TRUE(RunUntil(io, [&] { return !lost.IsConnecting(); }));
    const LinkState down = DescribeLink(&lost, nowhere);
    EXPECT_EQ(down.phase, LinkState::Closed);
    EXPECT_FALSE(down.Connected());
    EXPECT_NE(down.Details().find("Link > Reconnect"), std::string::npos);
}

TEST(LinkState, SerialPortOpenOrClosed) {
    int peer = -1, terminal = -1;
    char name[128] = {};
    ASSERT_EQ(::openpty(&peer, &terminal, name, nullptr, nullptr), 0);
    CommPrefs settings = Settings(0);
    settings.Port = name;
    SerialWinComm port(name, 512, 512);
    ASSERT_TRUE(port.IsOpen());
    const LinkState open = DescribeLink(&port, settings);
    EXPECT_EQ(open.phase, LinkState::Up);
    EXPECT_TRUE(open.Connected());
    EXPECT_NE(open.Summary().find(std::string(name) + " open  DSR "), std::string::npos)
        << open.Summary();
    EXPECT_NE(open.Details().find("Clear To Send: "), std::string::npos);
    port.Close();
    EXPECT_EQ(DescribeLink(&port, settings).Summary(), std::string(name) + " closed");
    EXPECT_EQ(DescribeLink(nullptr, settings).phase, LinkState::Closed);
    ::close(peer);
    ::close(terminal);
}

}  // namespace
