#include "app/replay_service.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "app/event_hub.h"
#include "app/scheduler.h"
#include "app/traffic_service.h"
#include "thread/event_broker.h"

namespace {

// How often the end of a replay looks whether every answer has come.
constexpr int kCollectPollMs = 20;
// Frames kept beyond those the recording has: enough to show what went wrong, bounded.
constexpr std::size_t kExtraFrames = 10000;

std::int64_t SteadyMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

ReplayService::ReplayService(EventBroker& toThread, TrafficService& traffic, EventHub& hub, Scheduler& scheduler)
    : toThread_(toThread), traffic_(traffic), hub_(hub), scheduler_(scheduler) {}

ReplayService::~ReplayService() {
    *alive_ = false;
}

const char* ReplayService::PhaseName(Phase phase) {
    switch (phase) {
        case Phase::Idle:
            return "idle";
        case Phase::WaitingForLink:
            return "waiting for the link";
        case Phase::Playing:
            return "playing";
        case Phase::Collecting:
            return "waiting for answers";
        case Phase::Done:
            return "done";
        case Phase::Stopped:
            return "stopped";
    }
    return "idle";
}

bool ReplayService::Running() const {
    return view_.phase == Phase::WaitingForLink || view_.phase == Phase::Playing || view_.phase == Phase::Collecting;
}

void ReplayService::Start(const Request& request) {
    if (Running()) throw ReplayError("a replay is running; stop it first");
    if (request.file.empty()) throw ReplayError("no recording was given to replay");
    const Direction played = ParseReplayDirection(request.direction);
    const ReplaySpeed speed = ParseReplaySpeed(request.speed);
    Recording recording = ReadRecording(request.file);
    ReplayMask mask = request.mask.empty() ? ReplayMask{} : ReplayMask::Read(request.mask);
    const ReplayPlan plan = PlanReplay(recording, played, speed);

    auto run = std::make_shared<const ReplayRun>(RunOf(plan));
    // Answers may come as long after the last step as they did in the recording, and then as
    // long as an answer is waited for.
    const std::int64_t lastPlayed = recording.frames[plan.steps.back().frame].micros;
    std::int64_t lastOther = lastPlayed;
    for (const RecordedFrame& frame : recording.frames)
        if (frame.direction != played && frame.kind != EntryKind::Stray) lastOther = std::max(lastOther, frame.micros);
    const double factor = speed.paced ? 1.0 : speed.factor;
    tailMicros_ = static_cast<std::int64_t>(std::llround(static_cast<double>(lastOther - lastPlayed) / factor)) +
                  plan.answerTimeoutMicros;

    View view;
    view.request = request;
    view.steps = plan.steps.size();
    view.expected = recording.Of(played == Direction::Rx ? Direction::Tx : Direction::Rx, true).size();
    view.warning = recording.warning;
    view_ = std::move(view);
    recording_ = std::move(recording);
    mask_ = std::move(mask);
    played_ = played;
    run_ = std::move(run);
    {
        std::lock_guard<std::mutex> guard(lock_);
        received_.clear();
        receivedBound_ = view_.expected + kExtraFrames;
    }
    if (linkUp_) {
        Begin();
    } else {
        view_.phase = Phase::WaitingForLink;
        hub_.PublishJson("replay", {{"state", "waiting"}, {"file", view_.request.file}});
        Changed();
    }
}

void ReplayService::Begin() {
    // Only what the other side sends from now on is compared: it comes in (Rx) whichever side
    // of the recording is played.
    traffic_.Drain();
    traffic_.SetEntryListener([this](const TrafficBatch& batch) {
        std::lock_guard<std::mutex> guard(lock_);
        for (const TrafficEntry& entry : batch.entries) {
            if (entry.direction != Direction::Rx || received_.size() >= receivedBound_) continue;
            received_.push_back(FrameFromEntry(entry, batch.bytes.data() + entry.offset));
        }
    });
    startMicros_ = traffic_.Now();
    Event event{EventId::Replay, 0, 0, {}};
    event.payload = std::shared_ptr<const ReplayRun>(run_);
    toThread_.PostEvent(std::move(event));
    view_.phase = Phase::Playing;
    hub_.PublishJson("replay", {{"state", "started"},
                                {"file", view_.request.file},
                                {"direction", view_.request.direction},
                                {"speed", view_.request.speed},
                                {"steps", view_.steps}});
    Changed();
}

void ReplayService::Stop() {
    switch (view_.phase) {
        case Phase::WaitingForLink:
            view_.ended = "stopped";
            view_.phase = Phase::Stopped;
            hub_.PublishJson("replay", {{"state", "stopped"}, {"written", 0}});
            Changed();
            break;
        case Phase::Playing: {
            Event event{EventId::Replay, 0, 0, {}};
            toThread_.PostEvent(std::move(event));  // the engine reports the end
            break;
        }
        case Phase::Collecting:
            view_.ended = "stopped";
            Finish(false);
            break;
        default:
            break;
    }
}

void ReplayService::OnEvent(const Event& event) {
    switch (event.id) {
        case EventId::LinkState:
            if (const auto* state = std::get_if<LinkState>(&event.payload)) {
                linkUp_ = state->Connected();
                if (linkUp_ && view_.phase == Phase::WaitingForLink) Begin();
            }
            break;
        case EventId::ReplayProgress:
            if (view_.phase != Phase::Playing) break;
            view_.written = static_cast<std::size_t>(std::max(0, event.value));
            Changed();
            break;
        case EventId::ReplayDone:
            if (view_.phase != Phase::Playing) break;
            view_.written = static_cast<std::size_t>(std::max(0, event.value));
            if (!event.text.empty()) {
                view_.ended = event.text;
                Finish(false);
                break;
            }
            view_.phase = Phase::Collecting;
            collectUntil_ = SteadyMicros() + tailMicros_;
            Changed();
            Collect();
            break;
        default:
            break;
    }
}

std::size_t ReplayService::Received() const {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<std::size_t>(std::count_if(received_.begin(), received_.end(), [](const RecordedFrame& f) {
        return f.kind != EntryKind::Stray;
    }));
}

void ReplayService::Collect() {
    if (view_.phase != Phase::Collecting) return;
    traffic_.Drain();
    const std::size_t received = Received();
    if (received != view_.received) {
        view_.received = received;
        Changed();
    }
    if (received >= view_.expected || SteadyMicros() >= collectUntil_) {
        Finish(view_.request.validate);
        return;
    }
    std::weak_ptr<bool> alive = alive_;
    scheduler_.Post(
        [this, alive] {
            if (!alive.expired()) Collect();
        },
        kCollectPollMs);
}

void ReplayService::Finish(bool judge) {
    traffic_.Drain();
    traffic_.SetEntryListener({});
    std::vector<RecordedFrame> received;
    {
        std::lock_guard<std::mutex> guard(lock_);
        received.swap(received_);
    }
    view_.received = static_cast<std::size_t>(std::count_if(
        received.begin(), received.end(), [](const RecordedFrame& f) { return f.kind != EntryKind::Stray; }));
    nlohmann::json fields = {{"written", view_.written}, {"received", view_.received}};
    if (judge) {
        view_.report = ValidateReplay(recording_, played_, received, mask_, startMicros_);
        std::size_t failed = 0;
        for (const TestReport::Case& c : view_.report->cases) failed += c.failed ? 1 : 0;
        fields["passed"] = view_.report->passed;
        fields["failedFrames"] = failed;
    }
    view_.phase = view_.ended.empty() ? Phase::Done : Phase::Stopped;
    fields["state"] = view_.ended.empty() ? "done" : "stopped";
    if (!view_.ended.empty()) fields["reason"] = view_.ended;
    hub_.PublishJson("replay", fields);
    run_.reset();
    Changed();
}

ReplayService::View ReplayService::GetView() const {
    View view = view_;
    if (view.phase == Phase::Playing || view.phase == Phase::Collecting) view.received = Received();
    return view;
}

void ReplayService::Changed() {
    for (const auto& callback : onChange_) callback();
}
