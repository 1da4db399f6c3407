#include "app/scenario_service.h"

#include <algorithm>
#include <filesystem>

#include "app/event_hub.h"
#include "app/scheduler.h"
#include "protocol/frame.h"
#include "protocol/vantor_protocol.h"
#include "report/test_report.h"
#include "scenario/runner.h"
#include "text/json_text.h"
#include "text/times.h"
#include "thread/event_broker.h"

namespace {

constexpr std::size_t kNearMissesKept = 50;
constexpr std::size_t kErrorsKept = 20;

template <class T>
void KeepLast(std::deque<T>& list, T item, std::size_t keep) {
    list.push_back(std::move(item));
    while (list.size() > keep) list.pop_front();
}

}  // namespace

ScenarioService::ScenarioService(EventBroker& toThread, EventHub& hub, Scheduler& scheduler, Clock clock)
    : toThread_(toThread), hub_(hub), scheduler_(scheduler), clock_(std::move(clock)) {}

ScenarioService::~ScenarioService() { *alive_ = false; }

void ScenarioService::LoadFile(const std::string& path, const std::string& confine) {
    Start(scenario::LoadScenario(path, confine), path);
    path_ = path;
    confine_ = confine;
}

void ScenarioService::LoadDocument(const nlohmann::json& document, const std::string& baseDir,
                                   const std::string& origin, const std::string& confine) {
    Start(scenario::ScenarioFromDocument(document, baseDir, confine), origin);
    path_.clear();
    confine_.clear();
}

void ScenarioService::Reload() {
    if (path_.empty()) throw scenario::ScenarioError("there is no scenario file to read again");
    LoadFile(path_, confine_);
}

void ScenarioService::Restart() {
    if (running_ && scenario_) {
        Start(scenario_, origin_);
    } else {
        Judge();
        Changed();
    }
}

void ScenarioService::Tally(std::size_t& passed, std::size_t& failed, std::size_t& pending) const {
    passed = failed = pending = 0;
    if (verifier_) verifier_->Tally(passed, failed, pending);
}

void ScenarioService::Start(std::shared_ptr<const scenario::Scenario> loaded, const std::string& origin) {
    // The runner is made here, so that a script that does not load is refused to the one who
    // asked; from then on only the link's thread touches it.
    const std::int64_t steadyMs = VantorProtocol::SteadyMicros() / 1000;
    auto runner = std::make_shared<scenario::Runner>(loaded, steadyMs);
    ResponderStatus first;
    runner->Report(first, steadyMs, clock_());
    Event event{EventId::SetResponder, 0, 0, {}};
    event.payload = std::shared_ptr<Responder>(runner);
    toThread_.PostEvent(std::move(event));

    scenario_ = std::move(loaded);
    origin_ = origin;
    running_ = true;
    status_ = std::move(first);
    nearMisses_.clear();
    errors_.clear();
    hub_.PublishJson("scenario", {{"event", "loaded"},
                                  {"name", BytesToJsonText(scenario_->name)},
                                  {"origin", BytesToJsonText(origin_)},
                                  {"state", BytesToJsonText(status_.state)}});
    Judge();
    ObserveEntries(status_.entered);
    Changed();
}

void ScenarioService::Stop() {
    if (!running_) return;
    toThread_.PostEvent(Event{EventId::SetResponder, 0, 0, {}});
    running_ = false;
    hub_.PublishJson("scenario", {{"event", "stopped"}, {"name", BytesToJsonText(scenario_ ? scenario_->name : "")}});
    Finish();
    Changed();
}

void ScenarioService::SetExpectationsFile(const std::string& path) {
    extra_ = scenario::LoadExpectations(path);
    extraOrigin_ = path;
    Judge();
    Changed();
}

void ScenarioService::SetExpectationsDocument(const nlohmann::json& document, const std::string& origin) {
    extra_ = scenario::ExpectationsFromDocument(document);
    extraOrigin_ = origin;
    Judge();
    Changed();
}

void ScenarioService::ClearExpectations() {
    extra_.clear();
    extraOrigin_.clear();
    Judge();
    Changed();
}

void ScenarioService::Judge() {
    std::vector<scenario::Expectation> all;
    if (scenario_) all = scenario_->expect;
    all.insert(all.end(), extra_.begin(), extra_.end());
    verifier_ = all.empty() ? nullptr : std::make_unique<scenario::Verifier>(std::move(all), clock_());
    verdicts_.clear();
    if (verifier_)
        for (const scenario::Verifier::Result& r : verifier_->Results()) verdicts_.push_back(r.verdict);
    tickArmedFor_.reset();
    ArmTick();
}

void ScenarioService::OnEvent(const Event& event) {
    scenario::Observation o;
    switch (event.id) {
        case EventId::MessageReceived: {
            const auto* frame = std::get_if<ReceivedFrame>(&event.payload);
            if (frame == nullptr) return;
            if (!frame->nearMiss.empty()) {
                KeepLast(nearMisses_,
                         LocalMicrosText(frame->micros).substr(11, 12) + " " + std::string(1, static_cast<char>(frame->type)) +
                             " '" + ReadableBytes(frame->text.substr(0, 40)) + (frame->text.size() > 40 ? "...'" : "'") +
                             ": " + frame->nearMiss,
                         kNearMissesKept);
                Changed();
            }
            if (!verifier_) return;
            o.kind = scenario::Observation::Received;
            o.ms = frame->micros / 1000;
            o.type = frame->type;
            o.text = frame->text;
            o.status = frame->status;
            o.rule = frame->rule;
            o.nearMiss = frame->nearMiss;
            break;
        }
        case EventId::ResponseAccepted:
        case EventId::TransactionFailed:
        case EventId::Status: {
            const auto* outcome = std::get_if<SendOutcome>(&event.payload);
            if (outcome == nullptr || !verifier_) return;
            const bool timedOut = event.id == EventId::Status;
            o.kind = timedOut ? scenario::Observation::TimedOut : scenario::Observation::Answered;
            o.ms = clock_();
            o.sentType = outcome->type;
            o.sentMs = outcome->firstSentMicros > 0 ? outcome->firstSentMicros / 1000 : -1;
            o.latencyMs = outcome->slowestMicros >= 0 ? outcome->slowestMicros / 1000 : -1;
            o.naks = outcome->naks;
            o.badBccs = outcome->badBccs;
            o.status = event.id == EventId::ResponseAccepted ? StatusOk
                       : timedOut                            ? StatusTimeout
                       : outcome->naks > 0                   ? StatusNak
                                                             : StatusUnknown;
            o.text = event.text;
            break;
        }
        case EventId::StrayBytes:
            if (!verifier_) return;
            o.kind = scenario::Observation::Stray;
            o.ms = clock_();
            o.bytes = static_cast<std::uint64_t>(std::max(0, event.value));
            break;
        case EventId::ResponderReport: {
            const auto* report = std::get_if<ResponderStatus>(&event.payload);
            if (report == nullptr || !running_) return;
            const std::string before = status_.state;
            status_ = *report;
            for (const std::string& error : report->errors) {
                KeepLast(errors_, error, kErrorsKept);
                hub_.PublishJson("scenarioError", {{"text", BytesToJsonText(error)}});
            }
            if (status_.state != before)
                hub_.PublishJson("scenario", {{"event", "state"}, {"state", BytesToJsonText(status_.state)}});
            ObserveEntries(report->entered);
            Changed();
            return;
        }
        default:
            return;
    }
    Observe(o);
}

void ScenarioService::ObserveEntries(const std::vector<std::pair<std::string, std::int64_t>>& entered) {
    for (const auto& [state, ms] : entered) {
        scenario::Observation o;
        o.kind = scenario::Observation::StateEntered;
        o.ms = ms;
        o.state = state;
        Observe(o);
    }
}

void ScenarioService::Observe(const scenario::Observation& observation) {
    if (!verifier_) return;
    const std::uint64_t before = verifier_->Version();
    verifier_->Observe(observation);
    ArmTick();
    if (verifier_->Version() != before) VerdictsChanged();
}

void ScenarioService::VerdictsChanged() {
    // Each verdict that changed is an event of its own (the log and the API's streams).
    const std::vector<scenario::Verifier::Result> results = verifier_->Results();
    verdicts_.resize(results.size(), scenario::Verifier::Pending);
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (results[i].verdict == verdicts_[i]) continue;
        verdicts_[i] = results[i].verdict;
        hub_.PublishJson("expectation", {{"name", BytesToJsonText(results[i].name)},
                                         {"verdict", scenario::VerdictText(results[i].verdict)},
                                         {"message", BytesToJsonText(results[i].message)}});
    }
    Changed();
}

void ScenarioService::ArmTick() {
    if (!verifier_ || verifier_->Finished()) return;
    const std::optional<std::int64_t> next = verifier_->Tick(clock_());
    if (!next || next == tickArmedFor_) return;
    tickArmedFor_ = next;
    const int delay = static_cast<int>(std::clamp<std::int64_t>(*next - clock_(), 0, 3'600'000));
    scheduler_.Post(
        [this, alive = std::weak_ptr<bool>(alive_), at = *next] {
            if (alive.expired() || tickArmedFor_ != at) return;
            tickArmedFor_.reset();
            if (!verifier_) return;
            const std::uint64_t before = verifier_->Version();
            ArmTick();
            if (verifier_->Version() != before) VerdictsChanged();
        },
        delay + 1);
}

void ScenarioService::Finish() {
    if (!verifier_ || verifier_->Finished()) return;
    verifier_->Finish(clock_());
    VerdictsChanged();
}

void ScenarioService::Changed() {
    for (const auto& onChange : onChange_) onChange();
}

bool ScenarioService::HasExpectations() const { return verifier_ != nullptr; }

bool ScenarioService::Decided() const {
    return verifier_ && (verifier_->AnyFailed() || verifier_->Verified());
}

bool ScenarioService::AnyFailed() const { return verifier_ && verifier_->AnyFailed(); }

TestReport ScenarioService::Report() const {
    std::string suite = scenario_ && !scenario_->name.empty() ? scenario_->name
                        : !origin_.empty()                    ? std::filesystem::path(origin_).stem().string()
                        : !extraOrigin_.empty()               ? std::filesystem::path(extraOrigin_).stem().string()
                                                              : "vantor-simulator";
    if (!verifier_) {
        TestReport empty;
        empty.suite = suite;
        empty.kind = "expectations";
        empty.startMs = empty.endMs = clock_();
        empty.passed = true;
        return empty;
    }
    return verifier_->Report(suite, clock_());
}

ScenarioService::View ScenarioService::GetView() const {
    View v;
    v.running = running_;
    v.name = scenario_ ? scenario_->name : "";
    v.origin = origin_;
    v.fromFile = !path_.empty();
    v.status = status_;
    if (verifier_) {
        v.results = verifier_->Results();
        for (const scenario::Verifier::Result& r : v.results) {
            if (r.verdict == scenario::Verifier::Failed) ++v.failed;
            else if (r.verdict == scenario::Verifier::Pending) ++v.pending;
            else if (r.verdict == scenario::Verifier::Holding) ++v.holding;
            else ++v.passed;
        }
        v.verified = verifier_->Verified();
        v.finished = verifier_->Finished();
    }
    v.nearMisses = nearMisses_;
    v.errors.assign(errors_.begin(), errors_.end());
    return v;
}
