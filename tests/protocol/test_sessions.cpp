// Sessions: every connection is a peer of its own, with its own frame in progress, answers,
// fault draws, scenario instance and sends; link actions never wait for a peer to come.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/event_manager.h"
#include "drivers/fake_driver.h"
#include "protocol/frame_stream.h"
#include "protocol/vantor_protocol.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string Str(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
std::string Message(char type, const std::string& text) { return Str(frame_stream::Frame(type, 0, text)); }
std::string Ack(char type, const std::string& text) { return Str(frame_stream::Frame(type, 0x06, text)); }

// A TCP-like link of many connections: each block read is of one connection, answers go to
// the connection named, and connections come and go when the test says.
class PeersDriver : public SerialDriver {
public:
    struct Block {
        std::uint64_t origin;
        std::string bytes;
    };
    std::deque<Block> input;
    std::map<std::uint64_t, std::string> written;  // by connection; 0: no one in particular
    std::set<std::uint64_t> open;
    std::vector<std::uint64_t> dropped;
    int dropAll = 0;

    void Poll() override {}
    void Close() override {}
    void Configure(int, int, int, int) override {}
    void Purge() override {}
    void Flush() override {}
    std::int32_t ReadChar(std::int32_t& value) override { return ReadCharFromBlock(value); }
    bool IsOpen() override { return true; }
    std::int32_t Open(const char*) override { return 1; }
    std::int32_t WriteChar(std::uint8_t byte) override {
        written[0] += static_cast<char>(byte);
        return 1;
    }
    void WriteString(const char*, std::int32_t) override {}
    void SetFlowControl(int) override {}
    void SetRts(bool) override {}
    void SetDtr(bool) override {}
    std::size_t ReadBlock(std::uint8_t* buffer, std::size_t capacity) override {
        if (input.empty()) return 0;
        Block& block = input.front();
        const std::size_t n = std::min(capacity, block.bytes.size());
        std::memcpy(buffer, block.bytes.data(), n);
        last_ = block.origin;
        block.bytes.erase(0, n);
        if (block.bytes.empty()) input.pop_front();
        return n;
    }
    bool HasInput() override { return !input.empty(); }
    std::uint64_t LastOrigin() const override { return last_; }
    bool Reaches(std::uint64_t origin) const override { return open.count(origin) != 0; }
    bool TellsPeers() const override { return true; }
    void DropLink() override { ++dropAll; }
    void DropConnection(std::uint64_t origin) override { dropped.push_back(origin); }
    void WriteTo(std::uint64_t origin, const std::uint8_t* data, std::size_t length) override {
        written[origin].append(reinterpret_cast<const char*>(data), length);
    }

private:
    std::uint64_t last_ = 0;
};

struct Rig {
    Rig() : engine(&driver, 1, [] { return 1000; }, [this] { return ms * 1000; }) {
        engine.eventSink = &events;
        ReplyTable table;
        for (const char* type : {"A", "B", "C"}) table.rows.push_back(ReplyPrefs{type, std::string("OK-") + type, 0, 0, {}});
        table.seed = 7;
        engine.SetReplyTable(table);
    }
    void Connect(std::uint64_t origin) {
        driver.open.insert(origin);
        engine.PeerChanged(origin, "10.0.0." + std::to_string(origin) + ":4000", true);
    }
    void Disconnect(std::uint64_t origin) {
        driver.open.erase(origin);
        engine.PeerChanged(origin, "", false);
    }
    void Send(std::uint64_t origin, const std::string& bytes) { driver.input.push_back({origin, bytes}); }
    void Run() {
        for (int i = 0; i < 200; ++i) engine.Poll();
    }
    std::vector<Event> Take() {
        std::vector<Event> out;
        Event e;
        while (events.GetEvent(e)) out.push_back(e);
        return out;
    }
    static std::vector<ReceivedFrame> Frames(const std::vector<Event>& events) {
        std::vector<ReceivedFrame> out;
        for (const Event& e : events)
            if (const auto* f = std::get_if<ReceivedFrame>(&e.payload)) out.push_back(*f);
        return out;
    }
    static std::vector<std::string> Texts(const std::vector<Event>& events, std::int32_t id) {
        std::vector<std::string> out;
        for (const Event& e : events)
            if (e.id == id) out.push_back(e.text);
        return out;
    }
    void Action(std::int32_t code, LinkActionArgs args) {
        Event event{EventId::LinkAction, code, 0, {}};
        event.payload = std::move(args);
        engine.HandleEvent(event);
    }

    std::int64_t ms = 1000000;
    PeersDriver driver;
    EventManager events;
    VantorProtocol engine;
};

TEST(Sessions, InterleavedClientsAreEachAnsweredWithTheirOwnType) {
    Rig rig;
    rig.Connect(11);
    rig.Connect(12);
    const std::string a = Message('A', "FROM-ONE"), b = Message('B', "FROM-TWO");
    // Each client's frame is cut mid-way by the other's bytes, twice over.
    rig.Send(11, a.substr(0, 4));
    rig.Send(12, b.substr(0, 3));
    rig.Send(11, a.substr(4, 5));
    rig.Send(12, b.substr(3));
    rig.Send(11, a.substr(9));
    rig.Run();
    EXPECT_EQ(rig.driver.written[11], Ack('A', "OK-A"));
    EXPECT_EQ(rig.driver.written[12], Ack('B', "OK-B"));
    EXPECT_EQ(rig.driver.written[0], "");
    const std::vector<ReceivedFrame> frames = Rig::Frames(rig.Take());
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].text, "FROM-TWO");
    EXPECT_EQ(frames[0].session, 2u);
    EXPECT_EQ(frames[0].status, StatusOk);
    EXPECT_EQ(frames[1].text, "FROM-ONE");
    EXPECT_EQ(frames[1].session, 1u);
    EXPECT_EQ(frames[1].status, StatusOk);
    EXPECT_EQ(rig.engine.receiver.strayBytes, 0u);
}

TEST(Sessions, WhatAnEndedConnectionLeftUnfinishedIsToldAndNeverStartsTheNextOnesFrame) {
    Rig rig;
    rig.Connect(21);
    rig.Send(21, Message('A', "PARTIAL-FROM-X").substr(0, 10));
    rig.Run();
    rig.Disconnect(21);
    rig.Connect(22);
    rig.Send(22, Message('B', "WHOLE"));
    rig.Run();
    EXPECT_EQ(rig.driver.written[22], Ack('B', "OK-B"));
    EXPECT_EQ(rig.driver.written[21], "");
    const std::vector<Event> events = rig.Take();
    const std::vector<ReceivedFrame> frames = Rig::Frames(events);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].text, "WHOLE");
    EXPECT_EQ(frames[0].session, 2u);
    EXPECT_EQ(Rig::Texts(events, EventId::Error),
              std::vector<std::string>{"Session 1 (10.0.0.21:4000) ended in the middle of a frame of type A: it was "
                                       "not taken as a message"});
    // Each session is told as it begins and ends, with its peer.
    std::vector<std::string> told;
    for (const Event& e : events)
        if (const auto* info = std::get_if<SessionInfo>(&e.payload))
            told.push_back(std::to_string(info->session) + (info->open ? " open " : " ended ") + info->peer);
    EXPECT_EQ(told, (std::vector<std::string>{"1 open 10.0.0.21:4000", "2 open 10.0.0.22:4000",
                                              "1 ended 10.0.0.21:4000"}));
    ASSERT_EQ(rig.engine.Sessions().size(), 1u);
    EXPECT_EQ(rig.engine.Sessions()[0].number, 2u);
}

TEST(Sessions, AnotherLineIsAnotherSessionAndNothingOfTheOldFrameCarriesOver) {
    FakeDriver first, second;
    EventManager events;
    VantorProtocol engine(&first, 1, [] { return 1000; }, [] { return 1000000000; });
    engine.eventSink = &events;
    first.Script(Message('A', "CUT-OFF").substr(0, 6));
    for (int i = 0; i < 5; ++i) engine.Poll();
    engine.SetDriver(&second);  // a reconnect: a new driver on the same port
    second.Script(Message('B', "AFTER"));
    for (int i = 0; i < 5; ++i) engine.Poll();
    std::vector<ReceivedFrame> frames;
    std::vector<std::string> errors;
    Event e;
    while (events.GetEvent(e)) {
        if (const auto* f = std::get_if<ReceivedFrame>(&e.payload)) frames.push_back(*f);
        if (e.id == EventId::Error) errors.push_back(e.text);
    }
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].text, "AFTER");
    EXPECT_EQ(frames[0].status, StatusOk);
    EXPECT_EQ(frames[0].session, 2u);
    EXPECT_EQ(errors, std::vector<std::string>{"Session 1 ended in the middle of a frame of type A: it was not taken "
                                               "as a message"});
    EXPECT_EQ(Str(second.TakeWritten()), Ack('B', ""));
}

// Which of a session's messages a chance fault struck, as 0s and 1s.
std::string Struck(const std::vector<ReceivedFrame>& frames, std::uint32_t session) {
    std::string out;
    for (const ReceivedFrame& f : frames)
        if (f.session == session) out += f.injected != 0 ? '1' : '0';
    return out;
}

TEST(Sessions, FaultDrawsAndCountsAreEachSessionsOwnSoRunsRepeatHoweverPeersInterleave) {
    struct Case {
        const char* name;
        ReplyFaults faults;
    };
    ReplyFaults chance;
    chance.NoAnswer = 1, chance.When = 2, chance.Chance = 50;
    ReplyFaults nth;
    nth.NoAnswer = 1, nth.When = 1, nth.EveryN = 3;
    for (const Case& c : {Case{"chance", chance}, Case{"every 3rd", nth}}) {
        SCOPED_TRACE(c.name);
        const auto run = [&c](bool withSecond) {
            Rig rig;
            ReplyTable table;
            table.rows.push_back(ReplyPrefs{"A", "OK", 0, 0, c.faults});
            table.seed = 99;
            rig.engine.SetReplyTable(table);
            rig.Connect(1);
            rig.Connect(2);
            for (int i = 0; i < 40; ++i) {
                rig.Send(1, Message('A', "one"));
                if (withSecond) rig.Send(2, Message('A', "two"));
                if (withSecond && i % 3 == 0) rig.Send(2, Message('A', "two again"));
            }
            rig.Run();
            return Rig::Frames(rig.Take());
        };
        const std::vector<ReceivedFrame> alone = run(false), together = run(true);
        const std::string first = Struck(alone, 1);
        ASSERT_EQ(first.size(), 40u);
        EXPECT_NE(first.find('1'), std::string::npos);
        EXPECT_NE(first.find('0'), std::string::npos);
        EXPECT_EQ(Struck(together, 1), first);
        // The second session draws from a stream of its own (its count starts at its first).
        const std::string second = Struck(together, 2);
        ASSERT_EQ(second.size(), 54u);
        if (c.faults.When == 1) EXPECT_EQ(second.substr(0, 6), "001001");
        if (c.faults.When == 2) EXPECT_NE(second.substr(0, 40), first);
    }
}

TEST(Sessions, TheDropFaultClosesOnlyTheConnectionItAnswers) {
    Rig rig;
    ReplyTable table;
    ReplyFaults drop;
    drop.Drop = 1;
    table.rows.push_back(ReplyPrefs{"D", "", 0, 0, drop});
    rig.engine.SetReplyTable(table);
    rig.Connect(5);
    rig.Connect(6);
    rig.Send(6, Message('D', "bye"));
    rig.Run();
    EXPECT_EQ(rig.driver.dropped, std::vector<std::uint64_t>{6});
    EXPECT_EQ(rig.driver.dropAll, 0);
}

TEST(Sessions, LinkActionsGoToOneSessionAndNeverWaitForAPeerToCome) {
    Rig rig;
    LinkActionArgs raw;
    raw.bytes = "RAW";
    // Nobody connected: refused, nothing kept for later.
    rig.Action(LinkActionCode::SendRaw, raw);
    LinkActionArgs xoff;
    xoff.ms = 10;
    rig.Action(LinkActionCode::HoldWithXoff, xoff);
    EXPECT_EQ(Rig::Texts(rig.Take(), EventId::Error),
              (std::vector<std::string>{"Nobody is connected: not done.", "Nobody is connected: not done."}));
    rig.Connect(31);
    rig.Connect(32);
    rig.Run();
    EXPECT_TRUE(rig.driver.written.empty() || rig.driver.written[0].empty());
    EXPECT_EQ(rig.driver.written[31], "");
    // Without a session named: the first that began; named: that one; a closed one: refused.
    rig.Action(LinkActionCode::SendRaw, raw);
    raw.session = 2;
    raw.bytes = "TWO";
    rig.Action(LinkActionCode::SendRaw, raw);
    raw.session = 7;
    rig.Action(LinkActionCode::SendRaw, raw);
    EXPECT_EQ(rig.driver.written[31], "RAW");
    EXPECT_EQ(rig.driver.written[32], "TWO");
    EXPECT_EQ(Rig::Texts(rig.Take(), EventId::Error), std::vector<std::string>{"Session 7 is not open: not done."});
    // A drop naming a session closes that connection only.
    LinkActionArgs drop;
    drop.session = 1;
    rig.Action(LinkActionCode::DropConnections, drop);
    EXPECT_EQ(rig.driver.dropped, std::vector<std::uint64_t>{31});
    EXPECT_EQ(rig.driver.dropAll, 0);
}

TEST(Sessions, ASendGoesToItsSessionAndOnlyThatSessionsAnswerEndsIt) {
    Rig rig;
    rig.Connect(41);
    rig.Connect(42);
    Event toTwo{EventId::SendBytes, 'Q', 1000, "QUERY"};
    toTwo.request = 5;
    toTwo.session = 2;
    rig.engine.HandleEvent(toTwo);
    rig.Run();
    const std::string frame = Message('Q', "QUERY");
    EXPECT_EQ(rig.driver.written[42], frame);
    EXPECT_EQ(rig.driver.written[41], "");
    // Meanwhile session 1 may be sent to: one outstanding message per session.
    Event toFirst{EventId::SendBytes, 'R', 1000, "OTHER"};
    toFirst.request = 6;
    rig.engine.HandleEvent(toFirst);
    rig.Run();
    EXPECT_EQ(rig.driver.written[41], Message('R', "OTHER"));
    // An ACK of the same type from the other client answers nothing of session 2's.
    rig.Send(41, Ack('Q', "NOT-YOURS"));
    rig.Run();
    rig.Send(42, Ack('Q', "YES"));
    rig.Run();
    std::vector<std::string> outcomes;
    for (const Event& e : rig.Take())
        if (const auto* outcome = std::get_if<SendOutcome>(&e.payload))
            outcomes.push_back(std::to_string(e.id) + " " + std::to_string(e.request) + " " + e.text + " session " +
                               std::to_string(outcome->session));
    EXPECT_EQ(outcomes, std::vector<std::string>{"10011 5 YES session 2"});
    // A session that is not open: the send ends at once.
    Event toGone{EventId::SendBytes, 'Q', 1000, "LOST"};
    toGone.request = 7;
    toGone.session = 9;
    rig.engine.HandleEvent(toGone);
    rig.Run();
    const std::vector<Event> events = rig.Take();
    const auto failed = std::find_if(events.begin(), events.end(), [](const Event& e) {
        return e.id == EventId::TransactionFailed && e.request == 7;
    });
    ASSERT_NE(failed, events.end());
    EXPECT_EQ(failed->text, "session 9 is not open");
}

// Counts the messages it is given and answers with the count: state of its own per session.
class Counter : public Responder {
public:
    Response OnMessage(const IncomingMessage&, std::int64_t) override {
        Response response;
        response.decided = true;
        response.text = std::to_string(++count_);
        return response;
    }
    std::optional<std::int64_t> NextDueMs() const override { return std::nullopt; }
    std::vector<OwnSend> RunDue(std::int64_t) override { return {}; }
    bool Report(ResponderStatus& out, std::int64_t, std::int64_t) override {
        out.state = std::to_string(count_);
        return true;
    }
    std::shared_ptr<Responder> ForSession(std::int64_t) override { return std::make_shared<Counter>(); }

private:
    int count_ = 0;
};

TEST(Sessions, EachSessionHasItsOwnScenarioInstance) {
    Rig rig;
    rig.Connect(51);
    Event set{EventId::SetResponder, 0, 0, {}};
    set.payload = std::shared_ptr<Responder>(std::make_shared<Counter>());
    rig.engine.HandleEvent(set);
    rig.Connect(52);  // after the scenario: it gets an instance of its own too
    for (int i = 0; i < 3; ++i) rig.Send(51, Message('A', "x"));
    rig.Send(52, Message('A', "y"));
    rig.Run();
    EXPECT_EQ(rig.driver.written[51], Ack('A', "1") + Ack('A', "2") + Ack('A', "3"));
    EXPECT_EQ(rig.driver.written[52], Ack('A', "1"));
    // The views are shown the first session's instance.
    ResponderStatus status;
    ASSERT_TRUE(rig.engine.ReportResponder(status, 0, 0));
    EXPECT_EQ(status.state, "3");
    EXPECT_EQ(status.session, 1u);
}

}  // namespace
