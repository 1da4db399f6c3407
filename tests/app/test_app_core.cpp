#include "app/app_core.h"
#include "thread/ctrlthrd.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/event_hub.h"
#include "text/json_text.h"
#include "app/scheduler.h"
#include "protocol/frame.h"
#include "settings/preferences.h"
#include "support/loopback.h"
#include "thread/event_broker.h"

// The core driven the way the control thread drives it: requests taken from its broker,
// events (echoes of requests, outcomes, statuses) put into the windows' broker.

namespace {

// Runs posted work when the test says so.
struct ManualScheduler : Scheduler {
    struct Job {
        std::function<void()> work;
        int delayMs;
    };
    std::vector<Job> jobs;
    void Post(std::function<void()> work, int delayMs) override {
        jobs.push_back({std::move(work), delayMs});
    }
    bool RunsHere() const override { return true; }
    void RunAll() {
        std::vector<Job> now;
        now.swap(jobs);
        for (Job& job : now) job.work();
    }
};

struct Core : ::testing::Test {
    Preferences prefs{(std::filesystem::temp_directory_path() / "vantor-core-absent.ini").string()};
    EventBroker toThread;
    EventBroker toWindow;
    ManualScheduler scheduler;
    EventHub hub;
    std::int64_t now = 1000;
    AppCore core{prefs, toThread, toWindow, scheduler, hub, [this] { return now; }};

    // What the control thread would pass on: every request taken, echoed to the windows.
    std::vector<Event> TakeRequests() {
        std::vector<Event> taken;
        Event event;
        while (toThread.GetEvent(event)) taken.push_back(event);
        return taken;
    }
    void Deliver(const Event& event) {
        toWindow.PostEvent(event);
        core.OnBrokerEvent();
    }
    // The engine took the requests: their echoes reach the core.
    std::vector<Event> EngineTakes() {
        std::vector<Event> taken = TakeRequests();
        for (const Event& event : taken) Deliver(event);
        return taken;
    }
    void Status(int code) { Deliver(Event{EventId::Status, code, 1, ""}); }
    void Accept(std::int32_t source, const std::string& text) {
        Deliver(Event{EventId::ResponseAccepted, 'A', source, text});
        Status(StatusOk);
    }
    const SendRun& Run(std::uint64_t id) { return *core.Sends().Find(id); }
};

TEST_F(Core, EachOutcomeIsPairedWithItsSend) {
    const std::uint64_t a = core.Sends().Start({"A", "one", true, 1, 0});
    const std::uint64_t b = core.Sends().Start({"B", "two", true, 1, 0});
    const std::uint64_t c = core.Sends().Start({"C", "three", true, 1, 0});
    EXPECT_EQ(Run(a).state, SendState::Queued);
    const std::vector<Event> requests = EngineTakes();
    ASSERT_EQ(requests.size(), 3u);
    // The first is on the wire, the others wait behind it.
    EXPECT_EQ(Run(a).state, SendState::Waiting);
    EXPECT_EQ(Run(b).state, SendState::Queued);

    // Given up after its last time-out: reported only as status 8, for the one on the wire.
    Status(StatusTimeout);
    EXPECT_EQ(Run(a).state, SendState::TimedOut);
    EXPECT_EQ(Run(a).attempts, 3);
    EXPECT_FALSE(Run(a).running);
    EXPECT_EQ(Run(b).state, SendState::Waiting);

    // Rejected three times: the status just before the failure says why.
    Status(StatusBadBcc);
    Deliver(Event{EventId::TransactionFailed, 'B', requests[1].source, "nope"});
    EXPECT_EQ(Run(b).state, SendState::Failed);
    EXPECT_EQ(Run(b).status, StatusBadBcc);
    EXPECT_EQ(Run(b).response, "nope");

    Accept(requests[2].source, "yes");
    EXPECT_EQ(Run(c).state, SendState::Accepted);
    EXPECT_EQ(Run(c).response, "yes");
    EXPECT_EQ(Run(c).attempts, 0);  // the engine does not say
    const SendRuns::Counts counts = core.Sends().GetCounts();
    EXPECT_EQ(counts.sent, 3u);
    EXPECT_EQ(counts.timedOut + counts.failed + counts.accepted, 3u);
}

TEST_F(Core, AMessageFromAnotherPosterKeepsItsPlaceInTheEngineOrder) {
    // Someone else's send reaches the engine first; its time-out is not ours.
    toThread.PostEvent(Event{EventId::SendBytes, 'X', 4, "theirs"});
    const std::uint64_t ours = core.Sends().Start({"A", "ours", false, 1, 0});
    EngineTakes();
    EXPECT_EQ(Run(ours).state, SendState::Queued);
    Status(StatusTimeout);
    EXPECT_EQ(Run(ours).state, SendState::Waiting);
    Status(StatusTimeout);
    EXPECT_EQ(Run(ours).state, SendState::TimedOut);
}

TEST_F(Core, RowRunWaitsItsDelayAndStopsInIt) {
    prefs.Set_send_prefs(2, SendPrefs{"R", "n=%%", "3", "250", 0});
    ASSERT_EQ(core.SendRow(2), "");
    std::vector<Event> sent = EngineTakes();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].source, 2);
    EXPECT_EQ(sent[0].text, "n=%");  // a row's flags are always expanded
    Accept(2, "r1");
    // The next send waits for the delay.
    EXPECT_TRUE(TakeRequests().empty());
    ASSERT_EQ(scheduler.jobs.size(), 1u);
    EXPECT_EQ(scheduler.jobs[0].delayMs, 250);
    scheduler.RunAll();
    sent = EngineTakes();
    ASSERT_EQ(sent.size(), 1u);
    Accept(2, "r2");
    EXPECT_TRUE(core.Sends().RowRun(2)->StopEnabled());
    core.StopRow(2);
    scheduler.RunAll();  // the cancelled delay sends nothing
    EXPECT_TRUE(TakeRequests().empty());
    EXPECT_FALSE(core.Sends().RowRun(2)->running);
    EXPECT_EQ(core.Sends().RowRun(2)->sent, 2);
}

TEST_F(Core, RowTimeOutLeavesTheRunOnWithStop) {
    prefs.Set_send_prefs(0, SendPrefs{"T", "x", "3", "0", 0});
    ASSERT_EQ(core.SendRow(0), "");
    EngineTakes();
    Status(StatusTimeout);
    const SendRun* run = core.Sends().RowRun(0);
    EXPECT_EQ(run->state, SendState::TimedOut);
    EXPECT_TRUE(run->StopEnabled());
    EXPECT_TRUE(TakeRequests().empty());
}

TEST_F(Core, RowChecksGiveTheWindowsTexts) {
    const struct {
        SendPrefs row;
        std::string error;
    } cases[] = {
        {{"A", "", "0", "0", 0}, "The count must be greater than zero."},
        {{"A", "", " 2x", "0", 0}, "' 2x' is not a valid integer value"},
        {{"A", "", "1", "-5", 0}, "The delay time must be greater than or equal to zero."},
        {{"", "text", "1", "0", 0}, "You must specify a message type."},
    };
    for (const auto& c : cases) {
        prefs.Set_send_prefs(5, c.row);
        EXPECT_EQ(core.SendRow(5), c.error);
    }
    EXPECT_TRUE(TakeRequests().empty());
}

TEST_F(Core, LinkChangeIsPostedOnceAndRepliesAtOnce) {
    CommPrefs comm = prefs.Get_comm_prefs();
    EXPECT_FALSE(core.ApplyLink(comm));
    EXPECT_TRUE(TakeRequests().empty());
    comm.Baud = 4;
    EXPECT_TRUE(core.ApplyLink(comm));
    std::vector<Event> posted = TakeRequests();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].id, EventId::CommSettings);
    EXPECT_EQ(posted[0].text, "0,COM1,4,1,0,2,192.168.1.100,5000,5100");
    // A comma in a text travels quoted in the settings text, so it is allowed.
    const CommPrefs comma{0, "/dev/serial/by-id/usb-a,b", 3, 1, 0, 2, "a,b", 1, 2, 0};
    EXPECT_EQ(AppCore::CheckLink(comma), "");
    EXPECT_EQ(TControlThread::ParseCommSettings(TControlThread::FormatCommSettings(comma)).Port, comma.Port);

    std::array<ReplyPrefs, kReplySlots> replies;
    replies[0] = ReplyPrefs{"A", "ok", 1, 0, {}};
    core.ApplyReplies(replies);
    posted = TakeRequests();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].id, EventId::ReplyActions);
    EXPECT_EQ(posted[1].id, EventId::ReplyFaults);
    EXPECT_EQ(posted[0].value, 10);
    EXPECT_EQ(posted[0].text.substr(0, 10), "A\tok\t1\r\n\t\t");
}

TEST(Answer, FollowsTheEnginesRules) {
    std::array<ReplyPrefs, kReplySlots> table;
    table[0] = {"A", "first", 0, 0, {}};
    table[1] = {"A", "last", 1, 0, {}};  // later row's text wins, its NAK stays
    table[2] = {"B", "b", 2, 0, {}};
    table[3] = {"C", "c", 3, 0, {}};
    const struct {
        char type;
        std::string bytes;
        std::string action;
    } cases[] = {
        {'A', WireFrame('A', ctrl::NAK, "last"), "NAK Error"},
        {'B', WireFrame('C', ctrl::ACK, "b"), "Type Error"},
        {'Z', WireFrame('Z', ctrl::ACK, ""), "Normal"},
    };
    for (const auto& c : cases) {
        const Answer answer = AnswerFor(table, static_cast<std::uint8_t>(c.type));
        EXPECT_EQ(answer.bytes, c.bytes) << c.type;
        EXPECT_EQ(answer.action, c.action) << c.type;
    }
    std::string wrongBcc = WireFrame('C', ctrl::ACK, "c");
    ++wrongBcc[wrongBcc.size() - 2];
    EXPECT_EQ(AnswerFor(table, 'C').bytes, wrongBcc);
}

TEST(JsonText, EveryByteRoundTripsAndWiderCharactersAreRefused) {
    std::string all;
    for (int byte = 0; byte < 256; ++byte) all += static_cast<char>(byte);
    EXPECT_EQ(JsonTextToBytes(BytesToJsonText(all)), all);
    EXPECT_EQ(BytesToJsonText("\xE9"), "\xC3\xA9");
    for (const char* bad : {"\xE2\x82\xAC", "\xC3", "\xC3(", "\xC4\x80"})
        EXPECT_FALSE(JsonTextToBytes(bad).has_value()) << bad;
}

TEST(Hub, KeepsTheLatestAndResumesAfterAnyOfThem) {
    EventHub hub(3, [] { return std::int64_t{0}; });
    std::vector<std::uint64_t> heard;
    hub.Subscribe([&](const HubEvent& event) { heard.push_back(event.seq); });
    for (int i = 0; i < 5; ++i) hub.Publish("status", {{"code", i}});
    EXPECT_EQ(heard, (std::vector<std::uint64_t>{1, 2, 3, 4, 5}));
    const auto since = [&](std::uint64_t seq) {
        std::vector<std::uint64_t> ids;
        for (const HubEvent& e : hub.Since(seq, 10)) ids.push_back(e.seq);
        return ids;
    };
    EXPECT_EQ(since(0), (std::vector<std::uint64_t>{3, 4, 5}));  // 1 and 2 are gone
    EXPECT_EQ(since(3), (std::vector<std::uint64_t>{4, 5}));
    EXPECT_TRUE(since(5).empty());
    const std::string line = hub.Since(0, 1).front().json;
    EXPECT_EQ(line.rfind("{\"seq\":3,\"time\":\"", 0), 0u) << line;
    EXPECT_EQ(nlohmann::json::parse(line)["code"], 2);
}

TEST(Received, ListAfterLimitAndRecordsWithDelimitersInTheText) {
    ReceivedStore store;
    for (const char* text : {"a", "b{DELIM]c", "d"})
        store.Add(ReceivedStore::ParseRecord(
            std::string("OK           {DELIM]M{DELIM]001{DELIM]001{DELIM]") + text));
    EXPECT_EQ(store.List(0, 10)[1].text, "b{DELIM]c");
    const auto page = store.List(1, 1);
    ASSERT_EQ(page.size(), 1u);
    EXPECT_EQ(page[0].id, 2u);
    store.Clear();
    EXPECT_TRUE(store.List(0, 10).empty());
    EXPECT_EQ(store.Add(ReceivedStore::ParseRecord("x")).id, 4u);
}

}  // namespace
