#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/event.h"
#include "report/test_report.h"
#include "scenario/scenario.h"
#include "scenario/verifier.h"

class EventBroker;
class EventHub;
class Scheduler;

// The scenario of the run and the expectations it is judged by, for every front end: loads
// a scenario and hands the link's thread a runner for it (which takes over between two
// messages), keeps what the runner last reported, and feeds the verifier with what the
// engine reports (messages, how our sends went, stray bytes, states entered). Runs on the
// core's thread.
class ScenarioService {
public:
    using Clock = std::function<std::int64_t()>;  // milliseconds since the epoch

    ScenarioService(EventBroker& toThread, EventHub& hub, Scheduler& scheduler, Clock clock);
    ~ScenarioService();

    // Reads the scenario and starts it in place of the running one; throws ScenarioError
    // (the message names the file and the place) and leaves the running one as it is.
    // With `confine`, the scenario's script must lie inside that folder.
    void LoadFile(const std::string& path, const std::string& confine = "");
    // The same from a document; `baseDir` is where its script is looked for.
    void LoadDocument(const nlohmann::json& document, const std::string& baseDir, const std::string& origin,
                      const std::string& confine = "");
    // Reads the file it came from again.
    void Reload();
    // Starts the scenario in force again from its start state, and the judging from now.
    void Restart();
    // Back to the reply table alone. The run is over for its judging too: what still waits
    // fails, what holds passes, and nothing changes them afterwards.
    void Stop();

    // Expectations beside the scenario's own (replacing any given before); judging starts
    // again from now.
    void SetExpectationsFile(const std::string& path);
    void SetExpectationsDocument(const nlohmann::json& document, const std::string& origin);
    void ClearExpectations();

    // Every event from the control thread passes here.
    void OnEvent(const Event& event);
    // The run ends: what still waits fails, what holds passes.
    void Finish();

    struct View {
        bool running = false;        // a scenario answers
        std::string name;            // the scenario's
        std::string origin;          // its file, or where it came from
        bool fromFile = false;       // it can be read again
        ResponderStatus status;      // as the runner last reported it
        std::vector<scenario::Verifier::Result> results;
        std::size_t passed = 0, holding = 0, failed = 0, pending = 0;
        bool verified = false;  // every expectation met, none failed (a run may end)
        bool finished = false;
        std::deque<std::string> nearMisses;  // the latest, newest last
        std::vector<std::string> errors;     // the script's latest errors, newest last
    };
    View GetView() const;
    // Light reads for the status, every turn.
    bool Running() const { return running_; }
    std::string Name() const { return scenario_ ? scenario_->name : std::string(); }
    const ResponderStatus& Status() const { return status_; }
    void Tally(std::size_t& passed, std::size_t& failed, std::size_t& pending) const;
    bool HasExpectations() const;
    // The verdict as a report; `Finish` first for the final one.
    TestReport Report() const;
    // Whether the verdict can no longer change for the better or is all there: every
    // expectation met, or one failed.
    bool Decided() const;
    bool AnyFailed() const;

    // Called when anything a view shows changed (on the core's thread; it must not call back
    // into the core at once: post what it does).
    void AddOnChange(std::function<void()> onChange) { onChange_.push_back(std::move(onChange)); }

private:
    void Start(std::shared_ptr<const scenario::Scenario> scenario, const std::string& origin);
    void Judge();  // a new verifier over the expectations in force, from now
    void Observe(const scenario::Observation& observation);
    void ObserveEntries(const std::vector<std::pair<std::string, std::int64_t>>& entered);
    void ArmTick();
    void VerdictsChanged();
    void Changed();

    EventBroker& toThread_;
    EventHub& hub_;
    Scheduler& scheduler_;
    Clock clock_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    std::shared_ptr<const scenario::Scenario> scenario_;
    std::string origin_;
    std::string path_;  // "" when it did not come from a file
    std::string confine_;  // the folder its script must lie in, when a remote caller gave it
    bool running_ = false;
    ResponderStatus status_;
    std::vector<scenario::Expectation> extra_;
    std::string extraOrigin_;
    std::unique_ptr<scenario::Verifier> verifier_;
    std::vector<scenario::Verifier::Verdict> verdicts_;  // as last told
    std::optional<std::int64_t> tickArmedFor_;
    std::deque<std::string> nearMisses_;
    std::deque<std::string> errors_;
    std::vector<std::function<void()>> onChange_;
};
