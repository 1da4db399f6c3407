#include "app/app_core.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>
#include <nlohmann/json.hpp>

#include "app/event_hub.h"
#include "app/json_log.h"
#include "app/scheduler.h"
#include "base/link_actions.h"
#include "protocol/frame.h"
#include "settings/preferences.h"
#include "support/loopback.h"
#include "text/json_text.h"

// The core driven the way the control thread drives it: requests taken from its broker, and
// what the engine reports (echoes of requests, outcomes with their request numbers, received
// messages with their answers) put into the windows' broker.

namespace {

using namespace std::chrono_literals;

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
    // Runs the jobs posted so far.
    void RunAll() {
        std::vector<Job> now;
        now.swap(jobs);
        for (Job& job : now) job.work();
    }
};

AppCore::Options NoLink() {
    AppCore::Options options;
    options.runLink = false;
    return options;
}

std::filesystem::path TempPath(const std::string& name) {
    return std::filesystem::temp_directory_path() /
           ("vantor-core-" + std::to_string(::getpid()) + "-" + name);
}

ReceivedFrame Frame(char type, const std::string& text, const std::string& answer = "") {
    ReceivedFrame frame;
    frame.type = static_cast<std::uint8_t>(type);
    frame.text = text;
    frame.rxBcc = frame.calcBcc = "123";
    frame.answer = answer;
    return frame;
}

struct Core : ::testing::Test {
    Preferences prefs{TempPath("absent.ini").string()};
    ManualScheduler scheduler;
    std::int64_t now = 1000;
    AppCore core{prefs, scheduler, [this] {
                     AppCore::Options options = NoLink();
                     options.clock = [this] { return now; };
                     return options;
                 }()};

    // What the control thread would pass on: every request taken, echoed to the windows.
    std::vector<Event> TakeRequests() {
        std::vector<Event> taken;
        Event event;
        while (core.ToThread().GetEvent(event)) taken.push_back(event);
        return taken;
    }
    void Deliver(Event event) {
        core.ToWindow().PostEvent(std::move(event));
        core.TakeEvents();
    }
    // The engine took the requests: their echoes reach the core.
    std::vector<Event> EngineTakes() {
        std::vector<Event> taken = TakeRequests();
        for (const Event& event : taken) Deliver(event);
        return taken;
    }
    void Status(int code, std::uint64_t request = 0) {
        Event event{EventId::Status, code, 1};
        event.request = request;
        Deliver(std::move(event));
    }
    void Outcome(std::int32_t id, const Event& request, const std::string& text) {
        Event event{id, 'A', request.source, text};
        event.request = request.request;
        Deliver(std::move(event));
    }
    void Accept(const Event& request, const std::string& text) {
        Outcome(EventId::ResponseAccepted, request, text);
        Status(StatusOk);
    }
    void Received(const ReceivedFrame& frame) {
        Event event{EventId::MessageReceived, frame.type, 1};
        event.payload = frame;
        Deliver(std::move(event));
    }
    const SendRun& Run(std::uint64_t id) { return *core.Sends().Find(id); }
};

// Every outcome names the request it ends, time-outs included: nothing is paired by order.
TEST_F(Core, EachOutcomeEndsTheSendItNames) {
    const std::uint64_t a = core.Sends().Start({"A", "one", true, 1, 0});
    const std::uint64_t b = core.Sends().Start({"B", "two", true, 1, 0});
    const std::uint64_t c = core.Sends().Start({"C", "three", true, 1, 0});
    EXPECT_EQ(Run(a).state, SendState::Queued);
    const std::vector<Event> requests = EngineTakes();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_NE(requests[0].request, requests[1].request);
    // The first is on the wire, the others wait behind it.
    EXPECT_EQ(Run(a).state, SendState::Waiting);
    EXPECT_EQ(Run(b).state, SendState::Queued);

    // Someone else's time-out (no request of ours) ends nothing.
    Status(StatusTimeout, 999);
    Status(StatusTimeout);
    EXPECT_EQ(Run(a).state, SendState::Waiting);

    // Out of the engine's order on purpose: c's answer, then a's time-out, then b's failure.
    Accept(requests[2], "yes");
    EXPECT_EQ(Run(c).state, SendState::Accepted);
    EXPECT_EQ(Run(c).response, "yes");
    Status(StatusTimeout, requests[0].request);
    EXPECT_EQ(Run(a).state, SendState::TimedOut);
    EXPECT_EQ(Run(a).attempts, 3);
    EXPECT_FALSE(Run(a).running);
    Status(StatusBadBcc);
    Outcome(EventId::TransactionFailed, requests[1], "nope");
    EXPECT_EQ(Run(b).state, SendState::Failed);
    EXPECT_EQ(Run(b).status, StatusBadBcc);  // the status just before the failure says why
    EXPECT_EQ(Run(b).response, "nope");
    const SendRuns::Counts counts = core.Sends().GetCounts();
    EXPECT_EQ(counts.sent, 3u);
    EXPECT_EQ(counts.accepted, 1u);
    EXPECT_EQ(counts.failed, 1u);
    EXPECT_EQ(counts.timedOut, 1u);
    // An outcome already had is not had again.
    Accept(requests[2], "again");
    EXPECT_EQ(core.Sends().GetCounts().accepted, 1u);
}

// A row whose message timed out stays on (Stop offered, no further send); a new Send runs
// again from the start, and its answers are its own, even with the old answer coming late.
TEST_F(Core, ARowThatTimedOutRunsAgainAndShowsItsResponses) {
    // What the row is shown each time its run changes.
    std::vector<std::string> shown;
    AppCore::Listener listener;
    listener.rowChanged = [this, &shown](int row) {
        const SendRun* run = core.Sends().RowRun(row);
        shown.push_back(std::string(SendStateName(run->state)) + ":" + run->response);
    };
    core.SetListener(listener);
    prefs.Set_send_prefs(0, SendPrefs{"T", "x", "2", "0", 0});
    ASSERT_TRUE(core.SendRow(0).Ok());
    const std::vector<Event> first = EngineTakes();
    ASSERT_EQ(first.size(), 1u);
    Status(StatusTimeout, first[0].request);
    const SendRun* run = core.Sends().RowRun(0);
    EXPECT_EQ(run->state, SendState::TimedOut);
    EXPECT_TRUE(run->StopEnabled());
    EXPECT_TRUE(TakeRequests().empty());

    ASSERT_TRUE(core.SendRow(0).Ok());
    std::vector<Event> second = EngineTakes();
    ASSERT_EQ(second.size(), 1u);
    // The old message's answer, too late: it ends nothing of the new run.
    Accept(first[0], "stale");
    EXPECT_EQ(core.Sends().RowRun(0)->state, SendState::Waiting);
    shown.clear();
    Accept(second[0], "r1");
    // The row shows the answer before the run's next message (delay 0) empties it again.
    EXPECT_EQ(shown, (std::vector<std::string>{"accepted:r1", "queued:"}));
    second = EngineTakes();  // the run's second message goes at once
    ASSERT_EQ(second.size(), 1u);
    Accept(second[0], "r2");
    run = core.Sends().RowRun(0);
    EXPECT_EQ(run->state, SendState::Accepted);
    EXPECT_EQ(run->response, "r2");
    EXPECT_EQ(run->sent, 2);
    EXPECT_FALSE(run->running);
}

// The one rule for asking before a row starts again: only a run that goes on counts, not one
// given up after its time-outs, stopped or done; a batch asks for the rows with a type only.
TEST_F(Core, ARowCountsAsSendingOnlyWhileItsRunGoesOn) {
    EXPECT_FALSE(core.Sends().RowSending(0)) << "no run yet";
    prefs.Set_send_prefs(0, SendPrefs{"A", "x", "3", "0", 0});
    prefs.Set_send_prefs(1, SendPrefs{"B", "y", "1", "0", 0});
    prefs.Set_send_prefs(2, SendPrefs{"C", "z", "5", "0", 0});
    ASSERT_TRUE(core.SendRow(0).Ok());
    ASSERT_TRUE(core.SendRow(1).Ok());
    ASSERT_TRUE(core.SendRow(2).Ok());
    const std::vector<Event> sent = EngineTakes();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_TRUE(core.Sends().RowSending(0));
    EXPECT_EQ(core.BatchRestarts(), (std::vector<int>{0, 1, 2}));

    Accept(sent[1], "done");                 // row 1's only message: its run is over
    Status(StatusTimeout, sent[0].request);  // row 0's given up: nothing in flight
    EXPECT_FALSE(core.Sends().RowSending(0));
    EXPECT_FALSE(core.Sends().RowSending(1));
    EXPECT_TRUE(core.Sends().RowSending(2));
    // Its type emptied, the row is no part of a batch, running or not.
    prefs.Set_send_prefs(2, SendPrefs{"", "z", "5", "0", 0});
    EXPECT_EQ(core.BatchRestarts(), std::vector<int>{});
    core.StopRow(2);
    EXPECT_TRUE(core.Sends().RowSending(2)) << "a stopped run ends after the message in flight";
    Accept(sent[2], "last");
    EXPECT_FALSE(core.Sends().RowSending(2));
    EXPECT_FALSE(core.Sends().RowSending(-1));
    EXPECT_FALSE(core.Sends().RowSending(kSendSlots));
}

// The dialog's settings are taken whole or not at all: each refusal names its field, and a
// refused set stores and posts nothing, not even its good parts.
TEST_F(Core, ApplyPreferencesRefusesFieldByFieldAndChangesNothing) {
    const struct {
        const char* what;
        std::function<void(Prefs&)> spoil;
        std::vector<std::string> fields;
    } cases[] = {
        {"a port", [](Prefs& p) {
             p.Comm.Type = SettingsValue(LinkKind::Proxy);
             p.Comm.ProxyB = "tcp-client:127.0.0.1:70000";
         }, {"Comm.ProxyB"}},
        {"a port of 0 to connect to", [](Prefs& p) {
             p.Comm.Type = SettingsValue(LinkKind::Proxy);
             p.Comm.ProxyA = "tcp-client:[::1]:0";
         }, {"Comm.ProxyA"}},
        {"a time", [](Prefs& p) { p.Line.breakMs = kHoldMsRange.high + 1; }, {"LineFaults.breakMs"}},
        {"a negative time on side B", [](Prefs& p) { p.LineB.dtrDropMs = -1; }, {"LineFaultsB.dtrDropMs"}},
        {"a count", [](Prefs& p) { p.Traffic.RotateKeep = 100; }, {"Traffic.RotateKeep"}},
        {"a count of a reply row", [](Prefs& p) { p.Reply[3].Faults.EveryN = 0; }, {"Reply.EveryN3"}},
        {"a reply row's longest delay below its shortest", [](Prefs& p) {
             p.Reply[2].Faults.DelayMin = 500;
             p.Reply[2].Faults.DelayMax = 100;
         }, {"Reply.DelayMax2"}},
        {"a corrupt rate that is no number", [](Prefs& p) { p.Line.corruptRate = std::nan(""); },
         {"LineFaults.corruptRate"}},
        {"a virtual port without its path", [](Prefs& p) {
             p.Comm.Type = SettingsValue(LinkKind::Pty);
             p.Comm.Port.clear();
         }, {"Comm.Port"}},
        {"several at once, in order", [](Prefs& p) {
             p.Traffic.MaxEntries = 999;
             p.Traffic.ListMax = -1;
             p.LineB.sliceBytes = -5;
         }, {"Traffic.MaxEntries", "Traffic.ListMax", "LineFaultsB.sliceBytes"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Prefs before = prefs.Get_prefs();
        TakeRequests();
        Prefs chosen = before;
        chosen.Comm.Baud = 4;  // good, and still not taken
        chosen.Reply[0].Msg = "changed";
        c.spoil(chosen);
        const std::vector<SettingRefusal> refused = core.ApplyPreferences(chosen);
        std::vector<std::string> fields;
        for (const SettingRefusal& r : refused) {
            fields.push_back(r.field);
            EXPECT_FALSE(r.message.empty());
        }
        EXPECT_EQ(fields, c.fields);
        EXPECT_TRUE(prefs.Get_prefs() == before);
        EXPECT_TRUE(TakeRequests().empty());
    }
}

// Taken, each part goes on only when it changed; the reply table goes again every time.
TEST_F(Core, ApplyPreferencesHandsOnWhatChanged) {
    const auto ids = [this] {
        std::vector<std::int32_t> taken;
        for (const Event& e : TakeRequests()) taken.push_back(e.id);
        return taken;
    };
    TakeRequests();
    EXPECT_TRUE(core.ApplyPreferences(prefs.Get_prefs()).empty());
    EXPECT_EQ(ids(), std::vector<std::int32_t>{EventId::ReplyActions});
    Prefs chosen = prefs.Get_prefs();
    chosen.Comm.Type = SettingsValue(LinkKind::TcpClient);
    chosen.Comm.RemotePort = 70000;  // taken as typed: the link says so when it opens
    chosen.LineB.sliceBytes = 7;
    chosen.Traffic.ListMax = 3;
    chosen.Display.Left = 999;  // the window's own: not the dialog's to change
    EXPECT_TRUE(core.ApplyPreferences(chosen).empty());
    EXPECT_EQ(ids(), (std::vector<std::int32_t>{EventId::SetLineFaults, EventId::CommSettings, EventId::ReplyActions}));
    EXPECT_EQ(prefs.Get_comm_prefs().RemotePort, 70000);
    EXPECT_EQ(prefs.Get_line_faults(1).sliceBytes, 7);
    EXPECT_EQ(prefs.Get_traffic_prefs().ListMax, 3);
    EXPECT_NE(prefs.Get_display_prefs().Left, 999);
}

TEST_F(Core, RowRunWaitsItsDelayAndStopsInIt) {
    prefs.Set_send_prefs(2, SendPrefs{"R", "n=%%", "3", "250", 0});
    ASSERT_TRUE(core.SendRow(2).Ok());
    std::vector<Event> sent = EngineTakes();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].source, 2);
    EXPECT_EQ(sent[0].text, "n=%");  // a row's flags are always expanded
    scheduler.jobs.clear();
    Accept(sent[0], "r1");
    // The next send waits for the delay (the other jobs are the core's own turns).
    EXPECT_TRUE(TakeRequests().empty());
    EXPECT_EQ(std::count_if(scheduler.jobs.begin(), scheduler.jobs.end(),
                            [](const ManualScheduler::Job& job) { return job.delayMs == 250; }),
              1);
    scheduler.RunAll();
    sent = EngineTakes();
    ASSERT_EQ(sent.size(), 1u);
    Accept(sent[0], "r2");
    EXPECT_TRUE(core.Sends().RowRun(2)->StopEnabled());
    core.StopRow(2);
    scheduler.RunAll();  // the cancelled delay sends nothing
    EXPECT_TRUE(TakeRequests().empty());
    EXPECT_FALSE(core.Sends().RowRun(2)->running);
    EXPECT_EQ(core.Sends().RowRun(2)->sent, 2);
}

TEST_F(Core, RowChecksAndBatchSend) {
    const struct {
        SendPrefs row;
        RowStart::Kind kind;
        std::string error;
    } cases[] = {
        {{"A", "", "0", "0", 0}, RowStart::Refused, "The count must be greater than zero."},
        {{"A", "", " 2x", "0", 0}, RowStart::NotANumber, "' 2x' is not a valid integer value"},
        {{"A", "", "1", "-5", 0}, RowStart::Refused, "The delay time must be greater than or equal to zero."},
        {{"A", "", "1", "1e3", 0}, RowStart::NotANumber, "'1e3' is not a valid integer value"},
        {{"", "text", "1", "0", 0}, RowStart::Refused, "You must specify a message type."},
    };
    for (const auto& c : cases) {
        prefs.Set_send_prefs(5, c.row);
        const RowStart start = core.SendRow(5);
        EXPECT_EQ(start.kind, c.kind) << c.error;
        EXPECT_EQ(start.error, c.error);
    }
    EXPECT_TRUE(TakeRequests().empty());

    // A batch goes in row order past a refused row, and ends at a count that is no number.
    for (int row = 0; row < kSendSlots; ++row) prefs.Set_send_prefs(row, SendPrefs{});
    prefs.Set_send_prefs(0, SendPrefs{"A", "a", "1", "0", 0});
    prefs.Set_send_prefs(2, SendPrefs{"B", "b", "0", "0", 0});
    prefs.Set_send_prefs(4, SendPrefs{"C", "c", "x", "0", 0});
    prefs.Set_send_prefs(6, SendPrefs{"D", "d", "1", "0", 0});
    const auto results = core.BatchSend();
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].row, 0);
    EXPECT_TRUE(results[0].start.Ok());
    EXPECT_EQ(results[1].start.kind, RowStart::Refused);
    EXPECT_EQ(results[2].row, 4);
    EXPECT_EQ(results[2].start.kind, RowStart::NotANumber);
    const std::vector<Event> sent = TakeRequests();
    ASSERT_EQ(sent.size(), 1u) << "row 7 is not started after row 5's conversion error";
    EXPECT_EQ(sent[0].text, "a");
}

// Finished runs are kept for the API to report, but not for ever.
TEST_F(Core, FinishedRunsAreForgottenBeyondTheirBound) {
    for (std::size_t i = 0; i < SendRuns::kKeepFinished + 50; ++i) {
        core.Sends().Start({"A", "x", false, 1, 0});
        const std::vector<Event> sent = EngineTakes();
        Accept(sent[0], "ok");
    }
    EXPECT_LE(core.Sends().KeptRuns(), SendRuns::kKeepFinished);
    EXPECT_EQ(core.Sends().Find(1), nullptr);
    EXPECT_NE(core.Sends().Find(SendRuns::kKeepFinished + 50), nullptr);
}

// Headless, a link that cannot open at start ends the run; what it retries is only said; and
// nothing of a later reopen, or after the link first came up, counts as the start.
TEST(CoreStart, TellsTheStartsLinkProblemsLastingOnlyWhenItCouldNotOpen) {
    for (const int ending : {0, 1, 2}) {  // reopened, reconnected, came up
        Preferences prefs{TempPath("absent.ini").string()};
        ManualScheduler scheduler;
        std::vector<std::pair<std::string, bool>> told;
        AppCore::Options options = NoLink();
        options.onStartProblem = [&told](const std::string& text, bool lasting) { told.emplace_back(text, lasting); };
        AppCore core{prefs, scheduler, options};
        const auto deliver = [&core](Event event) {
            core.ToWindow().PostEvent(std::move(event));
            core.TakeEvents();
        };
        deliver(Event{EventId::Error, 0, 0, "Socket error: Connection refused"});
        deliver(Event{EventId::OpenFailed, 0, 0, "Error opening the comm port: in use"});
        ASSERT_EQ(told.size(), 2u);
        EXPECT_EQ(told[0], std::make_pair(std::string("Socket error: Connection refused"), false));
        EXPECT_EQ(told[1], std::make_pair(std::string("Error opening the comm port: in use"), true));
        if (ending == 0) {
            CommPrefs comm = prefs.Get_comm_prefs();
            comm.LocalPort = 6001;
            core.ApplyLink(comm);
        } else if (ending == 1) {
            core.LinkAction(LinkActionCode::Reconnect, {});
        } else {
            LinkState up;
            up.kind = LinkKind::TcpClient;
            up.phase = LinkState::Up;
            up.peers = {"127.0.0.1:5000"};
            Event event{EventId::LinkState, 0, 0, {}};
            event.payload = up;
            deliver(std::move(event));
        }
        deliver(Event{EventId::OpenFailed, 0, 0, "Error opening the comm port: later"});
        deliver(Event{EventId::Error, 0, 0, "Connection closed by 127.0.0.1:5000"});
        EXPECT_EQ(told.size(), 2u) << "ending " << ending;
        EXPECT_NE(core.GetStatus().linkError, "") << "still shown as the link's error";
    }
}

// With a peer connected only the kind decides: what it cannot do is refused, saying why, and
// never reaches the control thread; an action of no known code goes nowhere either.
TEST_F(Core, ALinkActionItsKindCannotDoIsRefusedAndNeverPosted) {
    for (const LinkKindInfo& kind : LinkKinds()) {
        SCOPED_TRACE(kind.apiName);
        CommPrefs comm = prefs.Get_comm_prefs();
        comm.Type = SettingsValue(kind.kind);
        core.ApplyLink(comm);
        LinkState up;
        up.kind = kind.kind;
        up.phase = LinkState::Up;
        up.peers = {"127.0.0.1:5000"};
        Event event{EventId::LinkState, 0, 0, {}};
        event.payload = up;
        Deliver(std::move(event));
        TakeRequests();
        for (const LinkActionInfo& action : kLinkActions) {
            SCOPED_TRACE(action.name);
            LinkActionArgs args;
            args.ms = 10;
            args.bytes = "x";
            const std::string refused = core.LinkAction(action.code, args);
            const std::vector<Event> posted = TakeRequests();
            if (kind.can.*action.needs) {
                EXPECT_EQ(refused, "");
                ASSERT_EQ(posted.size(), 1u);
                EXPECT_EQ(posted[0].value, action.code);
            } else {
                EXPECT_NE(refused.find(kind.whyNot != nullptr ? "no line of its own" : kind.displayName),
                          std::string::npos)
                    << refused;
                EXPECT_TRUE(posted.empty());
            }
        }
        EXPECT_NE(core.LinkAction(0), "");
        EXPECT_NE(core.LinkAction(99), "");
        EXPECT_TRUE(TakeRequests().empty());
    }
}

TEST_F(Core, LinkAndRepliesTravelAsRecordsAndAnErrorGoesWithItsLink) {
    CommPrefs comm = prefs.Get_comm_prefs();
    EXPECT_FALSE(core.ApplyLink(comm));
    EXPECT_TRUE(TakeRequests().empty());
    Deliver(Event{EventId::OpenFailed, 0, 0, "Error opening the comm port: gone"});
    EXPECT_EQ(core.GetStatus().linkError, "Error opening the comm port: gone");
    comm.Baud = 4;
    comm.Port = "/dev/serial/by-id/usb-a,b";
    EXPECT_TRUE(core.ApplyLink(comm));
    EXPECT_EQ(core.GetStatus().linkError, "") << "a new link starts without the old one's error";
    std::vector<Event> posted = TakeRequests();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].id, EventId::CommSettings);
    EXPECT_EQ(std::get<CommPrefs>(posted[0].payload), comm);
    // The log writes the settings as it always has, a path with a comma quoted.
    const auto logged = nlohmann::json::parse(core.Hub().Since(core.Hub().LastSeq() - 1, 1).front().json);
    EXPECT_EQ(logged["kind"], "link");
    EXPECT_EQ(logged["settings"], "0,\"/dev/serial/by-id/usb-a,b\",4,1,0,2,192.168.1.100,5000,5100");

    std::array<ReplyPrefs, kReplySlots> replies;
    replies[0] = ReplyPrefs{"A", "ok\tx\r\n", 1, 0, {}};
    replies[0].Faults.DelayMin = 400;
    prefs.Set_fault_seed(77);
    core.ApplyReplies(replies);
    posted = TakeRequests();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].id, EventId::ReplyActions);
    const auto& table = std::get<ReplyTable>(posted[0].payload);
    ASSERT_EQ(table.rows.size(), 10u);
    EXPECT_EQ(table.rows[0], replies[0]) << "text with tabs and breaks, action and faults whole";
    EXPECT_EQ(table.seed, 77);
}

// A received message is recorded once, as the engine reported it: the store, the hub's
// "received" and "answer" (the bytes the engine wrote, its faults), the count.
TEST_F(Core, AReceivedMessageIsRecordedAsTheEngineReportedIt) {
    ReceivedFrame frame = Frame('A', "h\xE9\"llo", "\x01" "A\x02\x06late\x03" "123\r");
    frame.micros = 1'700'000'000'123'000;
    frame.actions = AnswerAction::Nak | AnswerAction::WrongBcc;
    frame.injected = Injected::Delay;
    frame.faults = "delay 120 ms";
    Received(frame);
    ASSERT_EQ(core.Messages().Size(), 1u);
    const ReceivedMessage m = core.Messages().Copy(0);
    EXPECT_EQ(m.id, 1u);
    EXPECT_EQ(m.text, "h\xE9\"llo");
    EXPECT_EQ(m.faults, "delay 120 ms");
    EXPECT_EQ(m.arrivalMs, 1'700'000'000'123) << "the engine's time, not the core's";
    const std::vector<HubEvent> events = core.Hub().Since(0, 10);
    ASSERT_EQ(events.size(), 2u);
    const auto received = nlohmann::json::parse(events[0].json);
    EXPECT_EQ(received["kind"], "received");
    EXPECT_EQ(received["text"], BytesToJsonText("h\xE9\"llo"));
    const auto answer = nlohmann::json::parse(events[1].json);
    EXPECT_EQ(answer["message"], 1);
    EXPECT_EQ(JsonTextToBytes(answer["bytes"].get<std::string>()), frame.answer);
    EXPECT_EQ(answer["action"], "NAK Error+BCC Error");
    EXPECT_EQ(answer["faults"], "delay 120 ms");
    EXPECT_EQ(core.GetStatus().received, 1u);
}

// The list's bound holds in every mode; numbers go on across it, ids across a clear.
TEST_F(Core, TheListBoundHoldsAndNumbersGoOn) {
    TrafficPrefs traffic = prefs.Get_traffic_prefs();
    traffic.ListMax = 200;
    prefs.Set_traffic_prefs(traffic);
    core.ApplyTrafficSettings();
    std::size_t dropped = 0;
    AppCore::Listener listener;
    listener.messagesDropping = [&dropped](std::size_t count) { dropped += count; };
    core.SetListener(listener);
    for (int i = 0; i < 1000; ++i) Received(Frame('M', std::to_string(i)));
    EXPECT_LE(core.Messages().Size(), 200u);
    EXPECT_GE(core.Messages().Size(), 198u);
    EXPECT_EQ(dropped + core.Messages().Size(), 1000u);
    const auto last = core.Messages().At(core.Messages().Size() - 1);
    EXPECT_EQ(last.number, 1000);
    EXPECT_EQ(last.text, "999");
    EXPECT_EQ(core.GetStatus().received, 1000u);
    EXPECT_EQ(core.GetStatus().listed, core.Messages().Size());
    core.ClearMessages();
    Received(Frame('M', "after"));
    EXPECT_EQ(core.Messages().At(0).number, 1) << "a cleared list counts from 1";
    EXPECT_EQ(core.Messages().At(0).id, 1001u) << "ids are never reused";
}

// A list grown past its warning size is told once, as an event and to the window; keeping
// the newest N bounds it, and a list small again may be told again later.
TEST(CoreList, AListPastItsSizeIsToldOnceAndKeepingTheNewestBoundsIt) {
    Preferences prefs{TempPath("absent.ini").string()};
    ManualScheduler scheduler;
    AppCore::Options options = NoLink();
    options.listWarnBytes = 4 << 20;
    AppCore core{prefs, scheduler, options};
    std::vector<std::size_t> told;
    AppCore::Listener listener;
    listener.listLarge = [&told](std::size_t bytes) { told.push_back(bytes); };
    core.SetListener(listener);
    const auto receive = [&core](int count) {
        for (int i = 0; i < count; ++i) {
            Event event{EventId::MessageReceived, 'M', 1};
            event.payload = Frame('M', std::string(1000, 'x'));
            core.ToWindow().PostEvent(std::move(event));
        }
        while (core.TakeEvents() > 0) {
        }
    };
    const auto warnings = [&core] {
        int count = 0;
        for (const HubEvent& event : core.Hub().Since(0, 100000))
            if (nlohmann::json::parse(event.json)["kind"] == "listMemory") ++count;
        return count;
    };
    receive(100);
    EXPECT_TRUE(told.empty()) << "100 KB is below the warning";
    receive(5000);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_GT(told[0], options.listWarnBytes);
    EXPECT_EQ(warnings(), 1);
    receive(1000);
    EXPECT_EQ(told.size(), 1u) << "told once";

    EXPECT_NE(core.KeepNewest(0), "");
    EXPECT_NE(core.KeepNewest(kListMaxRange.high + 1), "");
    EXPECT_EQ(core.Messages().Size(), 6100u) << "a refused count changes nothing";
    EXPECT_EQ(core.KeepNewest(100), "");
    EXPECT_EQ(core.Messages().Size(), 100u);
    EXPECT_EQ(core.Messages().At(99).id, 6100u) << "the newest stay";
    EXPECT_EQ(prefs.Get_traffic_prefs().ListMax, 100) << "the bound is the settings' bound";
    receive(500);
    EXPECT_LE(core.Messages().Size(), 100u);
    EXPECT_EQ(told.size(), 1u);

    EXPECT_EQ(core.KeepNewest(kListMaxRange.high), "");
    receive(5000);
    EXPECT_EQ(told.size(), 2u) << "once small again, it is told again";
}

// The hub writes what a JSON library writes, for every byte a text may hold.
TEST(Hub, KeepsTheLatestAndWritesEveryByteAsJsonWould) {
    EventHub hub(3, [] { return std::int64_t{0}; });
    std::vector<std::uint64_t> heard;
    hub.Subscribe([&](const HubEvent& event) { heard.push_back(event.seq); });
    for (int i = 0; i < 5; ++i) hub.PublishJson("status", {{"code", i}});
    EXPECT_EQ(heard, (std::vector<std::uint64_t>{1, 2, 3, 4, 5}));
    const auto since = [&](std::uint64_t seq) {
        std::vector<std::uint64_t> ids;
        for (const HubEvent& e : hub.Since(seq, 10)) ids.push_back(e.seq);
        return ids;
    };
    EXPECT_EQ(since(0), (std::vector<std::uint64_t>{3, 4, 5}));  // 1 and 2 are gone
    EXPECT_EQ(since(3), (std::vector<std::uint64_t>{4, 5}));
    EXPECT_TRUE(since(5).empty());
    EXPECT_EQ(hub.FirstKeptSeq(), 3u);
    const std::string line = hub.Since(0, 1).front().json;
    EXPECT_EQ(line.rfind("{\"seq\":3,\"time\":\"", 0), 0u) << line;
    EXPECT_EQ(nlohmann::json::parse(line)["code"], 2);

    std::string all;
    for (int byte = 0; byte < 256; ++byte) all += static_cast<char>(byte);
    std::string written;
    AppendJsonString(written, all);
    EXPECT_EQ(written, nlohmann::json(BytesToJsonText(all)).dump());
    EXPECT_EQ(JsonTextToBytes(nlohmann::json::parse(written).get<std::string>()), all);
    for (const char* bad : {"\xE2\x82\xAC", "\xC3", "\xC3(", "\xC4\x80"})
        EXPECT_FALSE(JsonTextToBytes(bad).has_value()) << bad;

    hub.SetActive(false);
    hub.PublishJson("status", {{"code", 9}});
    EXPECT_EQ(hub.LastSeq(), 5u) << "a hub nobody reads formats nothing";
}

// Each line is in the file as soon as it is written, without waiting for more lines.
TEST(JsonLogFile, EachEventIsReadableAtOnce) {
    const auto path = TempPath("log.jsonl");
    EventHub hub;
    {
        JsonLog log(hub, path.string());
        hub.PublishJson("link", {{"summary", "one"}});
        std::string content;
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (content.find("\"one\"") == std::string::npos && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(2ms);
            std::ifstream in(path);
            content.assign(std::istreambuf_iterator<char>(in), {});
        }
        EXPECT_NE(content.find("\"kind\":\"link\""), std::string::npos);
        EXPECT_EQ(content.back(), '\n');
    }
    EXPECT_THROW(JsonLog(hub, (TempPath("no-such-dir") / "log").string()), std::runtime_error);
    std::filesystem::remove(path);
}

// With the real control thread: a log whose reader has stopped reading holds the link back,
// so memory stays bounded and nothing is answered that is not recorded; once the reader reads
// again, everything answered is in the log, in order, and the end takes what is left.
TEST(CoreOnTheLink, AStalledLogHoldsTheLinkBackAndLosesNothing) {
    namespace asio = boost::asio;
    const auto dir = TempPath("stall");
    std::filesystem::create_directories(dir);
    const auto fifo = dir / "log.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // The log's reader: opened before the core opens the writing end, and not read yet.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);

    Preferences prefs((dir / "ZentrelConfig.ini").string());
    CommPrefs comm;
    comm.Type = 2;
    comm.LocalPort = FreeTcpPort();
    prefs.Set_comm_prefs(comm);
    LoopScheduler scheduler;
    AppCore::Options options;
    options.log = fifo.string();
    std::unique_ptr<AppCore> core;
    CallOn<int>(scheduler, [&] {
        core = std::make_unique<AppCore>(prefs, scheduler, options);
        core->Start();
        return 0;
    }, 5s);
    ASSERT_TRUE(core);

    asio::io_context io;
    asio::ip::tcp::socket peer(io);
    for (int i = 0; i < 250 && !peer.is_open(); ++i) {
        boost::system::error_code ec;
        peer.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(comm.LocalPort)}, ec);
        if (ec) {
            peer.close();
            std::this_thread::sleep_for(20ms);
        }
    }
    ASSERT_TRUE(peer.is_open());
    peer.non_blocking(true);
    // Messages as fast as the link takes them, answers counted, until nothing moves.
    const std::string message = WireFrame('A', 0, "a message long enough to fill the pipe soon");
    std::string burst;
    for (int i = 0; i < 100; ++i) burst += message;
    std::size_t answers = 0;
    const auto readAnswers = [&] {
        char buffer[65536];
        boost::system::error_code ec;
        for (;;) {
            const std::size_t n = peer.read_some(asio::buffer(buffer), ec);
            if (ec) return;
            answers += static_cast<std::size_t>(std::count(buffer, buffer + n, '\r'));
        }
    };
    std::string held;
    const auto until = std::chrono::steady_clock::now() + 20s;
    std::size_t written = 0;
    // (The core itself may be behind for a moment too; the log is what stays behind.)
    while (held != "the event log is behind" && std::chrono::steady_clock::now() < until) {
        boost::system::error_code ec;
        written += asio::write(peer, asio::buffer(burst), ec) / message.size();
        readAnswers();
        held = core->GetStatus().heldBy;
        if (ec) std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(held, "the event log is behind");
    // Held: what the peer still sends is not answered.
    std::this_thread::sleep_for(200ms);
    readAnswers();
    const std::size_t answeredWhileHeld = answers;
    boost::system::error_code ignored;
    written += asio::write(peer, asio::buffer(burst), ignored) / message.size();
    std::this_thread::sleep_for(300ms);
    readAnswers();
    EXPECT_EQ(answers, answeredWhileHeld);

    // The reader reads again: everything flows; then the end, with the peer still sending.
    std::atomic<bool> reading{true};
    std::string logged;
    std::thread drain([&] {
        char buffer[65536];
        while (reading) {
            const ssize_t n = ::read(reader, buffer, sizeof buffer);
            if (n > 0) logged.append(buffer, static_cast<std::size_t>(n));
            else std::this_thread::sleep_for(1ms);
        }
        ssize_t n;
        while ((n = ::read(reader, buffer, sizeof buffer)) > 0) logged.append(buffer, static_cast<std::size_t>(n));
    });
    const auto flowing = std::chrono::steady_clock::now() + 10s;
    while (answers < written && std::chrono::steady_clock::now() < flowing) {
        std::this_thread::sleep_for(5ms);
        readAnswers();
    }
    CallOn<int>(scheduler, [&] {
        core->Shutdown();
        return 0;
    }, 10s);
    readAnswers();
    reading = false;
    drain.join();
    std::size_t recorded = 0;
    for (std::size_t at = 0; (at = logged.find("\"kind\":\"received\"", at)) != std::string::npos; ++at)
        ++recorded;
    EXPECT_GT(answers, 0u);
    EXPECT_EQ(recorded, answers) << "every answered message is in the log";
    CallOn<int>(scheduler, [&] {
        core.reset();
        return 0;
    }, 10s);
    ::close(reader);
    std::filesystem::remove_all(dir);
}

}  // namespace
