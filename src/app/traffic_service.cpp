#include "app/traffic_service.h"

#include <algorithm>

#include "protocol/frame.h"
#include "settings/names.h"

namespace {

// How much may wait between the link and the log before the link is held back.
constexpr std::size_t kTapMark = 4u << 20;
constexpr std::size_t kLogMark = 8u << 20;
constexpr std::size_t kCaptureMark = 8u << 20;

std::size_t Bound(const TrafficPrefs& prefs) {
    return static_cast<std::size_t>(std::max(1, prefs.MaxEntries));
}

}  // namespace

TrafficService::TrafficService(FlowGate& gate, const TrafficPrefs& prefs, TrafficTap::Clock clock)
    : clock_(clock ? clock : TrafficTap::WallMicros),
      tap_(std::move(clock)),
      pipeline_(tap_, Bound(prefs)),
      logGauge_(gate.AddGauge("the traffic log is behind", kLogMark)),
      prefs_(prefs),
      captureGauge_(gate.AddGauge("the capture is behind", kCaptureMark)) {
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
    StopCapture();
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
                if (capture_) capture_->NewLink(DescribeLink());
            }
            NoteLinkChanges(*state);
            const bool up = state->Connected();
            pipeline_.WithMonitor([&](TrafficMonitor& m) { m.stats.LinkChanged(up, clock_()); });
            break;
        }
        case EventId::MessageReceived:
            if (capture_) {
                const auto* frame = std::get_if<ReceivedFrame>(&event.payload);
                if (frame == nullptr) break;
                // The simulator's own answers' faults come with the bytes, from the engine.
                if (frame->way >= 0 && !frame->faults.empty()) {
                    // Through the proxy a struck frame may never be written (dropped), or
                    // later (delayed, held): its fault is a packet of its own, at its time.
                    std::string what = std::string("frame fault ") + ProxyDirectionText(static_cast<ProxyDirection>(frame->way)) +
                                       ", type " + static_cast<char>(frame->type) + ": " + frame->faults;
                    capture_->NoteComment(frame->micros, std::move(what));
                }
            }
            break;
        case EventId::LinkAction:
            NoteLinkAction(event);
            break;
        case EventId::Error:
        case EventId::OpenFailed:
            if (capture_)
                capture_->NoteLinkEvent(clock_(), (event.value == EventId::kErrorIsNotice ? "" : "error: ") + event.text);
            break;
        case EventId::ResponseAccepted:
            CountOutcome(event, &TrafficStats::TransactionAccepted);
            break;
        case EventId::TransactionFailed:
            CountOutcome(event, &TrafficStats::TransactionRejected);
            break;
        case EventId::AnswerDropped:
            // Its session has gone: only the aggregate keeps it.
            pipeline_.WithMonitor([](TrafficMonitor& m) { m.stats.AnswerDropped(); });
            break;
        case EventId::Status:
            if (event.value == StatusTimeout) CountOutcome(event, &TrafficStats::TransactionTimedOut);
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

std::optional<TrafficStats> TrafficService::SessionStats(std::uint32_t session) {
    return pipeline_.WithMonitor([session](TrafficMonitor& m) -> std::optional<TrafficStats> {
        const TrafficStats* stats = m.SessionStats(session);
        if (stats == nullptr) return std::nullopt;
        return *stats;
    });
}

void TrafficService::CountOutcome(const Event& event, void (TrafficStats::*count)()) {
    const auto* outcome = std::get_if<SendOutcome>(&event.payload);
    const std::uint32_t session = outcome != nullptr ? outcome->session : 0;
    pipeline_.WithMonitor([session, count](TrafficMonitor& m) { m.CountOutcome(session, count); });
}

void TrafficService::ResetStats() {
    pipeline_.WithMonitor([this](TrafficMonitor& m) { m.ResetStats(clock_()); });
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

void TrafficService::SetLinkSettings(const CommPrefs& comm) {
    comm_ = comm;
    pipeline_.WithMonitor([proxy = LinkCan(comm).proxy](TrafficMonitor& m) { m.SetProxy(proxy); });
    commKnown_ = true;
}

CaptureLink TrafficService::DescribeLink() const {
    CommPrefs comm = comm_;
    // The link's own state says which link is open; the settings add the line settings when
    // they are of that link.
    if (linkKind_ && (!commKnown_ || comm.Type != SettingsValue(*linkKind_)))
        comm = CommPrefs{}, comm.Type = SettingsValue(*linkKind_);
    return DescribeCaptureLink(comm, linkKind_ ? linkWhere_ : std::string());
}

void TrafficService::NoteLinkChanges(const LinkState& state) {
    const std::optional<LinkState> before = lastLink_;
    lastLink_ = state;
    if (!capture_) return;
    // Stamped where it was seen, so it stands before the frames that followed it.
    const std::int64_t now = state.micros != 0 ? state.micros : clock_();
    if (!before || before->phase != state.phase || before->kind != state.kind || before->where != state.where) {
        static const char* const phases[] = {"closed", "connecting", "up"};
        const int phase = state.phase >= 0 && state.phase <= 2 ? state.phase : 0;
        capture_->NoteLinkEvent(now, std::string(phases[phase]) + ": " + state.Summary());
    }
    // Peers coming and going are told by the engine's session marks among the bytes, in their
    // place: this state is seen when the connection changed, which may be before its last
    // bytes were read.
    if (before && LinkKindOf(state.kind).can.modemLines && state.phase == LinkState::Up && before->phase == LinkState::Up) {
        const auto line = [&](const char* name, bool was, bool is) {
            if (was != is) capture_->NoteLinkEvent(now, std::string(name) + (is ? " on" : " off"));
        };
        line("DSR", before->dsr, state.dsr);
        line("CTS", before->cts, state.cts);
        line("DCD", before->dcd, state.dcd);
    }
}

void TrafficService::NoteLinkAction(const Event& event) {
    if (!capture_) return;
    const auto* args = std::get_if<LinkActionArgs>(&event.payload);
    std::string text;
    switch (event.value) {
        case LinkActionCode::DropConnections:
            text = "dropped by the simulator";
            break;
        case LinkActionCode::SendBreak:
            text = "break sent (250 ms)";
            break;
        case LinkActionCode::HoldWithXoff:
            text = "XOFF sent, XON after " + std::to_string(args != nullptr ? args->ms : 0) + " ms";
            break;
        case LinkActionCode::SendRaw:
            text = std::to_string(args != nullptr ? args->bytes.size() : 0) + " raw bytes sent";
            break;
        case LinkActionCode::Reconnect:
            text = "reopened";
            break;
        default:
            return;
    }
    capture_->NoteLinkEvent(clock_(), text);
}

std::string TrafficService::StartCapture(const CaptureOptions& options) {
    StopCapture();
    if (options.path.empty()) return "No capture file was given.";
    CaptureWriter::Options writer;
    writer.path = options.path;
    writer.rotateBytes = options.rotateBytes;
    writer.keepFiles = options.keepFiles;
    writer.link = DescribeLink();
    writer.gauge = &captureGauge_;
    writer.onFail = options.onFail;
    auto capture = std::make_unique<CaptureWriter>(std::move(writer));
    if (!capture->Start()) {
        const std::string error = capture->Error();
        std::lock_guard<std::mutex> guard(captureLock_);
        capture_ = std::move(capture);  // kept for its status: why it is not running
        return error;
    }
    if (lastLink_) capture->NoteLinkEvent(clock_(), "capture started; the link is " + lastLink_->Summary());
    CaptureWriter* consumer = capture.get();
    {
        std::lock_guard<std::mutex> guard(captureLock_);
        capture_ = std::move(capture);
    }
    pipeline_.WithMonitor([consumer](TrafficMonitor& m) { m.SetConsumer(consumer); });
    return "";
}

void TrafficService::StopCapture() {
    if (!capture_) return;
    // Everything the tap holds now goes into the file first.
    pipeline_.ProcessNow();
    pipeline_.WithMonitor([](TrafficMonitor& m) { m.SetConsumer(nullptr); });
    capture_->Finish();
}

CaptureWriter::Status TrafficService::CaptureStatus() const {
    std::lock_guard<std::mutex> guard(captureLock_);
    return capture_ ? capture_->GetStatus() : CaptureWriter::Status{};
}
