// The proxy through the control API, end to end: a real control thread between a host and a
// device played here over TCP on 127.0.0.1, sides that come and go, and what the API tells.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "support/api_rig.h"

namespace {

using namespace api_rig;
using namespace std::chrono_literals;

// The device behind side B: listens for the proxy's TCP client and takes its connections.
class Device {
public:
    explicit Device(int port = 0)
        : acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port))) {}
    int Port() const { return acceptor_.local_endpoint().port(); }
    // The proxy's next connection, within `seconds`; false when none came.
    bool Accept(int seconds = 10) {
        pollfd p{acceptor_.native_handle(), POLLIN, 0};
        if (::poll(&p, 1, seconds * 1000) <= 0) return false;
        socket_ = std::make_unique<tcp::socket>(io_);
        acceptor_.accept(*socket_);
        timeval timeout{5, 0};
        ::setsockopt(socket_->native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        return true;
    }
    // The next frame, up to and with its CR; "" after 5 s without one, or at the end.
    std::string ReadFrame() {
        std::string frame;
        char c = 0;
        while (BoundedRead(*socket_, &c, 1) == 1) {
            frame += c;
            if (c == '\r') return frame;
        }
        return "";
    }
    // True once the proxy has closed this connection (within 5 s).
    bool Ended() {
        char c = 0;
        return BoundedRead(*socket_, &c, 1) == 0;
    }
    void Write(const std::string& bytes) { asio::write(*socket_, asio::buffer(bytes)); }

private:
    asio::io_context io_;
    tcp::acceptor acceptor_;
    std::unique_ptr<tcp::socket> socket_;
};

// The proxy's status once both sides are open (side A listening), or null after 5 s.
json OpenSides(Simulator& sim) {
    json link;
    Eventually([&] {
        link = sim.Get("status").body["link"];
        return link["sides"].is_array() && link["sides"].size() == 2 && link["sides"][0]["open"] == true &&
               link["sides"][0]["where"] != "port 0";
    });
    return link;
}

int SideAPort(const json& link) {
    const std::string where = link["sides"][0]["where"];
    return std::stoi(where.substr(where.rfind(' ') + 1));
}

// Makes the link a proxy: a host's server on side A, a client to `devicePort` on side B.
// Returns side A's port (0 when it did not open).
int MakeProxy(Simulator& sim, int devicePort, const std::string& sendTo = "B") {
    const Reply put = sim.Put("link", {{"type", "proxy"},
                                       {"a", "tcp-server:127.0.0.1:0"},
                                       {"b", "tcp-client:127.0.0.1:" + std::to_string(devicePort)},
                                       {"sendTo", sendTo}});
    EXPECT_EQ(put.status, 200) << put.raw.body();
    const json link = OpenSides(sim);
    return link.is_null() || !link["sides"].is_array() ? 0 : SideAPort(link);
}

bool BothConnected(Simulator& sim) {
    return Eventually([&] {
        const json sides = sim.Get("status").body["link"]["sides"];
        return sides.is_array() && sides.size() == 2 && sides[0]["connected"] == true && sides[1]["connected"] == true;
    });
}

// A device that is down when the proxy starts is connected to once it comes up (the client
// side tries again with its back-off), and frames then pass both ways.
TEST(ApiProxy, ATcpClientSideDownAtTheStartConnectsWhenItsDeviceComesUp) {
    Simulator sim;
    const int devicePort = FreeTcpPort();
    const int hostPort = MakeProxy(sim, devicePort);
    ASSERT_NE(hostPort, 0);
    Peer host(hostPort);
    // The first try has failed by now, or fails soon: nobody listens yet.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(sim.Get("status").body["link"]["sides"][1]["connected"], false);

    Device device(devicePort);
    ASSERT_TRUE(device.Accept(10)) << "side B never tried again";
    ASSERT_TRUE(BothConnected(sim));
    host.Write(WireFrame('Q', 0, "after the device came"));
    EXPECT_EQ(device.ReadFrame(), WireFrame('Q', 0, "after the device came"));
    device.Write(WireFrame('Q', ctrl::ACK, ""));
    EXPECT_EQ(host.ReadFrame(), WireFrame('Q', ctrl::ACK, ""));
    const json status = sim.Get("status").body["link"];
    EXPECT_EQ(status["undelivered"]["AtoB"], 0) << status.dump();
}

// Each side's connection is a session of the proxy's own: what each side says is listed with
// its session, and a side that reconnects begins a new one while the other side's goes on.
TEST(ApiProxy, EachSidesConnectionIsASessionOfItsOwn) {
    Simulator sim;
    Device device;
    const int hostPort = MakeProxy(sim, device.Port());
    ASSERT_NE(hostPort, 0);
    ASSERT_TRUE(device.Accept(10));
    const auto sessions = [&sim] {
        std::vector<std::string> out;
        const json list = sim.Get("sessions").body["sessions"];
        for (const json& row : list)
            out.push_back(std::to_string(row["session"].get<int>()) + " " + row["peer"].get<std::string>());
        return out;
    };
    const auto sessionOf = [&sim](const std::string& text) {
        const json messages = sim.Get("messages").body["messages"];
        for (const json& m : messages)
            if (m["text"] == text) return m["session"].get<int>();
        return -1;
    };
    const std::string deviceAt = "side B, 127.0.0.1:" + std::to_string(device.Port());
    {
        Peer host(hostPort);
        ASSERT_TRUE(BothConnected(sim));
        ASSERT_TRUE(Eventually([&] { return sessions().size() == 2; })) << sim.Get("sessions").raw.body();
        EXPECT_EQ(sessions()[0], "1 " + deviceAt);
        EXPECT_EQ(sessions()[1].substr(0, 20), "2 side A, 127.0.0.1:");
        host.Write(WireFrame('Q', 0, "from the host"));
        EXPECT_EQ(device.ReadFrame(), WireFrame('Q', 0, "from the host"));
        device.Write(WireFrame('D', 0, "from the device"));
        EXPECT_EQ(host.ReadFrame(), WireFrame('D', 0, "from the device"));
        ASSERT_TRUE(Eventually([&] { return sessionOf("from the device") != -1; }));
        EXPECT_EQ(sessionOf("from the host"), 2);
        EXPECT_EQ(sessionOf("from the device"), 1);
        host.Write(WireFrame('X', 0, "half").substr(0, 6));  // and goes mid-frame
    }
    ASSERT_TRUE(Eventually([&] { return sessions().size() == 1; })) << "the host's session ends with it";
    EXPECT_EQ(sessions()[0], "1 " + deviceAt);
    Peer again(hostPort);
    ASSERT_TRUE(Eventually([&] { return sessions().size() == 2; }));
    EXPECT_EQ(sessions()[1].substr(0, 20), "3 side A, 127.0.0.1:");
    again.Write(WireFrame('R', 0, "back again"));
    // The device got what came (the half frame passed through as it streamed); the proxy
    // takes the new connection's frame on its own, not glued to the old one's half.
    EXPECT_EQ(device.ReadFrame(), WireFrame('X', 0, "half").substr(0, 6) + WireFrame('R', 0, "back again"));
    ASSERT_TRUE(Eventually([&] { return sessionOf("back again") != -1; })) << sim.Get("messages").raw.body();
    EXPECT_EQ(sessionOf("back again"), 3);
}

// Frames the host sends while the device is absent are told undelivered (count, event, the
// received frame's note, the metrics) and never counted as passed on.
TEST(ApiProxy, FramesWhileTheOtherSideIsAbsentAreReportedUndelivered) {
    Simulator sim;
    const int hostPort = MakeProxy(sim, FreeTcpPort());
    ASSERT_NE(hostPort, 0);
    Peer host(hostPort);
    ASSERT_TRUE(Eventually([&] { return sim.Get("status").body["link"]["sides"][0]["connected"] == true; }));
    for (const char* text : {"one", "two", "three"}) host.Write(WireFrame('Q', 0, text));

    json link;
    ASSERT_TRUE(Eventually([&] {
        link = sim.Get("status").body["link"];
        return link["undelivered"]["AtoB"] == 3;
    })) << link.dump();
    EXPECT_EQ(link["forwarded"]["AtoB"], 0);
    EXPECT_EQ(link["undelivered"]["BtoA"], 0);

    const std::vector<json> told = sim.Logged("undelivered");
    ASSERT_EQ(told.size(), 3u);
    for (const json& event : told) {
        EXPECT_EQ(event["way"], "A\u2192B");
        EXPECT_EQ(event["frame"], true);
        EXPECT_EQ(event["reason"], "side B is not connected");
    }
    EXPECT_EQ(told[0]["bytes"], WireFrame('Q', 0, "one").size());
    const std::vector<json> received = sim.Logged("received");
    ASSERT_EQ(received.size(), 3u);
    for (const json& frame : received) EXPECT_EQ(frame["faults"], "not delivered: side B is not connected");

    const std::string metrics = sim.Get("metrics").raw.body();
    EXPECT_NE(metrics.find("vantor_proxy_frames_total{way=\"AtoB\",outcome=\"undelivered\"} 3\n"), std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("vantor_proxy_frames_total{way=\"AtoB\",outcome=\"forwarded\"} 0\n"), std::string::npos);
    // A reset starts the counts again.
    EXPECT_EQ(sim.Post("reset").status, 200);
    EXPECT_EQ(sim.Get("status").body["link"]["undelivered"]["AtoB"], 0);
}

// Reconnecting side B alone gives the device a new connection and leaves the host's as it
// is: the host's next frame reaches the device over the new one, and the answer comes back.
TEST(ApiProxy, ReconnectingSideBKeepsSideAsConnection) {
    Simulator sim;
    Device device;
    const int hostPort = MakeProxy(sim, device.Port());
    ASSERT_NE(hostPort, 0);
    ASSERT_TRUE(device.Accept());
    Peer host(hostPort);
    ASSERT_TRUE(BothConnected(sim));

    const Reply done = sim.Post("link/actions", {{"action", "reconnect"}, {"side", "B"}});
    ASSERT_EQ(done.status, 200) << done.raw.body();
    EXPECT_EQ(done.body["side"], "B");
    EXPECT_TRUE(device.Ended()) << "side B's old connection stayed";
    ASSERT_TRUE(device.Accept()) << "side B did not connect anew";
    ASSERT_TRUE(BothConnected(sim));
    host.Write(WireFrame('R', 0, "same host connection"));
    EXPECT_EQ(device.ReadFrame(), WireFrame('R', 0, "same host connection"));
    device.Write(WireFrame('R', ctrl::ACK, ""));
    EXPECT_EQ(host.ReadFrame(), WireFrame('R', ctrl::ACK, ""));
    const std::vector<json> actions = sim.Logged("linkAction");
    ASSERT_FALSE(actions.empty());
    EXPECT_EQ(actions.back()["side"], "B");
}

// What the proxy cannot do is refused with 409 and its reason, and never reaches the link; a
// side named on a link that is no proxy, or for an action that has none, is refused too.
TEST(ApiProxy, LinkActionsWithoutALineAreRefused) {
    Simulator sim;
    const Reply notProxy = sim.Post("link/actions", {{"action", "reconnect"}, {"side", "B"}});
    EXPECT_EQ(notProxy.status, 409);
    EXPECT_EQ(notProxy.body["error"]["code"], "not_a_proxy");
    ASSERT_NE(MakeProxy(sim, FreeTcpPort()), 0);
    const std::size_t logged = sim.Logged("linkAction").size();
    struct Case {
        json body;
        int status;
        const char* code;
        const char* field;
    };
    const Case cases[] = {
        {{{"action", "break"}}, 409, "not_supported", "action"},
        {{{"action", "raw"}, {"bytes", "\u0001junk"}}, 409, "not_supported", "action"},
        {{{"action", "xoff"}, {"ms", 50}}, 409, "not_supported", "action"},
        {{{"action", "break"}, {"side", "A"}}, 409, "not_supported", "action"},
        {{{"action", "reconnect"}, {"side", "C"}}, 400, "invalid_value", "side"},
        {{{"action", "reconnect"}, {"side", 1}}, 400, "invalid_value", "side"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body.dump());
        const Reply r = sim.Post("link/actions", c.body);
        EXPECT_EQ(r.status, c.status) << r.raw.body();
        EXPECT_EQ(r.body["error"]["code"], c.code);
        EXPECT_EQ(r.body["error"]["field"], c.field);
        if (c.status == 409) {
            EXPECT_NE(r.body["error"]["message"].get<std::string>().find("no line of its own"), std::string::npos);
        }
    }
    EXPECT_EQ(sim.Logged("linkAction").size(), logged) << "a refused action was carried out";
}

// A send through the proxy tells how often it went: once, answered or rejected; never, when
// the side it is for cannot take it (failed at once, saying why).
TEST(ApiProxy, AProxySendReportsItsAttempts) {
    Simulator sim;
    Device device;
    const int hostPort = MakeProxy(sim, device.Port());
    ASSERT_NE(hostPort, 0);
    ASSERT_TRUE(device.Accept());
    ASSERT_TRUE(Eventually([&] { return sim.Get("status").body["link"]["sides"][1]["connected"] == true; }));

    const auto finished = [&](const Reply& created) {
        json run;
        Eventually([&] {
            run = sim.Get("sends/" + std::to_string(created.body["id"].get<int>())).body;
            return run["running"] == false;
        });
        return run;
    };
    struct Case {
        const char* to;
        std::uint8_t answer;  // 0: the device does not see it
        const char* state;
        json attempts;
        const char* response;
    };
    const Case cases[] = {
        {"B", ctrl::ACK, "accepted", 1, ""},
        {"B", ctrl::NAK, "failed", 1, ""},
        {"A", 0, "failed", nullptr, "side A is not connected"},  // no host yet
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.to) + " " + c.state);
        const Reply created = sim.Post("sends", {{"type", "C"}, {"text", "ours"}, {"to", c.to}});
        ASSERT_EQ(created.status, 201) << created.raw.body();
        if (c.answer != 0) {
            EXPECT_EQ(device.ReadFrame(), WireFrame('C', 0, "ours"));
            device.Write(WireFrame('C', c.answer, ""));
        }
        const json run = finished(created);
        EXPECT_EQ(run["state"], c.state) << run.dump();
        EXPECT_EQ(run["attempts"], c.attempts) << run.dump();
        if (c.answer == 0) {
            EXPECT_EQ(run["response"], c.response);
        }
    }
}

}  // namespace
