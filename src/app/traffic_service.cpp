#include "app/traffic_service.h"

#include <algorithm>

#include "protocol/frame.h"

namespace {

// How much may wait between the link and the log before the link is held back.
constexpr std::size_t kTapMark = 4u << 20;
constexpr std::size_t kLogMark = 8u << 20;

std::size_t Bound(const TrafficPrefs& prefs) {
    return static_cast<std::size_t>(std::max(1, prefs.MaxEntries));
}

}  // namespace

TrafficService::TrafficService(FlowGate& gate, const TrafficPrefs& prefs, TrafficTap::Clock clock)
    : clock_(clock ? clock : TrafficTap::WallMicros),
      tap_(std::move(clock)),
      pipeline_(tap_, Bound(prefs)),
      logGauge_(gate.AddGauge("the traffic log is behind", kLogMark)),
      prefs_(prefs) {
    tap_.SetGauge(&gate.AddGauge("the traffic view and statistics are behind", kTapMark));
    pipeline_.WithMonitor([this](TrafficMonitor& m) { m.stats.LinkChanged(false, clock_()); });
    prefs_.LogOn = 0;  // so that ApplySettings starts it
    ApplySettings(prefs);
}

TrafficService::~TrafficService() {
    Finish();
}

void TrafficService::Start() {
    pipeline_.Start();
}

void TrafficService::Finish() {
    if (finished_) return;
    finished_ = true;
    pipeline_.Stop();
    pipeline_.ProcessNow();
    pipeline_.WithMonitor([](TrafficMonitor& m) {
        if (TrafficLogWriter* log = m.Log()) log->Flush();
    });
}

void TrafficService::OnEvent(const Event& event) {
    switch (event.id) {
        case EventId::LinkState: {
            const auto* state = std::get_if<LinkState>(&event.payload);
            if (state == nullptr) break;
            if (state->kind != linkKind_ || state->where != linkWhere_) {
                // Another link: what the old one left half done does not continue here.
                pipeline_.ProcessNow();
                pipeline_.WithMonitor([](TrafficMonitor& m) { m.LinkReset(); });
                linkKind_ = state->kind;
                linkWhere_ = state->where;
            }
            const bool up = state->Connected();
            pipeline_.WithMonitor([&](TrafficMonitor& m) { m.stats.LinkChanged(up, clock_()); });
            break;
        }
        case EventId::ResponseAccepted:
            pipeline_.WithMonitor([](TrafficMonitor& m) { m.stats.TransactionAccepted(); });
            break;
        case EventId::TransactionFailed:
            pipeline_.WithMonitor([](TrafficMonitor& m) { m.stats.TransactionRejected(); });
            break;
        case EventId::AnswerDropped:
            pipeline_.WithMonitor([](TrafficMonitor& m) { m.stats.AnswerDropped(); });
            break;
        case EventId::Status:
            if (event.value == StatusTimeout)
                pipeline_.WithMonitor([](TrafficMonitor& m) { m.stats.TransactionTimedOut(); });
            break;
        default:
            break;
    }
}

void TrafficService::ApplySettings(const TrafficPrefs& prefs) {
    pipeline_.SetBound(Bound(prefs));
    const bool logChanged = prefs.LogOn != prefs_.LogOn || prefs.LogPath != prefs_.LogPath ||
                            prefs.LogFormat != prefs_.LogFormat ||
                            prefs.RotateKb != prefs_.RotateKb ||
                            prefs.RotateKeep != prefs_.RotateKeep;
    prefs_ = prefs;
    if (!logChanged) return;
    pipeline_.ProcessNow();  // what came before the change goes to the old log
    TrafficLogWriter::Options options;
    options.path = prefs.LogPath;
    options.format = prefs.LogFormat == 1 ? LogFormat::JsonLines : LogFormat::Tsv;
    options.rotateBytes = static_cast<std::uint64_t>(std::max(0, prefs.RotateKb)) * 1024;
    options.keep = std::max(0, prefs.RotateKeep);
    options.gauge = &logGauge_;
    const bool start = prefs.LogOn != 0 && !prefs.LogPath.empty();
    pipeline_.WithMonitor([&](TrafficMonitor& m) {
        m.StopLog();
        if (start) m.StartLog(options);
    });
}

TrafficStats TrafficService::Stats() {
    return pipeline_.WithMonitor([](TrafficMonitor& m) { return m.stats; });
}

void TrafficService::ResetStats() {
    pipeline_.WithMonitor([this](TrafficMonitor& m) { m.stats.Reset(clock_()); });
}

TrafficService::LogState TrafficService::Log() {
    LogState state;
    state.path = prefs_.LogPath;
    pipeline_.WithMonitor([&state](TrafficMonitor& m) {
        state.error = m.LogError();
        state.logging = m.Logging();
        if (const TrafficLogWriter* log = m.Log()) state.path = log->Path();
    });
    return state;
}

std::uint64_t TrafficService::DroppedBytes() {
    return pipeline_.WithMonitor([](TrafficMonitor& m) { return m.droppedBytes; });
}
