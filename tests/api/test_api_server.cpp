#include "api/api_server.h"

#include <gtest/gtest.h>

#include <atomic>

#include <string>
#include <thread>
#include <vector>

#include "text/json_text.h"
#include "support/api_rig.h"

// The control API end to end: a real control thread serving the link on 127.0.0.1, a device
// played over TCP, and HTTP requests over real sockets.

namespace {

using namespace api_rig;
using namespace std::chrono_literals;
namespace asio = boost::asio;
namespace http = boost::beast::http;
using asio::ip::tcp;
using nlohmann::json;

TEST(ApiLink, PutReopensTheLinkAndStatusShowsIt) {
    Simulator sim;
    Reply status = sim.Get("status");
    ASSERT_EQ(status.status, 200);
    EXPECT_EQ(status.body["link"]["kind"], "tcp-server");
    EXPECT_EQ(status.body["link"]["summary"],
              "TCP/IP Server on Port " + std::to_string(sim.devicePort));

    const int moved = FreeTcpPort();
    Reply put = sim.Put("link", {{"localPort", std::to_string(moved)}});
    ASSERT_EQ(put.status, 200) << put.raw.body();
    EXPECT_EQ(put.body["localPort"], moved);
    EXPECT_EQ(sim.Get("link").body["summary"], "TCP/IP Server on Port " + std::to_string(moved));
    EXPECT_EQ(sim.prefs->Get_comm_prefs().LocalPort, moved);
    // The control thread reopened the link on the new port: a device can connect there and
    // is answered.
    Peer device(moved);
    device.Write(WireFrame('Q', 0, "ping"));
    EXPECT_EQ(device.ReadFrame(), WireFrame('Q', ctrl::ACK, ""));
    // The link's state as the control thread reports it: listening, the device connected.
    json link;
    for (int i = 0; i < 200; ++i) {
        link = sim.Get("status").body["link"];
        if (link["connected"] == true) break;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(link["open"], true);
    EXPECT_EQ(link["connected"], true);
    ASSERT_EQ(link["peers"].size(), 1u);
    EXPECT_EQ(link["peers"][0].get<std::string>().rfind("127.0.0.1:", 0), 0u) << link.dump();
}

// The Link menu's actions through the API: raw bytes and an XOFF hold reach the device as
// they are, a drop ends its connection; anything else is refused.
TEST(ApiLink, ActionsReachTheLink) {
    Simulator sim;
    Peer device(sim.devicePort);
    EXPECT_EQ(sim.Post("link/actions", {{"action", "raw"}, {"bytes", "\u0001raw\u00ff"}}).status, 202);
    EXPECT_EQ(device.ReadBytes(5), "\x01raw\xff");
    EXPECT_EQ(sim.Post("link/actions", {{"action", "xoff"}, {"ms", 50}}).status, 202);
    EXPECT_EQ(device.ReadBytes(2), "\x13\x11");
    EXPECT_EQ(sim.Post("link/actions", {{"action", "xoff"}, {"ms", -1}}).status, 400);
    EXPECT_EQ(sim.Post("link/actions", {{"action", "reboot"}}).status, 400);
    EXPECT_EQ(sim.Post("link/actions", {{"action", "raw"}, {"extra", 1}}).status, 400);
    EXPECT_EQ(sim.Get("link/actions").status, 405);
    EXPECT_EQ(sim.Post("link/actions", {{"action", "drop"}}).status, 202);
    EXPECT_EQ(device.ReadBytes(1), "") << "the connection was closed";
    // Reconnect opens the link anew: the connection of the old one ends, a device connects
    // to the new one and is answered.
    Peer before(sim.devicePort);
    before.Write(WireFrame('P', 0, ""));
    EXPECT_EQ(before.ReadFrame(), WireFrame('P', ctrl::ACK, ""));
    EXPECT_EQ(sim.Post("link/actions", {{"action", "reconnect"}}).status, 202);
    EXPECT_EQ(before.ReadBytes(1), "");
    Peer again(sim.devicePort);
    again.Write(WireFrame('Q', 0, ""));
    EXPECT_EQ(again.ReadFrame(), WireFrame('Q', ctrl::ACK, ""));
    // Automatic reconnection is a link setting like the others; status counts dropped answers.
    Reply put = sim.Put("link", {{"autoReconnect", true}});
    ASSERT_EQ(put.status, 200) << put.raw.body();
    EXPECT_EQ(put.body["autoReconnect"], true);
    EXPECT_EQ(sim.prefs->Get_comm_prefs().AutoReconnect, 1);
    EXPECT_EQ(sim.Put("link", {{"autoReconnect", 1}}).status, 400);
    EXPECT_EQ(sim.Get("status").body["counts"]["answersDropped"], 0);
}

TEST(ApiReplies, PutTableAnswersTheDeviceAndListsTheMessage) {
    Simulator sim;
    Peer device(sim.devicePort);
    // Text bytes travel as U+0000..U+00FF: "\u00e9" is the byte 0xE9.
    Reply put = sim.Put("replies", {{"replies",
                                     {{{"type", "A"}, {"text", "ok\u00e9"}, {"action", "Normal"}},
                                      {{"type", "N"}, {"text", "no"}, {"action", "NAK Error"}}}}});
    ASSERT_EQ(put.status, 200) << put.raw.body();
    EXPECT_EQ(put.body["replies"].size(), 10u);
    EXPECT_EQ(sim.Get("replies").body["replies"][1]["action"], "NAK Error");
    EXPECT_EQ(sim.prefs->Get_reply_prefs(0).Msg, "ok\xE9");

    device.Write(WireFrame('A', 0, "hi\xFF"));
    EXPECT_EQ(device.ReadFrame(), WireFrame('A', ctrl::ACK, "ok\xE9"));
    device.Write(WireFrame('N', 0, "x"));
    EXPECT_EQ(device.ReadFrame(), WireFrame('N', ctrl::NAK, "no"));

    ASSERT_TRUE(Eventually([&] { return sim.Get("messages").body["messages"].size() == 2; }));
    const json first = sim.Get("messages").body["messages"][0];
    EXPECT_EQ(first["type"], "A");
    EXPECT_EQ(first["text"], "hi\u00ff");
    EXPECT_EQ(first["status"], StatusListText(StatusOk));
    // The log names the answer and the action used.
    const auto answers = sim.Logged("answer");
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[1]["action"], "NAK Error");
    EXPECT_EQ(answers[0]["bytes"], BytesToJsonText(WireFrame('A', ctrl::ACK, "ok\xE9")));
}

// The table's resource shows no faults; a PUT keeps each row's faults and the seed, and the
// engine goes on injecting them (a delay set in the file is not lost to a PUT).
TEST(ApiReplies, PutKeepsEachRowsFaultsAndTheSeed) {
    Simulator sim;
    Peer device(sim.devicePort);
    sim.OnCore([&sim] {
        auto replies = sim.core->Replies();
        replies[0] = ReplyPrefs{"A", "old", 0, 0, {}};
        replies[0].Faults.DelayMin = 400;
        sim.prefs->Set_fault_seed(33);
        sim.core->ApplyReplies(replies);
    });
    const Reply put = sim.Put("replies", {{"replies", {{{"type", "A"}, {"text", "new"}}}}});
    ASSERT_EQ(put.status, 200) << put.raw.body();
    EXPECT_EQ(sim.prefs->Get_reply_prefs(0).Faults.DelayMin, 400);
    EXPECT_EQ(sim.prefs->Get_fault_seed(), 33);
    const auto start = std::chrono::steady_clock::now();
    device.Write(WireFrame('A', 0, "x"));
    EXPECT_EQ(device.ReadFrame(), WireFrame('A', ctrl::ACK, "new"));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 400ms);
}

// While the core is busy, the status is still answered at once; a change the core has not
// begun within its time is answered 503 and never carried out, even once the core is free.
TEST(ApiCore, AStalledCoreDelaysNothingAndARefusedRequestIsNotCarriedOut) {
    ApiServer::Options options;
    options.corePatience = 200ms;
    Simulator sim(options);
    Peer device(sim.devicePort);
    std::atomic<bool> release{false};
    sim.scheduler->Post([&release] {
        while (!release) std::this_thread::sleep_for(1ms);
    });
    const auto start = std::chrono::steady_clock::now();
    const Reply status = sim.Get("status");
    EXPECT_EQ(status.status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 150ms) << "the status does not wait for the core";
    const Reply send = sim.Post("sends", {{"type", "S"}, {"text", "never"}, {"expandFlags", false}});
    EXPECT_EQ(send.status, 503) << send.raw.body();
    release = true;
    EXPECT_EQ(device.ReadBytes(1).size(), 0u) << "the refused send never reaches the wire";
    EXPECT_EQ(sim.Get("status").body["counts"]["sent"], 0);
    // A request the core begins is answered however long the core takes over it.
    const Reply later = sim.Post("sends", {{"type", "S"}, {"text", "now"}, {"expandFlags", false}});
    EXPECT_EQ(later.status, 201);
    EXPECT_EQ(device.ReadFrame(), WireFrame('S', 0, "now"));
}

TEST(ApiMessages, AfterLimitAndClear) {
    Simulator sim;
    Peer device(sim.devicePort);
    for (const char* text : {"one", "two", "three"}) {
        device.Write(WireFrame('M', 0, text));
        device.ReadFrame();
    }
    ASSERT_TRUE(Eventually([&] { return sim.Get("messages").body["last"] == 3; }));
    const json page = sim.Get("messages?after=1&limit=1").body;
    ASSERT_EQ(page["messages"].size(), 1u);
    EXPECT_EQ(page["messages"][0]["id"], 2);
    EXPECT_EQ(page["messages"][0]["text"], "two");

    EXPECT_EQ(Call(sim.port, http::verb::delete_, "/api/v1/messages").status, 204);
    const json cleared = sim.Get("messages").body;
    EXPECT_TRUE(cleared["messages"].empty());
    EXPECT_EQ(cleared["last"], 3);  // ids go on after a clear
}

TEST(ApiRows, RowRunsItsCountAndBatchSendGoesInRowOrder) {
    Simulator sim;
    Peer device(sim.devicePort);
    ASSERT_EQ(sim.Put("rows/1", {{"type", "R"}, {"text", "row"}, {"count", 2}}).status, 200);
    EXPECT_EQ(sim.prefs->Get_send_prefs(0).Count, "2");
    ASSERT_EQ(sim.Post("rows/1/send").status, 200);
    EXPECT_EQ(device.Answer("r1"), WireFrame('R', 0, "row"));
    EXPECT_EQ(device.Answer("r2"), WireFrame('R', 0, "row"));
    ASSERT_TRUE(Eventually([&] { return sim.Get("rows/1").body["run"]["running"] == false; }));
    const json row = sim.Get("rows/1").body;
    EXPECT_EQ(row["run"]["sent"], 2);
    EXPECT_EQ(row["run"]["state"], "accepted");
    EXPECT_EQ(row["run"]["response"], "r2");
    EXPECT_EQ(sim.Post("rows/1/stop").status, 409);

    sim.Put("rows/4", {{"type", "D"}, {"text", "four"}});
    sim.Put("rows/2", {{"type", "B"}, {"text", "two"}, {"count", "0"}});
    const Reply batch = sim.Post("batch-send");
    ASSERT_EQ(batch.status, 200);
    // Row 1 and 4 start; row 2's count is refused with the window's text.
    ASSERT_EQ(batch.body["rows"].size(), 3u);
    EXPECT_EQ(batch.body["rows"][1]["error"], "The count must be greater than zero.");
    EXPECT_EQ(device.Answer("a"), WireFrame('R', 0, "row"));
    EXPECT_EQ(device.Answer("b"), WireFrame('D', 0, "four"));
}

TEST(ApiSends, AcceptedFailedAndStopped) {
    Simulator sim;
    Peer device(sim.devicePort);
    const Reply created =
        sim.Post("sends", {{"type", "S"}, {"text", "v=%%"}, {"expandFlags", true}});
    ASSERT_EQ(created.status, 201) << created.raw.body();
    const int id = created.body["id"];
    EXPECT_EQ(created.raw[http::field::location], "/api/v1/sends/" + std::to_string(id));
    EXPECT_EQ(device.Answer("fine"), WireFrame('S', 0, "v=%"));
    ASSERT_TRUE(Eventually(
        [&] { return sim.Get("sends/" + std::to_string(id)).body["state"] == "accepted"; }));
    const json done = sim.Get("sends/" + std::to_string(id)).body;
    EXPECT_EQ(done["response"], "fine");
    EXPECT_EQ(done["status"], 0);
    EXPECT_FALSE(done["running"]);
    EXPECT_FALSE(done["sentAt"].is_null());

    // Three NAKs: the engine gives up and the send fails with the last rejected text.
    const int failing =
        sim.Post("sends", {{"type", "F"}, {"text", "x"}, {"expandFlags", false}}).body["id"];
    for (int attempt = 0; attempt < 3; ++attempt)
        EXPECT_EQ(device.Answer("bad", ctrl::NAK), WireFrame('F', 0, "x"));
    ASSERT_TRUE(Eventually(
        [&] { return sim.Get("sends/" + std::to_string(failing)).body["state"] == "failed"; }));
    const json failed = sim.Get("sends/" + std::to_string(failing)).body;
    EXPECT_EQ(failed["status"], StatusNak);
    EXPECT_EQ(failed["attempts"], 3);
    EXPECT_EQ(failed["response"], "bad");

    // A long run stopped while it waits out its delay: nothing more goes out.
    const int run = sim.Post("sends", {{"type", "L"}, {"count", 5}, {"delayMs", 60000}}).body["id"];
    device.Answer("1");
    const std::string path = "sends/" + std::to_string(run);
    ASSERT_TRUE(Eventually([&] { return sim.Get(path).body["state"] == "accepted"; }));
    EXPECT_TRUE(sim.Get(path).body["running"]);
    EXPECT_EQ(sim.Post(path + "/stop").status, 200);
    EXPECT_FALSE(sim.Get(path).body["running"]);
    EXPECT_EQ(sim.Post(path + "/stop").status, 409);
    EXPECT_EQ(sim.Get("status").body["counts"]["accepted"], 2);
    EXPECT_EQ(sim.Get("status").body["counts"]["failed"], 1);
}

struct ErrorCase {
    const char* name;
    http::verb method;
    std::string target;
    std::string body;
    Headers headers;
    int status;
    std::string error;  // "" when any text will do
};

TEST(ApiErrors, EachCodeWithItsText) {
    Simulator sim;
    const std::string big(kMaxApiBody + 1, ' ');
    const ErrorCase cases[] = {
        {"bad JSON", http::verb::put, "/api/v1/link", "{", kJson, 400,
         "The body is not valid JSON."},
        {"port text", http::verb::put, "/api/v1/link", R"({"remotePort":"12x"})", kJson, 400,
         "'12x' is not a valid integer value"},
        {"baud index", http::verb::put, "/api/v1/link", R"({"baud":8})", kJson, 400,
         "baud must be 0 to 7."},
        {"above U+00FF", http::verb::post, "/api/v1/sends", R"({"type":"A","text":"\u20ac"})",
         kJson, 400, "text holds a character above U+00FF."},
        {"reply with a line break", http::verb::put, "/api/v1/replies",
         R"({"replies":[{"type":"A","text":"a\r\nb"}]})", kJson, 400,
         "A reply action cannot hold a line break."},
        {"count", http::verb::post, "/api/v1/sends", R"({"type":"A","count":0})", kJson, 400,
         "The count must be greater than zero."},
        {"delay", http::verb::post, "/api/v1/sends", R"({"type":"A","delayMs":-1})", kJson, 400,
         "The delay time must be greater than or equal to zero."},
        {"no type", http::verb::post, "/api/v1/sends", R"({"text":"x"})", kJson, 400,
         "You must specify a message type."},
        {"unknown field", http::verb::post, "/api/v1/sends", R"({"typo":1})", kJson, 400,
         "Unknown field 'typo'."},
        {"no resource", http::verb::get, "/api/v1/nothing", "", {}, 404, "No such resource."},
        {"no row", http::verb::get, "/api/v1/rows/10", "", {}, 404, "No such row."},
        {"no send", http::verb::get, "/api/v1/sends/77", "", {}, 404, "No such send."},
        {"method", http::verb::delete_, "/api/v1/status", "", kJson, 405, "Method not allowed."},
        {"not running", http::verb::post, "/api/v1/rows/3/stop", "", kJson, 409,
         "The row is not running."},
        {"no content type", http::verb::put, "/api/v1/link", "{}", {}, 415, ""},
        {"form post",
         http::verb::post,
         "/api/v1/batch-send",
         "",
         {{"Content-Type", "application/x-www-form-urlencoded"}},
         415,
         ""},
        {"cross-site",
         http::verb::post,
         "/api/v1/batch-send",
         "",
         {{"Content-Type", "application/json"}, {"Origin", "http://evil.example"}},
         403,
         "Cross-site requests are refused."},
        {"rebound host",
         http::verb::get,
         "/api/v1/status",
         "",
         {{"Host", "evil.example:80"}},
         403,
         ""},
        {"127 lookalike",
         http::verb::get,
         "/api/v1/status",
         "",
         {{"Host", "127.0.0.1.evil.example"}},
         403,
         ""},
        {"body limit", http::verb::put, "/api/v1/link", big, kJson, 413, ""},
        {"header limit",
         http::verb::get,
         "/api/v1/status",
         "",
         {{"X-Pad", std::string(9000, 'p')}},
         431,
         ""},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.name);
        Reply reply;
        try {
            reply = Call(sim.port, c.method, c.target, c.body, c.headers);
        } catch (const std::exception& error) {
            ADD_FAILURE() << error.what();
            continue;
        }
        EXPECT_EQ(reply.status, c.status) << reply.raw.body();
        ASSERT_TRUE(reply.body.is_object() && reply.body.contains("error")) << reply.raw.body();
        if (!c.error.empty()) {
            EXPECT_EQ(reply.body["error"], c.error);
        }
    }
    EXPECT_EQ(
        Call(sim.port, http::verb::delete_, "/api/v1/status", "", kJson).raw[http::field::allow],
        "GET");
    // Nothing of it changed the settings.
    EXPECT_EQ(sim.prefs->Get_comm_prefs().LocalPort, sim.devicePort);
}

TEST(ApiSafety, TokenIsRequiredWhenConfigured) {
    ApiServer::Options options;
    options.policy.token = "s3cret";
    Simulator sim(options);
    EXPECT_EQ(sim.Get("status").status, 401);
    EXPECT_EQ(
        Call(sim.port, http::verb::get, "/api/v1/status", "", {{"Authorization", "Bearer s3cre"}})
            .status,
        401);
    EXPECT_EQ(
        Call(sim.port, http::verb::get, "/api/v1/status", "", {{"Authorization", "Bearer s3cret"}})
            .status,
        200);
}

TEST(ApiSafety, ConnectionLimitAndIdleTimeout) {
    ApiServer::Options options;
    options.idle = 1s;
    Simulator sim(options);
    asio::io_context io;
    std::vector<std::unique_ptr<tcp::socket>> held;
    const tcp::endpoint server(asio::ip::make_address("127.0.0.1"),
                               static_cast<unsigned short>(sim.port));
    for (int i = 0; i < 32; ++i) {
        held.push_back(std::make_unique<tcp::socket>(io));
        held.back()->connect(server);
    }
    ASSERT_TRUE(Eventually([&] {
        return RawExchange(sim.port, "GET /api/v1/status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                   .rfind("HTTP/1.1 503", 0) == 0;
    }));
    // Idle ones are closed after the idle time, and then there is room again.
    char byte = 0;
    timeval timeout{5, 0};
    ::setsockopt(held.front()->native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    EXPECT_EQ(BoundedRead(*held.front(), &byte, 1), 0);  // closed by the server
    EXPECT_TRUE(Eventually([&] { return sim.Get("status").status == 200; }));
}

// Reads an events stream until `count` events have come; returns their ids.
std::vector<std::uint64_t> ReadEvents(tcp::socket& socket, std::size_t count) {
    std::vector<std::uint64_t> ids;
    std::string pending;
    char chunk[65536];
    while (ids.size() < count) {
        const ssize_t n = BoundedRead(socket, chunk, sizeof chunk);
        if (n <= 0) break;
        pending.append(chunk, static_cast<std::size_t>(n));
        if (const auto head = pending.find("\r\n\r\n"); pending.rfind("HTTP/", 0) == 0) {
            if (head == std::string::npos) continue;
            pending.erase(0, head + 4);
        }
        std::size_t end;
        while ((end = pending.find("\n\n")) != std::string::npos) {
            const std::string block = pending.substr(0, end);
            pending.erase(0, end + 2);
            if (block.rfind("id: ", 0) == 0) ids.push_back(std::stoull(block.substr(4)));
        }
    }
    return ids;
}

tcp::socket OpenStream(asio::io_context& io, int port, const std::string& lastId) {
    tcp::socket socket(io);
    socket.connect(
        tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
    std::string request = "GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!lastId.empty()) request += "Last-Event-ID: " + lastId + "\r\n";
    asio::write(socket, asio::buffer(request + "\r\n"));
    timeval timeout{5, 0};
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return socket;
}

TEST(ApiEvents, FloodArrivesWholeAndInOrderAndResumes) {
    Simulator sim;
    asio::io_context io;
    // Once the control thread has reported its link, nothing else is published meanwhile.
    for (int i = 0; i < 500 && sim.Get("status").body["link"]["open"] != true; ++i)
        std::this_thread::sleep_for(10ms);
    const std::uint64_t before = sim.Hub().LastSeq();
    tcp::socket stream = OpenStream(io, sim.port, std::to_string(before));
    constexpr std::size_t kFlood = 5000;
    std::thread flood([&] {
        for (std::size_t i = 0; i < kFlood; ++i) sim.Hub().PublishJson("status", {{"code", 0}});
    });
    const std::vector<std::uint64_t> ids = ReadEvents(stream, kFlood);
    flood.join();
    ASSERT_EQ(ids.size(), kFlood);
    for (std::size_t i = 0; i < ids.size(); ++i) ASSERT_EQ(ids[i], before + 1 + i);

    // A stream that reconnects with the last id it saw gets what came after it.
    tcp::socket again = OpenStream(io, sim.port, std::to_string(before + kFlood - 3));
    EXPECT_EQ(
        ReadEvents(again, 3),
        (std::vector<std::uint64_t>{before + kFlood - 2, before + kFlood - 1, before + kFlood}));
}

}  // namespace
