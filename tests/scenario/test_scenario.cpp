#include "scenario/runner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/event.h"
#include "protocol/frame.h"
#include "scenario/lua_hook.h"
#include "scenario/verifier.h"
#include "support/reply_fault_values.h"

// The scenario engine on a fake clock: the file read (and refused, with where), rules tried in
// order by state, type, text, counters and time in the state, their effects, timers and
// sends, the script hook in its sandbox, and the expectations with their verdicts and reports.

namespace {

using namespace scenario;

std::shared_ptr<const Scenario> Make(const std::string& json) {
    return ParseScenario(json);
}

// The rule's answer to a message at `ms`, as "text|actions|rule" or "table|near miss".
struct Link {
    std::shared_ptr<Runner> runner;
    std::string Send(char type, const std::string& text, std::int64_t ms = 0) {
        const Response r = runner->OnMessage(IncomingMessage{static_cast<std::uint8_t>(type), text, 0}, ms);
        if (!r.error.empty()) return "error|" + r.error;
        if (!r.decided) return "table|" + r.nearMiss;
        return r.text + "|" + std::to_string(r.actions) + "|" + r.rule;
    }
    std::vector<std::string> Due(std::int64_t ms) {
        std::vector<std::string> out;
        for (const OwnSend& send : runner->RunDue(ms)) out.push_back(std::string(1, static_cast<char>(send.type)) + ":" + send.text);
        return out;
    }
};

Link Start(const std::string& json, std::int64_t ms = 0) {
    return Link{std::make_shared<Runner>(Make(json), ms)};
}

const char* kLogin = R"json({
  "name": "login device",
  "start": "locked",
  "states": {"locked": {}, "ready": {"onEntry": {"send": {"type": "W", "text": "hello ${user}"}}}},
  "variables": {"count": 0},
  "rules": [
    {"name": "login", "state": "locked", "type": "L", "text": {"regex": "USER (\\w+) PASS (\\w+)"},
     "set": {"user": "$1"}, "reply": "WELCOME $1", "goto": "ready"},
    {"name": "locked", "state": "locked", "reply": {"text": "LOGIN FIRST", "action": "NAK Error"}},
    {"name": "third is busy", "state": "ready", "type": "D", "every": 3, "reply": {"text": "BUSY", "action": "NAK Error"}},
    {"name": "data", "state": "ready", "type": "D", "text": {"wildcard": "T=*"}, "add": {"count": 1},
     "reply": "OK ${count} $1"},
    {"name": "logout", "state": "ready", "type": "Q", "text": "BYE", "goto": "locked", "reply": "$$1 bye"}
  ]
})json";

TEST(ScenarioRules, StatesCapturesCountersAndVariables) {
    Link link = Start(kLogin);
    const int nak = AnswerAction::Nak;
    EXPECT_EQ(link.Send('D', "T=1"), "LOGIN FIRST|" + std::to_string(nak) + "|rule 2 'locked'");
    EXPECT_EQ(link.Send('L', "USER bob PASS x"), "WELCOME bob|0|rule 1 'login'");
    EXPECT_EQ(link.runner->GetSnapshot().state, "ready");
    EXPECT_EQ(link.Due(0), std::vector<std::string>{"W:hello bob"}) << "entering the state sends";
    EXPECT_EQ(link.Send('D', "T=21"), "OK 1 21|0|rule 4 'data'");
    EXPECT_EQ(link.Send('D', "T=22"), "OK 2 22|0|rule 4 'data'");
    EXPECT_EQ(link.Send('D', "T=23"), "BUSY|" + std::to_string(nak) + "|rule 3 'third is busy'");
    EXPECT_EQ(link.Send('Q', "BYE"), "$1 bye|0|rule 5 'logout'");
    const Runner::Snapshot s = link.runner->GetSnapshot();
    EXPECT_EQ(s.state, "locked");
    EXPECT_EQ(s.variables.at("count"), "2");
    EXPECT_EQ(s.variables.at("user"), "bob");
    EXPECT_EQ(s.ruleHits[0].second, 1u);
    EXPECT_EQ(s.ruleHits[3].second, 2u);
    std::vector<std::string> entered;
    for (const auto& [state, ms] : link.runner->TakeStateEntries()) entered.push_back(state);
    EXPECT_EQ(entered, (std::vector<std::string>{"locked", "ready", "locked"}));

    // Counters are 64-bit, stop at the end of their range, and count a text as 0.
    Link counters = Start(R"json({"states": ["s"], "variables": {"big": 3000000000, "end": "9223372036854775806",
        "word": "ten"}, "rules": [{"add": {"big": 1, "end": 5, "word": 2}, "reply": "${big} ${end} ${word}"}]})json");
    EXPECT_EQ(counters.Send('A', ""), "3000000001 9223372036854775807 2|0|rule 1");
}

// A message no rule matches gets the table's answer, and the closest rule says what it missed.
TEST(ScenarioRules, NearMissNamesTheClosestRuleAndWhatFailed) {
    Link link = Start(kLogin);
    link.Send('L', "USER bob PASS x");
    // Right in all but its turn is nearest; then the text; then the type; another state last.
    EXPECT_EQ(link.Send('D', "X=5"), "table|closest: rule 3 'third is busy': match 1, it answers every 3 matches");
    EXPECT_EQ(link.Send('Q', "BYX"), "table|closest: rule 5 'logout': the text 'BYX' is not exact 'BYE'");
    EXPECT_EQ(link.Send('Z', "?"), "table|closest: rule 3 'third is busy': the type is 'Z', not 'D'");
    EXPECT_EQ(link.Send('Q', std::string("\x01\xE9") + std::string(70, 'y')),
              "table|closest: rule 5 'logout': the text '\\x01\\xE9" + std::string(58, 'y') + "...' is not exact 'BYE'");
    EXPECT_EQ(link.runner->GetSnapshot().unmatched, 4u);
    Link locked = Start(R"json({"states": ["a", "b"], "rules": [{"state": "b", "type": "A"}, {"type": "B", "text": "x"}]})json");
    EXPECT_EQ(locked.Send('A', "y"), "table|closest: rule 2: the type is 'A', not 'B'; the text 'y' is not exact 'x'");
    Link two = Start(R"json({"states": ["a"], "rules": [{"type": "B", "text": "x"}, {"type": "B", "text": "y"}]})json");
    EXPECT_EQ(two.Send('A', "y"), "table|closest: rule 2: the type is 'A', not 'B'");
}

TEST(ScenarioRules, TimeInTheStateAndTheNthMatch) {
    Link link = Start(R"json({"states": ["s"], "rules": [
        {"name": "too soon", "beforeMs": 100, "reply": "early"},
        {"name": "second", "nth": 2, "afterMs": 100, "reply": "second"},
        {"reply": "later"}]})json",
                      1000);
    EXPECT_EQ(link.Send('A', "", 1050), "early|0|rule 1 'too soon'");
    EXPECT_EQ(link.Send('A', "", 1100), "later|0|rule 3") << "the first match of 'second' is not its second";
    EXPECT_EQ(link.Send('A', "", 1200), "second|0|rule 2 'second'");
    EXPECT_EQ(link.Send('A', "", 1300), "later|0|rule 3");
}

// Timers fire on time, repeat without making up missed periods, send and change state; a
// delayed send waits its time; a stopped timer fires no more.
TEST(ScenarioRules, TimersAndDelayedSends) {
    Link link = Start(R"json({"states": {"idle": {}, "streaming": {"onEntry": {"startTimer": {"name": "reading", "everyMs": 1000}}}},
      "timers": {"reading": {"send": {"type": "R", "text": "T=${n}"}, "add": {"n": 1}}},
      "variables": {"n": 10},
      "rules": [{"text": "START", "goto": "streaming", "reply": "started", "send": {"type": "S", "text": "soon", "delayMs": 300}},
                {"text": "STOP", "stopTimer": "reading", "goto": "idle", "reply": "stopped"}]})json");
    EXPECT_FALSE(link.runner->NextDueMs());
    link.Send('C', "START", 0);
    EXPECT_EQ(link.runner->NextDueMs(), 300);
    EXPECT_TRUE(link.Due(299).empty());
    EXPECT_EQ(link.Due(300), std::vector<std::string>{"S:soon"});
    // Variables change before the texts are filled in, as for a rule's answer.
    EXPECT_EQ(link.Due(1000), std::vector<std::string>{"R:T=11"});
    EXPECT_EQ(link.Due(2000), std::vector<std::string>{"R:T=12"});
    EXPECT_EQ(link.Due(5500), std::vector<std::string>{"R:T=13"}) << "missed periods are not made up";
    link.Send('C', "STOP", 5600);
    EXPECT_TRUE(link.Due(20000).empty());
    EXPECT_FALSE(link.runner->NextDueMs());
}

TEST(ScenarioFile, EveryFaultIsRefusedWithItsPlace) {
    const struct {
        const char* json;
        const char* error;
    } cases[] = {
        {"[1]", "/: must be an object"},
        {"{\"states\": [\"a\"], \"variables\": {\"n\": 1e999}}", "not JSON: "},
        {"{\"states\": []}", "/states: at least one state"},
        {"{\"states\": [\"a\", \"\"]}", "/states/1: a state needs a name"},
        {"{\"states\": {\"\": {}}}", "/states/: a state needs a name"},
        {"{\"states\": [\"a\", \"b\", \"a\"]}", "/states/2: the state 'a' is named twice"},
        {"{\"states\": [\"a\"], \"start\": \"b\"}", "/: start: no state 'b'"},
        {"{\"states\": [\"a\"], \"rules\": [{\"goto\": \"c\"}]}", "/: rules/0: no state 'c'"},
        {"{\"states\": [\"a\"], \"rules\": [{\"txt\": \"x\"}]}", "/rules/0: unknown field 'txt'"},
        {"{\"states\": [\"a\"], \"rules\": [{\"type\": \"AB\"}]}", "/rules/0/type: a message type is one character"},
        {"{\"states\": [\"a\"], \"rules\": [{\"text\": {\"regex\": \"(\"}}]}", "/rules/0/text: not a valid regular expression"},
        {"{\"states\": [\"a\"], \"rules\": [{\"reply\": {\"action\": \"Maybe\"}}]}", "/rules/0/reply/action: must be Normal"},
        {"{\"states\": [\"a\"], \"rules\": [{\"reply\": {\"faults\": {\"delayMin\": 7200000}}}]}",
         "/rules/0/reply/faults/delayMin: must be 0 to 3600000"},
        {"{\"states\": [\"a\"], \"rules\": [{\"startTimer\": {\"name\": \"t\"}}]}", "timer 't' does nothing"},
        {"{\"states\": [\"a\"], \"rules\": [{\"text\": \"\\u20ac\"}]}", "/rules/0/text: holds a character above U+00FF"},
        {"{\"states\": [\"a\"], \"script\": \"no-such.lua\"}", "/script: "},
        {"{\"states\": [\"a\"], \"expect\": [{\"name\": \"x\", \"never\": \"nak\"}, {\"name\": \"x\", \"never\": \"stray\"}]}",
         "/expect/1: the name 'x' is taken"},
        {"{nope", "not JSON"},
    };
    for (const auto& c : cases) {
        try {
            ParseScenario(c.json);
            ADD_FAILURE() << c.json << " was taken";
        } catch (const ScenarioError& error) {
            EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos) << error.what();
        }
    }
}

TEST(ScenarioMatch, WildcardsAndExpressionsMatchBytesWhole) {
    std::vector<std::string> captures;
    const TextMatch wildcard(TextMatch::Wildcard, "T?=*\\*");
    EXPECT_TRUE(wildcard.Matches("T1=\x03\xFF\n*", &captures));
    EXPECT_EQ(captures, (std::vector<std::string>{"1", "\x03\xFF\n"}));
    EXPECT_FALSE(wildcard.Matches("T1=x"));
    EXPECT_FALSE(wildcard.Matches("xT1=*"));
    const TextMatch regex(TextMatch::Regex, "\\xE9(.)");
    EXPECT_TRUE(regex.Matches("\xE9z", &captures));
    EXPECT_EQ(captures, std::vector<std::string>{"z"});
    EXPECT_FALSE(TextMatch(TextMatch::Regex, "ab").Matches("abc")) << "the whole text";
    // Linear time: a pattern that backtracking engines take exponential time over.
    EXPECT_FALSE(TextMatch(TextMatch::Regex, "(a+)+$").Matches(std::string(10000, 'a') + "!"));
}

// The script decides before the rules, reaches the scenario through `sim`, and cannot reach
// the files, the process or the clock's neighbours; a loop, a memory bomb and an error are
// each reported with its line while the rules answer.
TEST(ScenarioScript, HookAndSandbox) {
    const auto dir = std::filesystem::temp_directory_path() / ("vantor-lua-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "device.lua") << R"json(
count = 0
function on_message(msg)
  count = count + 1
  if msg.text == "loop" then while true do end end
  if msg.text == "bomb" then local s = string.rep("x", 64 * 1024 * 1024) end
  if msg.text == "oops" then local x = nil; return x.field end
  if msg.text == "io" then return tostring(io) .. tostring(require) .. tostring(debug) .. tostring(os.execute) .. tostring(dofile) end
  if msg.text == "clock" then return tostring(type(os.time()) == "number") end
  if msg.text == "binary" then return tostring(load(string.dump(function() end))) end
  if msg.type == "B" then sim.set("seen", count) sim.send("R", "reply %%", 50) sim.go("b") return {text = "busy", action = "NAK Error"} end
  return nil
end
function on_state(name) sim.set("last", name) end
)json";
    const std::string json = R"json({"states": ["a", "b"], "script": "device.lua", "rules": [{"reply": "rule"}]})json";
    Link link{std::make_shared<Runner>(ParseScenario(json, dir.string()), 0)};
    EXPECT_EQ(link.Send('A', "plain"), "rule|0|rule 1");
    EXPECT_EQ(link.Send('B', "x"), "busy|" + std::to_string(AnswerAction::Nak) + "|script");
    EXPECT_EQ(link.runner->GetSnapshot().state, "b");
    EXPECT_EQ(link.runner->GetSnapshot().variables.at("last"), "b");
    EXPECT_EQ(link.runner->GetSnapshot().variables.at("seen"), "2");
    EXPECT_EQ(link.Due(50), std::vector<std::string>{"R:reply %"});
    EXPECT_EQ(link.Send('A', "io"), "nilnilnilnilnil|0|script");
    EXPECT_EQ(link.Send('A', "clock"), "true|0|script");
    EXPECT_EQ(link.Send('A', "binary").rfind("nil", 0), 0u) << "no binary chunks";
    for (const auto& [text, error] : {std::pair{"bomb", "out of memory"}, std::pair{"oops", "device.lua:7:"}}) {
        const std::string got = link.Send('A', text);
        EXPECT_NE(got.find(error), std::string::npos) << got;
        EXPECT_EQ(got.rfind("error|", 0), 0u) << got;
    }
    EXPECT_EQ(link.Send('A', "clock"), "true|0|script") << "the script survives its errors";
    // A loop is stopped and the script with it; the rules answer on.
    EXPECT_EQ(link.Send('A', "loop"),
              "error|device.lua:5: the script ran over its budget of 2000000 instructions; the script is disabled");
    EXPECT_EQ(link.Send('A', "clock"), "rule|0|rule 1");
    EXPECT_EQ(link.runner->TakeErrors().size(), 3u);
    std::filesystem::remove_all(dir);

    EXPECT_THROW(Runner(ParseScenario(R"json({"states": ["a"], "script": "bad.lua"})json", "/nonexistent"), 0),
                 ScenarioError);
}

// A scenario whose script is `lua` (written as device.lua), with two rules that answer anything.
Link Scripted(const std::string& lua, const std::string& tag) {
    const auto dir = std::filesystem::temp_directory_path() / ("vantor-lua-" + tag + "-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "device.lua") << lua;
    const std::string json = R"json({"states": ["a", "b"], "script": "device.lua",
        "rules": [{"text": "go", "reply": "rule go"}, {"reply": "rule"}]})json";
    Link link{std::make_shared<Runner>(ParseScenario(json, dir.string()), 0)};
    std::filesystem::remove_all(dir);
    return link;
}

// A call stopped, however deep (on_state from sim.go in on_message), disables the script: the
// stop is told once with its line and "disabled", the message gets the rules' answer, and the
// rules answer on without the script.
TEST(ScenarioScript, AStoppedScriptIsDisabledAndTheRulesAnswerOn) {
    const std::string budget = "the script ran over its budget of 2000000 instructions; the script is disabled";
    const struct {
        const char* what;
        const char* lua;
        std::string error;
    } cases[] = {
        {"on_message loops under pcall",
         "function on_message(msg)\n  sim.set('seen', msg.text)\n  if msg.text == 'go' then\n"
         "    while true do pcall(function() while true do end end) end\n  end\nend\n",
         "device.lua:4: " + budget},
        {"on_state loops, entered from on_message",
         "function on_message(msg)\n  sim.set('seen', msg.text)\n  if msg.text == 'go' then sim.go('b') end\nend\n"
         "function on_state(name)\n  if name == 'b' then while true do end end\nend\n",
         "device.lua:6: " + budget},
        {"on_state stuck in C, entered from on_message",
         "function on_message(msg)\n  sim.set('seen', msg.text)\n  if msg.text == 'go' then sim.go('b') end\nend\n"
         "function on_state(name)\n  if name == 'b' then\n"
         "    string.find(string.rep('a', 40), '(.-)(.-)(.-)(.-)(.-)(.-)(.-)(.-)b')\n  end\nend\n",
         "device.lua: the script ran over its time of 100 ms; the script is disabled"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Link link = Scripted(c.lua, "stop");
        const auto start = std::chrono::steady_clock::now();
        const Response r = link.runner->OnMessage(IncomingMessage{'A', "go", 0}, 10);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        EXPECT_EQ(r.error, c.error);
        EXPECT_TRUE(r.decided);
        EXPECT_EQ(r.text, "rule go");
        EXPECT_EQ(link.Send('A', "later", 20), "rule|0|rule 2");
        EXPECT_EQ(link.Send('A', "go", 30), "rule go|0|rule 1");
        EXPECT_EQ(link.runner->TakeErrors(), std::vector<std::string>{c.error}) << "told once";
        const Runner::Snapshot s = link.runner->GetSnapshot();
        EXPECT_EQ(s.lastError, c.error);
        EXPECT_EQ(s.variables.at("seen"), "go") << "not called after the stop";
    }
}

// A timer's call stopped: the same, and on_message is called no more.
TEST(ScenarioScript, AStoppedTimerDisablesTheScript) {
    Link link = Scripted("function on_message(msg)\n  sim.set('seen', msg.text)\n  sim.start_timer('t', 10)\nend\n"
                         "function on_timer(name)\n  while true do end\nend\n",
                         "timer");
    EXPECT_EQ(link.Send('A', "first", 0), "rule|0|rule 2");
    EXPECT_TRUE(link.Due(10).empty());
    const std::string error = "device.lua:6: the script ran over its budget of 2000000 instructions; the script is disabled";
    EXPECT_EQ(link.runner->TakeErrors(), std::vector<std::string>{error});
    EXPECT_EQ(link.Send('A', "second", 20), "rule|0|rule 2");
    EXPECT_EQ(link.runner->GetSnapshot().variables.at("seen"), "first");
    EXPECT_TRUE(link.Due(40).empty());
    EXPECT_TRUE(link.runner->TakeErrors().empty()) << "the timer fires on without calling the script";
}

Observation Rx(std::int64_t ms, char type, const std::string& text, const std::string& rule = "r") {
    Observation o;
    o.kind = Observation::Received;
    o.ms = ms;
    o.type = static_cast<std::uint8_t>(type);
    o.text = text;
    o.rule = rule;
    return o;
}

TEST(ScenarioVerifier, EachKindPassesAndFails) {
    const auto expect = ParseExpectations(R"json({"expect": [
      {"name": "one login", "message": {"type": "L"}, "exactly": 1},
      {"name": "at least two data", "message": {"type": "D", "text": {"wildcard": "T=*"}}, "atLeast": 2},
      {"name": "login first", "first": {"type": "L"}, "then": {"type": "D"}},
      {"name": "reading soon", "message": {"type": "R"}, "withinMs": 100, "after": {"state": "streaming"}},
      {"name": "quick answers", "answersWithinMs": 50},
      {"name": "no nak", "never": "nak"},
      {"name": "no stray", "never": "stray"},
      {"name": "all matched", "noUnmatched": true}]})json");
    Verifier v(expect, 0);
    v.Observe(Rx(10, 'L', "USER"));
    v.Observe(Rx(20, 'D', "T=1"));
    Observation state;
    state.kind = Observation::StateEntered;
    state.ms = 30;
    state.state = "streaming";
    v.Observe(state);
    v.Observe(Rx(40, 'D', "T=2"));
    EXPECT_FALSE(v.Verified()) << "the reading has not come";
    v.Observe(Rx(120, 'R', "x"));
    EXPECT_TRUE(v.Verified());
    Observation answered;
    answered.kind = Observation::Answered;
    answered.ms = 200;
    answered.latencyMs = 80;
    answered.status = StatusNak;
    v.Observe(answered);
    v.Observe(Rx(210, 'L', "again", ""));
    v.Finish(300);
    std::map<std::string, Verifier::Verdict> verdicts;
    for (const Verifier::Result& r : v.Results()) verdicts[r.name] = r.verdict;
    EXPECT_EQ(verdicts["one login"], Verifier::Failed);
    EXPECT_EQ(verdicts["at least two data"], Verifier::Passed);
    EXPECT_EQ(verdicts["login first"], Verifier::Passed);
    EXPECT_EQ(verdicts["reading soon"], Verifier::Passed);
    EXPECT_EQ(verdicts["quick answers"], Verifier::Failed);
    EXPECT_EQ(verdicts["no nak"], Verifier::Failed);
    EXPECT_EQ(verdicts["no stray"], Verifier::Passed);
    EXPECT_EQ(verdicts["all matched"], Verifier::Failed);

    // What waits and never comes fails at the end; a window that runs out fails at once.
    Verifier late(expect, 0);
    late.Observe(Rx(5, 'D', "T=1"));
    late.Observe(state);
    EXPECT_EQ(late.Tick(100), 130);
    late.Tick(130);
    late.Finish(1000);
    for (const Verifier::Result& r : late.Results()) {
        if (r.name == "login first" || r.name == "reading soon" || r.name == "one login" || r.name == "at least two data") {
            EXPECT_EQ(r.verdict, Verifier::Failed) << r.name << ": " << r.message;
        }
    }

    // The reports: one testcase per expectation, a failure with its message and evidence.
    const std::string xml = v.Report("login & \"data\"", 300).JUnitXml();
    EXPECT_NE(xml.find("<testsuite name=\"login &amp; &quot;data&quot;\" tests=\"8\" failures=\"4\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("<failure message=\"came 2 times, at most 1 wanted\""), std::string::npos) << xml;
    const auto json = nlohmann::json::parse(v.Report("run", 300).Json());
    EXPECT_EQ(json["expectations"].size(), 8u);
    EXPECT_EQ(json["passed"], false);
}

// The edges of each kind, one case per way a verdict could go wrong: what is seen, in order,
// then the end of the run at `endMs`, and the verdict with a word of its message.
TEST(ScenarioVerifier, EachKindAtItsEdges) {
    const auto answered = [](std::int64_t ms, std::int32_t status, std::int32_t naks) {
        Observation o;
        o.kind = Observation::Answered;
        o.ms = ms;
        o.latencyMs = 5;
        o.status = status;
        o.naks = naks;
        return o;
    };
    const auto entered = [](std::int64_t ms, const std::string& state) {
        Observation o;
        o.kind = Observation::StateEntered;
        o.ms = ms;
        o.state = state;
        return o;
    };
    const struct Case {
        const char* name;
        const char* expectation;
        std::vector<Observation> seen;
        std::int64_t endMs;
        Verifier::Verdict verdict;
        const char* message;
    } cases[] = {
        {"order: the second before the first", R"({"first": {"type": "L"}, "then": {"type": "D"}})",
         {Rx(10, 'D', ""), Rx(20, 'L', ""), Rx(30, 'D', "")}, 100, Verifier::Failed, "before the first"},
        {"order: the first, then the second", R"({"first": {"type": "L"}, "then": {"type": "D"}})",
         {Rx(10, 'L', ""), Rx(20, 'D', "")}, 100, Verifier::Passed, "in order"},
        {"never NAK: a NAK a retry got past", R"({"never": "nak"})", {answered(10, StatusOk, 1)}, 100,
         Verifier::Failed, "NAK"},
        {"never NAK: answered at once", R"({"never": "nak"})", {answered(10, StatusOk, 0)}, 100, Verifier::Passed,
         "held"},
        {"within: the run ends with a window open after one met",
         R"({"message": {"type": "R"}, "withinMs": 50, "after": {"state": "s"}})",
         {entered(10, "s"), Rx(20, 'R', ""), entered(100, "s")}, 120, Verifier::Failed, "window open"},
        {"within: the run ends with its only window open",
         R"({"message": {"type": "R"}, "withinMs": 50, "after": {"state": "s"}})", {entered(100, "s")}, 120,
         Verifier::Failed, "no message in time"},
        {"within: every window met", R"({"message": {"type": "R"}, "withinMs": 50, "after": {"state": "s"}})",
         {entered(10, "s"), Rx(20, 'R', ""), entered(100, "s"), Rx(140, 'R', "")}, 200, Verifier::Passed, ""},
        {"atMost alone: none came", R"({"message": {"type": "A"}, "atMost": 2})", {}, 100, Verifier::Passed, ""},
        {"atMost alone: as many as allowed", R"({"message": {"type": "A"}, "atMost": 2})",
         {Rx(10, 'A', ""), Rx(20, 'A', "")}, 100, Verifier::Passed, "came 2 times"},
        {"atMost alone: one too many", R"({"message": {"type": "A"}, "atMost": 2})",
         {Rx(10, 'A', ""), Rx(20, 'A', ""), Rx(30, 'A', "")}, 100, Verifier::Failed, "at most 2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        nlohmann::json expectation = nlohmann::json::parse(c.expectation);
        expectation["name"] = "e";
        Verifier v(ParseExpectations(nlohmann::json::array({expectation}).dump()), 0);
        for (const Observation& o : c.seen) v.Observe(o);
        v.Finish(c.endMs);
        const Verifier::Result r = v.Results().front();
        EXPECT_EQ(r.verdict, c.verdict) << r.message;
        EXPECT_NE(r.message.find(c.message), std::string::npos) << r.message;
    }
    // atMost alone asks for no least number: it says so.
    EXPECT_EQ(Verifier(ParseExpectations(R"([{"name": "e", "message": {"type": "A"}, "atMost": 2}])"), 0)
                  .Results()
                  .front()
                  .what,
              "a message of type 'A', any text, at most 2 times");
}

// Evidence is the first and the last few frames, however long the run.
TEST(ScenarioVerifier, EvidenceIsBounded) {
    Verifier v(ParseExpectations(R"json([{"name": "few", "message": {"type": "A"}, "atMost": 3}])json"), 0);
    for (int i = 0; i < 1000; ++i) v.Observe(Rx(i, 'A', std::to_string(i)));
    const auto result = v.Results().front();
    EXPECT_EQ(result.verdict, Verifier::Failed);
    EXPECT_LE(result.evidence.size(), 2 * Verifier::kEvidence + 1);
}

// The JUnit report is read by CI tools: every markup character of a name, message or evidence
// escaped, control bytes readable, and each case's time from the run's start, never negative
// (an undecided case counts to the run's end).
TEST(ScenarioReport, JUnitEscapesEverythingAndTimesEachCaseFromTheStart) {
    TestReport report;
    report.suite = "suite <1>";
    report.kind = "expectations";
    report.startMs = 10'000;
    report.endMs = 12'500;
    report.cases.push_back({"a<b & 'c'", "what > \"x\"", "failed", true, "got <NAK>\x15", {"frame \x01" "A<&>"}, 11'250});
    report.cases.push_back({"undecided", "w", "pending", false, "m", {}, 0});
    const std::string xml = report.JUnitXml();
    for (const char* expected :
         {"<testsuite name=\"suite &lt;1&gt;\"", "name=\"a&lt;b &amp; &apos;c&apos;\" time=\"1.250\"",
          "<failure message=\"got &lt;NAK&gt;\\x15\" type=\"failed\">what &gt; &quot;x&quot;",
          "frame \\x01A&lt;&amp;&gt;", "name=\"undecided\" time=\"2.500\"", "time=\"2.500\" timestamp="})
        EXPECT_NE(xml.find(expected), std::string::npos) << expected << "\n" << xml;
    // Nothing unescaped is left between the tags.
    for (std::size_t at = xml.find('>'); at != std::string::npos; at = xml.find('>', at + 1)) {
        const std::size_t next = xml.find('<', at);
        if (next == std::string::npos) break;
        const std::string between = xml.substr(at + 1, next - at - 1);
        EXPECT_EQ(between.find_first_of("<>\"'\x01\x15"), std::string::npos) << between;
    }
    EXPECT_EQ(xml.find("time=\"-"), std::string::npos) << xml;
}

// How a scenario or a script gives `field` the value `value`: a choice (When) is given by the
// field that picks that value, at its default; the faults that come of it.
struct Given {
    const ReplyFaultField* field;
    std::int32_t value;
    ReplyFaults faults;
};
Given Give(const ReplyFaultField& field, std::int32_t value) {
    Given given{&field, value, reply_fault_values::With(field, value)};
    if (field.kind == ReplyFaultField::Choice) {
        for (const ReplyFaultField& other : ReplyFaultFields())
            if (other.picksWhen == value)
                given = {&other, ReplyFaults{}.*other.member, given.faults};
    } else if (field.picksWhen >= 0) {
        given.faults.When = field.picksWhen;
    }
    return given;
}

ReplyFaults ScenarioFaults(const nlohmann::json& faults) {
    const nlohmann::json file = {{"states", {"a"}},
                                 {"rules", {{{"reply", {{"text", "x"}, {"faults", faults}}}}}}};
    return Make(file.dump())->rules.at(0).effects.reply->faults;
}

std::string ScenarioRefusal(const nlohmann::json& faults) {
    try {
        ScenarioFaults(faults);
    } catch (const ScenarioError& error) {
        return error.what();
    }
    return "taken";
}

// Each fault value on its own, given in a scenario's reply, is what the rule answers with; one
// outside its range is refused with its place, and so are two values that pick different
// Whens.
TEST(ScenarioFile, EachFaultValueIsReadAndCheckedAgainstItsRange) {
    std::vector<const ReplyFaultField*> pickers;
    for (const ReplyFaultField& field : ReplyFaultFields()) {
        SCOPED_TRACE(field.name);
        if (field.picksWhen >= 0) pickers.push_back(&field);
        const Given given = Give(field, reply_fault_values::OtherValue(field));
        const nlohmann::json value = given.field->kind == ReplyFaultField::Flag
                                         ? nlohmann::json(given.value != 0)
                                         : nlohmann::json(given.value);
        EXPECT_EQ(ScenarioFaults({{given.field->name, value}}), given.faults);
        const std::string place = std::string("/rules/0/reply/faults/") + field.name + ": ";
        if (field.kind == ReplyFaultField::Flag) {
            for (const nlohmann::json& wrong : {nlohmann::json(1), nlohmann::json("true")})
                EXPECT_EQ(ScenarioRefusal({{field.name, wrong}}), place + "must be true or false");
        } else if (field.kind != ReplyFaultField::Choice) {
            const std::string range =
                "must be " + std::to_string(field.low) + " to " + std::to_string(field.high);
            for (const std::int64_t wrong :
                 {std::int64_t{field.low} - 1, std::int64_t{field.high} + 1})
                EXPECT_EQ(ScenarioRefusal({{field.name, wrong}}), place + range);
            EXPECT_EQ(ScenarioRefusal({{field.name, 1.5}}), place + "must be a whole number");
        }
    }
    ASSERT_EQ(pickers.size(), 2u);
    EXPECT_EQ(
        ScenarioRefusal({{pickers[0]->name, pickers[0]->low}, {pickers[1]->name, pickers[1]->low}}),
        std::string("/rules/0/reply/faults: ") + pickers[0]->name + " or " + pickers[1]->name +
            ", not both");
    EXPECT_EQ(ScenarioRefusal({{"DelayMin", 5}}),
              "/rules/0/reply/faults: unknown field 'DelayMin'");
}

// Each fault value on its own, given by the script, is what the answer carries; one outside
// its range is brought into it (a flag: anything but 0 is on), as the settings file's are.
TEST(ScenarioScript, EachFaultValueReachesTheAnswerWithinItsRange) {
    struct Case {
        std::string text;  // the message that asks for it
        const char* name;
        std::string value;  // as the script writes it
        ReplyFaults faults;
    };
    std::vector<Case> cases;
    for (const ReplyFaultField& field : ReplyFaultFields()) {
        const Given given = Give(field, reply_fault_values::OtherValue(field));
        const bool flag = given.field->kind == ReplyFaultField::Flag;
        cases.push_back({field.name, given.field->name,
                         flag ? (given.value != 0 ? "true" : "false") : std::to_string(given.value),
                         given.faults});
        if (field.kind == ReplyFaultField::Choice) continue;
        for (const std::int32_t outside : {field.low - 1, field.high + 1})
            cases.push_back({field.name + std::to_string(outside), field.name,
                             std::to_string(outside), BoundedFaults(Give(field, outside).faults)});
    }
    std::string lua = "function on_message(msg)\n";
    for (const Case& c : cases)
        lua += "  if msg.text == '" + c.text + "' then return {text = 'x', faults = {" + c.name +
               " = " + c.value + "}} end\n";
    lua += "end\n";
    Link link = Scripted(lua, "faults");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Response r = link.runner->OnMessage(IncomingMessage{'A', c.text, 0}, 0);
        EXPECT_EQ(r.rule, "script");
        EXPECT_EQ(r.faults, c.faults);
    }
}

}  // namespace

namespace {

// A send of ours opens its window when it went out, which its answer tells: the peer's message
// may come before that answer or after it; one that comes too late fails.
TEST(ScenarioVerifier, WithinASendOfOurs) {
    const auto expect = scenario::ParseExpectations(
        R"json([{"name": "ack", "message": {"type": "K"}, "withinMs": 100, "after": {"send": "Q"}}])json");
    const auto answered = [](std::int64_t ms, std::int64_t latency) {
        scenario::Observation o;
        o.kind = scenario::Observation::Answered;
        o.ms = ms;
        o.latencyMs = latency;
        o.sentType = 'Q';
        return o;
    };
    struct Case {
        const char* what;
        std::vector<scenario::Observation> seen;
        scenario::Verifier::Verdict verdict;
    };
    const Case cases[] = {
        {"before the answer", {Rx(1030, 'K', ""), answered(1050, 50)}, scenario::Verifier::Passed},
        {"after the answer", {answered(1050, 50), Rx(1090, 'K', "")}, scenario::Verifier::Passed},
        {"before our send", {Rx(990, 'K', ""), answered(1050, 50)}, scenario::Verifier::Failed},
        {"too late", {answered(1050, 50), Rx(1101, 'K', "")}, scenario::Verifier::Failed},
    };
    for (const Case& c : cases) {
        scenario::Verifier v(expect, 0);
        for (const auto& o : c.seen) {
            v.Tick(o.ms);
            v.Observe(o);
        }
        v.Finish(2000);
        EXPECT_EQ(v.Results().front().verdict, c.verdict) << c.what << ": " << v.Results().front().message;
    }
}

}  // namespace
