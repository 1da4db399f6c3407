#include "thread/ctrlthrd.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <deque>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>

#include "protocol/frame.h"
#include "protocol/vantor_protocol.h"
#include "base/flow_gate.h"
#include "support/loopback.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;

CommPrefs Server(int port) {
    CommPrefs s;
    s.Type = 2;
    s.LocalPort = port;
    return s;
}

CommPrefs Client(int port) {
    CommPrefs s;
    s.Type = 1;
    s.RemoteIp = "127.0.0.1";
    s.RemotePort = port;
    return s;
}

std::string ReplyTable(const std::string& firstLine) {
    std::string table = firstLine;
    for (int i = 1; i < 10; ++i) table += "\r\n\t\t0";
    return table;
}

// The settings a reopen asks for, as the program posts them.
Event Reopen(const CommPrefs& settings) {
    Event event{EventId::CommSettings, 0, 0};
    event.payload = settings;
    return event;
}

// The text of a received message's frame ("" for other events).
std::string TextOf(const Event& e) {
    const auto* frame = std::get_if<ReceivedFrame>(&e.payload);
    return frame != nullptr ? frame->text : std::string();
}

// The two brokers of the main window and the thread between them.
struct ControlThread : ::testing::Test {
    std::atomic<int> notifications{0};
    EventBroker toThread;
    EventBroker toWindow{[this](std::uint32_t) { notifications.fetch_add(1); }, 2026};
    std::deque<Event> seen;  // every event the windows got, in order (references stay valid)
    std::unique_ptr<TControlThread> thread;
    asio::io_context io;

    void Start(const CommPrefs& settings) {
        thread = std::make_unique<TControlThread>(&toThread, &toWindow, settings, 0);
        thread->Resume();
    }

    void TearDown() override {
        if (thread) {
            thread->Terminate();
            thread->WaitFor();
        }
    }

    // Collects window events until one matches, for at most `limit`.
    const Event* WaitFor(const std::function<bool(const Event&)>& match,
                         std::chrono::milliseconds limit = 5000ms) {
        for (const auto& e : seen) {
            if (match(e)) return &e;
        }
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            Event e;
            while (toWindow.GetEvent(e)) {
                seen.push_back(e);
                if (match(seen.back())) return &seen.back();
            }
            std::this_thread::sleep_for(2ms);
        }
        return nullptr;
    }
    const Event* WaitForId(std::int32_t id, std::chrono::milliseconds limit = 5000ms) {
        return WaitFor([id](const Event& e) { return e.id == id; }, limit);
    }

    std::unique_ptr<tcp::socket> Connect(int port) {
        auto peer = std::make_unique<tcp::socket>(io);
        const auto end = std::chrono::steady_clock::now() + 5s;
        for (;;) {  // the thread may not be listening yet
            boost::system::error_code error;
            peer->connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port), error);
            if (!error) return peer;
            peer->close();
            if (std::chrono::steady_clock::now() > end) return nullptr;
            std::this_thread::sleep_for(10ms);
        }
    }

    // Reads until `expected` bytes have arrived or the time is up.
    static std::string Read(tcp::socket& peer, std::size_t expected, std::chrono::milliseconds limit = 5000ms) {
        std::string data;
        peer.non_blocking(true);
        const auto end = std::chrono::steady_clock::now() + limit;
        char buffer[1024];
        while (data.size() < expected && std::chrono::steady_clock::now() < end) {
            boost::system::error_code error;
            const std::size_t n = peer.read_some(asio::buffer(buffer), error);
            if (!error) data.append(buffer, n);
            else std::this_thread::sleep_for(2ms);
        }
        return data;
    }
};

// Reads from a pty's master side until `expected` bytes arrived or the time is up.
std::string ReadFd(int fd, std::size_t expected, std::chrono::milliseconds limit = 5000ms) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (got.size() < expected && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n < 0 && errno == EIO) {
            // A pty master whose terminal side nobody has open (yet): wait for it.
            std::this_thread::sleep_for(5ms);
            continue;
        }
        if (n <= 0) break;
        // The terminal's own flow control bytes are not part of any answer.
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != 0x11 && buffer[i] != 0x13) got.push_back(buffer[i]);
        }
    }
    return got;
}

void WriteFd(int fd, const std::string& bytes) {
    std::size_t done = 0;
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (done < bytes.size() && std::chrono::steady_clock::now() < end) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
            return;
        } else {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    }
}

// A pseudo-terminal whose terminal side the thread opens by its path.
struct PtyPair {
    PtyPair() {
        char name[256] = {};
        int slave = -1;
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            ::close(slave);
            path = name;
        }
    }
    ~PtyPair() {
        if (master >= 0) ::close(master);
    }
    int master = -1;
    std::string path;
};

CommPrefs Serial(const std::string& port) {
    CommPrefs s;
    s.Type = 0;
    s.Port = port;
    s.Baud = 0;
    return s;
}

// Messages A to Z round and round, and the answers they get with an empty table.
std::pair<std::string, std::string> Flood(int count) {
    std::string messages, answers;
    for (int i = 0; i < count; ++i) {
        const char type = static_cast<char>('A' + i % 26);
        messages += WireFrame(type, 0, "flood " + std::to_string(i));
        answers += WireFrame(type, ctrl::ACK, "");
    }
    return {messages, answers};
}

TEST_F(ControlThread, ServerAnswersMessagesAndRunsTransactions) {
    const int port = FreeTcpPort();
    Start(Server(port));
    toThread.PostEvent(Event{EventId::ReplyActions, 10, 0, ReplyTable("A\tOK\t0")});
    auto peer = Connect(port);
    ASSERT_TRUE(peer);

    asio::write(*peer, asio::buffer(WireFrame('A', 0, "HI")));
    EXPECT_EQ(Read(*peer, 11), WireFrame('A', ctrl::ACK, "OK"));
    const Event* received = WaitForId(EventId::MessageReceived);
    ASSERT_NE(received, nullptr);
    const auto& frame = std::get<ReceivedFrame>(received->payload);
    EXPECT_EQ(frame.status, StatusOk);
    EXPECT_EQ(frame.text, "HI");
    EXPECT_EQ(frame.rxBcc, "210");
    EXPECT_EQ(frame.calcBcc, "210");
    EXPECT_EQ(frame.answer, WireFrame('A', ctrl::ACK, "OK"));
    EXPECT_EQ(received->value, 'A');
    EXPECT_EQ(received->source, 1);

    // A send request: the frame reaches the peer, whose answer ends the transaction.
    toThread.PostEvent(Event{EventId::SendBytes, 'Q', 3, std::string("da\0ta", 5)});
    const std::string message = WireFrame('Q', 0, std::string("da\0ta", 5));
    ASSERT_EQ(Read(*peer, message.size()), message);
    asio::write(*peer, asio::buffer(WireFrame('Q', ctrl::ACK, "fine")));
    const Event* accepted = WaitForId(EventId::ResponseAccepted);
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(accepted->value, 'Q');
    EXPECT_EQ(accepted->source, 3);
    EXPECT_EQ(accepted->text, "fine");
    const Event* status = WaitFor([](const Event& e) { return e.id == EventId::Status && e.value == 0; });
    ASSERT_NE(status, nullptr);
    const auto position = [&](const Event* e) {
        return std::find_if(seen.begin(), seen.end(), [e](const Event& x) { return &x == e; }) - seen.begin();
    };
    EXPECT_GT(position(status), position(accepted));  // 10011 first, then 10017

    // The request itself reached the windows too, after the engine took it; 10008 never does.
    EXPECT_NE(WaitForId(EventId::SendBytes, 100ms), nullptr);
    EXPECT_EQ(WaitForId(EventId::Error, 100ms), nullptr);
    EXPECT_EQ(notifications.load(), static_cast<int>(seen.size()));
}

// Two clients: each one's answer goes back to it, a delayed and a split answer too; what the
// simulator sends on its own goes to the one that connected first; an answer whose client has
// gone is dropped and reported, never given to the other.
TEST_F(ControlThread, AnswersGoToTheClientThatAsked) {
    const int port = FreeTcpPort();
    Start(Server(port));
    ::ReplyTable table;
    table.rows.resize(10);
    table.rows[0].Type = "A";
    table.rows[0].Msg = "now";
    table.rows[1].Type = "B";
    table.rows[1].Msg = "late";
    table.rows[1].Faults.DelayMin = 150;
    table.rows[2].Type = "C";
    table.rows[2].Msg = "in two";
    table.rows[2].Faults.SplitAt = 3;
    table.rows[2].Faults.SplitGap = 60;
    Event load{EventId::ReplyActions, 10, 0};
    load.payload = table;
    toThread.PostEvent(std::move(load));
    auto first = Connect(port);
    ASSERT_TRUE(first);
    ASSERT_NE(WaitFor([](const Event& e) { return e.id == EventId::LinkState && std::get<LinkState>(e.payload).peers.size() == 1; }), nullptr);
    auto second = Connect(port);
    ASSERT_TRUE(second);
    ASSERT_NE(WaitFor([](const Event& e) { return e.id == EventId::LinkState && std::get<LinkState>(e.payload).peers.size() == 2; }), nullptr);

    const std::string now = WireFrame('A', ctrl::ACK, "now"), late = WireFrame('B', ctrl::ACK, "late"),
                      split = WireFrame('C', ctrl::ACK, "in two");
    asio::write(*second, asio::buffer(WireFrame('A', 0, "2")));
    EXPECT_EQ(Read(*second, now.size()), now);
    asio::write(*first, asio::buffer(WireFrame('A', 0, "1")));
    EXPECT_EQ(Read(*first, now.size()), now);
    asio::write(*second, asio::buffer(WireFrame('B', 0, "2") + WireFrame('C', 0, "2")));
    EXPECT_EQ(Read(*second, split.size() + late.size(), 3000ms), split + late);
    EXPECT_EQ(Read(*first, 1, 300ms), "") << "nothing of the second client's answers";

    toThread.PostEvent(Event{EventId::SendBytes, 'Q', 7, "mine"});
    const std::string mine = WireFrame('Q', 0, "mine");
    EXPECT_EQ(Read(*first, mine.size()), mine);
    EXPECT_EQ(Read(*second, 1, 200ms), "");

    // The second client asks and goes before its late answer is due.
    asio::write(*second, asio::buffer(WireFrame('B', 0, "gone")));
    ASSERT_NE(WaitFor([](const Event& e) { return e.id == EventId::MessageReceived && TextOf(e) == "gone"; }), nullptr);
    second->close();
    const Event* dropped = WaitForId(EventId::AnswerDropped);
    ASSERT_NE(dropped, nullptr);
    EXPECT_EQ(dropped->value, static_cast<std::int32_t>(late.size()));
    EXPECT_EQ(Read(*first, 1, 300ms), "");
}

// Link > Reconnect opens the link anew; with automatic reconnection a client that lost its
// connection tries again by itself, and says when.
TEST_F(ControlThread, AClientReconnectsOnRequestAndByItself) {
    tcp::acceptor listener(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    listener.non_blocking(true);
    // The next connection within five seconds (a client that never comes fails the test).
    const auto accept = [&listener](tcp::socket& socket) {
        const auto end = std::chrono::steady_clock::now() + 5s;
        boost::system::error_code error;
        do {
            listener.accept(socket, error);
            if (!error) return true;
            std::this_thread::sleep_for(5ms);
        } while (std::chrono::steady_clock::now() < end);
        return false;
    };
    CommPrefs settings = Client(listener.local_endpoint().port());
    settings.AutoReconnect = 1;
    Start(settings);
    tcp::socket accepted(io);
    ASSERT_TRUE(accept(accepted));
    accepted.close();  // the other side ends the connection
    const Event* waiting = WaitFor([](const Event& e) {
        return e.id == EventId::LinkState && std::get<LinkState>(e.payload).retryIn > 0;
    });
    ASSERT_NE(waiting, nullptr);
    EXPECT_EQ(std::get<LinkState>(waiting->payload).Summary(),
              "Not connected to " + settings.RemoteIp + ":" + std::to_string(settings.RemotePort) + ", retry in 1 s");
    tcp::socket again(io);
    ASSERT_TRUE(accept(again));  // a second later
    asio::write(again, asio::buffer(WireFrame('C', 0, "x")));
    EXPECT_EQ(Read(again, 9), WireFrame('C', ctrl::ACK, ""));

    toThread.PostEvent(Event{EventId::LinkAction, LinkActionCode::Reconnect, 0});
    tcp::socket third(io);
    ASSERT_TRUE(accept(third));
    asio::write(third, asio::buffer(WireFrame('D', 0, "")));
    EXPECT_EQ(Read(third, 9), WireFrame('D', ctrl::ACK, ""));
}

TEST_F(ControlThread, ClientConnectsAndARefusalIsReportedWithoutStoppingTheThread) {
    tcp::acceptor listener(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    Start(Client(listener.local_endpoint().port()));
    tcp::socket accepted(io);
    listener.accept(accepted);
    asio::write(accepted, asio::buffer(WireFrame('C', 0, "x")));
    EXPECT_EQ(Read(accepted, 9), WireFrame('C', ctrl::ACK, ""));

    // Reopen towards a port where nobody listens.
    toThread.PostEvent(Reopen(Client(FreeTcpPort())));
    const Event* error = WaitForId(EventId::Error);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->text, "Socket error: Connection refused (111), on API 'connect'");
    EXPECT_EQ(error->source, 0);
    // Still alive: a reopen as a server works.
    const int port = FreeTcpPort();
    toThread.PostEvent(Reopen(Server(port)));
    auto peer = Connect(port);
    ASSERT_TRUE(peer);
    asio::write(*peer, asio::buffer(WireFrame('D', 0, "")));
    EXPECT_EQ(Read(*peer, 9), WireFrame('D', ctrl::ACK, ""));
}

// Each client's frame in progress is its own: two clients whose frames interleave are each
// answered with their own type, and a client that leaves mid-frame leaves nothing for the next.
TEST_F(ControlThread, EachClientsFrameInProgressIsItsOwn) {
    const int port = FreeTcpPort();
    Start(Server(port));
    auto x = Connect(port);
    auto y = Connect(port);
    ASSERT_TRUE(x && y);
    const std::string fx = WireFrame('X', 0, "FROM-X-0123456789"), fy = WireFrame('Y', 0, "FROM-Y-abcdefghij");
    // Apart in time, so that each piece is a read of its own.
    const auto piece = [](tcp::socket& peer, const std::string& bytes) {
        asio::write(peer, asio::buffer(bytes));
        std::this_thread::sleep_for(30ms);
    };
    piece(*x, fx.substr(0, 10));
    piece(*y, fy.substr(0, 12));
    piece(*x, fx.substr(10));
    piece(*y, fy.substr(12));
    EXPECT_EQ(Read(*x, 9), WireFrame('X', ctrl::ACK, ""));
    EXPECT_EQ(Read(*y, 9), WireFrame('Y', ctrl::ACK, ""));
    EXPECT_EQ(Read(*x, 1, 100ms), "") << "X got more than its answer";
    auto z = Connect(port);
    ASSERT_TRUE(z);
    piece(*z, std::string("\x01" "A\x02PARTIAL-FROM-Z"));
    z->close();
    // The half frame is told as cut off, not kept.
    const Event* cut = WaitFor([](const Event& e) {
        return e.id == EventId::Error && e.text.find("ended in the middle of a frame of type A") != std::string::npos;
    });
    EXPECT_NE(cut, nullptr);
    auto w = Connect(port);
    ASSERT_TRUE(w);
    asio::write(*w, asio::buffer(WireFrame('B', 0, "whole")));
    EXPECT_EQ(Read(*w, 9), WireFrame('B', ctrl::ACK, "")) << "the next client's message was glued to the last one's";
}

TEST_F(ControlThread, APortInUseAtStartIsReportedAndTheEngineStillRuns) {
    tcp::acceptor taken(io, tcp::endpoint(tcp::v4(), 0));
    Start(Server(taken.local_endpoint().port()));
    const Event* error = WaitForId(EventId::OpenFailed);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->text, "Error opening the comm port: Socket error: Address already in use (98), on API 'bind'");
    // After the user picks another port, messages are answered.
    const int port = FreeTcpPort();
    toThread.PostEvent(Reopen(Server(port)));
    auto peer = Connect(port);
    ASSERT_TRUE(peer);
    asio::write(*peer, asio::buffer(WireFrame('E', 0, "")));
    EXPECT_EQ(Read(*peer, 9), WireFrame('E', ctrl::ACK, ""));
}

TEST_F(ControlThread, ReopensBetweenTcpAndASerialPort) {
    int master = -1, slave = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    close(slave);  // the thread opens the device by its path

    const int port = FreeTcpPort();
    Start(Server(port));
    ASSERT_TRUE(Connect(port));

    CommPrefs serial;
    serial.Type = 0;
    serial.Port = name;
    toThread.PostEvent(Reopen(serial));
    std::this_thread::sleep_for(100ms);
    const std::string message = WireFrame('S', 0, "over the line");
    ASSERT_EQ(write(master, message.data(), message.size()), static_cast<ssize_t>(message.size()));
    const std::string expected = WireFrame('S', ctrl::ACK, "");
    std::string got;
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (got.size() < expected.size() && std::chrono::steady_clock::now() < end) {
        char buffer[64];
        fd_set set;
        FD_ZERO(&set);
        FD_SET(master, &set);
        timeval tv{0, 20000};
        if (select(master + 1, &set, nullptr, nullptr, &tv) > 0) {
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
        }
    }
    EXPECT_EQ(got, expected);
    ASSERT_NE(WaitFor([](const Event& e) { return e.id == EventId::MessageReceived && e.value == 'S'; }), nullptr);

    // And back to TCP.
    const int again = FreeTcpPort();
    toThread.PostEvent(Reopen(Server(again)));
    auto peer = Connect(again);
    ASSERT_TRUE(peer);
    asio::write(*peer, asio::buffer(WireFrame('T', 0, "")));
    EXPECT_EQ(Read(*peer, 9), WireFrame('T', ctrl::ACK, ""));
    close(master);
}

TEST_F(ControlThread, AMissingSerialPortGivesTheOpenFailedText) {
    CommPrefs serial;
    serial.Type = 0;
    serial.Port = "/dev/vantor-no-such-port";
    Start(serial);
    const Event* failed = WaitForId(EventId::OpenFailed);
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(failed->text, "Error opening the comm port: Error opening COM port: /dev/vantor-no-such-port");
    EXPECT_EQ(WaitForId(EventId::Error, 100ms), nullptr);
}

TEST_F(ControlThread, TerminationEndsWithinAPassAndLosesNoEventTaken) {
    const int port = FreeTcpPort();
    Start(Server(port));
    constexpr int kCount = 300;
    for (int i = 0; i < kCount; ++i) toThread.PostEvent(Event{10099, i, 0, ""});
    std::this_thread::sleep_for(200ms);
    const auto before = std::chrono::steady_clock::now();
    thread->Terminate();
    thread->WaitFor();
    const auto took = std::chrono::steady_clock::now() - before;
    int passed = 0, left = 0;
    Event e;
    while (toWindow.GetEvent(e)) {
        if (e.id == 10099) {
            EXPECT_EQ(e.value, passed++);
        }
    }
    while (toThread.GetEvent(e)) {
        EXPECT_EQ(e.value, passed + left);
        ++left;
    }
    EXPECT_EQ(passed + left, kCount);
    EXPECT_GT(passed, 0);
    EXPECT_LT(took, 2s) << "the thread did not stop";
}

// A flood in big writes: every message answered, in order, and every one reported.
TEST_F(ControlThread, AFloodOverTcpIsAnsweredInOrderWithNothingLost) {
    const int port = FreeTcpPort();
    Start(Server(port));
    auto peer = Connect(port);
    ASSERT_TRUE(peer);
    constexpr int kCount = 10000;
    const auto [messages, answers] = Flood(kCount);
    // The writer works on the descriptor alone: the reads below change the socket object.
    peer->non_blocking(true);
    std::thread writer([&, fd = peer->native_handle()] { WriteFd(fd, messages); });
    const std::string got = Read(*peer, answers.size(), 60000ms);
    writer.join();
    EXPECT_EQ(got, answers);
    int received = 0;
    WaitFor([&](const Event& e) { return e.id == EventId::MessageReceived && ++received == kCount; }, 20000ms);
    EXPECT_EQ(received, kCount);
}

TEST_F(ControlThread, AFloodOverASerialPortIsAnsweredInOrderWithNothingLost) {
    PtyPair pty;
    ASSERT_FALSE(pty.path.empty());
    ::fcntl(pty.master, F_SETFL, ::fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    Start(Serial(pty.path));
    // Until the thread has the terminal side open, the master side reads as hung up.
    ASSERT_NE(WaitFor([](const Event& e) {
                  const auto* state = std::get_if<LinkState>(&e.payload);
                  return state != nullptr && state->phase == LinkState::Up;
              }),
              nullptr);
    constexpr int kCount = 10000;
    const auto [messages, answers] = Flood(kCount);
    std::thread writer([&] { WriteFd(pty.master, messages); });
    const std::string got = ReadFd(pty.master, answers.size(), 60000ms);
    writer.join();
    EXPECT_EQ(got, answers);
    int received = 0;
    WaitFor([&](const Event& e) { return e.id == EventId::MessageReceived && ++received == kCount; }, 20000ms);
    EXPECT_EQ(received, kCount);
}

// While a consumer's queue is past its mark the link is not read: the peer's messages wait in
// the socket, unanswered, and the windows hear why; once the queue has drained they are all
// answered, in order.
TEST_F(ControlThread, AQueuePastItsMarkHoldsTheLinkBackUntilItDrains) {
    FlowGate gate;
    FlowGate::Gauge& log = gate.AddGauge("the log is behind", 100);
    log.Set(100);
    const int port = FreeTcpPort();
    thread = std::make_unique<TControlThread>(&toThread, &toWindow, Server(port), 0);
    thread->gate = &gate;
    thread->Resume();
    auto peer = Connect(port);
    ASSERT_TRUE(peer);
    const auto [messages, answers] = Flood(50);
    asio::write(*peer, asio::buffer(messages));
    EXPECT_EQ(Read(*peer, 1, 300ms), "") << "nothing is answered while held";
    const Event* held = WaitForId(EventId::HeldBack);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held->text, "the log is behind");
    EXPECT_EQ(gate.HeldBy(), "the log is behind");
    EXPECT_EQ(WaitForId(EventId::MessageReceived, 100ms), nullptr);

    log.Set(60);  // not yet below half its mark: still held
    EXPECT_EQ(Read(*peer, 1, 200ms), "");
    log.Set(10);
    EXPECT_EQ(Read(*peer, answers.size()), answers);
    EXPECT_NE(WaitFor([](const Event& e) { return e.id == EventId::HeldBack && e.text.empty(); }), nullptr);
    int received = 0;
    WaitFor([&](const Event& e) { return e.id == EventId::MessageReceived && ++received == 50; });
    EXPECT_EQ(received, 50);
    EXPECT_EQ(gate.HoldCount(), 1u);
    thread->Terminate();  // before the gate it reads goes
    thread->WaitFor();
}

// The last request of a run: everything read before it reaches the windows first, and nothing
// is read after it.
TEST_F(ControlThread, QuiesceStopsReadingAfterWhatCameBefore) {
    const int port = FreeTcpPort();
    Start(Server(port));
    auto peer = Connect(port);
    ASSERT_TRUE(peer);
    asio::write(*peer, asio::buffer(WireFrame('A', 0, "before")));
    ASSERT_EQ(Read(*peer, 9), WireFrame('A', ctrl::ACK, ""));
    toThread.PostEvent(Event{EventId::Quiesce, 0, 0});
    const Event* quiesced = WaitForId(EventId::Quiesce);
    ASSERT_NE(quiesced, nullptr);
    const auto before = std::find_if(seen.begin(), seen.end(), [](const Event& e) {
        return e.id == EventId::MessageReceived;
    });
    ASSERT_NE(before, seen.end());
    EXPECT_EQ(TextOf(*before), "before");
    asio::write(*peer, asio::buffer(WireFrame('B', 0, "after")));
    EXPECT_EQ(Read(*peer, 1, 300ms), "") << "not read, so not answered";
    EXPECT_EQ(WaitFor([](const Event& e) { return e.id == EventId::MessageReceived && TextOf(e) == "after"; }, 100ms),
              nullptr);
}

// An idle link arms no timer, so only the request's own wake-up can get it handled.
TEST_F(ControlThread, ARequestWakesAnIdleThread) {
    Start(Server(FreeTcpPort()));
    std::this_thread::sleep_for(100ms);  // idle: nothing time-based to do
    toThread.PostEvent(Event{10099, 7, 0, "wake"});
    const Event* passed = WaitForId(10099);
    ASSERT_NE(passed, nullptr);
    EXPECT_EQ(passed->text, "wake");
    // And a stop request ends the wait (otherwise WaitFor below never returns).
    thread->Terminate();
    thread->WaitFor();
}

// A port path with a comma reaches the reopen whole: the settings travel as a record.
TEST_F(ControlThread, APortPathWithACommaIsReopenedWhole) {
    PtyPair pty;
    ASSERT_FALSE(pty.path.empty());
    char dir[] = "/tmp/vantor,ports-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/line,1";
    ASSERT_EQ(::symlink(pty.path.c_str(), link.c_str()), 0);

    Start(Server(FreeTcpPort()));
    toThread.PostEvent(Reopen(Serial(link)));
    const std::string message = WireFrame('S', 0, "comma");
    std::this_thread::sleep_for(100ms);
    WriteFd(pty.master, message);
    EXPECT_EQ(ReadFd(pty.master, 9), WireFrame('S', ctrl::ACK, ""));
    EXPECT_EQ(WaitForId(EventId::OpenFailed, 100ms), nullptr);
    ::unlink(link.c_str());
    ::rmdir(dir);
}

// A reopen whose new driver cannot be made leaves the engine without a link (nothing uses the
// deleted driver; AddressSanitizer would see it) and the next good reopen works.
TEST_F(ControlThread, AFailedReopenIsReportedAndTheNextReopenAnswersAgain) {
    const int port = FreeTcpPort();
    Start(Server(port));
    auto peer = Connect(port);
    ASSERT_TRUE(peer);
    asio::write(*peer, asio::buffer(WireFrame('A', 0, "")));
    ASSERT_EQ(Read(*peer, 9), WireFrame('A', ctrl::ACK, ""));

    tcp::acceptor taken(io, tcp::endpoint(tcp::v4(), 0));
    toThread.PostEvent(Reopen(Server(taken.local_endpoint().port())));
    const Event* error = WaitForId(EventId::OpenFailed);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->text, "Error opening the comm port: Socket error: Address already in use (98), on API 'bind'");
    // The old connection went with its driver.
    boost::system::error_code ignored;
    asio::write(*peer, asio::buffer(WireFrame('B', 0, "")), ignored);
    EXPECT_EQ(Read(*peer, 1, 200ms), "");

    const int again = FreeTcpPort();
    toThread.PostEvent(Reopen(Server(again)));
    auto second = Connect(again);
    ASSERT_TRUE(second);
    asio::write(*second, asio::buffer(WireFrame('C', 0, "")));
    EXPECT_EQ(Read(*second, 9), WireFrame('C', ctrl::ACK, ""));
}

// Reply faults end to end, over TCP and over a serial port: the exact bytes at the peer and
// when they came. Times have a floor that must hold (nothing early) and a loose ceiling.
class FaultsOverTheLink : public ControlThread, public ::testing::WithParamInterface<bool> {
protected:
    using Clock = std::chrono::steady_clock;
    struct Read {
        std::string bytes;
        Clock::time_point at;
    };

    void SetUp() override {
        if (GetParam()) {
            ASSERT_FALSE(pty_.path.empty());
            ::fcntl(pty_.master, F_SETFL, ::fcntl(pty_.master, F_GETFL) | O_NONBLOCK);
            Start(Serial(pty_.path));
        } else {
            const int port = FreeTcpPort();
            Start(Server(port));
            peer_ = Connect(port);
            ASSERT_TRUE(peer_);
            peer_->non_blocking(true);
        }
    }

    void Table(const ReplyFaults& faults) {
        ::ReplyTable table;
        table.rows.resize(10);
        table.rows[0].Type = "A";
        table.rows[0].Msg = "OK";
        table.rows[0].Faults = faults;
        table.seed = 5;
        Event event{EventId::ReplyActions, 10, 0};
        event.payload = table;
        toThread.PostEvent(std::move(event));
        std::this_thread::sleep_for(50ms);
    }
    // The faults the engine reports for the next message it lists.
    std::string Faults() {
        const Event* received = WaitForId(EventId::MessageReceived);
        return received != nullptr ? std::get<ReceivedFrame>(received->payload).faults : "(none)";
    }

    void Send(const std::string& bytes) {
        if (GetParam()) {
            WriteFd(pty_.master, bytes);
        } else {
            asio::write(*peer_, asio::buffer(bytes));
        }
    }

    // Every read until `total` bytes came, the link closed, or the time is up.
    std::vector<Read> Reads(std::size_t total, std::chrono::milliseconds limit = 3000ms) {
        std::vector<Read> reads;
        std::size_t got = 0;
        const auto end = Clock::now() + limit;
        const int fd = GetParam() ? pty_.master : peer_->native_handle();
        while (got < total && Clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n == 0) break;
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) continue;
                break;
            }
            std::string bytes;
            for (ssize_t i = 0; i < n; ++i) {
                if (!GetParam() || (buffer[i] != 0x11 && buffer[i] != 0x13)) bytes.push_back(buffer[i]);
            }
            reads.push_back(Read{bytes, Clock::now()});
            got += bytes.size();
        }
        return reads;
    }

    // Reads that follow each other within 50 ms make one burst (a serial line delivers a
    // write's bytes in several reads); a burst's time is that of its first read.
    static std::vector<Read> Bursts(const std::vector<Read>& reads) {
        std::vector<Read> bursts;
        Clock::time_point last{};
        for (const Read& r : reads) {
            const bool same = !bursts.empty() && r.at - last < 50ms;
            last = r.at;
            if (same) {
                bursts.back().bytes += r.bytes;
            } else {
                bursts.push_back(r);
            }
        }
        return bursts;
    }

    static std::string All(const std::vector<Read>& reads) {
        std::string all;
        for (const Read& r : reads) all += r.bytes;
        return all;
    }

    PtyPair pty_;
    std::unique_ptr<tcp::socket> peer_;
};

TEST_P(FaultsOverTheLink, ADelayedAnswerComesLate) {
    ReplyFaults faults;
    faults.DelayMin = 200;
    Table(faults);
    const auto sent = Clock::now();
    Send(WireFrame('A', 0, "x"));
    const auto reads = Reads(11);
    ASSERT_FALSE(reads.empty());
    EXPECT_EQ(All(reads), WireFrame('A', ctrl::ACK, "OK"));
    const auto late = std::chrono::duration_cast<std::chrono::milliseconds>(reads.front().at - sent);
    EXPECT_GE(late, 200ms);
    EXPECT_LT(late, 700ms);
    EXPECT_EQ(Faults(), "delay 200 ms");
}

TEST_P(FaultsOverTheLink, ASplitAnswerComesInTwoReadsWithTheGapBetween) {
    ReplyFaults faults;
    faults.SplitAt = 4;
    faults.SplitGap = 150;
    Table(faults);
    Send(WireFrame('A', 0, "x"));
    const auto reads = Reads(11);
    const std::string answer = WireFrame('A', ctrl::ACK, "OK");
    if (!GetParam()) {
        // Over TCP each part leaves in one write and arrives in one read.
        ASSERT_EQ(reads.size(), 2u);
    }
    const auto bursts = Bursts(reads);
    ASSERT_EQ(bursts.size(), 2u);
    EXPECT_EQ(bursts[0].bytes, answer.substr(0, 4));
    EXPECT_EQ(bursts[1].bytes, answer.substr(4));
    // The gap as the peer sees it; its own reads may come a little late, so a few ms are
    // allowed for that side.
    EXPECT_GE(bursts[1].at - bursts[0].at, 145ms);
}

TEST_P(FaultsOverTheLink, TwiceNoiseAndSilence) {
    ReplyFaults faults;
    faults.Twice = 1;
    faults.Noise = 5;
    Table(faults);
    Send(WireFrame('A', 0, "x"));
    const std::string answer = WireFrame('A', ctrl::ACK, "OK");
    const std::string got = All(Reads(5 + 2 * answer.size()));
    ASSERT_EQ(got.size(), 5 + 2 * answer.size());
    EXPECT_EQ(got.substr(5), answer + answer);
    EXPECT_EQ(got.substr(0, 5).find('\x01'), std::string::npos);

    ReplyFaults silent;
    silent.NoAnswer = 1;
    Table(silent);
    Send(WireFrame('A', 0, "y"));
    EXPECT_EQ(All(Reads(1, 300ms)), "");
    EXPECT_NE(WaitFor([](const Event& e) { return e.id == EventId::MessageReceived && TextOf(e) == "y"; }),
              nullptr) << "the message is listed all the same";
}

TEST_P(FaultsOverTheLink, ADroppedLinkEndsTheConnectionInsteadOfAnAnswer) {
    ReplyFaults faults;
    faults.Drop = 1;
    faults.DropMs = 100;
    Table(faults);
    // A second client: the drop is of the connection whose message it answers, not of this one.
    std::unique_ptr<tcp::socket> other = GetParam() ? nullptr : Connect(peer_->remote_endpoint().port());
    if (!GetParam()) ASSERT_TRUE(other);
    Send(WireFrame('A', 0, "x"));
    const auto reads = Reads(1, 500ms);
    EXPECT_EQ(All(reads), "") << "no answer";
    if (!GetParam()) {
        // The server closed the connection: the peer reads the end of the stream.
        char byte = 0;
        boost::system::error_code error;
        const auto end = Clock::now() + 2s;
        while (Clock::now() < end) {
            peer_->read_some(asio::buffer(&byte, 1), error);
            if (error != asio::error::would_block) break;
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_EQ(error, asio::error::eof);
        // Said as what it was: the simulator's doing, not the other side's.
        const Event* said = WaitForId(EventId::Error);
        ASSERT_NE(said, nullptr);
        EXPECT_NE(said->text.find("dropped by the simulator"), std::string::npos) << said->text;
        asio::write(*other, asio::buffer(WireFrame('B', 0, "")));
        EXPECT_EQ(ControlThread::Read(*other, 9), WireFrame('B', ctrl::ACK, "")) << "the other client was dropped too";
    }
    EXPECT_EQ(Faults(), "link dropped");
}

INSTANTIATE_TEST_SUITE_P(TcpAndSerial, FaultsOverTheLink, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Serial" : "Tcp"; });

// A 10008 posted as text (the form the settings once travelled in) still reopens as it says.
TEST(CommSettingsText, FieldsAndDefaults) {
    CommPrefs back = TControlThread::ParseCommSettings("1,ttyUSB0,0,0,1,1,host.example,7000,7001");
    EXPECT_EQ(back.Type, 1);
    EXPECT_EQ(back.Port, "ttyUSB0");
    EXPECT_EQ(back.Bits, 0);
    EXPECT_EQ(back.Stop, 1);
    EXPECT_EQ(back.Parity, 1);
    EXPECT_EQ(back.RemoteIp, "host.example");
    EXPECT_EQ(back.RemotePort, 7000);
    EXPECT_EQ(back.LocalPort, 7001);

    // Missing, empty and non-decimal fields take the defaults; text after the ninth is ignored.
    const CommPrefs d = TControlThread::ParseCommSettings("x,COM2,,0x3,2.0");
    EXPECT_EQ(d.Type, 0);
    EXPECT_EQ(d.Port, "COM2");
    EXPECT_EQ(d.Baud, 4);
    EXPECT_EQ(d.Bits, 1);
    EXPECT_EQ(d.Stop, 0);
    EXPECT_EQ(d.Parity, 2);
    EXPECT_EQ(d.RemoteIp, "");
    EXPECT_EQ(d.RemotePort, 5000);
    EXPECT_EQ(d.LocalPort, 5001);
    const CommPrefs e = TControlThread::ParseCommSettings("2,,1,1,1,1,ip,1,2,99,junk");
    EXPECT_EQ(e.LocalPort, 2);
    EXPECT_EQ(e.RemoteIp, "ip");
    // A field in double quotes keeps its commas.
    EXPECT_EQ(TControlThread::ParseCommSettings("0,\"/dev/a,b\",0").Port, "/dev/a,b");
}

}  // namespace
