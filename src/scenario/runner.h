#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/responder.h"
#include "scenario/scenario.h"

namespace scenario {

class LuaHook;

// A scenario at work, on the link's thread: the current state and when it was entered, the
// variables, how often each rule matched, the timers and the sends waiting for their time.
// Each received message is offered to the script's on_message (if it has one), then to the
// rules in order; the first that matches decides the answer and its effects. A message nothing
// matches gets the reply table's answer, and the runner says which rule came closest.
class Runner : public Responder {
public:
    // States entered and script errors kept between two reports.
    static constexpr std::size_t kKeptReports = 1000;

    // Enters the start state at `nowMs`. Throws ScenarioError when the script does not load.
    Runner(std::shared_ptr<const Scenario> scenario, std::int64_t nowMs);
    ~Runner() override;

    Response OnMessage(const IncomingMessage& message, std::int64_t nowMs) override;
    std::optional<std::int64_t> NextDueMs() const override;
    std::vector<OwnSend> RunDue(std::int64_t nowMs) override;
    bool Report(ResponderStatus& out, std::int64_t nowMs, std::int64_t wallMs) override;
    // Each peer runs the scenario from its start state, with variables and timers of its own.
    std::shared_ptr<Responder> ForSession(std::int64_t nowMs) override {
        return std::make_shared<Runner>(scenario_, nowMs);
    }

    struct Snapshot {
        std::string scenario;  // its name
        std::string state;
        std::int64_t enteredMs = 0;
        std::map<std::string, std::string> variables;
        std::vector<std::pair<std::string, std::uint64_t>> ruleHits;  // by rule, in order
        std::uint64_t unmatched = 0;
        std::vector<std::string> timers;  // running
        std::string lastError;
    };
    Snapshot GetSnapshot() const;
    // Grows with every change a view would show.
    std::uint64_t Version() const { return version_; }

    // States entered since the last call, with their times (for expectations).
    std::vector<std::pair<std::string, std::int64_t>> TakeStateEntries();
    // Script errors since the last call.
    std::vector<std::string> TakeErrors();

    const Scenario& Definition() const { return *scenario_; }

private:
    struct Timer {
        std::int64_t due;
        std::int32_t everyMs;
        bool repeat;
    };

    void Enter(const std::string& state, std::int64_t nowMs);
    void Apply(const Effects& effects, const std::vector<std::string>& captures, std::int64_t nowMs,
               Response* response);
    // $1 .. $9 and ${name} replaced, then the flags expanded.
    std::string Expand(const std::string& text, const std::vector<std::string>& captures) const;
    // $1 .. $9 and ${name} replaced ("$$" is a "$").
    std::string Substitute(const std::string& text, const std::vector<std::string>& captures) const;
    void QueueSend(std::uint8_t type, std::string text, std::int32_t delayMs, std::int64_t nowMs);
    void StartTimer(const std::string& name, std::int32_t everyMs, bool repeat, std::int64_t nowMs);
    // How far the message is from `rule`, its turn (nth, every) aside: 0 when it matches (the
    // captures then in `captures`). Another state is farthest, then another type, then the
    // text, then the time in the state. Not `whole`: the text is not tried once something
    // else failed, so only 0 is exact. With `why`, each condition that failed in words.
    std::size_t Distance(const Rule& rule, const IncomingMessage& message, std::int64_t nowMs, bool whole,
                         std::vector<std::string>* why, std::vector<std::string>* captures) const;
    bool ScriptAnswer(const IncomingMessage& message, std::int64_t nowMs, Response& response);
    void Error(std::string error);
    // Reports a script call's error (a stop once, with "the script is disabled"); returns its text.
    std::string ScriptError(const std::string& error);
    bool Scripted() const { return script_ && !scriptOff_; }

    std::shared_ptr<const Scenario> scenario_;
    std::unique_ptr<LuaHook> script_;
    bool scriptOff_ = false;  // stopped (budget or time): called no more
    std::string state_;
    std::int64_t enteredMs_ = 0;
    std::map<std::string, std::string> variables_;
    std::vector<std::uint64_t> candidates_;  // per rule: times all but its counter held
    std::vector<std::uint64_t> hits_;
    std::uint64_t unmatched_ = 0;
    std::map<std::string, Timer> timers_;
    std::multimap<std::int64_t, OwnSend> sends_;  // by due time; equal times keep their order
    std::vector<std::pair<std::string, std::int64_t>> entries_;
    std::vector<std::string> errors_;
    std::string lastError_;
    std::uint64_t version_ = 0;
    std::uint64_t reported_ = static_cast<std::uint64_t>(-1);  // the version last reported
    std::vector<std::uint64_t> faultTurns_;  // per rule: answers that had faults to give
    std::int64_t now_ = 0;  // the time of the call in progress (for the script's requests)
    int depth_ = 0;         // state entries within one call, so that a loop of them ends
};

}  // namespace scenario
