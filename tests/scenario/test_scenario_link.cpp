// A scenario on the engine: it answers before the reply table, its faults shape the answer,
// what it leaves undecided the table answers, its own messages go out as our sends, and the
// engine reports how each of those went and the bytes that came outside any frame.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "protocol/engine_rig.h"
#include "scenario/runner.h"

namespace {

using Bytes = frame_stream::Bytes;

const char* kDevice = R"json({
  "name": "device",
  "start": "locked",
  "states": {"locked": {}, "ready": {"onEntry": {"send": {"type": "W", "text": "HELLO", "delayMs": 20}}}},
  "rules": [
    {"name": "login", "state": "locked", "type": "L", "text": "PASS", "reply": "WELCOME", "goto": "ready"},
    {"name": "slow", "state": "ready", "type": "S", "reply": {"text": "LATE", "faults": {"delayMin": 100, "delayMax": 100}}},
    {"name": "refused", "state": "ready", "type": "R", "reply": {"text": "NO", "action": "NAK Error"}},
    {"name": "table decides", "state": "ready", "type": "T", "set": {"seen": "yes"}}
  ]
})json";

void LoadTable(EngineRig& r) {
    ReplyTable table;
    table.rows.resize(10);
    table.rows[0].Type = "L";
    table.rows[0].Msg = "TABLE-L";
    table.rows[1].Type = "T";
    table.rows[1].Msg = "TABLE-T";
    Event event{EventId::ReplyActions, 10, 0};
    event.payload = table;
    r.engine.HandleEvent(event);
}

std::shared_ptr<scenario::Runner> Attach(EngineRig& r) {
    auto runner = std::make_shared<scenario::Runner>(scenario::ParseScenario(kDevice), r.ms);
    Event event{EventId::SetResponder, 0, 0};
    event.payload = std::shared_ptr<Responder>(runner);
    r.engine.HandleEvent(event);
    return runner;
}

std::string Wire(const Bytes& b) { return std::string(b.begin(), b.end()); }
// What the engine wrote from byte `from` on.
std::string WrittenFrom(const EngineRig& r, std::size_t from) {
    return std::string(r.driver.written.begin() + static_cast<std::ptrdiff_t>(from), r.driver.written.end());
}

// The events of one kind posted so far.
template <class Payload>
std::vector<std::pair<Event, Payload>> Take(EngineRig& r, std::int32_t id) {
    std::vector<std::pair<Event, Payload>> out;
    Event e;
    while (r.events.GetEvent(e))
        if (e.id == id)
            if (const auto* p = std::get_if<Payload>(&e.payload)) out.emplace_back(e, *p);
    return out;
}

TEST(ScenarioOnTheLink, RulesAnswerBeforeTheTableAndTheRestIsTheTables) {
    EngineRig r;
    LoadTable(r);
    const auto runner = Attach(r);
    struct Step {
        char type;
        const char* text;
        std::int64_t afterMs;  // polled this long after the message came
        std::string answer;    // everything written by then
        const char* rule;
        bool nearMiss;
    };
    const std::vector<Step> steps = {
        // Before the login a message of another type is nobody's: the table answers, and
        // the closest rule is named.
        {'T', "x", 0, Wire(Ack('T', "TABLE-T")), "", true},
        {'L', "PASS", 0, Wire(Ack('L', "WELCOME")), "rule 1 'login'", false},
        {'R', "1", 0, Wire(Nak('R', "NO")), "rule 3 'refused'", false},
        // A rule's faults shape its answer as the table's would: nothing before 100 ms.
        {'S', "1", 99, "", "rule 2 'slow'", false},
        // A rule without a reply leaves the answer to the table; it still counts as a hit.
        {'T', "y", 0, Wire(Ack('T', "TABLE-T")), "rule 4 'table decides'", false},
    };
    std::int64_t start = r.ms;
    for (const Step& s : steps) {
        r.driver.Script(Message(static_cast<std::uint8_t>(s.type), s.text));
        const std::size_t before = r.driver.written.size();
        r.engine.Poll();
        r.ms += s.afterMs;
        r.engine.Poll();
        const std::string written = WrittenFrom(r, before);
        // The greeting of the login's state may have gone out too; only the answer counts here.
        EXPECT_EQ(written.substr(0, s.answer.size()), s.answer) << s.type << " " << s.text;
        const auto frames = Take<ReceivedFrame>(r, EventId::MessageReceived);
        ASSERT_EQ(frames.size(), 1u) << s.type;
        EXPECT_EQ(frames[0].second.rule, s.rule) << s.type;
        EXPECT_EQ(frames[0].second.nearMiss.empty(), !s.nearMiss) << frames[0].second.nearMiss;
        if (s.type == 'S') {
            EXPECT_EQ(frames[0].second.faults, "delay 100 ms");
            r.ms += 1;
            const std::size_t at = r.driver.written.size();
            r.engine.Poll();
            EXPECT_EQ(WrittenFrom(r, at), Wire(Ack('S', "LATE")));
        }
        r.ms += 1;
    }
    EXPECT_GT(r.ms, start);
    const scenario::Runner::Snapshot snap = runner->GetSnapshot();
    EXPECT_EQ(snap.state, "ready");
    EXPECT_EQ(snap.variables.at("seen"), "yes");
    EXPECT_EQ(snap.unmatched, 1u);
}

// A script that loops on a message: that message gets the table's answer, the script is
// disabled with its line in the report, and the rules go on answering.
TEST(ScenarioOnTheLink, ALoopingScriptIsStoppedAndTheRulesAnswerOn) {
    const auto dir = std::filesystem::temp_directory_path() / ("vantor-link-lua-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "device.lua") << "function on_message(msg)\n"
                                         "  if msg.type == 'L' then\n"
                                         "    while true do pcall(function() while true do end end) end\n"
                                         "  end\n"
                                         "end\n";
    const auto scenario = scenario::ParseScenario(
        R"json({"states": ["s"], "script": "device.lua", "rules": [{"type": "R", "reply": "RULE"}]})json", dir.string());
    std::filesystem::remove_all(dir);
    EngineRig r;
    LoadTable(r);
    auto runner = std::make_shared<scenario::Runner>(scenario, r.ms);
    Event attach{EventId::SetResponder, 0, 0};
    attach.payload = std::shared_ptr<Responder>(runner);
    r.engine.HandleEvent(attach);
    const struct {
        char type;
        std::string answer;
    } steps[] = {{'L', Wire(Ack('L', "TABLE-L"))}, {'R', Wire(Ack('R', "RULE"))}, {'L', Wire(Ack('L', "TABLE-L"))},
                 {'R', Wire(Ack('R', "RULE"))}};
    for (const auto& step : steps) {
        r.driver.Script(Message(static_cast<std::uint8_t>(step.type), "x"));
        const std::size_t before = r.driver.written.size();
        const auto start = std::chrono::steady_clock::now();
        r.engine.Poll();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        EXPECT_EQ(WrittenFrom(r, before), step.answer) << step.type;
        r.ms += 1;
    }
    ResponderStatus status;
    ASSERT_TRUE(runner->Report(status, r.ms, 0));
    const std::string error =
        "device.lua:3: the script ran over its budget of 2000000 instructions; the script is disabled";
    EXPECT_EQ(status.errors, std::vector<std::string>{error});
    EXPECT_EQ(status.lastError, error);
    EXPECT_EQ(status.ruleHits.at(0).second, 2u);
}

TEST(ScenarioOnTheLink, ItsOwnMessagesGoOutAndTheirOutcomeIsReported) {
    EngineRig r;
    Attach(r);
    r.driver.Script(Message('L', "PASS"));
    r.engine.Poll();
    r.driver.written.clear();
    // The greeting waits its 20 ms, then goes out as a message of ours.
    r.ms += 19;
    r.engine.Poll();
    EXPECT_TRUE(r.driver.written.empty());
    ASSERT_TRUE(r.engine.NextDue());
    EXPECT_EQ(*r.engine.NextDue(), (r.ms + 1) * 1000) << "the engine wakes for the responder's send";
    r.ms += 1;
    r.engine.Poll();
    EXPECT_EQ(WrittenFrom(r, 0), Wire(Message('W', "HELLO")));
    // Answered with a NAK first, then accepted: one outcome, two tries, one NAK.
    r.TakeEvents();
    r.ms += 3;
    r.driver.Script(Nak('W', ""));
    r.engine.Poll();
    r.engine.Poll();
    r.driver.Script(Ack('W', ""));
    r.ms += 2;
    r.engine.Poll();
    const auto outcomes = Take<SendOutcome>(r, EventId::ResponseAccepted);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].first.source, VantorProtocol::kResponderSource);
    EXPECT_EQ(outcomes[0].second.type, 'W');
    EXPECT_EQ(outcomes[0].second.tries, 2);
    EXPECT_EQ(outcomes[0].second.naks, 1);
    EXPECT_GE(outcomes[0].second.slowestMicros, 2000);
    EXPECT_GT(outcomes[0].second.firstSentMicros, 0);
}

TEST(ScenarioOnTheLink, StrayBytesAndTimeOutsAreReportedWithTheirFacts) {
    EngineRig r;
    // Noise between frames is counted once a poll, however it is read.
    r.driver.Script(std::string("xyz"));
    r.driver.Script(Message('A', "1"));
    r.driver.Script(std::string("\r\n"));
    r.PollTimes(5);
    Event e;
    std::int32_t stray = 0;
    while (r.events.GetEvent(e))
        if (e.id == EventId::StrayBytes) stray += e.value;
    EXPECT_EQ(stray, 5);
    // A send that is never answered ends with a time-out that names it and says how it went.
    Event send{EventId::SendText, 'Q', 7, "ping"};
    send.request = 42;
    r.engine.HandleEvent(send);
    for (int i = 0; i < 200; ++i) {
        r.now += 1;
        r.ms += 100;
        r.engine.Poll();
    }
    const auto timedOut = Take<SendOutcome>(r, EventId::Status);
    ASSERT_EQ(timedOut.size(), 1u);
    EXPECT_EQ(timedOut[0].first.value, StatusTimeout);
    EXPECT_EQ(timedOut[0].first.request, decltype(send.request){42});
    EXPECT_EQ(timedOut[0].second.type, 'Q');
    EXPECT_EQ(timedOut[0].second.slowestMicros, -1) << "no answer came";
    EXPECT_GE(timedOut[0].second.tries, 1);
}

}  // namespace
